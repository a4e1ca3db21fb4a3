// Block drivers: a part of an all-pairs z-test, of the row scores or of the set scores,
// over a range of passes, with the same bits as the whole pipelines. Each pair's
// statistics depend only on its two rows and the split of a pass only on the column
// count and the fixed seed, so tiles of rows by ranges of passes, with their exceedance
// counts added, reproduce one call of a public pipeline.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pipelines/kernels/fast_kernel.hpp"
#include "pipelines/drivers/permutation.hpp"
#include "pipelines/drivers/score_pipelines.hpp"

namespace corrshift {

// Half-open range of data rows.
struct row_range {
    std::int64_t first;
    std::int64_t last;
};

// The passes [first, last) a block computes (0 is the observed pass, r >= 1 the r-th
// permutation pass) and its thread count (at least 1; a stage never starts more threads
// than it has items). The observed pass is always computed; counts cover the
// permutation passes of the range.
struct block_passes {
    std::int32_t first;
    std::int32_t last;
    std::int32_t jobs;
};

// What the caller's environment provides: a check at the top of every computed pass
// that throws to end the call, and a report after each pass of the range with the number
// of the range's passes done so far.
struct block_environment {
    std::function<void()> check_interrupt;
    std::function<void(std::int32_t done)> progress;
};

// Pairs of a tile: x rows as plan rows r = 0 .. rows-1 (x-pack index x0 + r), row r
// paired with the y-pack rows spans[r]; its pairs are outputs [offsets[r], offsets[r+1]).
struct pair_plan {
    std::int64_t x0 = 0;
    std::vector<row_span> spans;
    std::vector<std::int64_t> offsets;

    // Adds a row with the y rows [lo, hi) (none when hi <= lo).
    void add_row(std::int64_t lo, std::int64_t hi);
    std::int64_t pair_count() const noexcept { return offsets.empty() ? 0 : offsets.back(); }
};

// Outputs [begin, end) of a plan: z_diff and, where given, the correlations.
void plan_pairs(const fast_kernel_paths& paths, const pair_packs& packs, const pair_plan& plan, std::int64_t begin,
                std::int64_t end, float* first_r, float* second_r, float* z_diff);
// The row sums of outputs [begin, end) (x and y packs index the same rows).
void plan_pairs(const fast_kernel_paths& paths, const pair_packs& packs, const pair_plan& plan, std::int64_t begin,
                std::int64_t end, const row_sums& sums);
// The row tallies of outputs [begin, end) (x and y packs index the same rows).
void plan_pairs(const fast_kernel_paths& paths, const pair_packs& packs, const pair_plan& plan, std::int64_t begin,
                std::int64_t end, const row_tallies& tallies);
// The exceedances of outputs [begin, end) in a permutation pass (pair_rows with counting).
void plan_pairs(const fast_kernel_paths& paths, const pair_packs& packs, const pair_plan& plan, std::int64_t begin,
                std::int64_t end, const exceedance_count& counting);

// Pairs (i, j) with i in a, j in b and j > i, ordered by i, then j.
std::int64_t ztest_block_pair_count(row_range a, row_range b) noexcept;

struct ztest_block_outputs {
    float* first_r;
    float* second_r;
    float* z_diff;
    float* p_value;
    std::int32_t* counts;
};

// The z-test of the pairs of a and b (ztest_block_pair_count entries per output). Rows
// and groups must have been checked; method and alternative are exact option names.
void ztest_block(const float* data, std::int32_t ncols, row_range a, row_range b, const column_groups& groups,
                 const std::string& method, const std::string& alternative, const block_passes& passes,
                 const ztest_block_outputs& out, const block_environment& env);

// The z-test of the listed pairs (first_rows[k], second_rows[k]), k < pair_count: one
// entry per pair in every output. Rows and groups must have been checked.
void pairs_block(const float* data, std::int32_t ncols, const std::int32_t* first_rows,
                 const std::int32_t* second_rows, std::int32_t pair_count, const column_groups& groups,
                 const std::string& method, const std::string& alternative, const block_passes& passes,
                 const ztest_block_outputs& out, const block_environment& env);

// Scores of the rows of `rows`, each over its pairs with all nrows rows, with their
// counts: one entry per row of the range in observed and counts.
void row_score_block(const float* data, std::int32_t nrows, std::int32_t ncols, row_range rows,
                     const column_groups& groups, const std::string& method, const std::string& score,
                     const std::string& alternative, const block_passes& passes, float* observed,
                     std::int32_t* counts, const block_environment& env);

// Scores of the sets of listed pairs (runs of equal first rows), one entry per set.
void set_block(const float* data, std::int32_t ncols, const std::int32_t* first_rows,
               const std::int32_t* second_rows, std::int32_t pair_count, const pair_sets& sets,
               const column_groups& groups, const std::string& method, const std::string& score,
               const std::string& alternative, const block_passes& passes, float* observed, std::int32_t* counts,
               const block_environment& env);

}  // namespace corrshift
