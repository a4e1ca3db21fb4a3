// The fast kernels against the straightforward ones, bit for bit, on every code path the
// processor offers (the portable one, AVX2 with the library's atanhf, AVX2 with the
// vector atanhf): pair correlations and Fisher differences in both pair modes, ranks,
// and the row scores.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "common/options.hpp"
#include "common/set_scores.hpp"
#include "pipelines/drivers/blocks.hpp"
#include "pipelines/drivers/permutation.hpp"
#include "pipelines/kernels/atanh_vector.hpp"
#include "pipelines/kernels/complement.hpp"
#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/fast_kernel.hpp"
#include "pipelines/kernels/fast_rank.hpp"
#include "pipelines/kernels/fast_row_scores.hpp"
#include "pipelines/kernels/log_approx.hpp"
#include "pipelines/kernels/rank.hpp"

using namespace corrshift;

namespace {

// Where each row of a row-major matrix starts, as the packs read them.
std::vector<const float*> row_pointers(const std::vector<float>& data, std::int32_t nrows, std::int32_t ncols) {
    std::vector<const float*> rows(static_cast<std::size_t>(std::max(nrows, 1)), data.data());
    for (std::int32_t i = 0; i < nrows; ++i) rows[static_cast<std::size_t>(i)] = data.data() + std::int64_t{i} * ncols;
    return rows;
}

// Every pair of n rows in the condensed order, as the all-pairs block plans them.
pair_plan all_pairs(std::int32_t n) {
    pair_plan plan;
    for (std::int32_t i = 0; i < n; ++i) plan.add_row(i + 1, n);
    return plan;
}

// The pairs [begin, end) of the condensed order of nrows rows, with `what` as plan_pairs
// takes it; both packs hold all rows.
template <class What>
void condensed_pairs(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2, std::int32_t nrows,
                     std::int64_t begin, std::int64_t end, const What& what) {
    plan_pairs(paths, {g1, g2, g1, g2}, all_pairs(nrows), begin, end, what);
}

std::vector<fast_kernel_paths> available_paths() {
    std::vector<fast_kernel_paths> paths{{false, false}};
    const fast_kernel_paths here = fast_kernel_paths_in_use();
    if (here.avx2) paths.push_back({true, false});
    if (here.vector_atanh) paths.push_back({true, true});
    return paths;
}

// Random rows with the cases that take the rarer branches: a constant row (-2), a row with
// a NaN, rows equal to another up to sign (r = +-1, clamped), and a zero row.
std::vector<float> test_matrix(std::int32_t nrows, std::int32_t ncols, std::mt19937& rng) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> data(static_cast<std::size_t>(nrows) * ncols);
    for (float& v : data) v = normal(rng);
    auto row = [&](std::int32_t r) { return data.data() + static_cast<std::size_t>(r) * ncols; };
    if (nrows > 3) std::fill_n(row(3), ncols, 2.5f);
    if (nrows > 5) row(5)[ncols / 2] = std::numeric_limits<float>::quiet_NaN();
    if (nrows > 7)
        for (std::int32_t c = 0; c < ncols; ++c) row(7)[c] = -row(1)[c];
    if (nrows > 8) std::copy_n(row(2), ncols, row(8));
    if (nrows > 9) std::fill_n(row(9), ncols, 0.0f);
    return data;
}

struct reference_result {
    std::vector<float> first_r, second_r, z_diff;
};

reference_result straightforward(const std::vector<float>& data, std::int32_t nrows, std::int32_t ncols,
                                 const std::int32_t* first_rows, const std::int32_t* second_rows, std::int64_t pairs,
                                 const std::vector<std::int32_t>& g1, const std::vector<std::int32_t>& g2) {
    reference_result r{std::vector<float>(pairs), std::vector<float>(pairs), std::vector<float>(pairs)};
    pair_correlation(data.data(), ncols, first_rows, second_rows, r.first_r.data(), 0, pairs, nrows, g1.data(),
                     static_cast<std::int32_t>(g1.size()));
    pair_correlation(data.data(), ncols, first_rows, second_rows, r.second_r.data(), 0, pairs, nrows, g2.data(),
                     static_cast<std::int32_t>(g2.size()));
    fisher_difference(r.first_r.data(), static_cast<std::int32_t>(g1.size()), r.second_r.data(),
                      static_cast<std::int32_t>(g2.size()), r.z_diff.data(), nullptr, 0, pairs, "pearson", "two-sided");
    return r;
}

// Every pair of nrows rows, in several slices (as the threads of a pass cut them), with
// groups of the given sizes drawn from ncols columns, duplicates allowed.
void check_exhaustive(std::int32_t nrows, std::int32_t ncols, std::int32_t n1, std::int32_t n2, int slices,
                      std::mt19937& rng) {
    const std::vector<float> data = test_matrix(nrows, ncols, rng);
    std::uniform_int_distribution<std::int32_t> column(0, ncols - 1);
    std::vector<std::int32_t> g1(static_cast<std::size_t>(n1)), g2(static_cast<std::size_t>(n2));
    for (auto& c : g1) c = column(rng);
    for (auto& c : g2) c = column(rng);
    const std::int64_t pairs = pair_count_of(nrows);
    const reference_result want = straightforward(data, nrows, ncols, nullptr, nullptr, pairs, g1, g2);

    packed_group p1(nrows, n1, packing::by_column), p2(nrows, n2, packing::by_column);
    p1.pack(row_pointers(data, nrows, ncols).data(), g1.data());
    p2.pack(row_pointers(data, nrows, ncols).data(), g2.data());
    for (const fast_kernel_paths& paths : available_paths()) {
        std::vector<float> r1(pairs, 7.0f), r2(pairs, 7.0f), z(pairs, 7.0f);
        for (int t = 0; t < slices; ++t) {
            const worker_slice s = slice_of(pairs, slices, t);
            condensed_pairs(paths, p1, p2, nrows, s.first, s.last, pair_values{r1.data(), r2.data(), z.data()});
        }
        const bool ok = same_bits(r1, want.first_r) && same_bits(r2, want.second_r) && same_bits(z, want.z_diff);
        if (!ok)
            std::fprintf(stderr, "exhaustive nrows=%d groups=%d,%d slices=%d avx2=%d vector_atanh=%d\n", nrows, n1, n2,
                         slices, paths.avx2, paths.vector_atanh);
        CHECK(ok);
        // Without the correlation arrays only z_diff is written.
        std::vector<float> z_only(pairs);
        condensed_pairs(paths, p1, p2, nrows, 0, pairs, pair_values{nullptr, nullptr, z_only.data()});
        CHECK(same_bits(z_only, want.z_diff));
    }
}

void check_listed(std::int32_t nrows, std::int32_t ncols, std::int64_t pairs, std::mt19937& rng) {
    const std::vector<float> data = test_matrix(nrows, ncols, rng);
    std::uniform_int_distribution<std::int32_t> row(0, nrows - 1);
    std::vector<std::int32_t> a(pairs), b(pairs);
    for (std::int64_t k = 0; k < pairs; ++k) a[k] = row(rng), b[k] = row(rng);  // i > j and i = j too
    std::vector<std::int32_t> g1, g2;
    for (std::int32_t c = 0; c < ncols; ++c) (c % 3 == 0 ? g1 : g2).push_back(c);
    const reference_result want = straightforward(data, nrows, ncols, a.data(), b.data(), pairs, g1, g2);

    packed_group p1(nrows, static_cast<std::int32_t>(g1.size()), packing::by_row);
    packed_group p2(nrows, static_cast<std::int32_t>(g2.size()), packing::by_row);
    p1.pack(row_pointers(data, nrows, ncols).data(), g1.data());
    p2.pack(row_pointers(data, nrows, ncols).data(), g2.data());
    for (const fast_kernel_paths& paths : available_paths()) {
        std::vector<float> r1(pairs), r2(pairs), z(pairs);
        listed_pairs(paths, p1, p2, a.data(), b.data(), 0, pairs / 3, pair_values{r1.data(), r2.data(), z.data()});
        listed_pairs(paths, p1, p2, a.data(), b.data(), pairs / 3, pairs, pair_values{r1.data(), r2.data(), z.data()});
        CHECK(same_bits(r1, want.first_r) && same_bits(r2, want.second_r) && same_bits(z, want.z_diff));
    }
}

// Listed pairs as the listed z-test orders them, grouped by first row (rows with 1 to 20
// partners, so that sets of eight share their first row, sets straddle two rows and the
// last set is partial; a row paired with itself), over groups of 1 to 13 columns (the
// four-column steps of the AVX2 sums and their remainders): values on every path as the
// straightforward kernel computes them, and the counts of a pass as count_exceedances
// counts its values.
void check_listed_rows(std::int32_t ncols, std::mt19937& rng) {
    const std::int32_t nrows = 40;
    const std::vector<float> data = test_matrix(nrows, ncols, rng);
    std::vector<std::int32_t> a, b;
    std::uniform_int_distribution<std::int32_t> row(0, nrows - 1);
    for (std::int32_t i = 0; i < nrows; ++i)
        for (std::int32_t k = 0; k < 1 + (i * 7) % 20; ++k) a.push_back(i), b.push_back(k == 3 ? i : row(rng));
    const auto pairs = static_cast<std::int64_t>(a.size());
    std::vector<std::int32_t> order(static_cast<std::size_t>(ncols));
    for (std::int32_t c = 0; c < ncols; ++c) order[c] = c;
    for (const std::int32_t n1 : {1, 3, 4, ncols / 2}) {
        std::shuffle(order.begin(), order.end(), rng);
        const std::vector<std::int32_t> g1(order.begin(), order.begin() + std::min(n1, ncols));
        const std::vector<std::int32_t> g2(order.begin() + std::min(n1, ncols) / 2, order.end());
        const reference_result want = straightforward(data, nrows, ncols, a.data(), b.data(), pairs, g1, g2);
        packed_group p1(nrows, static_cast<std::int32_t>(g1.size()), packing::by_row);
        packed_group p2(nrows, static_cast<std::int32_t>(g2.size()), packing::by_row);
        p1.pack(row_pointers(data, nrows, ncols).data(), g1.data());
        p2.pack(row_pointers(data, nrows, ncols).data(), g2.data());
        // Observed values: the pass's own with some shifted, so that pairs fall on both
        // sides of their thresholds.
        std::vector<float> observed = want.z_diff;
        for (std::size_t k = 0; k < observed.size(); k += 3) observed[k] *= 0.5f;
        for (const fast_kernel_paths& paths : available_paths()) {
            std::vector<float> r1(pairs, 7.0f), r2(pairs, 7.0f), z(pairs, 7.0f);
            for (std::int32_t t = 0; t < 3; ++t) {
                const worker_slice s = slice_of(pairs, 3, t);
                listed_pairs(paths, p1, p2, a.data(), b.data(), s.first, s.last,
                             pair_values{r1.data(), r2.data(), z.data()});
            }
            CHECK(same_bits(r1, want.first_r) && same_bits(r2, want.second_r) && same_bits(z, want.z_diff));
            for (const tail rule : {tail::two_sided, tail::greater, tail::less}) {
                std::vector<float> thresholds(observed.size());
                for (std::size_t k = 0; k < observed.size(); ++k) thresholds[k] = decision_threshold(rule, observed[k]);
                std::vector<std::int32_t> counted(observed.size(), 0), expected(observed.size(), 0);
                count_exceedances(rule, want.z_diff.data(), observed.data(), expected.data(), pairs);
                const exceedance_count counting{rule, observed.data(), nullptr, counted.data(), thresholds.data()};
                listed_pairs(paths, p1, p2, a.data(), b.data(), 0, pairs, counting);
                CHECK(counted == expected);
            }
        }
    }
}

// A tile whose x rows and y rows lie in different packs filled from row pointers (a
// rectangle a x b, b above a), cut into slices as threads do, on every path: each pair
// as the straightforward kernel computes it for the listed pairs.
void check_tiles(std::int32_t ncols, std::mt19937& rng) {
    const std::int32_t nrows = 61;
    const std::vector<float> data = test_matrix(nrows, ncols, rng);
    const row_range a{0, 11}, b{23, 61};
    std::vector<std::int32_t> first_rows, second_rows;
    for (std::int64_t i = a.first; i < a.last; ++i)
        for (std::int64_t j = b.first; j < b.last; ++j) first_rows.push_back(i), second_rows.push_back(j);
    const auto pairs = static_cast<std::int64_t>(first_rows.size());
    std::vector<std::int32_t> g1, g2;
    for (std::int32_t c = 0; c < ncols; ++c) (c % 2 == 0 ? g1 : g2).push_back(c);
    const reference_result want =
        straightforward(data, nrows, ncols, first_rows.data(), second_rows.data(), pairs, g1, g2);

    const auto rows_of = [&](row_range r) {
        std::vector<const float*> rows;
        for (std::int64_t i = r.first; i < r.last; ++i) rows.push_back(data.data() + i * ncols);
        return rows;
    };
    const auto n1 = static_cast<std::int32_t>(g1.size()), n2 = static_cast<std::int32_t>(g2.size());
    packed_group x1(11, n1, packing::by_column), x2(11, n2, packing::by_column);
    packed_group y1(38, n1, packing::by_column), y2(38, n2, packing::by_column);
    x1.pack(rows_of(a).data(), g1.data());
    x2.pack(rows_of(a).data(), g2.data());
    y1.pack(rows_of(b).data(), g1.data());
    y2.pack(rows_of(b).data(), g2.data());
    pair_plan plan;
    for (std::int64_t i = a.first; i < a.last; ++i) plan.add_row(0, b.last - b.first);
    for (const fast_kernel_paths& paths : available_paths()) {
        std::vector<float> r1(pairs, 7.0f), r2(pairs, 7.0f), z(pairs, 7.0f);
        for (std::int32_t t = 0; t < 3; ++t) {
            const worker_slice s = slice_of(pairs, 3, t);
            plan_pairs(paths, {x1, x2, y1, y2}, plan, s.first, s.last, pair_values{r1.data(), r2.data(), z.data()});
        }
        CHECK(same_bits(r1, want.first_r) && same_bits(r2, want.second_r) && same_bits(z, want.z_diff));
    }
}

// Rows that test the decision margin of the permutation passes: correlations at and
// around the clamp (+-1, +-0.99), -2 markers, NaN and infinity, ties, magnitudes whose
// moments leave the range of the cheap correlation (huge, tiny, subnormal) and a large
// mean over a small spread, whose covariance cancels.
std::vector<float> margin_matrix(std::int32_t nrows, std::int32_t ncols, std::mt19937& rng) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> data(static_cast<std::size_t>(nrows) * ncols);
    for (float& v : data) v = normal(rng);
    auto row = [&](std::int32_t r) { return data.data() + static_cast<std::size_t>(r) * ncols; };
    for (std::int32_t r = 1; r < nrows; ++r) {
        float* x = row(r);
        const float* base = row(r % 5 == 0 ? r - 1 : 0);
        for (std::int32_t c = 0; c < ncols; ++c) {
            const float b = base[c], v = x[c];
            switch (r % 17) {
                case 1:
                    x[c] = 3.0f * b + 1.0f;
                    break;  // r = 1
                case 2:
                    x[c] = -b;
                    break;  // r = -1
                case 3:
                    x[c] = b + 0.1425f * v;
                    break;  // r near 0.99
                case 4:
                    x[c] = 2.5f;
                    break;  // constant: -2
                case 5:
                    x[c] = -b + 0.143f * v;
                    break;  // r near -0.99
                case 6:
                    x[c] = b * 1e30f;
                    break;  // moments overflow
                case 7:
                    x[c] = v * 1e15f;
                    break;  // variance above 2^60
                case 8:
                    x[c] = v * 1e-25f;
                    break;  // variance below 2^-60
                case 9:
                    x[c] = 1e6f + 0.1f * v;
                    break;  // mean far above the spread
                case 10:
                    x[c] = std::round(v * 4.0f) / 4.0f;
                    break;  // ties
                case 11:
                    x[c] = c == ncols / 3 ? INFINITY : v;
                    break;
                case 12:
                    x[c] = c == ncols / 2 ? std::nanf("") : v;
                    break;
                case 13:
                    x[c] = c < ncols / 2 ? 1.0f : v;
                    break;  // constant in some columns
                case 14:
                    x[c] = v * 1e-40f;
                    break;  // subnormal
                case 15:
                    x[c] = b + 0.5f * v;
                    break;
                default:
                    break;
            }
        }
    }
    return data;
}

// The counted kernels against the pass's computed z_diff counted by count_exceedances,
// on every path, rule and count type: passes whose groups are the observed ones (every
// z equal to its observed value), swapped (z = -o exactly), and others.
void check_decisions(std::int32_t nrows, std::int32_t ncols, std::mt19937& rng) {
    const std::vector<float> data = margin_matrix(nrows, ncols, rng);
    const std::int64_t pairs = pair_count_of(nrows);
    std::vector<std::int32_t> a(static_cast<std::size_t>(pairs)), b(static_cast<std::size_t>(pairs));
    for (std::int64_t k = 0; k < pairs; ++k) {
        const row_pair p = pair_from_index(k, nrows);
        a[k] = k % 3 == 0 ? p.j : p.i, b[k] = k % 3 == 0 ? p.i : p.j;  // some pairs listed backwards
    }
    std::vector<std::int32_t> order(static_cast<std::size_t>(ncols));
    for (std::int32_t c = 0; c < ncols; ++c) order[c] = c;
    const std::int32_t n1 = ncols / 2 - 1, n2 = ncols - n1 - 1;
    std::vector<std::vector<std::int32_t>> groups;
    for (int k = 0; k < 4; ++k) {
        std::shuffle(order.begin(), order.end(), rng);
        groups.emplace_back(order.begin(), order.begin() + n1);
        groups.emplace_back(order.begin() + n1, order.begin() + n1 + n2);
    }
    // (observed groups, pass groups): the same, swapped, then two other splits.
    const std::pair<int, int> passes[][2] = {{{0, 1}, {0, 1}}, {{0, 1}, {1, 0}}, {{0, 1}, {2, 3}}, {{4, 5}, {6, 7}}};
    const auto z_of = [&](const std::vector<std::int32_t>& c1, const std::vector<std::int32_t>& c2, packing layout) {
        packed_group p1(nrows, static_cast<std::int32_t>(c1.size()), layout);
        packed_group p2(nrows, static_cast<std::int32_t>(c2.size()), layout);
        p1.pack(row_pointers(data, nrows, ncols).data(), c1.data());
        p2.pack(row_pointers(data, nrows, ncols).data(), c2.data());
        std::vector<float> z(static_cast<std::size_t>(pairs));
        listed_pairs({false, false}, p1, p2, a.data(), b.data(), 0, pairs, pair_values{nullptr, nullptr, z.data()});
        return z;
    };
    for (const auto& pass : passes) {
        const std::vector<std::int32_t>& o1 = groups[pass[0].first];
        const std::vector<std::int32_t>& o2 = groups[pass[0].second];
        const std::vector<std::int32_t>& c1 = groups[pass[1].first];
        const std::vector<std::int32_t>& c2 = groups[pass[1].second];
        const std::vector<float> observed = z_of(o1, o2, packing::by_row);
        const std::vector<float> z = z_of(c1, c2, packing::by_row);
        packed_group col1(nrows, static_cast<std::int32_t>(c1.size()), packing::by_column);
        packed_group col2(nrows, static_cast<std::int32_t>(c2.size()), packing::by_column);
        packed_group row1(nrows, static_cast<std::int32_t>(c1.size()), packing::by_row);
        packed_group row2(nrows, static_cast<std::int32_t>(c2.size()), packing::by_row);
        col1.pack(row_pointers(data, nrows, ncols).data(), c1.data());
        col2.pack(row_pointers(data, nrows, ncols).data(), c2.data());
        row1.pack(row_pointers(data, nrows, ncols).data(), c1.data());
        row2.pack(row_pointers(data, nrows, ncols).data(), c2.data());
        for (tail rule : {tail::two_sided, tail::greater, tail::less}) {
            std::vector<float> thresholds(observed.size());
            for (std::size_t k = 0; k < observed.size(); ++k) thresholds[k] = decision_threshold(rule, observed[k]);
            std::vector<std::int32_t> want(observed.size(), 0);
            count_exceedances(rule, z.data(), observed.data(), want.data(), pairs);
            for (const fast_kernel_paths& paths : available_paths()) {
                std::vector<std::int32_t> listed(observed.size(), 0), exhaustive(observed.size(), 0);
                std::vector<float> as_float(observed.size(), 0.0f);
                const exceedance_count int_counts{rule, observed.data(), nullptr, listed.data(), thresholds.data()};
                const exceedance_count float_counts{rule, observed.data(), as_float.data(), nullptr, thresholds.data()};
                for (std::int32_t t = 0; t < 3; ++t) {
                    const worker_slice s = slice_of(pairs, 3, t);
                    listed_pairs(paths, row1, row2, a.data(), b.data(), s.first, s.last, int_counts);
                    listed_pairs(paths, row1, row2, a.data(), b.data(), s.first, s.last, float_counts);
                }
                // A pair's z does not depend on the order of its rows, so the exhaustive
                // kernel counts the same pairs.
                const exceedance_count every_pair{rule, observed.data(), nullptr, exhaustive.data(), thresholds.data()};
                condensed_pairs(paths, col1, col2, nrows, 0, pairs / 2, every_pair);
                condensed_pairs(paths, col1, col2, nrows, pairs / 2, pairs, every_pair);
                bool ok = listed == want && exhaustive == want;
                for (std::size_t k = 0; k < observed.size(); ++k) ok = ok && as_float[k] == static_cast<float>(want[k]);
                if (!ok)
                    std::fprintf(stderr, "decisions nrows=%d rule=%d avx2=%d vector_atanh=%d\n", nrows,
                                 static_cast<int>(rule), paths.avx2, paths.vector_atanh);
                CHECK(ok);
            }
            if (pass[0] == pass[1]) {
                // Every z equals its observed value: a tie, which counts unless it is NaN.
                std::int64_t counted = 0, numbers = 0;
                for (std::size_t k = 0; k < observed.size(); ++k) counted += want[k], numbers += !std::isnan(z[k]);
                CHECK(counted == numbers);
            }
        }
    }
}

// The permutation pass that sums one group's Sxy and derives the other's correlation
// (complement_terms) against the exact z_diff of every pair, on the margin rows (values at
// the clamp, ties, NaN, constant, overflowing and far-off rows) plus rows whose groups
// differ in mean; values packed as given and standardised, either group summed, passes
// whose groups are the observed ones (every z equal to its observed value) and others.
void check_complement(std::int32_t nrows, std::int32_t ncols, std::int32_t n1, std::mt19937& rng) {
    if (!fast_kernel_paths_in_use().avx2) return;
    const std::vector<float> margin = margin_matrix(nrows, ncols, rng);
    std::vector<std::int32_t> order(static_cast<std::size_t>(ncols));
    for (std::int32_t c = 0; c < ncols; ++c) order[c] = c;
    std::shuffle(order.begin(), order.end(), rng);
    // The kinds of rows the one-group path takes (random, r = +-1 and near +-0.99, ties,
    // groups apart in mean) first, so that whole panels of them take it; the others after.
    std::vector<std::int32_t> kinds;
    for (bool usable : {true, false})
        for (std::int32_t r = 0; r < nrows; ++r) {
            const int kind = r % 17;
            if ((kind == 0 || kind == 1 || kind == 2 || kind == 3 || kind == 5 || kind == 10 || kind >= 15) == usable)
                kinds.push_back(r);
        }
    std::vector<float> data(margin.size());
    for (std::int32_t r = 0; r < nrows; ++r) {
        std::copy_n(margin.data() + static_cast<std::size_t>(kinds[r]) * ncols, ncols,
                    data.data() + static_cast<std::size_t>(r) * ncols);
        if (kinds[r] % 17 == 16)
            for (std::int32_t c = 0; c < n1; ++c) data[static_cast<std::size_t>(r) * ncols + order[c]] += 3.0f;
    }
    const std::vector<const float*> rows = row_pointers(data, nrows, ncols);
    const std::int64_t pairs = pair_count_of(nrows);
    // Each pair's correlation over all columns, from the rows' unit vectors.
    std::vector<double> mean(nrows), squares(nrows), unit(static_cast<std::size_t>(nrows) * ncols);
    total_moments(rows.data(), order.data(), ncols, 0, nrows, mean.data(), squares.data(), unit.data());
    std::vector<float> total(static_cast<std::size_t>(pairs));
    for (std::int64_t k = 0; k < pairs; ++k) {
        const row_pair p = pair_from_index(k, nrows);
        double dot = 0.0;
        for (std::int32_t c = 0; c < ncols; ++c) dot += unit[p.i * ncols + c] * unit[p.j * ncols + c];
        total[k] = static_cast<float>(dot);
    }
    const auto split = [&](const std::vector<std::int32_t>& o) {
        return std::make_pair(std::vector<std::int32_t>(o.begin(), o.begin() + n1),
                              std::vector<std::int32_t>(o.begin() + n1, o.end()));
    };
    const auto observed_groups = split(order);
    for (bool standardised : {false, true}) {
        const auto pack = [&](packed_group& g, const std::vector<std::int32_t>& columns) {
            if (standardised)
                g.pack_standardised(rows.data(), columns.data(), 0, nrows, nullptr);
            else
                g.pack(rows.data(), columns.data());
        };
        const auto z_of = [&](const packed_group& p1, const packed_group& p2) {
            std::vector<float> z(static_cast<std::size_t>(pairs));
            condensed_pairs({false, false}, p1, p2, nrows, 0, pairs, pair_values{nullptr, nullptr, z.data()});
            return z;
        };
        packed_group o1(nrows, n1, packing::by_column), o2(nrows, ncols - n1, packing::by_column);
        pack(o1, observed_groups.first);
        pack(o2, observed_groups.second);
        const std::vector<float> observed = z_of(o1, o2);
        for (int pass = 0; pass < 3; ++pass) {
            if (pass > 0) std::shuffle(order.begin(), order.end(), rng);
            const auto groups = pass == 0 ? observed_groups : split(order);
            packed_group p1(nrows, n1, packing::by_column), p2(nrows, ncols - n1, packing::by_column);
            pack(p1, groups.first);
            pack(p2, groups.second);
            const std::vector<float> z = z_of(p1, p2);
            const bool first = n1 <= ncols - n1;
            const std::int64_t readable = p1.readable_rows();
            std::vector<float> storage(static_cast<std::size_t>(5 * readable)), panels(4 * (readable / 16 + 1));
            const complement_rows terms_rows{storage.data(), storage.data() + readable, storage.data() + 2 * readable,
                                             storage.data() + 3 * readable, storage.data() + 4 * readable};
            complement_pass_rows(rows.data(), first ? groups.first.data() : groups.second.data(),
                                 first ? n1 : ncols - n1, first ? ncols - n1 : n1, mean.data(), squares.data(),
                                 first ? p1 : p2, first ? p2 : p1, standardised, 0, nrows, terms_rows);
            complement_panels(terms_rows, nrows, panels.data());
            std::int64_t usable = 0;
            for (std::int32_t i = 0; i < nrows; ++i) usable += std::isinf(terms_rows.inverse[i]) ? 0 : 1;
            CHECK(usable * 3 > nrows);  // the first panels may take the one-group path
            complement_terms terms{first,
                                   total.data(),
                                   terms_rows.spread,
                                   terms_rows.inverse,
                                   terms_rows.shift,
                                   terms_rows.summed_error,
                                   terms_rows.derived_error,
                                   panels.data(),
                                   standardised ? static_cast<float>(4.1 * 0x1p-24) : 0.0f};
            for (tail rule : {tail::two_sided, tail::greater, tail::less}) {
                std::vector<float> thresholds(observed.size());
                for (std::size_t k = 0; k < observed.size(); ++k) thresholds[k] = decision_threshold(rule, observed[k]);
                std::vector<std::int32_t> want(observed.size(), 0), got(observed.size(), 0);
                count_exceedances(rule, z.data(), observed.data(), want.data(), pairs);
                exceedance_count counting{rule, observed.data(), nullptr, got.data(), thresholds.data()};
                counting.complement = &terms;
                condensed_pairs({true, false}, p1, p2, nrows, 0, pairs / 3, counting);
                condensed_pairs({true, false}, p1, p2, nrows, pairs / 3, pairs, counting);
                if (got != want)
                    std::fprintf(stderr, "complement nrows=%d n1=%d standardised=%d pass=%d rule=%d\n", nrows, n1,
                                 standardised, pass, static_cast<int>(rule));
                CHECK(got == want);
            }
            // The same with every R off by 0.25 counts otherwise: the pairs were decided
            // from the derived correlations (not in the pass of the observed groups, whose
            // ties all take the exact path).
            if (pass == 0) continue;
            std::vector<float> wrong(total);
            for (float& r : wrong) r += 0.25f;
            complement_terms off = terms;
            off.total_r = wrong.data();
            std::vector<float> thresholds(observed.size());
            for (std::size_t k = 0; k < observed.size(); ++k)
                thresholds[k] = decision_threshold(tail::two_sided, observed[k]);
            std::vector<std::int32_t> want(observed.size(), 0), got(observed.size(), 0);
            count_exceedances(tail::two_sided, z.data(), observed.data(), want.data(), pairs);
            exceedance_count counting{tail::two_sided, observed.data(), nullptr, got.data(), thresholds.data()};
            counting.complement = &off;
            condensed_pairs({true, false}, p1, p2, nrows, 0, pairs, counting);
            CHECK(got != want);
        }
    }
}

// The margin rows packed into the groups of columns c % every != 0 and c % every == 0, and
// the exact z_diff of all their pairs (portable path).
struct margin_pass {
    std::vector<float> data;
    std::vector<std::int32_t> g1, g2;
    packed_group p1, p2;
    std::vector<float> z;

    margin_pass(std::int32_t nrows, std::int32_t ncols, std::int32_t every, std::mt19937& rng)
        : data(margin_matrix(nrows, ncols, rng)),
          g1(columns(ncols, every, true)),
          g2(columns(ncols, every, false)),
          p1(nrows, static_cast<std::int32_t>(g1.size()), packing::by_column),
          p2(nrows, static_cast<std::int32_t>(g2.size()), packing::by_column),
          z(static_cast<std::size_t>(pair_count_of(nrows))) {
        p1.pack(row_pointers(data, nrows, ncols).data(), g1.data());
        p2.pack(row_pointers(data, nrows, ncols).data(), g2.data());
        condensed_pairs({false, false}, p1, p2, nrows, 0, pair_count_of(nrows),
                        pair_values{nullptr, nullptr, z.data()});
    }
    static std::vector<std::int32_t> columns(std::int32_t ncols, std::int32_t every, bool first) {
        std::vector<std::int32_t> out;
        for (std::int32_t c = 0; c < ncols; ++c)
            if ((c % every != 0) == first) out.push_back(c);
        return out;
    }
};

// Row tallies (for the median row scores) on every path against those of the computed
// z_diff, with each row's observed score taken from the pass's own values (ties) or NaN.
void check_tallies(std::int32_t nrows, std::int32_t ncols, std::mt19937& rng) {
    const margin_pass pass(nrows, ncols, 2, rng);
    const packed_group &p1 = pass.p1, &p2 = pass.p2;
    const std::vector<float>& z = pass.z;
    const std::int64_t pairs = pair_count_of(nrows);
    const std::size_t padded = static_cast<std::size_t>(nrows) + 32;
    std::vector<float> observed(padded, std::nanf(""));
    for (std::int32_t i = 0; i < nrows; ++i)
        if (i % 7 != 3)
            observed[i] = i + 1 < nrows ? z[pair_position(i, i + 1, nrows)] : pairs > 0 ? z[0] * 0.5f : 0.5f;
    for (tail rule : {tail::two_sided, tail::greater, tail::less}) {
        std::vector<float> thresholds(padded);
        for (std::size_t i = 0; i < padded; ++i) thresholds[i] = decision_threshold(rule, observed[i]);
        std::vector<std::int32_t> want_below(padded, 0), want_nan(padded, 0);
        for (std::int64_t k = 0; k < pairs; ++k) {
            const row_pair p = pair_from_index(k, nrows);
            for (std::int32_t row : {p.i, p.j}) {
                const float o = observed[row], v = z[k];
                want_below[row] += rule == tail::two_sided ? std::fabs(v) < std::fabs(o)
                                   : rule == tail::less    ? v <= o
                                                           : v < o;
                want_nan[row] += std::isnan(v);
            }
        }
        for (const fast_kernel_paths& paths : available_paths()) {
            std::vector<std::int32_t> below(padded, 0), nan(padded, 0);
            const row_tallies tallies{rule, observed.data(), thresholds.data(), below.data(), nan.data()};
            condensed_pairs(paths, p1, p2, nrows, 0, pairs / 3, tallies);
            condensed_pairs(paths, p1, p2, nrows, pairs / 3, pairs, tallies);
            // A row whose observed score is NaN is never exceeded: its tallies do not matter.
            for (std::size_t i = 0; i < padded; ++i)
                if (std::isnan(observed[i])) below[i] = want_below[i];
            const bool ok = below == want_below && nan == want_nan;
            if (!ok) {
                std::fprintf(stderr, "tallies nrows=%d rule=%d avx2=%d vector_atanh=%d\n", nrows,
                             static_cast<int>(rule), paths.avx2, paths.vector_atanh);
                for (std::size_t i = 0; i < padded; ++i)
                    if (below[i] != want_below[i] || nan[i] != want_nan[i])
                        std::fprintf(stderr, "  row %zu below %d/%d nan %d/%d o=%g\n", i, below[i], want_below[i],
                                     nan[i], want_nan[i], observed[i]);
            }
            CHECK(ok);
        }
    }
}

// The estimate's logarithm on the floats of [2^-16, 2^16], and the estimated row sums of
// the margin rows against the exact sums of |z|: within m sum_error plus the float
// summation of both (m values, a relative 2 (m + 64) 2^-24).
// ln x of count values (a multiple of 8) as the estimated row sums compute it; false,
// writing nothing, without AVX2.
#if defined(__x86_64__)
CORRSHIFT_AVX2 void log_approx_lanes(const float* x, float* out, std::int64_t count) {
    for (std::int64_t k = 0; k + 8 <= count; k += 8) _mm256_storeu_ps(out + k, log_approx_avx2(_mm256_loadu_ps(x + k)));
}
#endif
bool log_approx(const float* x, float* out, std::int64_t count) {
#if defined(__x86_64__)
    if (!processor_has_avx2()) return false;
    log_approx_lanes(x, out, count);
    return true;
#else
    (void)x, (void)out, (void)count;
    return false;
#endif
}

void check_sums(std::int32_t nrows, std::int32_t ncols, std::mt19937& rng) {
    double worst = 0.0;
    float x[4096], out[4096];
    // Every third float of [2^-16, 2^16].
    const std::int32_t last = atanh_detail::bits_of(0x1p16f);
    for (std::int32_t b = atanh_detail::bits_of(0x1p-16f); b <= last; b += 3 * 4096) {
        for (std::int32_t k = 0; k < 4096; ++k) x[k] = atanh_detail::float_of(std::min(b + 3 * k, last));
        if (!log_approx(x, out, 4096)) break;
        for (std::int32_t k = 0; k < 4096; ++k)
            worst = std::max(worst, std::fabs(static_cast<double>(out[k]) - std::log(static_cast<double>(x[k]))));
    }
    CHECK(worst <= 0x1p-18);
    const margin_pass pass(nrows, ncols, 3, rng);
    const std::vector<float>& data = pass.data;
    const std::vector<std::int32_t>&g1 = pass.g1, &g2 = pass.g2;
    const packed_group &p1 = pass.p1, &p2 = pass.p2;
    const std::vector<float>& z = pass.z;
    const std::int64_t pairs = pair_count_of(nrows);
    std::vector<double> exact(static_cast<std::size_t>(nrows), 0.0);
    for (std::int64_t k = 0; k < pairs; ++k) {
        const row_pair p = pair_from_index(k, nrows);
        exact[p.i] += std::fabs(z[k]);
        exact[p.j] += std::fabs(z[k]);
    }
    // Each pair alone (a pack of its two rows): the estimate within sum_error of |z|.
    for (const fast_kernel_paths& paths : available_paths()) {
        bool ok = true;
        for (std::int64_t k = 0; k < pairs; ++k) {
            const row_pair p = pair_from_index(k, nrows);
            const float* rows[2] = {data.data() + p.i * ncols, data.data() + p.j * ncols};
            packed_group q1(2, static_cast<std::int32_t>(g1.size()), packing::by_column);
            packed_group q2(2, static_cast<std::int32_t>(g2.size()), packing::by_column);
            q1.pack(rows, g1.data());
            q2.pack(rows, g2.data());
            std::vector<float> sums(34, 0.0f), lanes(8 * 34, 0.0f);
            condensed_pairs(paths, q1, q2, 2, 0, 1, row_sums{sums.data(), lanes.data()});
            float estimate = sums[0];
            for (int l = 0; l < 8; ++l) estimate += lanes[l];
            ok = ok && (std::isnan(z[k]) ? std::isnan(estimate)
                                         : std::fabs(estimate - std::fabs(z[k])) <= sum_error * (1.0f + 0x1p-20f));
        }
        CHECK(ok);
    }
    const double m = nrows - 1, g = 2.0 * (m + 64.0) * 0x1p-24;
    for (const fast_kernel_paths& paths : available_paths()) {
        const std::size_t padded = static_cast<std::size_t>(nrows) + 32;
        std::vector<float> sums(padded, 0.0f), lanes(8 * padded, 0.0f);
        condensed_pairs(paths, p1, p2, nrows, 0, pairs / 2, row_sums{sums.data(), lanes.data()});
        condensed_pairs(paths, p1, p2, nrows, pairs / 2, pairs, row_sums{sums.data(), lanes.data()});
        bool ok = true;
        for (std::int32_t i = 0; i < nrows; ++i) {
            double estimate = sums[i];
            for (int l = 0; l < 8; ++l) estimate += lanes[8 * i + l];
            if (std::isnan(exact[i]) || std::isnan(estimate)) {
                ok = ok && std::isnan(exact[i]) == std::isnan(estimate);
                continue;
            }
            ok = ok && std::fabs(estimate - exact[i]) <= m * sum_error + g * (exact[i] + estimate);
        }
        if (!ok) std::fprintf(stderr, "sums nrows=%d avx2=%d\n", nrows, paths.avx2);
        CHECK(ok);
    }
}

void check_ranks(std::mt19937& rng) {
    const std::int32_t nrows = 13, ncols = 23;
    std::vector<float> data = test_matrix(nrows, ncols, rng);
    // Ties, both zeros and NaN in one row.
    float* row = data.data() + 2 * ncols;
    row[0] = row[4] = row[9] = 1.5f;
    row[1] = -0.0f;
    row[2] = 0.0f;
    row[3] = std::numeric_limits<float>::quiet_NaN();
    row[6] = -std::numeric_limits<float>::infinity();
    const std::vector<std::int32_t> index{4, 0, 2, 9, 1, 3, 6, 0, 11, 17, 22, 5};  // column 0 twice
    std::vector<float> want(data.size(), -1.0f), got(data.size(), -1.0f);
    rank_rows(data.data(), want.data(), ncols, nrows, index.data(), static_cast<std::int32_t>(index.size()), 1);
    rank_rows_fast(data.data(), got.data(), ncols, nrows, index.data(), static_cast<std::int32_t>(index.size()), 3);
    CHECK(same_bits(got, want));
    CHECK(rank_key(-0.0f) == rank_key(0.0f));
    CHECK(rank_key(-1.0f) < rank_key(-0.5f) && rank_key(-0.5f) < rank_key(0.0f));
    CHECK(rank_key(std::numeric_limits<float>::infinity()) < rank_key(std::nanf("")));
}

// Row scores of a condensed pair vector whose values include ties, both zeros and, in one
// row, a NaN; with n not a multiple of the block of eight rows.
void check_row_scores(std::mt19937& rng) {
    for (std::int64_t n : {1, 2, 9, 21, 40}) {
        std::normal_distribution<float> normal(0.0f, 1.0f);
        std::vector<float> z(static_cast<std::size_t>(n * (n - 1) / 2));
        for (float& v : z) v = std::round(normal(rng) * 4.0f) / 4.0f;  // many ties
        if (z.size() > 20) z[3] = -0.0f, z[11] = 0.0f, z[17] = std::numeric_limits<float>::quiet_NaN();
        // The condensed order as a layout of pair rows: pair (i, j) at bases[i] + j.
        std::vector<std::int64_t> bases(static_cast<std::size_t>(n));
        for (std::int64_t i = 0; i < n; ++i) bases[static_cast<std::size_t>(i)] = pair_position(i, i + 1, n) - (i + 1);
        for (bool absolute : {true, false}) {
            std::vector<float> want(static_cast<std::size_t>(n)), got(static_cast<std::size_t>(n), 9.0f);
            pair_quantile_worker(z.data(), n, 0, n, want.data(), 0.5f, absolute);
            layout_score_rows(z.data(), bases.data(), n, 0, n / 2, false, absolute, got.data());
            layout_score_rows(z.data(), bases.data(), n, n / 2, n, false, absolute, got.data() + n / 2);
            CHECK(same_bits(got, want));
        }
        std::vector<float> want(static_cast<std::size_t>(n)), got(static_cast<std::size_t>(n), 9.0f);
        pair_mean_worker(z.data(), n, 0, n, want.data(), true);
        layout_score_rows(z.data(), bases.data(), n, 0, n, true, true, got.data());
        CHECK(same_bits(got, want));
    }
}

void check_atanh_sample() {
    // The scalar replica on a spread of inputs, and the vector one where it is in use.
    const auto last = static_cast<std::uint32_t>(atanh_detail::bits_of(0.99f));
    std::int64_t bad = 0;
    for (std::uint64_t b = 0; b <= last; b += 65537) {
        for (float x : {atanh_detail::float_of(static_cast<std::int32_t>(b)),
                        -atanh_detail::float_of(static_cast<std::int32_t>(b))}) {
            const float want = ::atanhf(x), got = atanhf_replica(x);
            bad += std::memcmp(&want, &got, sizeof want) != 0;
        }
    }
    CHECK(bad == 0);
    if (fast_kernel_paths_in_use().avx2) CHECK(atanh_mismatches(0, last, 65537) == 0);
    // The decision margin of the permutation passes allows atanhf 4 ulps of error.
    CHECK(atanh_error_ulps(0, last, 4099) <= 4.0);
    std::printf("vector atanhf in use: %s\n", vector_atanh_verified() ? "yes" : "no");
}

// The correlations of the API's observed pass, on both code paths, against each pair's
// dot product in column order: groups of runs that overlap, are
// disjoint, start and end off the panel width, hold one pair, and a constant (NaN) row.
void check_panel_correlations(std::int64_t nrows, std::int32_t ncols, std::mt19937& rng) {
    std::normal_distribution<double> normal;
    std::vector<double> unit(static_cast<std::size_t>(nrows * ncols));
    for (double& v : unit) v = normal(rng) / std::sqrt(static_cast<double>(ncols));
    if (nrows > 2) std::fill(unit.begin() + 2 * ncols, unit.begin() + 3 * ncols, std::nan(""));
    std::vector<double> panel(unit_panel_size(nrows, ncols));
    unit_panel_of(unit.data(), nrows, ncols, panel.data());
    std::uniform_int_distribution<std::int64_t> row(0, nrows - 1);
    for (int trial = 0; trial < 40; ++trial) {
        const auto count = static_cast<std::int32_t>(1 + trial % 7);
        std::vector<unit_run> runs;
        std::vector<std::int64_t> at;
        std::int64_t total = 0;
        for (std::int32_t t = 0; t < count; ++t) {
            const std::int64_t j0 = trial % 3 == 0 ? std::min<std::int64_t>(t + 1, nrows - 1) : row(rng);
            const std::int64_t n = trial % 5 == 0 ? 1 : std::uniform_int_distribution<std::int64_t>(1, nrows - j0)(rng);
            runs.push_back({row(rng), j0, n, nullptr});
            at.push_back(total);
            total += n;
        }
        std::vector<double> want(static_cast<std::size_t>(total));
        for (std::int32_t t = 0; t < count; ++t)
            for (std::int64_t u = 0; u < runs[t].n; ++u) {
                double dot = 0.0;
                for (std::int32_t c = 0; c < ncols; ++c)
                    dot += unit[runs[t].i * ncols + c] * unit[(runs[t].j0 + u) * ncols + c];
                want[at[t] + u] = dot > 1.0 ? 1.0 : (dot < -1.0 ? -1.0 : dot);
            }
        for (bool avx2 : {false, true}) {
            if (avx2 && !fast_kernel_paths_in_use().avx2) continue;
            std::vector<double> got(static_cast<std::size_t>(total), -3.0);
            for (std::int32_t t = 0; t < count; ++t) runs[t].out = got.data() + at[t];
            panel_correlations({panel.data(), ncols}, runs.data(), count, avx2);
            CHECK(same_bits(got, want));
        }
    }
}

}  // namespace

int main() {
    std::mt19937 rng(2024);
    // Sizes below, at and off the vector width (8), the tile (4 x 16) and the slices.
    for (std::int32_t nrows : {0, 1, 2, 3, 5, 8, 17, 33, 70})
        for (int slices : {1, 2, 3}) check_exhaustive(nrows, 11, 5, 6, slices, rng);
    check_exhaustive(40, 9, 0, 4, 2, rng);  // empty group: NaN
    check_exhaustive(40, 9, 1, 3, 2, rng);  // one column: every variance 0, -2
    check_exhaustive(129, 50, 37, 13, 3, rng);
    for (std::int32_t nrows : {2, 9, 37, 70}) check_decisions(nrows, 23, rng);
    check_decisions(41, 9, rng);
    check_complement(90, 60, 27, rng);  // the first group summed
    check_complement(70, 41, 24, rng);  // the second
    for (std::int32_t nrows : {1, 2, 19, 50}) check_tallies(nrows, 14, rng);
    for (std::int32_t nrows : {2, 33, 90}) check_sums(nrows, 20, rng);
    check_listed(30, 14, 1, rng);
    check_listed(30, 14, 103, rng);
    for (std::int32_t ncols : {1, 2, 5, 8, 13}) check_listed_rows(ncols, rng);
    check_tiles(13, rng);
    check_ranks(rng);
    check_row_scores(rng);
    for (std::int64_t nrows : {1, 2, 7, 13, 41})
        check_panel_correlations(nrows, 1 + static_cast<std::int32_t>(nrows % 9), rng);
    check_panel_correlations(57, 37, rng);
    check_atanh_sample();
    TEST_MAIN_END();
}
