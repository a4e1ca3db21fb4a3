// The pass loop shared by the four pipelines: the observed pass with the caller's column
// groups, then `permutations` passes with groups drawn from a shuffle of all columns.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

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

// Computes the statistic of every item for one pass from `source` (the data or, for
// "spearman", the ranks) into `out`; `observed_pass` is true in the first pass only.
// Must return only after joining every thread it started.
using pass_scorer = std::function<void(const float* source, const column_groups& groups,
                                       float* out, bool observed_pass)>;

// What the caller's environment provides: the console stream, and a check run at the top
// of every pass that throws to end the call (a pending interrupt).
struct pass_environment {
    std::ostream& console;
    std::function<void()> check_interrupt;
};

// Runs the passes, counts per item how many permutation passes were at least as extreme
// as the observed one ("two-sided": |x| >= |o|, "greater": x >= o, "less": x <= o; NaN
// never counts) and leaves count / permutations in exceed_counts (0 when there are none).
// Draws the progress line on the console. `permutations` must be at least 0 and, when it
// is positive, first_count + second_count must not exceed ncols.
void run_permutation_passes(const float* data, std::int32_t nrows, std::int32_t ncols,
                            const column_groups& caller_groups, const std::string& method,
                            const std::string& alternative, std::int32_t permutations, std::int32_t jobs,
                            std::int64_t item_count, float* observed, float* exceed_counts,
                            const pass_scorer& scorer, const pass_environment& env);

}  // namespace corrshift
