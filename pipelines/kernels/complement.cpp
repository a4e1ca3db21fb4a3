#include "pipelines/kernels/complement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corrshift {

namespace {

constexpr double unit_roundoff = 0x1p-24;

double gamma_of(std::int32_t m) { return m * unit_roundoff / (1.0 - m * unit_roundoff); }

// The bound E = (2C + 4.5u)(1 + 2^-10) on the exact path's error in a correlation of a
// row whose group values have b = |mean| / sd (a^2 = 1 + b^2), with C = gamma_(m+1) a^2 +
// 2 gamma_m a b + u b^2, rounded up to float; +inf where C > 2^-12, beyond which the
// second-order terms are not held.
float error_bound(std::int32_t m, double b) {
    const double a2 = 1.0 + b * b;
    const double c = gamma_of(m + 1) * a2 + 2.0 * gamma_of(m) * std::sqrt(a2) * b + unit_roundoff * b * b;
    if (!(c <= 0x1p-12)) return std::numeric_limits<float>::infinity();
    return static_cast<float>((2.0 * c + 4.5 * unit_roundoff) * (1.0 + 0x1p-10) * (1.0 + 0x1p-20));
}

}  // namespace

void total_moments(const float* const* rows, const std::int32_t* columns, std::int32_t count, std::int64_t first,
                   std::int64_t last, double* mean, double* squares, double* unit) {
    for (std::int64_t i = first; i < last; ++i)
        row_deviations(rows[i], columns, count, mean[i], squares[i], unit ? unit + (i - first) * count : nullptr);
}

void complement_pass_rows(const float* const* rows, const std::int32_t* summed_columns, std::int32_t summed_count,
                          std::int32_t derived_count, const double* mean, const double* squares,
                          const packed_group& summed, const packed_group& derived, bool standardised,
                          std::int64_t first, std::int64_t last, const complement_rows& out) {
    const double ms = summed_count, md = derived_count, m = ms + md;
    const double shift_scale = std::sqrt(m / (ms * md));
    for (std::int64_t i = first; i < last; ++i) {
        const float* row = rows[i];
        const double mu = mean[i], ss = squares[i];
        // Sums of the deviations from the row's mean over the summed group's columns.
        double dev = 0.0, dev2 = 0.0;
        for (std::int32_t c = 0; c < summed_count; ++c) {
            const double d = static_cast<double>(row[summed_columns[c]]) - mu;
            dev += d;
            dev2 += d * d;
        }
        const double ss_s = dev2 - dev * dev / ms;
        const double ss_d = (ss - dev2) - dev * dev / md;
        const bool known = ss > 0.0 && std::isfinite(ss) &&
                           (std::fabs(mu) / std::sqrt(ss / m) + std::sqrt(m)) * (m + 1.0) <= 0x1p22 &&
                           ss_s >= ss * 0x1p-10 && ss_d >= ss / 64.0;
        const bool packed = summed.var()[i] > 0.0f && derived.var()[i] > 0.0f && !std::isnan(summed.isd()[i]) &&
                            !std::isnan(derived.isd()[i]);
        if (!known || !packed) {
            out.spread[i] = 0.0f;
            out.inverse[i] = std::numeric_limits<float>::infinity();
            out.shift[i] = 0.0f;
            out.summed_error[i] = 0.0f;
            out.derived_error[i] = 0.0f;
            continue;
        }
        out.spread[i] = static_cast<float>(std::sqrt(ss_s / ss));
        out.inverse[i] = static_cast<float>(std::sqrt(ss / ss_d));
        out.shift[i] = static_cast<float>(dev * shift_scale / std::sqrt(ss));
        // b = |mean| / sd of each group's packed values: at most 2^-23 once standardised,
        // else the group's own (its mean mu + dev / ms, or mu - dev / md), a little
        // enlarged for the double roundings.
        const double bs = standardised ? 0x1p-23 : std::fabs(mu + dev / ms) / std::sqrt(ss_s / ms) * (1.0 + 0x1p-20);
        const double bd = standardised ? 0x1p-23 : std::fabs(mu - dev / md) / std::sqrt(ss_d / md) * (1.0 + 0x1p-20);
        out.summed_error[i] = error_bound(summed_count, bs);
        out.derived_error[i] = error_bound(derived_count, bd);
        if (std::isinf(out.summed_error[i]) || std::isinf(out.derived_error[i]))
            out.inverse[i] = std::numeric_limits<float>::infinity();
    }
}

void complement_panels(const complement_rows& rows, std::int64_t nrows, float* panels) {
    for (std::int64_t p = 0; p * 16 < nrows; ++p) {
        float g = 0.0f, f = 0.0f, cs = 0.0f, cd = 0.0f;
        for (std::int64_t i = p * 16; i < std::min(nrows, p * 16 + 16); ++i) {
            g = std::max(g, rows.inverse[i]);
            f = std::max(f, rows.spread[i]);
            cs = std::max(cs, rows.summed_error[i]);
            cd = std::max(cd, rows.derived_error[i]);
        }
        panels[4 * p] = g, panels[4 * p + 1] = f, panels[4 * p + 2] = cs, panels[4 * p + 3] = cd;
    }
}

}  // namespace corrshift
