// Block drivers: a part of an all-pairs z-test, a listed-pairs z-test, of the row scores or
// of the set scores, over a range of passes. They are the fast path of every analysis:
// the private block functions call them with a tile of rows and a range of passes, the
// public pipelines with every row and every pass. Each pair's statistics depend only on
// its two rows and the split of a pass only on the column count and the fixed seed, so
// tiles of rows by ranges of passes, with their exceedance counts added, reproduce one
// whole run bit for bit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/set_scores.hpp"
#include "pipelines/drivers/permutation.hpp"
#include "pipelines/kernels/fast_kernel.hpp"

namespace corrshift {

// Half-open range of data rows.
struct row_range {
    std::int64_t first;
    std::int64_t last;
};

// How a block computes, in one record that reaches every stage of it.
struct block_options {
    // "spearman": Pearson correlations of the ranks within each group, and the Spearman
    // standard error of z_diff.
    bool by_rank;
    // The exceedance rule and the tail of the normal p-value. tail::none (a name that the
    // public pipelines accept and the block functions refuse) counts nothing and gives
    // the p-value -2.
    tail alternative;
    // Row and set scores: the mean of |z_diff| ("mean"), else the median.
    bool use_mean;
    // The passes [first_pass, last_pass): 0 is the observed pass, r >= 1 the r-th
    // permutation pass. The observed pass is always computed; counts cover the
    // permutation passes of the range.
    std::int32_t first_pass;
    std::int32_t last_pass;
    // Threads per stage, at least 1. A stage starts at most one thread per item, unless
    // `all_jobs`: then every stage but the packing starts `jobs` threads, as the public
    // z-tests do (their job count is not clamped to the pair count).
    std::int32_t jobs;
    bool all_jobs;
    // The statistics the API reports (the block functions' statistics="api"; the public
    // pipelines never set it): "spearman" ranks tied values by their mean rank; every
    // pass standardises each row within each group in double while packing it; the
    // z-tests' observed pass computes r, z_diff and the normal p-value in double from
    // those standardised rows (r clamped to [-1, 1], p from z = z_diff / se with the
    // standard error of fisher_standard_error, into ztest_block_outputs::p_value64). A
    // permutation pass counts when its single-precision z_diff is at least as extreme as
    // the observed z_diff rounded to single precision, the value the block returns.
    bool api = false;
};

// The options the names give: "spearman" ranks (any other method is Pearson), the rule
// of `alternative` (tail_of) and "mean" (any other score is the median); all_jobs false.
block_options block_options_of(const std::string& method, const std::string& alternative, const std::string& score,
                               std::int32_t first_pass, std::int32_t last_pass, std::int32_t jobs);

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

// Calls rows(x0, count, spans, starts) for the chunks of plan rows that hold outputs
// [begin, end) of a plan, as pair_rows takes them.
using plan_chunk =
    std::function<void(std::int64_t x0, std::int64_t count, const row_span* spans, const std::int64_t* starts)>;
void plan_chunks(const pair_plan& plan, std::int64_t begin, std::int64_t end, const plan_chunk& rows);

// pair_rows over outputs [begin, end) of a plan: `what` is where the pair values go
// (pair_values), the exceedance counts of a permutation pass (exceedance_count), or the
// row sums or tallies of the row scores (row_sums, row_tallies; x and y packs index the
// same rows).
template <class What>
void plan_pairs(const fast_kernel_paths& paths, const pair_packs& packs, const pair_plan& plan, std::int64_t begin,
                std::int64_t end, const What& what) {
    plan_chunks(plan, begin, end,
                [&](std::int64_t x0, std::int64_t count, const row_span* spans, const std::int64_t* starts) {
                    pair_rows(paths, packs, x0, count, spans, starts, what);
                });
}

// Pairs (i, j) with i in a, j in b and j > i, ordered by i, then j.
std::int64_t ztest_block_pair_count(row_range a, row_range b) noexcept;

struct ztest_block_outputs {
    float* first_r;
    float* second_r;
    float* z_diff;
    float* p_value;  // the p-values of the native statistics, or null
    count_array counts;
    double* p_value64 = nullptr;  // the p-values of the API's statistics, or null
};

// The z-test of the pairs of a and b (ztest_block_pair_count entries per output). Rows
// and groups must have been checked.
void ztest_block(const pass_input& input, row_range a, row_range b, const block_options& options,
                 const ztest_block_outputs& out, const run_environment& env);

// The z-test of the listed pairs (first_rows[k], second_rows[k]), k < pair_count: one
// entry per pair in every output. Rows and groups must have been checked.
void pairs_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                 std::int32_t pair_count, const block_options& options, const ztest_block_outputs& out,
                 const run_environment& env);

// The observed pass of a z-test block in the API's statistics when only the pairs that can
// pass a filter on their p-values are wanted: the pairs whose p-value is at most `keep`,
// and the p-values at most `count` (either may be +inf), which the exact
// Benjamini-Hochberg q-values of the kept pairs need.
struct kept_limits {
    double keep;
    double count;
};

// What a kept observed pass returns: the kept pairs in ascending position (their values
// those of the full outputs, bit for bit), the distinct p-values at most the count limit in
// ascending order with how many pairs have each, and how many p-values are not NaN.
struct kept_pairs {
    std::vector<std::int64_t> positions;
    std::vector<float> first_r;
    std::vector<float> second_r;
    std::vector<float> z_diff;
    std::vector<double> p_value;
    std::vector<double> counted;
    std::vector<std::int64_t> counted_pairs;
    std::int64_t defined = 0;
};

// The kept observed pass of the pairs of a and b (positions as in ztest_block's outputs),
// and of listed pairs (positions in the list). `options` must ask for the API's
// statistics and the pass range [0, 1); pairs whose p-value is surely above both limits
// take no atanh or erfc (p_limit_decision.hpp).
void ztest_block_kept(const pass_input& input, row_range a, row_range b, const block_options& options,
                      const kept_limits& limits, kept_pairs& out, const run_environment& env);
void pairs_block_kept(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                      std::int32_t pair_count, const block_options& options, const kept_limits& limits, kept_pairs& out,
                      const run_environment& env);

// Scores of the rows of `rows`, each over its pairs with all input.nrows rows, with their
// counts: one entry per row of the range in observed and counts.
void row_score_block(const pass_input& input, row_range rows, const block_options& options, float* observed,
                     const count_array& counts, const run_environment& env);

// Scores of the sets of listed pairs (`sets`: the runs of equal first rows of
// first_rows[0 .. pair_count)), one entry per set.
void set_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
               std::int32_t pair_count, const labelled_runs& sets, const block_options& options, float* observed,
               const count_array& counts, const run_environment& env);

// What a module block returns per module: the observed score, the mean of the module's
// correlations in each group (observed pass) and the int32 exceedance counts.
struct module_block_outputs {
    float* observed;
    float* mean_first_r;
    float* mean_second_r;
    count_array counts;
};

// Scores of modules of listed pairs: module g holds the pairs at the positions
// members[starts[g] .. starts[g + 1]) of the pair lists (first_rows[k], second_rows[k]),
// k < pair_count; a pair in several modules is computed once per pass. A module's score
// is the mean of |z_diff| (use_mean) or the median (of |z_diff| for "two-sided") over its
// pairs in member order, 0 for a module without pairs; its mean correlations (float) are summed
// in double in member order over the pairs whose correlation is defined (not -2), NaN
// when none is. Rows, pairs and members must have been checked.
void module_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                  std::int32_t pair_count, const std::int32_t* starts, const std::int32_t* members,
                  std::int32_t module_count, const block_options& options, const module_block_outputs& out,
                  const run_environment& env);

}  // namespace corrshift
