// Deciding, in the API's observed pass, that a pair's float64 p-value lies above a limit
// without computing it: no atanh, no erfc, only a ratio of products of the pair's double
// correlations. The pairs the decision leaves open take the exact path (fisher_z_exact,
// normal_p_value_exact), so every p-value at most the limit is the exact one, bit for bit;
// the proof is in p_limit_decision.cpp.
#pragma once

#include <cstdint>

#include "pipelines/kernels/exceedance.hpp"

namespace corrshift {

// A decision of "p-value above the limit" for one block: which statistic is compared (the
// rule of the test's alternative; tail::none decides nothing, every pair stays open) and
// the threshold on the ratio of the pair's products.
struct p_limit_decision {
    tail rule = tail::none;
    double ratio = 0.0;
};

// The decision for p-values above `limit` of a z_diff with standard error `se`
// (fisher_standard_error) under `alternative`. It decides nothing where its proof does not
// hold: a limit that is NaN, below 2^-1000, or so large that no statistic gives a p-value
// above it.
p_limit_decision p_limit_decision_of(double limit, double se, tail alternative);

// For the pairs k < n with the double correlations r1[k] and r2[k] (panel_correlations:
// clamped to [-1, 1], NaN for a constant row): writes the k of every pair left open
// (whose p-value may be at most the limit, or NaN) to open[0 .. count) in ascending order
// and returns count. Every other pair's p-value is defined and above the limit. `avx2`
// chooses the AVX2 code (the processor has it) or the portable code; both decide alike.
std::int64_t p_limit_open(const p_limit_decision& decision, const double* r1, const double* r2, std::int64_t n,
                          std::int32_t* open, bool avx2) noexcept;

}  // namespace corrshift
