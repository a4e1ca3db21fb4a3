// The pass loop shared by the four pipelines: the observed pass with the caller's column
// groups, then `permutations` passes with groups drawn from a shuffle of all columns.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "pipelines/kernels/exceedance.hpp"

namespace corrshift {

// Every call starts its generator from this seed, so equal arguments give equal results.
constexpr std::uint32_t permutation_seed = 733;

// Uniform integer in [0, m), m <= 2^32, by rejection on the generator's 32-bit outputs.
std::uint32_t draw_below(std::mt19937& generator, std::uint64_t m);

// Fisher-Yates shuffle from the front: for t = 1..n-1 swap positions t and draw_below(t + 1).
void shuffle_columns(std::vector<std::int32_t>& order, std::mt19937& generator);

// The two column groups of one pass.
struct column_groups {
    const std::int32_t* first;
    std::int32_t first_count;
    const std::int32_t* second;
    std::int32_t second_count;
};

// Computes the statistic of every item for one pass into `out`. Row k of the rows the
// pass covers is at rows[k] in the pass's source (the data or, for "spearman", the
// ranks); when the pass covers all rows in order, rows[0] is the start of the whole
// source matrix. `counting` is null in the observed pass (the first, whose `out` is the
// observed array) and, unless the driver was told that the scorer counts, in every pass;
// when it is given, the scorer must add the pass's exceedances to it (each worker for
// its own items, which gives the same counts) and gets no `out` (null) in that pass.
// Must return only after joining every thread it started.
using pass_scorer = std::function<void(const float* const* rows, const column_groups& groups, float* out,
                                       const exceedance_count* counting)>;

// What the caller's environment provides: the console stream, and a check run at the top
// of every pass that throws to end the call (a pending interrupt).
struct pass_environment {
    std::ostream& console;
    std::function<void()> check_interrupt;
};

// Which passes a run computes. The observed pass (0) always runs; the permutation passes
// [first_pass, last_pass) (first_pass >= 1) are computed, and the shuffles of the passes
// before first_pass are replayed without computing anything, so pass r always scores
// the same split. Only `rows` (ascending data rows, or null for all row_count rows in
// order) are ranked and handed to the scorer.
struct pass_plan {
    const std::int32_t* rows;
    std::int32_t row_count;
    std::int32_t first_pass;
    std::int32_t last_pass;
};

// Calls at the top of every computed pass (`before`, which throws to end the run) and
// after it (`after`, with the pass number; 0 is the observed pass).
struct pass_hooks {
    std::function<void()> before;
    std::function<void(std::int32_t pass)> after;
};

// Runs the observed pass into `observed` and the planned permutation passes, adding their
// exceedances to `counting` (cleared after the observed pass) by the rule of
// counting.rule. `jobs` (at least 1) is the rank stage's thread count. A permutation
// pass needs first_count + second_count <= ncols. `fast_ranks` ranks with the fast rank
// kernel (the same ranks); `scorer_counts` hands the counting to the scorer.
void run_passes(const float* data, std::int32_t ncols, const pass_plan& plan, const column_groups& caller_groups,
                const std::string& method, std::int32_t jobs, std::int64_t item_count, float* observed,
                const exceedance_count& counting, const pass_scorer& scorer, const pass_hooks& hooks,
                bool fast_ranks, bool scorer_counts);

// The public pipelines' run: all rows, the passes 1 .. permutations, counts per item of
// the permutation passes at least as extreme as the observed one ("two-sided": |x| >= |o|,
// "greater": x >= o, "less": x <= o; NaN never counts), left as count / permutations in
// exceed_counts (0 when there are none). Draws the progress line on the console.
// `permutations` must be at least 0 and, when it is positive, first_count + second_count
// must not exceed ncols.
void run_permutation_passes(const float* data, std::int32_t nrows, std::int32_t ncols,
                            const column_groups& caller_groups, const std::string& method,
                            const std::string& alternative, std::int32_t permutations, std::int32_t jobs,
                            std::int64_t item_count, float* observed, float* exceed_counts,
                            const pass_scorer& scorer, const pass_environment& env, bool fast_ranks,
                            bool scorer_counts);

}  // namespace corrshift
