#include "pipelines/kernels/correlation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/options.hpp"
#include "pipelines/kernels/packing.hpp"
#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

row_pair pair_from_index(std::int64_t k, std::int64_t n) noexcept {
    const std::int64_t e = 2 * n - 1;
    const std::int64_t f = e * e - 8 * k;
    const auto i =
        static_cast<std::int64_t>(std::floor((static_cast<double>(e) - std::sqrt(static_cast<double>(f))) * 0.5));
    const std::int64_t j = ((((i + 1) * (i + 2) / 2) % n) + (k % n)) % n;
    return {static_cast<std::int32_t>(i), static_cast<std::int32_t>(j)};
}

float correlation(const float* data, std::int64_t ncols, std::int32_t i, std::int32_t j, const std::int32_t* columns,
                  std::int32_t column_count) noexcept {
    const float* x = data + i * ncols;
    const float* y = data + j * ncols;
    float sx = 0.0f, sy = 0.0f, sxx = 0.0f, syy = 0.0f, sxy = 0.0f;
    for (std::int32_t c = 0; c < column_count; ++c) {
        const float xv = x[columns[c]];
        const float yv = y[columns[c]];
        sx += xv;
        sy += yv;
        sxx += xv * xv;
        syy += yv * yv;
        sxy += xv * yv;
    }
    const auto m = static_cast<float>(column_count);
    const float mean_x = sx / m;
    const float var_x = sxx / m - mean_x * mean_x;
    if (var_x == 0.0f) return -2.0f;
    const float mean_y = sy / m;
    const float var_y = syy / m - mean_y * mean_y;
    if (var_y == 0.0f) return -2.0f;
    const float cov = sxy / m - mean_y * mean_x;
    return cov / std::sqrt(var_y * var_x);
}

void pair_correlation(const float* data, std::int64_t ncols, const std::int32_t* first_rows,
                      const std::int32_t* second_rows, float* out, std::int64_t begin, std::int64_t end,
                      std::int32_t nrows, const std::int32_t* columns, std::int32_t column_count) noexcept {
    for (std::int64_t k = begin; k < end; ++k) {
        row_pair rows;
        if (first_rows && second_rows)
            rows = {first_rows[k], second_rows[k]};
        else
            rows = pair_from_index(k, nrows);
        out[k] = correlation(data, ncols, rows.i, rows.j, columns, column_count);
    }
}

fisher_weights fisher_weights_of(std::int32_t first_count, std::int32_t second_count,
                                 const std::string& method) noexcept {
    return fisher_weights_of(first_count, second_count, method == option_spearman);
}

fisher_weights fisher_weights_of(std::int32_t first_count, std::int32_t second_count, bool by_rank) noexcept {
    float a = static_cast<float>(1.0 / std::sqrt(static_cast<double>(first_count - 3)));
    float b = static_cast<float>(1.0 / std::sqrt(static_cast<double>(second_count - 3)));
    if (by_rank) {
        a = static_cast<float>(a * 1.224744871391589);
        b = static_cast<float>(b * 1.224744871391589);
    }
    return {a, b, std::sqrt(b * b + a * a)};
}

float fisher_z(float first_r, float second_r) noexcept {
    // std::fmax/fmin would turn a NaN correlation into a bound; NaN must stay NaN.
    const float bound = 0.99f;
    float c1 = first_r < -bound ? -bound : first_r;
    c1 = c1 > bound ? bound : c1;
    float c2 = second_r < -bound ? -bound : second_r;
    c2 = c2 > bound ? bound : c2;
    return ::atanhf(c1) - ::atanhf(c2);
}

float normal_p_value(float d, float se, const std::string& alternative) noexcept {
    return normal_p_value(d, se, tail_of(alternative));
}

float normal_p_value(float d, float se, tail alternative) noexcept {
    const float z = d / se;
    switch (alternative) {
        case tail::less:
            return static_cast<float>(0.5 * std::erfc(static_cast<double>(-z) / std::sqrt(2.0)));
        case tail::greater:
            return 1.0f - static_cast<float>(0.5 * std::erfc(static_cast<double>(-z) / std::sqrt(2.0)));
        case tail::two_sided:
            return 2.0f * static_cast<float>(0.5 * std::erfc(static_cast<double>(std::fabs(d) / se) / std::sqrt(2.0)));
        case tail::none:
            break;
    }
    return -2.0f;
}

namespace {

constexpr std::int32_t lanes = unit_panel_width;

double clamped_unit(double dot) noexcept { return dot > 1.0 ? 1.0 : (dot < -1.0 ? -1.0 : dot); }

// Panel row i's values: column c at block[c * lanes].
const double* panel_row_start(const double* panel, std::int32_t count, std::int64_t i) noexcept {
    return panel + (i / lanes) * lanes * count + i % lanes;
}

// Run r one pair at a time: each pair's dot product in column order.
void run_correlations_by_row(const unit_vectors& unit, const unit_run& r) noexcept {
    const std::int32_t count = unit.columns;
    const double* x = panel_row_start(unit.panel, count, r.i);
    for (std::int64_t t = 0; t < r.n; ++t) {
        const double* y = panel_row_start(unit.panel, count, r.j0 + t);
        double dot = 0.0;
        for (std::int32_t c = 0; c < count; ++c) dot += x[c * lanes] * y[c * lanes];
        r.out[t] = clamped_unit(dot);
    }
}

// The panel block b of rows [4 b, 4 b + 4) of unit_panel_blocks, one row at a time.
void unit_panel_block(const float* const* rows, const std::int32_t* columns, std::int32_t count, std::int64_t nrows,
                      std::int64_t b, double* panel, double* mean, double* squares, std::vector<double>& unit) {
    unit.resize(static_cast<std::size_t>(count));
    double* block = panel + b * lanes * count;
    for (std::int32_t l = 0; l < lanes; ++l) {
        const std::int64_t i = b * lanes + l;
        if (i >= nrows) {
            for (std::int32_t c = 0; c < count; ++c) block[c * lanes + l] = 0.0;
            continue;
        }
        double m = 0.0, s = 0.0;
        row_deviations(rows[i], columns, count, m, s, unit.data());
        for (std::int32_t c = 0; c < count; ++c) block[c * lanes + l] = unit[static_cast<std::size_t>(c)];
        if (mean) mean[i] = m;
        if (squares) squares[i] = s;
    }
}

#if defined(__x86_64__)
// The lanes of block b's sums `dot` that fall in run r's range into its outputs.
void store_lanes(const double* dot, std::int64_t b, const unit_run& r) noexcept {
    for (std::int32_t l = 0; l < lanes; ++l) {
        const std::int64_t j = b * lanes + l;
        if (j >= r.j0 && j < r.j0 + r.n) r.out[j - r.j0] = clamped_unit(dot[l]);
    }
}

bool run_meets_block(const unit_run& r, std::int64_t b) noexcept {
    return b * lanes < r.j0 + r.n && (b + 1) * lanes > r.j0;
}

// Panel row i's value in column c, its block and its lane.
struct panel_row {
    const double* block;
    std::int32_t lane;
    double at(std::int32_t c) const noexcept { return block[c * lanes + lane]; }
};

panel_row panel_row_of(const double* panel, std::int32_t count, std::int64_t i) noexcept {
    return {panel + (i / lanes) * lanes * count, static_cast<std::int32_t>(i % lanes)};
}

// The sums of R runs' rows with the B blocks from b: R x B independent four-lane sums, each
// lane multiplying, then adding, column by column, as the portable code does.
template <int R, int B>
CORRSHIFT_AVX2_INLINE void panel_tile_avx2(const double* panel, std::int32_t count, const unit_run* runs,
                                           std::int64_t b) noexcept {
    panel_row x[R];
    for (int t = 0; t < R; ++t) x[t] = panel_row_of(panel, count, runs[t].i);
    const double* y = panel + b * lanes * count;
    const std::int64_t step = static_cast<std::int64_t>(lanes) * count;
    __m256d s[R][B];
    for (int t = 0; t < R; ++t)
        for (int u = 0; u < B; ++u) s[t][u] = _mm256_setzero_pd();
    for (std::int32_t c = 0; c < count; ++c) {
        __m256d yc[B];
        for (int u = 0; u < B; ++u) yc[u] = _mm256_loadu_pd(y + u * step + c * lanes);
        for (int t = 0; t < R; ++t) {
            const __m256d xc = _mm256_set1_pd(x[t].at(c));
            for (int u = 0; u < B; ++u) s[t][u] = _mm256_add_pd(s[t][u], _mm256_mul_pd(xc, yc[u]));
        }
    }
    alignas(32) double dot[lanes];
    for (int t = 0; t < R; ++t)
        for (int u = 0; u < B; ++u) {
            _mm256_store_pd(dot, s[t][u]);
            store_lanes(dot, b + u, runs[t]);
        }
}

// unit_panel_block for the K blocks from b, each block's four rows side by side, one lane
// each: the sum of the values, the mean, the sum of squared deviations and the unit values
// with the operations of row_deviations in its order (a separate multiply, then add); the
// K blocks' chains run side by side. `values` holds K * lanes * count doubles.
template <int K>
CORRSHIFT_AVX2_INLINE void unit_panel_blocks_avx2(const float* const* rows, const std::int32_t* columns,
                                                  std::int32_t count, std::int64_t b, double* panel, double* mean,
                                                  double* squares, double* values) noexcept {
    const float* row[K][lanes];
    for (int q = 0; q < K; ++q)
        for (std::int32_t l = 0; l < lanes; ++l) row[q][l] = rows[(b + q) * lanes + l];
    const std::int64_t stride = std::int64_t{lanes} * count;
    __m256d sum[K], constant[K], first[K], m[K], s[K];
    for (int q = 0; q < K; ++q) {
        sum[q] = _mm256_setzero_pd();
        constant[q] = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        // No columns (a group of none): no first value to read; the row is constant.
        first[q] = count > 0 ? _mm256_cvtps_pd(_mm_setr_ps(row[q][0][columns[0]], row[q][1][columns[0]],
                                                           row[q][2][columns[0]], row[q][3][columns[0]]))
                             : _mm256_setzero_pd();
    }
    for (std::int32_t c = 0; c < count; ++c) {
        const std::int32_t k = columns[c];
        for (int q = 0; q < K; ++q) {
            const __m256d v = _mm256_cvtps_pd(_mm_setr_ps(row[q][0][k], row[q][1][k], row[q][2][k], row[q][3][k]));
            _mm256_storeu_pd(values + q * stride + c * lanes, v);
            sum[q] = _mm256_add_pd(sum[q], v);
            // Equal floats are equal doubles; NaN equals nothing, as in row_deviations.
            constant[q] = _mm256_and_pd(constant[q], _mm256_cmp_pd(v, first[q], _CMP_EQ_OQ));
        }
    }
    const __m256d m_count = _mm256_set1_pd(static_cast<double>(count));
    for (int q = 0; q < K; ++q) m[q] = _mm256_div_pd(sum[q], m_count), s[q] = _mm256_setzero_pd();
    for (std::int32_t c = 0; c < count; ++c)
        for (int q = 0; q < K; ++q) {
            const __m256d d = _mm256_sub_pd(_mm256_loadu_pd(values + q * stride + c * lanes), m[q]);
            s[q] = _mm256_add_pd(s[q], _mm256_mul_pd(d, d));
        }
    const __m256d nan = _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN());
    for (int q = 0; q < K; ++q) {
        s[q] = _mm256_andnot_pd(constant[q], s[q]);  // exactly 0 for a constant row
        const __m256d norm = _mm256_sqrt_pd(s[q]);
        const __m256d positive = _mm256_cmp_pd(s[q], _mm256_setzero_pd(), _CMP_GT_OQ);
        double* block = panel + (b + q) * stride;
        const double* v = values + q * stride;
        for (std::int32_t c = 0; c < count; ++c)
            _mm256_storeu_pd(
                block + c * lanes,
                _mm256_blendv_pd(nan, _mm256_div_pd(_mm256_sub_pd(_mm256_loadu_pd(v + c * lanes), m[q]), norm),
                                 positive));
        if (mean) _mm256_storeu_pd(mean + (b + q) * lanes, m[q]);
        if (squares) _mm256_storeu_pd(squares + (b + q) * lanes, s[q]);
    }
}

// The whole blocks [first_block, last_block) (every row below nrows), two at a time.
CORRSHIFT_AVX2 void whole_unit_panel_blocks_avx2(const float* const* rows, const std::int32_t* columns,
                                                 std::int32_t count, std::int64_t first_block, std::int64_t last_block,
                                                 double* panel, double* mean, double* squares,
                                                 double* values) noexcept {
    std::int64_t b = first_block;
    for (; b + 2 <= last_block; b += 2)
        unit_panel_blocks_avx2<2>(rows, columns, count, b, panel, mean, squares, values);
    if (b < last_block) unit_panel_blocks_avx2<1>(rows, columns, count, b, panel, mean, squares, values);
}

// Up to four runs: blocks that all four meet go four rows at a time, two blocks at a
// time where the next block is met by all too; between them each run goes by itself,
// four blocks at a time while it lasts.
CORRSHIFT_AVX2 void run_group_avx2(const double* panel, std::int32_t count, const unit_run* runs,
                                   std::int32_t size) noexcept {
    std::int64_t first = runs[0].j0 / lanes, last = (runs[0].j0 + runs[0].n + lanes - 1) / lanes;
    for (std::int32_t t = 1; t < size; ++t) {
        first = std::min(first, runs[t].j0 / lanes);
        last = std::max(last, (runs[t].j0 + runs[t].n + lanes - 1) / lanes);
    }
    const auto all_meet = [&](std::int64_t b) {
        if (size < 4 || b >= last) return false;
        for (std::int32_t t = 0; t < size; ++t)
            if (!run_meets_block(runs[t], b)) return false;
        return true;
    };
    for (std::int64_t b = first; b < last;) {
        if (all_meet(b)) {
            if (all_meet(b + 1)) {
                panel_tile_avx2<4, 2>(panel, count, runs, b);
                b += 2;
            } else {
                panel_tile_avx2<4, 1>(panel, count, runs, b);
                b += 1;
            }
            continue;
        }
        std::int64_t end = b + 1;
        while (end < last && !all_meet(end)) ++end;
        for (std::int32_t t = 0; t < size; ++t) {
            const unit_run& r = runs[t];
            const std::int64_t lo = std::max(b, r.j0 / lanes);
            const std::int64_t hi = std::min(end, (r.j0 + r.n + lanes - 1) / lanes);
            std::int64_t u = lo;
            for (; u + 4 <= hi; u += 4) panel_tile_avx2<1, 4>(panel, count, &r, u);
            for (; u < hi; ++u) panel_tile_avx2<1, 1>(panel, count, &r, u);
        }
        b = end;
    }
}
#endif

}  // namespace

std::size_t unit_panel_size(std::int64_t rows, std::int32_t count) noexcept {
    const std::int64_t blocks = (rows + lanes - 1) / lanes;
    return static_cast<std::size_t>(blocks) * static_cast<std::size_t>(lanes) * static_cast<std::size_t>(count);
}

void unit_panel_of(const double* unit, std::int64_t rows, std::int32_t count, double* panel) noexcept {
    const std::int64_t padded = (rows + lanes - 1) / lanes * lanes;
    for (std::int64_t r = 0; r < padded; ++r) {
        double* block = panel + (r / lanes) * lanes * count + r % lanes;
        for (std::int32_t c = 0; c < count; ++c) block[c * lanes] = r < rows ? unit[r * count + c] : 0.0;
    }
}

void unit_panel_blocks(const float* const* rows, const std::int32_t* columns, std::int32_t count, std::int64_t nrows,
                       std::int64_t first_block, std::int64_t last_block, double* panel, double* mean, double* squares,
                       bool avx2) noexcept {
    std::vector<double> unit;
#if defined(__x86_64__)
    if (avx2) {
        std::vector<double> values(2 * static_cast<std::size_t>(lanes) * static_cast<std::size_t>(count));
        const std::int64_t whole = std::max(first_block, std::min(last_block, nrows / lanes));
        whole_unit_panel_blocks_avx2(rows, columns, count, first_block, whole, panel, mean, squares, values.data());
        for (std::int64_t b = whole; b < last_block; ++b)
            unit_panel_block(rows, columns, count, nrows, b, panel, mean, squares, unit);
        return;
    }
#else
    (void)avx2;
#endif
    for (std::int64_t b = first_block; b < last_block; ++b)
        unit_panel_block(rows, columns, count, nrows, b, panel, mean, squares, unit);
}

std::int64_t unit_block_rows(std::int32_t columns) noexcept {
    constexpr std::int64_t bytes = 256 * 1024;
    const std::int64_t rows = bytes / (8 * std::max<std::int64_t>(1, columns));
    return std::max<std::int64_t>(4 * lanes, rows / lanes * lanes);
}

void panel_correlations(const unit_vectors& unit, const unit_run* runs, std::int32_t count, bool avx2) noexcept {
#if defined(__x86_64__)
    if (avx2) {
        // The long runs four at a time from the panel, the short ones by row.
        unit_run group[4];
        std::int32_t size = 0;
        for (std::int32_t t = 0; t < count; ++t) {
            if (runs[t].n < lanes) {
                run_correlations_by_row(unit, runs[t]);
                continue;
            }
            group[size++] = runs[t];
            if (size == 4) {
                run_group_avx2(unit.panel, unit.columns, group, size);
                size = 0;
            }
        }
        if (size > 0) run_group_avx2(unit.panel, unit.columns, group, size);
        return;
    }
#else
    (void)avx2;
#endif
    for (std::int32_t t = 0; t < count; ++t) run_correlations_by_row(unit, runs[t]);
}

double fisher_z_exact(double first_r, double second_r) noexcept {
    const double bound = static_cast<double>(0.99f);
    double c1 = first_r < -bound ? -bound : first_r;
    c1 = c1 > bound ? bound : c1;
    double c2 = second_r < -bound ? -bound : second_r;
    c2 = c2 > bound ? bound : c2;
    return std::atanh(c1) - std::atanh(c2);
}

double fisher_standard_error(std::int32_t first_count, std::int32_t second_count, bool by_rank) noexcept {
    const double factor = by_rank ? 1.06 : 1.0;
    return std::sqrt(factor / static_cast<double>(first_count - 3) + factor / static_cast<double>(second_count - 3));
}

double normal_p_value_exact(double z, tail alternative) noexcept {
    const double root2 = std::sqrt(2.0);
    switch (alternative) {
        case tail::two_sided:
            return std::erfc(std::fabs(z) / root2);
        case tail::greater:
            return 0.5 * std::erfc(z / root2);
        case tail::less:
            return 0.5 * std::erfc(-z / root2);
        case tail::none:
            break;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

void fisher_difference(const float* first_r, std::int32_t first_count, const float* second_r, std::int32_t second_count,
                       float* z_diff, float* p_value, std::int64_t begin, std::int64_t end, const std::string& method,
                       const std::string& alternative) noexcept {
    const fisher_weights w = fisher_weights_of(first_count, second_count, method);
    for (std::int64_t k = begin; k < end; ++k) {
        const float d = fisher_z(first_r[k], second_r[k]);
        if (p_value) p_value[k] = normal_p_value(d, w.se, alternative);
        z_diff[k] = d;
    }
}

void ztest_worker(const float* data, std::int64_t ncols, const std::int32_t* first_rows,
                  const std::int32_t* second_rows, std::int64_t begin, std::int64_t end, std::int32_t nrows,
                  const std::int32_t* first_columns, const std::int32_t* second_columns, std::int32_t first_count,
                  std::int32_t second_count, float* first_r, float* second_r, float* z_diff, float* p_value,
                  const std::string& method, const std::string& alternative) noexcept {
    pair_correlation(data, ncols, first_rows, second_rows, first_r, begin, end, nrows, first_columns, first_count);
    pair_correlation(data, ncols, first_rows, second_rows, second_r, begin, end, nrows, second_columns, second_count);
    fisher_difference(first_r, first_count, second_r, second_count, z_diff, p_value, begin, end, method, alternative);
}

}  // namespace corrshift
