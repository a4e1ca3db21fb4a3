// The API's observed pass: the rows' unit vectors packed four rows to a vector against
// row_deviations, the partner blocks of blocked_correlations against whole runs, and the
// decision "p-value above a limit" (p_limit_decision.hpp) against the exact p-values, on
// pairs built at its margins, with the C library accuracy its proof assumes measured on
// samples.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/p_limit_decision.hpp"
#include "pipelines/kernels/packing.hpp"
#include "pipelines/kernels/vector_code.hpp"

using namespace corrshift;

namespace {

std::vector<bool> code_paths() {
    std::vector<bool> paths{false};
    if (processor_has_avx2()) paths.push_back(true);
    return paths;
}

// Rows with offsets, a constant row, a row constant but for its NaN, a NaN row, an
// all-zero row and rows equal up to scale.
std::vector<float> observed_matrix(std::int32_t nrows, std::int32_t ncols, std::mt19937& rng) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> data(static_cast<std::size_t>(nrows) * ncols);
    for (std::int32_t i = 0; i < nrows; ++i)
        for (std::int32_t c = 0; c < ncols; ++c) data[i * ncols + c] = normal(rng) + static_cast<float>(i % 5) * 100.0f;
    const auto row = [&](std::int32_t r) { return data.data() + static_cast<std::size_t>(r) * ncols; };
    if (nrows > 1) std::fill_n(row(1), ncols, 3.25f);
    if (nrows > 2) std::fill_n(row(2), ncols, 1.0f), row(2)[ncols - 1] = std::numeric_limits<float>::quiet_NaN();
    if (nrows > 6) row(6)[0] = std::numeric_limits<float>::quiet_NaN();
    if (nrows > 9) std::fill_n(row(9), ncols, 0.0f);
    if (nrows > 11)
        for (std::int32_t c = 0; c < ncols; ++c) row(11)[c] = 2.0f * row(10)[c];
    return data;
}

// unit_panel_blocks against row_deviations and unit_panel_of, bit for bit, on both code
// paths, for no columns and columns in any order (repeats too), ranges of blocks that start and end
// anywhere, and a row count off the panel width and off two blocks.
void check_unit_panels(std::int32_t nrows, std::int32_t ncols, std::mt19937& rng) {
    const std::vector<float> data = observed_matrix(nrows, ncols, rng);
    std::vector<const float*> rows(static_cast<std::size_t>(nrows));
    for (std::int32_t i = 0; i < nrows; ++i) rows[i] = data.data() + static_cast<std::size_t>(i) * ncols;
    std::uniform_int_distribution<std::int32_t> column(0, ncols - 1);
    for (const std::int32_t count : {0, 1, 3, ncols, ncols + 5}) {  // 0: a group of no columns
        std::vector<std::int32_t> columns(static_cast<std::size_t>(count));
        for (auto& c : columns) c = column(rng);
        std::vector<double> unit(static_cast<std::size_t>(nrows) * count), mean(nrows), squares(nrows);
        for (std::int32_t i = 0; i < nrows; ++i)
            row_deviations(rows[i], columns.data(), count, mean[i], squares[i],
                           unit.data() + static_cast<std::size_t>(i) * count);
        std::vector<double> want(unit_panel_size(nrows, count));
        unit_panel_of(unit.data(), nrows, count, want.data());
        const std::int64_t blocks = (nrows + unit_panel_width - 1) / unit_panel_width;
        for (const bool avx2 : code_paths()) {
            std::vector<double> panel(want.size(), -7.0);
            const std::size_t padded = static_cast<std::size_t>(blocks) * unit_panel_width;
            std::vector<double> got_mean(padded, -7.0), got_squares(padded, -7.0);
            // Three ranges of blocks, as threads cut them.
            const std::int64_t cut1 = blocks / 3, cut2 = blocks - blocks / 4;
            for (const auto& r : {std::pair<std::int64_t, std::int64_t>{0, cut1}, {cut1, cut2}, {cut2, blocks}})
                unit_panel_blocks(rows.data(), columns.data(), count, nrows, r.first, r.second, panel.data(),
                                  got_mean.data(), got_squares.data(), avx2);
            CHECK(same_bits(panel, want));
            got_mean.resize(static_cast<std::size_t>(nrows));
            got_squares.resize(static_cast<std::size_t>(nrows));
            CHECK(same_bits(got_mean, mean) && same_bits(got_squares, squares));
        }
    }
}

// blocked_correlations, with both groups and with the first alone, against
// panel_correlations of the whole runs: runs that overlap, start and end off the panel
// width and off the blocks, hold one pair or none, long runs that span many blocks and
// mostly short runs (taken whole).
void check_blocked(std::int64_t nrows, std::int32_t c1, std::int32_t c2, std::mt19937& rng) {
    std::normal_distribution<double> normal;
    std::vector<double> panels[2];
    const std::int32_t counts[2] = {c1, c2};
    for (int g = 0; g < 2; ++g) {
        std::vector<double> unit(static_cast<std::size_t>(nrows) * counts[g]);
        for (double& v : unit) v = normal(rng) / std::sqrt(static_cast<double>(counts[g]));
        panels[g].resize(unit_panel_size(nrows, counts[g]));
        unit_panel_of(unit.data(), nrows, counts[g], panels[g].data());
    }
    const unit_vectors u1{panels[0].data(), c1}, u2{panels[1].data(), c2};
    std::uniform_int_distribution<std::int64_t> row(0, nrows - 1);
    for (int trial = 0; trial < 12; ++trial) {
        const auto count = static_cast<std::int32_t>(1 + (trial * 7) % 70);
        std::vector<unit_run> runs;
        for (std::int32_t t = 0; t < count; ++t) {
            const std::int64_t j0 = trial % 2 ? row(rng) : std::min<std::int64_t>(t + 1, nrows - 1);
            const std::int64_t most = nrows - j0;
            const std::int64_t n = trial % 3 == 0 ? std::min<std::int64_t>(most, t % 3) : most;
            runs.push_back({row(rng), j0, n, nullptr});
        }
        for (const bool avx2 : code_paths()) {
            std::vector<double> want1, want2;
            std::vector<std::int64_t> at;
            for (const unit_run& r : runs)
                at.push_back(static_cast<std::int64_t>(want1.size())), want1.resize(want1.size() + r.n);
            want2.resize(want1.size());
            std::vector<unit_run> whole1 = runs, whole2 = runs;
            for (std::int32_t t = 0; t < count; ++t)
                whole1[t].out = want1.data() + at[t], whole2[t].out = want2.data() + at[t];
            panel_correlations(u1, whole1.data(), count, avx2);
            panel_correlations(u2, whole2.data(), count, avx2);
            // Both groups, then the first alone (a null second group: no r2).
            for (const bool both : {true, false}) {
                std::vector<double> got1(want1.size(), -7.0), got2(want2.size(), -7.0);
                std::vector<std::int64_t> next(static_cast<std::size_t>(count));
                for (std::int32_t t = 0; t < count; ++t) next[t] = runs[t].j0;
                std::vector<unit_run> scratch;
                std::vector<double> buffer;
                bool ordered = true, second = true;
                blocked_correlations(
                    u1, both ? &u2 : nullptr, runs.data(), count, avx2, scratch, buffer,
                    [&](std::int32_t t, std::int64_t j, std::int64_t n, const double* r1, const double* r2) {
                        ordered = ordered && j == next[t] && n > 0;
                        next[t] = j + n;
                        second = second && (r2 != nullptr) == both;
                        for (std::int64_t u = 0; u < n; ++u) {
                            got1[at[t] + (j - runs[t].j0) + u] = r1[u];
                            if (both) got2[at[t] + (j - runs[t].j0) + u] = r2[u];
                        }
                    });
                for (std::int32_t t = 0; t < count; ++t) ordered = ordered && next[t] == runs[t].j0 + runs[t].n;
                CHECK(ordered && second);
                CHECK(same_bits(got1, want1) && (!both || same_bits(got2, want2)));
            }
        }
    }
}

// The exact path's p-value of a pair (correlation.cpp).
double exact_p(double r1, double r2, double se, tail rule) {
    return normal_p_value_exact(fisher_z_exact(r1, r2) / se, rule);
}

// The decision on pairs at its margin and everywhere else: no decided pair has a p-value at
// most the limit (or NaN), both code paths decide alike, and the open pairs are those with a
// p-value at most the limit but for a few at its margin.
void check_p_limit(double limit, double se, tail rule, std::mt19937& rng) {
    const p_limit_decision decision = p_limit_decision_of(limit, se, rule);
    std::vector<double> r1, r2;
    std::uniform_real_distribution<double> any(-1.0, 1.0);
    for (int k = 0; k < 4000; ++k) r1.push_back(any(rng)), r2.push_back(any(rng));
    // The clamp, +-1, NaN and a group with a constant row.
    for (const double v : {1.0, -1.0, 0.995, -0.99, 0.0, std::nan("")})
        for (const double w : {0.3, -0.995, 1.0, std::nan("")}) r1.push_back(v), r2.push_back(w);
    if (decision.rule != tail::none) {
        // Pairs at the threshold: r1 = tanh(d) for the d of the boundary, r2 = 0, and their
        // neighbours within 64 ulps; also with r2 near the clamp.
        // Pairs at the limit itself, and at the limit the decision aims at.
        for (const double wanted : {limit, limit * (1.0 + 0x1p-20)})
            for (const double base2 : {0.0, 0.9, -0.98}) {
                // The statistic s: z for "greater" and "two-sided" here, -z for "less".
                const double sign = rule == tail::less ? -1.0 : 1.0;
                const auto r_of = [&](double s) { return std::tanh(std::atanh(base2) + sign * s * se); };
                double lo = rule == tail::two_sided ? 0.0 : -60.0, hi = 60.0;
                for (int step = 0; step < 200; ++step) {
                    const double mid = 0.5 * (lo + hi);
                    (exact_p(r_of(mid), base2, se, rule) >= wanted ? lo : hi) = mid;
                }
                double r = r_of(lo);
                for (int u = 0; u < 64; ++u) r = std::nextafter(r, -2.0);
                for (int u = 0; u < 128; ++u, r = std::nextafter(r, 2.0)) r1.push_back(r), r2.push_back(base2);
            }
    }
    const auto n = static_cast<std::int64_t>(r1.size());
    std::vector<std::vector<std::int32_t>> opened;
    for (const bool avx2 : code_paths()) {
        std::vector<std::int32_t> open(static_cast<std::size_t>(n));
        open.resize(static_cast<std::size_t>(p_limit_open(decision, r1.data(), r2.data(), n, open.data(), avx2)));
        opened.push_back(open);
    }
    CHECK(opened.size() == 1 || opened[0] == opened[1]);
    std::vector<bool> is_open(static_cast<std::size_t>(n), false);
    for (const std::int32_t k : opened[0]) is_open[k] = true;
    std::int64_t wrong = 0, spare = 0;
    for (std::int64_t k = 0; k < n; ++k) {
        const double p = exact_p(r1[k], r2[k], se, rule);
        if (!is_open[k] && !(p > limit)) ++wrong;
        if (is_open[k] && p > limit * (1.0 + 0x1p-19)) ++spare;
    }
    if (wrong != 0)
        std::fprintf(stderr, "p limit %g se %g rule %d: %lld decided pairs at most the limit\n", limit, se,
                     static_cast<int>(rule), static_cast<long long>(wrong));
    CHECK(wrong == 0);
    // Open beyond the margin: none where the decision holds (NaN p-values are open and
    // not counted here).
    if (decision.rule != tail::none) CHECK(spare == 0);
}

// Ulps between a double and a long double reference.
double ulps(double got, long double want) {
    const double w = static_cast<double>(want);
    const double ulp = std::nextafter(std::fabs(w), INFINITY) - std::fabs(w);
    return static_cast<double>(std::fabs(static_cast<long double>(got) - want) / static_cast<long double>(ulp));
}

// The C library accuracy the decision's proof assumes (atanh within 2^8 ulps, exp and
// erfc within 2^10), measured on samples against long double.
void check_library_accuracy(std::mt19937& rng) {
    std::uniform_real_distribution<double> r(-0.99, 0.99), x(-200.0, 200.0), z(0.0, 26.0);
    double atanh_worst = 0.0, exp_worst = 0.0, erfc_worst = 0.0;
    for (int k = 0; k < 200000; ++k) {
        const double a = r(rng), b = x(rng), c = z(rng);
        atanh_worst = std::max(atanh_worst, ulps(std::atanh(a), atanhl(static_cast<long double>(a))));
        exp_worst = std::max(exp_worst, ulps(std::exp(b), expl(static_cast<long double>(b))));
        erfc_worst = std::max(erfc_worst, ulps(std::erfc(c), erfcl(static_cast<long double>(c))));
    }
    std::printf("C library errors on samples: atanh %.2f, exp %.2f, erfc %.2f ulps\n", atanh_worst, exp_worst,
                erfc_worst);
    CHECK(atanh_worst <= 256.0 && exp_worst <= 1024.0 && erfc_worst <= 1024.0);
}

}  // namespace

int main() {
    std::mt19937 rng(29);
    for (const std::int32_t nrows : {1, 3, 4, 7, 9, 13, 24, 37})
        for (const std::int32_t ncols : {1, 2, 9, 40}) check_unit_panels(nrows, ncols, rng);
    check_blocked(7, 3, 5, rng);
    check_blocked(130, 9, 17, rng);
    check_blocked(2100, 100, 61, rng);  // partners over several blocks
    for (const tail rule : {tail::two_sided, tail::greater, tail::less})
        for (const double limit : {0.05, 1e-6, 0.3, 0.5, 0.9, 1.0, 2.0, 1e-290, 1e-305, 0.0, std::nan("")})
            for (const double se : {0.14, 1.456, 0.02}) check_p_limit(limit, se, rule, rng);
    // A decision only where its proof holds.
    CHECK(p_limit_decision_of(1e-305, 0.1, tail::two_sided).rule == tail::none);
    CHECK(p_limit_decision_of(1.5, 0.1, tail::two_sided).rule == tail::none);
    CHECK(p_limit_decision_of(0.05, 0.1, tail::none).rule == tail::none);
    CHECK(p_limit_decision_of(0.9, 0.1, tail::greater).rule == tail::greater);
    check_library_accuracy(rng);
    TEST_MAIN_END();
}
