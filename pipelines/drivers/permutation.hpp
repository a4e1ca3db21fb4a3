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

// Which kernel a pipeline body runs: the straightforward reference or the fast one.
enum class kernel { straightforward, fast };

// The matrix a run reads (row-major, nrows x ncols) and the caller's two column groups
// (the observed pass's).
struct pass_input {
    const float* data;
    std::int32_t nrows;
    std::int32_t ncols;
    column_groups groups;
};

// Which rows and passes a run computes, and how. The observed pass (0) always runs; the
// permutation passes [max(first_pass, 1), last_pass) are computed, and the shuffles of
// the passes before them are replayed without computing anything, so pass r always
// scores the same split. Only `rows` (ascending data rows, or null for all row_count rows
// in order) are ranked and handed to the scorer.
struct pass_loop {
    const std::int32_t* rows;
    std::int32_t row_count;
    std::int32_t first_pass;
    std::int32_t last_pass;
    std::int64_t items;         // statistics per pass, one per item the scorer scores
    bool by_rank;               // "spearman": every pass ranks its rows within both groups first
    kernel ranks;               // the rank kernel (both give the same ranks)
    bool scorer_counts;         // the scorer adds a permutation pass's exceedances itself
    std::int32_t jobs;          // threads of the rank stage, at least 1
    bool average_ties = false;  // "spearman": tied values share their mean rank (fast kernel only)
};

// What the caller's environment provides: a check at the top of every computed pass that
// throws to end the run (a pending interrupt), and a report after each computed pass of
// [first_pass, last_pass) with the number of those passes done so far.
struct run_environment {
    std::function<void()> check_interrupt;
    std::function<void(std::int32_t done)> progress;
};

// Runs the observed pass into `observed` (loop.items entries, also counting.observed) and
// the loop's permutation passes, adding their exceedances to `counting` (cleared after
// the observed pass) by counting.rule. A permutation pass needs first_count +
// second_count <= ncols.
void run_passes(const pass_input& input, const pass_loop& loop, float* observed, const exceedance_count& counting,
                const pass_scorer& scorer, const run_environment& env);

// The console of a public pipeline: the process's standard output, written by C++, and
// the check of a pending interrupt (Ctrl-C) made at the top of every pass.
struct console_environment {
    std::ostream& out;
    std::function<void()> check_interrupt;
};

// A whole run as the public pipelines show it: "Permutation progress: " and a progress
// bar of permutations + 1 cycles, advanced once after each pass, then "\n"; run(env) runs
// the passes [0, permutations + 1) and reports each. Afterwards the float counts
// counts[0 .. items) become shares, count / permutations (0 without permutation passes).
void run_on_console(const console_environment& console, std::int32_t permutations, float* counts, std::int64_t items,
                    const std::function<void(const run_environment& env)>& run);

// The straightforward pipelines' run: all rows and the passes 0 .. permutations on the
// console, with the straightforward ranks; counts as shares in exceed_counts.
// `permutations` must be at least 0 and, when it is positive, first_count + second_count
// must not exceed ncols.
void run_permutation_passes(const pass_input& input, bool by_rank, const std::string& alternative,
                            std::int32_t permutations, std::int32_t jobs, std::int64_t items, float* observed,
                            float* exceed_counts, const pass_scorer& scorer, const console_environment& console);

}  // namespace corrshift
