#include "pipelines/kernels/studentized.hpp"

#include <algorithm>
#include <cmath>

#include "common/options.hpp"
#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/fast_rank.hpp"
#include "pipelines/kernels/packing.hpp"
#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

double fisher_log_difference(double c1, double c2) noexcept {
    if (c1 >= c2) return 0.5 * std::log1p(2.0 * (c1 - c2) / ((1.0 - c1) * (1.0 + c2)));
    return -0.5 * std::log1p(2.0 * (c2 - c1) / ((1.0 + c1) * (1.0 - c2)));
}

void studentized_group_of(const float* const* rows, std::int64_t count, std::int64_t ncols, const std::int32_t* columns,
                          std::int32_t n, bool by_rank, bool panels, std::int32_t jobs, studentized_group& out) {
    out.columns = n;
    out.rows = count;
    const auto values = static_cast<std::size_t>(count) * static_cast<std::size_t>(n);
    out.u.assign(values, 0.0);
    out.u2.assign(values, 0.0);
    out.u3.assign(values, 0.0);
    out.m40.assign(static_cast<std::size_t>(count), 0.0);
    const auto useful = static_cast<std::int32_t>(std::max<std::int64_t>(1, count * n / 32768));
    fan_out(count, std::min(jobs, useful), [&](std::int64_t first, std::int64_t last) {
        std::vector<float> ranked(by_rank ? static_cast<std::size_t>(ncols) : 0);
        std::vector<std::int32_t> keys, order;
        for (std::int64_t r = first; r < last; ++r) {
            const float* row = rows[r];
            if (by_rank) {
                average_rank_row_slice(row, ranked.data(), ncols, 0, 1, columns, n, keys, order);
                row = ranked.data();
            }
            double mean = 0.0, squares = 0.0;
            double* u = out.u.data() + r * n;
            double* u2 = out.u2.data() + r * n;
            double* u3 = out.u3.data() + r * n;
            row_deviations(row, columns, n, mean, squares, u);
            double fourth = 0.0;
            for (std::int32_t c = 0; c < n; ++c) {
                u2[c] = u[c] * u[c];
                u3[c] = u2[c] * u[c];
                fourth += u2[c] * u2[c];
            }
            out.m40[static_cast<std::size_t>(r)] = static_cast<double>(n) * fourth;
        }
    });
    if (!panels) return;
    const std::size_t size = unit_panel_size(count, n);
    out.panel_u.assign(size, 0.0);
    out.panel_u2.assign(size, 0.0);
    out.panel_u3.assign(size, 0.0);
    unit_panel_of(out.u.data(), count, n, out.panel_u.data());
    unit_panel_of(out.u2.data(), count, n, out.panel_u2.data());
    unit_panel_of(out.u3.data(), count, n, out.panel_u3.data());
}

studentized_sums studentized_pair_sums(const studentized_group& g, std::int64_t i, std::int64_t j) noexcept {
    const std::int32_t n = g.columns;
    const double* xu = g.u.data() + i * n;
    const double* xu2 = g.u2.data() + i * n;
    const double* xu3 = g.u3.data() + i * n;
    const double* yu = g.u.data() + j * n;
    const double* yu2 = g.u2.data() + j * n;
    const double* yu3 = g.u3.data() + j * n;
    studentized_sums s{0.0, 0.0, 0.0, 0.0};
    for (std::int32_t c = 0; c < n; ++c) {
        s.uv += xu[c] * yu[c];
        s.u2v2 += xu2[c] * yu2[c];
        s.u3v += xu3[c] * yu[c];
        s.uv3 += xu[c] * yu3[c];
    }
    return s;
}

namespace {

constexpr std::int64_t lanes = unit_panel_width;
static_assert(unit_panel_width == 4, "a lanes4 holds one panel block's column");

// The lanes of a block's sums that fall in [j0, j0 + n) into out.
CORRSHIFT_LANES_INLINE void store_block(const lanes4* s, std::int64_t b, std::int64_t j0, std::int64_t n,
                                        studentized_sums* out) noexcept {
    double v[4][4];
    for (int k = 0; k < 4; ++k) store4(v[k], s[k]);
    for (std::int64_t l = 0; l < lanes; ++l) {
        const std::int64_t j = b * lanes + l;
        if (j >= j0 && j < j0 + n) out[j - j0] = {v[0][l], v[1][l], v[2][l], v[3][l]};
    }
}

// Row i against the panel blocks [first, last), two blocks at a time: lane l of a block's
// sums is the sequential column-order sum of pair (i, 4b + l), as studentized_pair_sums.
CORRSHIFT_LANES_INLINE void run_body(const studentized_group& g, std::int64_t i, std::int64_t j0, std::int64_t n,
                                     studentized_sums* out) noexcept {
    const std::int32_t m = g.columns;
    const double* xu = g.u.data() + i * m;
    const double* xu2 = g.u2.data() + i * m;
    const double* xu3 = g.u3.data() + i * m;
    const std::int64_t first = j0 / lanes, last = (j0 + n + lanes - 1) / lanes;
    const std::int64_t step = lanes * m;
    std::int64_t b = first;
    for (; b + 2 <= last; b += 2) {
        const double* p = g.panel_u.data() + b * step;
        const double* p2 = g.panel_u2.data() + b * step;
        const double* p3 = g.panel_u3.data() + b * step;
        lanes4 s[2][4] = {};
        for (std::int32_t c = 0; c < m; ++c) {
            const lanes4 x = splat4(xu[c]), x2 = splat4(xu2[c]), x3 = splat4(xu3[c]);
            for (int t = 0; t < 2; ++t) {
                const lanes4 y = load4(p + t * step + c * lanes);
                s[t][0] += x * y;
                s[t][1] += x2 * load4(p2 + t * step + c * lanes);
                s[t][2] += x3 * y;
                s[t][3] += x * load4(p3 + t * step + c * lanes);
            }
        }
        store_block(s[0], b, j0, n, out);
        store_block(s[1], b + 1, j0, n, out);
    }
    for (; b < last; ++b) {
        const double* p = g.panel_u.data() + b * step;
        const double* p2 = g.panel_u2.data() + b * step;
        const double* p3 = g.panel_u3.data() + b * step;
        lanes4 s[4] = {};
        for (std::int32_t c = 0; c < m; ++c) {
            const lanes4 x = splat4(xu[c]);
            const lanes4 y = load4(p + c * lanes);
            s[0] += x * y;
            s[1] += splat4(xu2[c]) * load4(p2 + c * lanes);
            s[2] += splat4(xu3[c]) * y;
            s[3] += x * load4(p3 + c * lanes);
        }
        store_block(s, b, j0, n, out);
    }
}

#if defined(__x86_64__)
CORRSHIFT_AVX2 void run_avx2(const studentized_group& g, std::int64_t i, std::int64_t j0, std::int64_t n,
                             studentized_sums* out) noexcept {
    run_body(g, i, j0, n, out);
}
#endif

void run_portable(const studentized_group& g, std::int64_t i, std::int64_t j0, std::int64_t n,
                  studentized_sums* out) noexcept {
    run_body(g, i, j0, n, out);
}

}  // namespace

void studentized_run_sums(const studentized_group& g, std::int64_t i, std::int64_t j0, std::int64_t n,
                          studentized_sums* out, bool avx2) noexcept {
#if defined(__x86_64__)
    if (avx2) return run_avx2(g, i, j0, n, out);
#else
    (void)avx2;
#endif
    run_portable(g, i, j0, n, out);
}

double studentized_of_sums(const studentized_sums& s1, const studentized_group& g1, const studentized_sums& s2,
                           const studentized_group& g2, std::int64_t i, std::int64_t j) noexcept {
    const double r1 = clamp_symmetric(s1.uv, 1.0), r2 = clamp_symmetric(s2.uv, 1.0);
    if (std::isnan(r1) || std::isnan(r2)) return std::nan("");
    const auto n1 = static_cast<double>(g1.columns), n2 = static_cast<double>(g2.columns);
    const auto at_i = static_cast<std::size_t>(i), at_j = static_cast<std::size_t>(j);
    const double tau1 = studentized_tau2(r1, n1 * s1.u2v2, n1 * s1.u3v, n1 * s1.uv3, g1.m40[at_i], g1.m40[at_j]);
    const double tau2 = studentized_tau2(r2, n2 * s2.u2v2, n2 * s2.u3v, n2 * s2.uv3, g2.m40[at_i], g2.m40[at_j]);
    const double c1 = clamp_symmetric(r1, studentized_clamp), c2 = clamp_symmetric(r2, studentized_clamp);
    return studentized_value(c1, c2, studentized_se2(c1, tau1, c2, tau2, n1 - 3.0, n2 - 3.0));
}

}  // namespace corrshift
