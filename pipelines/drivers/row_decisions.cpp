#include "pipelines/drivers/row_decisions.hpp"

#include <cmath>
#include <limits>

namespace corrshift {

observed_rows::observed_rows(std::int64_t rows, tail rule)
    : rule_(rule), observed_(static_cast<std::size_t>(rows + 32), std::numeric_limits<float>::quiet_NaN()) {}

void observed_rows::set_observed(const float* observed, std::int64_t item0, std::int64_t count) {
    item0_ = item0;
    count_ = count;
    std::copy_n(observed, count, observed_.begin() + item0);
}

median_tallies::median_tallies(std::int64_t rows, std::int64_t m, tail rule)
    : observed_rows(rows, rule),
      m_(m),
      thresholds_(observed_.size()),
      below_(observed_.size()),
      nan_(observed_.size()) {}

void median_tallies::set_observed(const float* observed, std::int64_t item0, std::int64_t count) {
    observed_rows::set_observed(observed, item0, count);
    for (std::size_t p = 0; p < observed_.size(); ++p) thresholds_[p] = decision_threshold(rule_, observed_[p]);
}

void median_tallies::add(const std::vector<std::int32_t>& below, const std::vector<std::int32_t>& nan) {
    for (std::size_t p = 0; p < below.size(); ++p) below_[p] += below[p], nan_[p] += nan[p];
}

void median_tallies::decide(const exceedance_count& counting) const {
    // The median is element at = floor(m / 2) (in single precision) of the row's values
    // in ascending order, NaN last. The values below o come first, then the numbers at
    // or above it, then the NaN: so median >= o exactly when at least at + 1 numbers
    // exist and at most `at` of them lie below o; median <= o ("less", whose tally counts
    // the values at or below o) exactly when more than `at` do. A NaN observed score is
    // never exceeded; a row without pairs scores 0.
    if (rule_ == tail::none) return;  // an unknown alternative counts nothing
    const auto at = static_cast<std::int64_t>(static_cast<std::uint64_t>(static_cast<float>(m_) * 0.5f));
    for (std::int64_t p = 0; p < count_; ++p) {
        const std::size_t row = static_cast<std::size_t>(item0_ + p);
        const float o = observed_[row];
        bool hit;
        if (m_ == 0)
            hit = rule_ == tail::less ? 0.0f <= o : rule_ == tail::greater ? 0.0f >= o : 0.0f >= std::fabs(o);
        else if (std::isnan(o))
            hit = false;
        else if (rule_ == tail::less)
            hit = below_[row] > at;
        else
            hit = below_[row] <= at && m_ - nan_[row] > at;
        if (hit) counting.add_one(p);
    }
}

mean_sums::mean_sums(std::int64_t rows, std::int64_t n, tail rule)
    : observed_rows(rows, rule), n_(n), sums_(observed_.size()) {}

void mean_sums::add(const std::vector<float>& sums, const std::vector<float>& lanes) {
    for (std::size_t p = 0; p < sums.size(); ++p) {
        float row = sums[p];
        for (std::size_t l = 0; l < 8; ++l) row += lanes[8 * p + l];
        sums_[p] += row;
    }
}

int mean_sums::decide(std::int64_t row) const {
    // The exact score is x = fl(S / c), S the float sum of the m = n - 1 values |z| in
    // row order and c = m. With T the exact sum of those |z| and T' that of the
    // estimates (each within sum_error), and S' the float sum of the estimates in any
    // order: a float sum of m nonnegative terms along at most k = m + 64 additions lies
    // within g = k u / (1 - k u) relative of the exact sum (u = 2^-24), so
    // |S - S'| <= g (T + T') + m sum_error, with T' <= S' / (1 - g) and
    // T <= T' + m sum_error. x then lies within [(S' - E)(1 - u), (S' + E)(1 + u)] / c.
    const float o = observed_[static_cast<std::size_t>(row)];
    if (std::isnan(o)) return -1;
    const double m = static_cast<double>(n_ - 1);
    if (m <= 0.0) {
        // No pairs: the score of an empty set, 0.
        const bool hit = rule_ == tail::less ? 0.0f <= o : rule_ == tail::greater ? 0.0f >= o : 0.0f >= std::fabs(o);
        return hit ? 1 : -1;
    }
    const double estimate = sums_[static_cast<std::size_t>(row)];
    if (!std::isfinite(estimate)) return 0;
    const double u = 0x1p-24, g = (m + 64.0) * u / (1.0 - (m + 64.0) * u), spread = m * sum_error;
    const double t_estimate = estimate / (1.0 - g);
    // A little more than the bound, for the double roundings of these lines.
    const double error = (g * (2.0 * t_estimate + spread) + spread) * 1.001 + 1e-30;
    const double low = (estimate - error) * (1.0 - u) / m, high = (estimate + error) * (1.0 + u) / m;
    const double theta = rule_ == tail::two_sided ? std::fabs(o) : o;
    if (rule_ == tail::less) return high < theta ? 1 : low > theta ? -1 : 0;
    return low > theta ? 1 : high < theta ? -1 : 0;
}

}  // namespace corrshift
