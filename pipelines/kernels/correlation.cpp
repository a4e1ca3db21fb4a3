#include "pipelines/kernels/correlation.hpp"

#include <cmath>
#include <limits>

#include "common/options.hpp"

namespace corrshift {

row_pair pair_from_index(std::int64_t k, std::int64_t n) noexcept {
    const std::int64_t e = 2 * n - 1;
    const std::int64_t f = e * e - 8 * k;
    const auto i = static_cast<std::int64_t>(
        std::floor((static_cast<double>(e) - std::sqrt(static_cast<double>(f))) * 0.5));
    const std::int64_t j = ((((i + 1) * (i + 2) / 2) % n) + (k % n)) % n;
    return {static_cast<std::int32_t>(i), static_cast<std::int32_t>(j)};
}

float correlation(const float* data, std::int64_t ncols, std::int32_t i, std::int32_t j,
                  const std::int32_t* columns, std::int32_t column_count) noexcept {
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
            return 2.0f * static_cast<float>(
                              0.5 * std::erfc(static_cast<double>(std::fabs(d) / se) / std::sqrt(2.0)));
        case tail::none:
            break;
    }
    return -2.0f;
}

double unit_correlation(const double* x, const double* y, std::int32_t count) noexcept {
    double dot = 0.0;
    for (std::int32_t c = 0; c < count; ++c) dot += x[c] * y[c];
    if (dot > 1.0) return 1.0;
    if (dot < -1.0) return -1.0;
    return dot;
}

void unit_correlations(const double* x, const double* y, std::int64_t rows, std::int32_t count,
                       double* out) noexcept {
    std::int64_t j = 0;
    for (; j + 4 <= rows; j += 4) {
        const double* y0 = y + j * count;
        double dot[4] = {0.0, 0.0, 0.0, 0.0};
        for (std::int32_t c = 0; c < count; ++c)
            for (int l = 0; l < 4; ++l) dot[l] += x[c] * y0[l * count + c];
        for (int l = 0; l < 4; ++l) out[j + l] = dot[l] > 1.0 ? 1.0 : (dot[l] < -1.0 ? -1.0 : dot[l]);
    }
    for (; j < rows; ++j) out[j] = unit_correlation(x, y + j * count, count);
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

void fisher_difference(const float* first_r, std::int32_t first_count, const float* second_r,
                       std::int32_t second_count, float* z_diff, float* p_value, std::int64_t begin,
                       std::int64_t end, const std::string& method, const std::string& alternative) noexcept {
    const fisher_weights w = fisher_weights_of(first_count, second_count, method);
    for (std::int64_t k = begin; k < end; ++k) {
        const float d = fisher_z(first_r[k], second_r[k]);
        if (p_value) p_value[k] = normal_p_value(d, w.se, alternative);
        z_diff[k] = d;
    }
}

void ztest_worker(const float* data, std::int64_t ncols, const std::int32_t* first_rows,
                  const std::int32_t* second_rows, std::int64_t begin, std::int64_t end, std::int32_t nrows,
                  const std::int32_t* first_columns, const std::int32_t* second_columns,
                  std::int32_t first_count, std::int32_t second_count, float* first_r, float* second_r,
                  float* z_diff, float* p_value, const std::string& method,
                  const std::string& alternative) noexcept {
    pair_correlation(data, ncols, first_rows, second_rows, first_r, begin, end, nrows, first_columns,
                     first_count);
    pair_correlation(data, ncols, first_rows, second_rows, second_r, begin, end, nrows, second_columns,
                     second_count);
    fisher_difference(first_r, first_count, second_r, second_count, z_diff, p_value, begin, end, method,
                      alternative);
}

}  // namespace corrshift
