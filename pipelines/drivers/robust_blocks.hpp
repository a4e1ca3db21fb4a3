// Block drivers of the studentized statistic (pipelines/kernels/studentized.hpp): its
// observed value for all pairs of a tile of rows or for listed pairs, and the adaptive
// permutation passes of listed pairs (robust_pass.hpp) with their exceedance counts, the
// number of passes defined for each pair, a stop at a given count, and each pair's largest
// statistics. Always the API's statistics: average ranks for "spearman", rows standardised
// within each group in double, every sum in double.
#pragma once

#include <cstdint>

#include "pipelines/drivers/blocks.hpp"
#include "pipelines/drivers/permutation.hpp"

namespace corrshift {

// Where the observed statistic goes, one entry per pair: T and its normal p-value
// (normal_p_value_exact of T for the alternative).
struct studentized_outputs {
    double* t;
    double* p;
};

// T of the pairs (i, j), i in a, j in b, j > i, in ztest_block's order (by i, then j).
// Uses options.by_rank, alternative and jobs. Rows and groups (n >= 4 each) must have been checked.
void studentized_block(const pass_input& input, row_range a, row_range b, const block_options& options,
                       const studentized_outputs& out);

// T of the listed pairs (first_rows[k], second_rows[k]), k < pair_count.
void studentized_pairs_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                             std::int32_t pair_count, const block_options& options, const studentized_outputs& out);

// Each pair's state between ranges of robust passes, updated in place: the observed T (of
// pass 0, by the passes' arithmetic), the count of defined passes at least as extreme and
// the number of defined passes.
struct robust_state {
    double* t_obs;
    std::int32_t* counts;
    std::int32_t* defined;
};

struct robust_settings {
    bool fresh;            // compute pass 0 (t_obs) first; counts and defined start at 0
    std::int32_t stop_at;  // a pair stops when its count reaches this (0: never)
    std::int32_t keep;     // largest extremeness values kept per pair (0: none)
};

// The passes [max(first_pass, 1), last_pass) of options for the listed pairs, whose rows
// and groups (disjoint, no column twice, n1 + n2 <= ncols, n >= 4) must have been checked.
// top: pair_count x keep doubles, each pair's `keep` largest extremeness values of the
// range's defined passes, descending, NaN-padded. env.progress after each block of passes
// with the number of the range's passes done (pass 0 counts when in the range).
void robust_pass_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                       std::int32_t pair_count, const block_options& options, const robust_settings& settings,
                       const robust_state& state, double* top, const run_environment& env);

}  // namespace corrshift
