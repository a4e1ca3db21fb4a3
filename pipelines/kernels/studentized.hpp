// The studentized statistic of a difference of two groups' correlations, and the observed
// pass that computes it for pairs of rows (the API's statistics: rows standardised within
// each group in double, "spearman" by average ranks within each group).
//
// Per group g of n_g samples, u and v are a pair's rows standardised within the group
// (divisor n_g: mean 0, mean square 1), r = mean(u v), m_ab = mean(u^a v^b), and
//     tau^2 = max(0, (1 + r^2/2) m22 - r (m31 + m13) + (r^2/4)(m40 + m04)),
// the plug-in estimate of the asymptotic variance of sqrt(n_g)(r - rho) (it is (1 - r^2)^2
// for normal data). With c_g = r_g clamped to [-0.9999, 0.9999] and v_g = tau_g^2 / (1 - c_g^2)^2,
//     T = (atanh c1 - atanh c2) / sqrt(v1 / (n1 - 3) + v2 / (n2 - 3)),
// which is z_diff / se of the normal theory where v = 1. The Fisher difference is computed
// as one log1p of a non-negative argument (fisher_log_difference), accurate to a few units
// in the last place also where c1 and c2 are close or near the clamp.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "pipelines/kernels/exceedance.hpp"
#include "pipelines/kernels/lanes4.hpp"

namespace corrshift {

// |r| is clamped to this before the Fisher transform and in 1 - c^2.
constexpr double studentized_clamp = 0.9999;

// A permutation pass counts when its statistic is at least as extreme as the observed one
// less this share of the observed one's magnitude (absorbs the float noise of equivalent splits).
constexpr double studentized_tolerance = 1e-9;

// tau^2 of one group from r and the standardised moments, at least 0 (NaN becomes 0; a NaN
// r makes the statistic NaN anyway). The same operations for doubles and lanes4.
template <class V>
CORRSHIFT_LANES_INLINE V studentized_tau2(V r, V m22, V m31, V m13, V m40, V m04) noexcept {
    const V r2 = r * r;
    return positive_part((1.0 + r2 * 0.5) * m22 - r * (m31 + m13) + (r2 * 0.25) * (m40 + m04));
}

// The squared standard error v1 / (n1 - 3) + v2 / (n2 - 3) from the clamped correlations
// c_g and tau_g^2; d_g = n_g - 3.
template <class V>
CORRSHIFT_LANES_INLINE V studentized_se2(V c1, V tau1, V c2, V tau2, double d1, double d2) noexcept {
    const V q1 = 1.0 - c1 * c1;
    const V q2 = 1.0 - c2 * c2;
    return (tau1 / (q1 * q1)) / d1 + (tau2 / (q2 * q2)) / d2;
}

// atanh(c1) - atanh(c2) for clamped correlations: 0.5 log1p(2 (c1 - c2) / ((1 - c1)(1 + c2)))
// where c1 >= c2, else -0.5 log1p(2 (c2 - c1) / ((1 + c1)(1 - c2))); NaN for a NaN c.
double fisher_log_difference(double c1, double c2) noexcept;

// T = fisher_log_difference(c1, c2) / sqrt(se2): +-inf where se2 is 0 and the difference
// is not, NaN where both are 0.
inline double studentized_value(double c1, double c2, double se2) noexcept {
    return fisher_log_difference(c1, c2) / std::sqrt(se2);
}

// The rule's measure of how extreme T is: |T| ("two-sided"), T ("greater"), -T ("less").
inline double extremeness(tail rule, double t) noexcept {
    return rule == tail::two_sided ? std::fabs(t) : (rule == tail::less ? -t : t);
}

// The threshold a pass's extremeness must reach to count: e - 1e-9 |e| of the observed e.
inline double extremeness_threshold(double observed) noexcept {
    return observed - studentized_tolerance * std::fabs(observed);
}

// --- The observed pass -------------------------------------------------------------------

// One group's rows for the observed statistic: each row's unit vector u over the group's
// columns (its values, or for "spearman" its average ranks within the group, less their
// mean, over the root of their sum of squares: row_deviations in packing.hpp; NaN for a
// row constant within the group), u^2 = u u and u^3 = u^2 u value by value, and
// m40 = n (sum of u^2 u^2 in column order). The pair sums below are the dot products of
// these vectors: mean(u v) = sum(u v) and mean(u^a v^b) = n sum(u^a v^b) for a + b = 4.
struct studentized_group {
    std::int32_t columns = 0;
    std::int64_t rows = 0;
    std::vector<double> u, u2, u3;                    // row r at r * columns
    std::vector<double> panel_u, panel_u2, panel_u3;  // the same as unit panels (correlation.hpp)
    std::vector<double> m40;
};

// The group of the rows rows[0 .. count) over `columns` (n of them, out of the ncols of
// each row), with panels when `panels`; on `jobs` threads.
void studentized_group_of(const float* const* rows, std::int64_t count, std::int64_t ncols, const std::int32_t* columns,
                          std::int32_t n, bool by_rank, bool panels, std::int32_t jobs, studentized_group& out);

// A pair's four dot products in one group: sum(u v), sum(u^2 v^2), sum(u^3 v), sum(u v^3),
// each a sequential sum in column order, products rounded then added.
struct studentized_sums {
    double uv, u2v2, u3v, uv3;
};

studentized_sums studentized_pair_sums(const studentized_group& g, std::int64_t i, std::int64_t j) noexcept;

// Row i with the rows j0 .. j0 + n - 1 (n >= 1) into out[0 .. n): the same sums, four rows
// j at a time from the panels (lane by lane the same operations, so the same bits); the
// AVX2 code when `avx2`.
void studentized_run_sums(const studentized_group& g, std::int64_t i, std::int64_t j0, std::int64_t n,
                          studentized_sums* out, bool avx2) noexcept;

// The statistic of pair (i, j) from its sums in the two groups: r = sum(u v) clamped to
// [-1, 1], m22 = n sum(u^2 v^2), m31 = n sum(u^3 v), m13 = n sum(u v^3), m40 and m04 the
// rows'; NaN where a row is constant in a group.
double studentized_of_sums(const studentized_sums& s1, const studentized_group& g1, const studentized_sums& s2,
                           const studentized_group& g2, std::int64_t i, std::int64_t j) noexcept;

}  // namespace corrshift
