// The public pipelines' bodies: the z-test for listed pairs of rows or for every pair, and
// the set and row scores of the Fisher differences, each tested by permutation. The fast
// kernel runs them through the block drivers (blocks.hpp) over every row and every pass;
// the straightforward kernel, the reference the tests and the benchmark compare with,
// keeps passes of its own.
#pragma once

#include <cstdint>
#include <string>

#include "common/set_scores.hpp"
#include "pipelines/drivers/permutation.hpp"

namespace corrshift {

// A call of a public pipeline: the matrix and the caller's groups, the option names as
// given, the permutation and job counts (checked by the binding layer) and the console.
struct pipeline_call {
    pass_input input;
    std::string method;       // "spearman", or any other name for Pearson
    std::string alternative;  // "two-sided", "greater", "less"; any other counts nothing
    std::string score;        // the score pipelines: "mean" or "median"
    std::int32_t permutations;
    std::int32_t jobs;  // at least 1; clamped to the item count by the score pipelines
    console_environment console;
};

// Where the results of a z-test go: five arrays of one entry per pair, owned by the caller.
struct ztest_outputs {
    float* first_r;
    float* second_r;
    float* z_diff;
    float* p_value;
    float* permutation_p;
};

// Runs the observed pass and the permutation passes over `pair_count` pairs:
// (first_rows[k], second_rows[k]) when the lists are given, else pair k of all rows.
// Both kernels give the same bits; `fast` is the one the module uses.
void ztest_pipeline(const pipeline_call& call, const std::int32_t* first_rows, const std::int32_t* second_rows,
                    std::int64_t pair_count, const ztest_outputs& out, kernel choice);

// Scores every set of `sets` (the runs of equal first rows of the listed pairs) in every
// pass; writes one entry per set to observed and p_values.
void score_pipeline_indexed(const pipeline_call& call, const std::int32_t* first_rows, const std::int32_t* second_rows,
                            std::int32_t pair_count, const labelled_runs& sets, float* observed, float* p_values,
                            kernel choice);

// Scores every row over its pairs with all other rows; nrows entries each to observed and
// p_values.
void score_pipeline_exhaustive(const pipeline_call& call, float* observed, float* p_values, kernel choice);

}  // namespace corrshift
