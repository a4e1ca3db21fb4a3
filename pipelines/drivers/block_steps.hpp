// The steps that the z-test blocks (ztest_blocks.cpp) and the score blocks
// (score_blocks.cpp) share: threads per stage, the pass loop of a block, packing a pass,
// the counts of the permutation passes and the rows of listed pairs. Internal to the
// block drivers.
#pragma once

#include <cstdint>
#include <vector>

#include "pipelines/drivers/blocks.hpp"
#include "pipelines/drivers/permutation.hpp"
#include "pipelines/kernels/fast_kernel.hpp"

namespace corrshift {

// Threads for a stage of `items` items: the caller's count, without idle ones unless
// the options ask for all of them.
std::int32_t stage_jobs(const block_options& options, std::int64_t items);

// The pass loop of a block over the data rows `rows` (ascending) and `items` items.
pass_loop loop_of(const std::vector<std::int32_t>& rows, const block_options& options, std::int64_t items,
                  bool scorer_counts);

// Packs both groups of a pass, standardised within each group for the API's statistics.
void pack_pass(const block_options& options, packed_group& g1, packed_group& g2, const float* const* source,
               const column_groups& g, std::int64_t packed);

// Whether the block's pass range holds a permutation pass.
bool has_permutation_passes(const block_options& options);

// Where the block's permutation passes add their exceedances of `observed`.
exceedance_count counting_of(const block_options& options, const float* observed, const count_array& counts);

// Appends the data rows [first, last) to rows.
void add_range(std::vector<std::int32_t>& rows, std::int64_t first, std::int64_t last);

// The distinct rows of listed pairs in ascending order, and the pair lists renumbered
// into that list: packing only those rows keeps every row's values and moments.
struct listed_rows {
    std::vector<std::int32_t> rows;
    std::vector<std::int32_t> first;
    std::vector<std::int32_t> second;
};

listed_rows listed_rows_of(const std::int32_t* first_rows, const std::int32_t* second_rows, std::int32_t pair_count);

}  // namespace corrshift
