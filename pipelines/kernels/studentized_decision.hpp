// Deciding that a permutation pass's studentized statistic lies below a threshold without
// its logarithm: the decision, and its proof. The robust passes (robust_pass.cpp) count a
// pass when its extremeness e (|T|, T or -T for "two-sided", "greater", "less") is at least
// a threshold, and keep a pair's largest e; most passes lie far below both, and this test
// settles them from the pass's clamped correlations and squared standard error alone, so
// that only the others evaluate T = fisher_log_difference(c1, c2) / sqrt(se2).
#pragma once

#include "pipelines/kernels/exceedance.hpp"

namespace corrshift {

// 1 - 2^-40: how far below the threshold the bound must lie.
constexpr double studentized_below_margin = 1.0 - 0x1p-40;

// True only where the e that studentized_value gives for (c1, c2, se2) is below thr, with
// c1 and c2 clamped correlations (|c| <= 0.9999) and se2 studentized_se2's value; false
// (undecided) also wherever a value is NaN or out of the ranges below.
//
// Why. u = 2^-53; starred values are real-number results of the given doubles.
//  1. The bound. D* = atanh c1 - atanh c2 = ln(Q)/2 with Q = N*/M*, N* = (1 + c1)(1 - c2),
//     M* = (1 - c1)(1 + c2), both at least 1e-8 > 0. For every Q > 0, |ln Q| <= |Q - 1|/sqrt(Q)
//     (f(Q) = (Q - 1)/sqrt(Q) - ln Q has f(1) = 0 and f'(Q) = (sqrt(Q) - 1)^2 / (2 Q^1.5) >= 0),
//     so D*^2 <= (Q - 1)^2 / (4Q) = (N* - M*)^2 / (4 N* M*) = (c1 - c2)^2 / (N* M*), since
//     N* - M* = 2 (c1 - c2).
//  2. The test's rounding. d = fl(c1 - c2) is within u of c1 - c2, so fl(d d) >= (c1 - c2)^2
//     (1 - 3u). n and m round three times each, n m, its product with se2, thr thr, its
//     product with the margin k and the final product once each: the right side is at most
//     thr^2 k N* M* se2 (1 + 12u) (no overflow or underflow: se2 and thr lie in the ranges
//     checked, N* M* in [1e-16, 16]). So a passed test gives
//         D*^2 < thr^2 se2 k (1 + 16u).
//  3. The exact path's rounding. fisher_log_difference forms the non-negative argument x of
//     log1p with 5 roundings (x within 5.01u x*), and log1p(x) is then within 5.02u of
//     log1p(x*) (log1p(x*) >= x*/(1 + x*)); with the library's log1p within 2 ulp, |D| <=
//     |D*| (1 + 9.1u). sqrt and the division round once each: |T| <= (|D*| / sqrt(se2))
//     (1 + 11.2u).
//  4. Together, |T| < thr sqrt(k (1 + 16u)) (1 + 11.2u) <= thr (1 - 2^-41 + 20u) < thr, so
//     e <= |T| < thr. (The margin 2^-40 is 4000 times the rounding terms: a log1p off by far
//     more than 2 ulp would still be covered.)
//  5. One-sided. With se2 > 0, "greater" has T <= 0 where c1 <= c2 (the difference is
//     -log1p(x)/2 <= 0, or 0), so e = T <= 0 < thr; "less" likewise where c1 >= c2. The other
//     side has e <= |T| and takes the test of 1-4.
// A decided pass has a finite T (|c| <= 0.9999 and se2 > 0 finite): it is defined.
inline bool surely_below(tail rule, double c1, double c2, double se2, double thr) noexcept {
    if (!(thr >= 0x1p-200 && thr <= 0x1p200 && se2 >= 0x1p-500 && se2 <= 0x1p500)) return false;
    if (rule == tail::greater && c1 <= c2) return true;
    if (rule == tail::less && c1 >= c2) return true;
    const double d = c1 - c2;
    const double n = (1.0 + c1) * (1.0 - c2);
    const double m = (1.0 - c1) * (1.0 + c2);
    return d * d < ((thr * thr) * studentized_below_margin) * ((n * m) * se2);
}

}  // namespace corrshift
