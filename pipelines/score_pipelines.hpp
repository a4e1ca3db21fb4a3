// Set scores of Fisher differences, tested by permutation: sets of listed pairs that
// share their first row, or every row against all others.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fast_kernel.hpp"
#include "permutation.hpp"

namespace corrshift {

// Sets of pairs: runs of equal first rows, the pair positions [starts[g], ends[g]).
struct pair_sets {
    std::vector<std::int32_t> labels;
    std::vector<std::int32_t> starts;
    std::vector<std::int32_t> ends;
};
pair_sets pair_sets_of(const std::int32_t* first_rows, std::int32_t pair_count);

// One worker's part of a set-score pass with the fast kernel: the pairs of the sets
// [first, last) into z_diff (by_row packs), then the sets' scores into out.
void score_sets(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                const std::int32_t* second_rows, const pair_sets& sets, std::int64_t first, std::int64_t last,
                bool use_mean, bool absolute, float* z_diff, float* out);

// The scores of the sets [first, last) from their pairs' z_diff: mean of |z| or the median.
void score_set_values(const float* z_diff, const pair_sets& sets, std::int64_t first, std::int64_t last,
                      bool use_mean, bool absolute, float* out);

// Scores every set of `sets` ("mean" or "median", which must be recognised) in the
// observed pass and `permutations` permutation passes; writes set_count entries each to
// observed and p_values. `jobs` is already clamped to the set count.
void score_pipeline_indexed(const float* data, std::int32_t nrows, std::int32_t ncols,
                            const std::int32_t* first_rows, const std::int32_t* second_rows,
                            std::int32_t pair_count, const pair_sets& sets, const column_groups& groups,
                            const std::string& method, const std::string& score,
                            const std::string& alternative, std::int32_t permutations, std::int32_t jobs,
                            float* observed, float* p_values, const pass_environment& env,
                            kernel choice);

// Scores every row over its pairs with all other rows; nrows entries each to observed and
// p_values. `jobs` is already clamped to nrows. Both kernels give the same bits.
void score_pipeline_exhaustive(const float* data, std::int32_t nrows, std::int32_t ncols,
                               const column_groups& groups, const std::string& method,
                               const std::string& score, const std::string& alternative,
                               std::int32_t permutations, std::int32_t jobs, float* observed,
                               float* p_values, const pass_environment& env, kernel choice);

}  // namespace corrshift
