// Deciding that a pair's p-value lies above a limit from its correlations alone (the
// decision of p_limit_decision.hpp), its proof, and the code that applies it.
#include "pipelines/kernels/p_limit_decision.hpp"

#include <cmath>

#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

// The exact path of a pair (correlation.cpp) clamps its double correlations to
// c = clamp(r, +-b), b = 0.99f, and computes d = fl(atanh(c1) - atanh(c2)) with the C
// library's atanh, z = fl(d / se) and p = P(s) = h erfc(fl(s / rho)), rho = fl(sqrt 2), with
// the statistic s = |z| and h = 1 ("two-sided"), s = z ("greater") or s = -z ("less"), h = 1/2
// (a negation and a halving are exact, so these are the operations of
// normal_p_value_exact). Write delta for |d|, d or -d alike, and u = 2^-53.
//
// The decision. Find, by bisection, a statistic z* with P(z*) >= L' = fl(L (1 + 2^-20)),
// and check it there (the proof uses only that check, not that the computed P is
// monotone). Let D = fl(fl(z* se) - 2^-40) and the ratio threshold T = fl(exp(2 D)). With
// the computed A' = fl(fl(1 + c1) fl(1 - c2)) and B' = fl(fl(1 - c1) fl(1 + c2)), a pair is
// decided "p above L" when x < fl(fl(T y) M), M = 1 - 2^-40, with (x, y) = (max, min) of
// (A', B') ("two-sided"), (A', B') ("greater") or (B', A') ("less"). A NaN correlation makes
// A' and B' NaN, which fails the comparison: such pairs stay open.
//
// Assumed of the C library (it documents errors of a few ulps; the C++ tests measure them
// on samples against long double): atanh within 2^8 ulps, exp within 2^10 ulps, erfc within
// 2^10 ulps relative wherever its value is a normal number.
//
// Proof that a decided pair's p-value is defined and above L:
//  1. c lies in [-0.99, 0.99], so 1 + c and 1 - c lie in [0.01, 1.99] and are rounded once
//     (relative u), A' and B' once more: A' = A (1 + a), B' = B (1 + b), |a|, |b| <= 2.01u,
//     for the real A = (1 + c1)(1 - c2) and B = (1 - c1)(1 + c2). So the real ratio X / Y of
//     the rule's order (max over min for "two-sided", whose computed order may differ from
//     the real one only where both ratios are within 4.1u of 1, and x / y >= 1) satisfies
//     X / Y <= (x / y)(1 + 4.1u).
//  2. x < fl(fl(T y) M) <= T y M (1 + u)^2, so X / Y < T M (1 + 6.2u) < T (1 - 2^-40 + 2^-49) < T.
//     Since atanh(c1) - atanh(c2) = ln(A / B) / 2 exactly, the real delta of the pair is
//     ln(X / Y) / 2 < ln(T) / 2 <= D + 2^-43 (T within 2^10 ulps of e^(2D), rounded).
//  3. |atanh| <= atanh(0.99) < 2.65 has ulp 2^-51, so each library atanh is within 2^-43 and
//     the rounded difference (|d| < 5.3, half an ulp 2^-51) within 2^-42 + 2^-51 of the real
//     difference: the computed delta < D + 2^-43 + 2^-42 + 2^-51 < D + 2^-41. And
//     D <= z* se - 2^-40 + 2^-46 (|z* se| < 2^7: two roundings of half an ulp <= 2^-47), so
//     the computed delta < z* se.
//  4. The statistic s = fl(delta / se) (rounding is symmetric and monotone) is then at most
//     z*. The real phi(s) = h erfc(fl(s / rho)) does not increase with s; with erfc within
//     e = 2^-42 relative, phi(z*) >= P(z*) / (1 + e) >= L' / (1 + e), a normal number for
//     L >= 2^-1000, and P(s) >= phi(s)(1 - e) >= phi(z*)(1 - e) >= L (1 + 2^-20)(1 - u)(1 - 2e)
//     > L, and finite, so defined.
// The pairs left open are those within the margins of their threshold or beyond it: their
// p-values lie at most a factor 1 + 2^-20 above L, or below it.

namespace {

constexpr double clamp_bound = static_cast<double>(0.99f);
constexpr double ratio_margin = 1.0 - 0x1p-40;

// P(s) of the rule (above), as the exact path computes it.
double p_of_statistic(double s, tail rule) noexcept {
    return normal_p_value_exact(s, rule == tail::two_sided ? tail::two_sided : tail::greater);
}

double clamped(double r) noexcept {
    double c = r < -clamp_bound ? -clamp_bound : r;
    return c > clamp_bound ? clamp_bound : c;
}

// Whether the pair stays open (portable code; the AVX2 code makes the same operations).
bool open_pair(const p_limit_decision& d, double r1, double r2) noexcept {
    const double c1 = clamped(r1), c2 = clamped(r2);
    const double a = (1.0 + c1) * (1.0 - c2);
    const double b = (1.0 - c1) * (1.0 + c2);
    double x = a, y = b;
    if (d.rule == tail::two_sided) {
        x = a > b ? a : b;
        y = a > b ? b : a;
    } else if (d.rule == tail::less) {
        x = b, y = a;
    }
    return !(x < (d.ratio * y) * ratio_margin);
}

#if defined(__x86_64__)
template <tail rule>
CORRSHIFT_AVX2 std::int64_t open_pairs_avx2(double ratio, const double* r1, const double* r2, std::int64_t n,
                                            std::int32_t* open) noexcept {
    const __m256d lo = _mm256_set1_pd(-clamp_bound), hi = _mm256_set1_pd(clamp_bound);
    const __m256d one = _mm256_set1_pd(1.0), t = _mm256_set1_pd(ratio), margin = _mm256_set1_pd(ratio_margin);
    std::int64_t count = 0;
    std::int64_t k = 0;
    for (; k + 4 <= n; k += 4) {
        // max and min return their second operand when either is NaN: NaN stays NaN.
        const __m256d c1 = _mm256_min_pd(hi, _mm256_max_pd(lo, _mm256_loadu_pd(r1 + k)));
        const __m256d c2 = _mm256_min_pd(hi, _mm256_max_pd(lo, _mm256_loadu_pd(r2 + k)));
        const __m256d a = _mm256_mul_pd(_mm256_add_pd(one, c1), _mm256_sub_pd(one, c2));
        const __m256d b = _mm256_mul_pd(_mm256_sub_pd(one, c1), _mm256_add_pd(one, c2));
        __m256d x = a, y = b;
        if constexpr (rule == tail::two_sided) {
            // A NaN lane has both A' and B' NaN, so max and min give NaN.
            x = _mm256_max_pd(a, b);
            y = _mm256_min_pd(a, b);
        } else if constexpr (rule == tail::less) {
            x = b, y = a;
        }
        const __m256d decided = _mm256_cmp_pd(x, _mm256_mul_pd(_mm256_mul_pd(t, y), margin), _CMP_LT_OQ);
        unsigned bits = ~static_cast<unsigned>(_mm256_movemask_pd(decided)) & 0xFu;
        while (bits != 0) {
            open[count++] = static_cast<std::int32_t>(k + __builtin_ctz(bits));
            bits &= bits - 1;
        }
    }
    const p_limit_decision d{rule, ratio};
    for (; k < n; ++k)
        if (open_pair(d, r1[k], r2[k])) open[count++] = static_cast<std::int32_t>(k);
    return count;
}
#endif

}  // namespace

p_limit_decision p_limit_decision_of(double limit, double se, tail alternative) {
    if (alternative == tail::none || !(limit >= 0x1p-1000) || !(se > 0.0) || !std::isfinite(se)) return {};
    const double wanted = limit * (1.0 + 0x1p-20);
    const bool two_sided = alternative == tail::two_sided;
    double lo = two_sided ? 0.0 : -64.0, hi = 64.0;
    if (!(p_of_statistic(lo, alternative) >= wanted)) return {};  // no statistic gives a p-value above it
    if (p_of_statistic(hi, alternative) >= wanted) {
        lo = hi;
    } else {
        // P(lo) >= wanted > P(hi) throughout.
        for (int step = 0; step < 200 && lo < hi; ++step) {
            const double mid = lo + 0.5 * (hi - lo);
            if (mid <= lo || mid >= hi) break;
            (p_of_statistic(mid, alternative) >= wanted ? lo : hi) = mid;
        }
    }
    const double z = lo;
    if (!(p_of_statistic(z, alternative) >= wanted)) return {};  // the check the proof rests on
    const double d = z * se - 0x1p-40;
    return {alternative, std::exp(2.0 * d)};
}

std::int64_t p_limit_open(const p_limit_decision& decision, const double* r1, const double* r2, std::int64_t n,
                          std::int32_t* open, bool avx2) noexcept {
    if (decision.rule == tail::none) {
        for (std::int64_t k = 0; k < n; ++k) open[k] = static_cast<std::int32_t>(k);
        return n;
    }
#if defined(__x86_64__)
    if (avx2) {
        switch (decision.rule) {
            case tail::two_sided:
                return open_pairs_avx2<tail::two_sided>(decision.ratio, r1, r2, n, open);
            case tail::greater:
                return open_pairs_avx2<tail::greater>(decision.ratio, r1, r2, n, open);
            case tail::less:
                return open_pairs_avx2<tail::less>(decision.ratio, r1, r2, n, open);
            case tail::none:
                break;
        }
    }
#else
    (void)avx2;
#endif
    std::int64_t count = 0;
    for (std::int64_t k = 0; k < n; ++k)
        if (open_pair(decision, r1[k], r2[k])) open[count++] = static_cast<std::int32_t>(k);
    return count;
}

}  // namespace corrshift
