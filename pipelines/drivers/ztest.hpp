// The z-test pipeline: correlations, Fisher difference, normal and permutation p-values
// for listed pairs of rows or for every pair.
#pragma once

#include <cstdint>
#include <string>

#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/fast_kernel.hpp"
#include "pipelines/drivers/permutation.hpp"

namespace corrshift {

// Where the results of a z-test go: five arrays of one entry per pair, owned by the caller.
struct ztest_outputs {
    float* first_r;
    float* second_r;
    float* z_diff;
    float* p_value;
    float* permutation_p;
};

// One pass of a fast z-test worker's slice [begin, end) of pairs. In the observed pass
// (`counting` null) pairs(first_r, second_r, z_diff) writes the slice's values, followed
// by their normal p-values and the decision thresholds of the permutation passes; in a
// permutation pass counted(c) adds the slice's exceedances to c, which is `counting`
// with those thresholds.
template <class Pairs, class Counted>
void fast_ztest_slice(std::int64_t begin, std::int64_t end, const ztest_outputs& out, float se,
                      const std::string& alternative, float* thresholds, const exceedance_count* counting,
                      const Pairs& pairs, const Counted& counted) {
    if (counting) {
        exceedance_count c = *counting;
        c.thresholds = thresholds;
        counted(c);
        return;
    }
    pairs(out.first_r, out.second_r, out.z_diff);
    const tail rule = tail_of(alternative);
    for (std::int64_t k = begin; k < end; ++k) {
        out.p_value[k] = normal_p_value(out.z_diff[k], se, alternative);
        if (thresholds) thresholds[k] = decision_threshold(rule, out.z_diff[k]);
    }
}

// Runs the observed pass and `permutations` permutation passes over `pair_count` pairs:
// (first_rows[k], second_rows[k]) when the lists are given, else pair k of all nrows rows.
// The arguments must have passed the z-test checks; `jobs` is at least 1 and not clamped.
// Both kernels give the same bits; `fast` is the one the module uses.
void ztest_pipeline(const float* data, std::int32_t nrows, std::int32_t ncols,
                    const std::int32_t* first_rows, const std::int32_t* second_rows,
                    std::int64_t pair_count, const column_groups& groups, const std::string& method,
                    const std::string& alternative, std::int32_t permutations, std::int32_t jobs,
                    const ztest_outputs& out, const pass_environment& env, kernel choice);

}  // namespace corrshift
