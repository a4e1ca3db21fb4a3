// The "mean" and "median" row scores of pair_mean_worker and pair_quantile_worker
// (set_scores.hpp), computed for eight rows at a time so that the pair values are read
// in contiguous runs: the same sums in the same order and the same selected elements.
#pragma once

#include <cstdint>

namespace corrshift {

// The scores of rows [first, last) of n rows from pair values stored row by row: pair
// (i, j), i < j, at bases[i] + j, with bases given for every row below `last`. Writes
// out[p - first] for row p: the "mean" (use_mean) or the median of |z| (absolute) or z.
void layout_score_rows(const float* pair_values, const std::int64_t* bases, std::int64_t n, std::int64_t first,
                       std::int64_t last, bool use_mean, bool absolute, float* out);

// The "mean" score of row p from z_row[i], the Fisher difference of the pair of rows p
// and i, for i < n (z_row[p] is skipped): |z| summed in order of i, then divided by the
// count, as pair_mean_worker computes it.
float row_mean_of(const float* z_row, std::int64_t n, std::int64_t p) noexcept;

}  // namespace corrshift
