// The z-test pipeline: correlations, Fisher difference, normal and permutation p-values
// for listed pairs of rows or for every pair.
#pragma once

#include <cstdint>
#include <string>

#include "fast_kernel.hpp"
#include "permutation.hpp"

namespace corrshift {

// Where the results of a z-test go: five arrays of one entry per pair, owned by the caller.
struct ztest_outputs {
    float* first_r;
    float* second_r;
    float* z_diff;
    float* p_value;
    float* permutation_p;
};

// The end of a fast z-test worker's slice [begin, end): normal p-values where p_value is
// given (the observed pass), exceedances where counting is (a counted permutation pass).
void finish_ztest_slice(const float* z_diff, std::int64_t begin, std::int64_t end, float* p_value, float se,
                        const std::string& alternative, const exceedance_count* counting);

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
