// The "mean" and "median" row scores of a condensed pair vector (score_pair_rows of
// set_scores.hpp), computed for eight rows at a time so that the pair vector is read in
// contiguous runs: the same sums in the same order and the same selected elements.
#pragma once

#include <cstdint>
#include <string>

namespace corrshift {

// score_pair_rows' contract: fans the n rows out over `jobs` threads and writes result[p]
// for every row; returns false, starting no thread, for a score other than "mean" and
// "median".
bool fast_score_pair_rows(const float* pair_values, std::int64_t n, const std::string& score, bool absolute,
                          std::int32_t jobs, float* result);

// One thread's part: rows [first, last).
void fast_mean_rows(const float* pair_values, std::int64_t n, std::int64_t first, std::int64_t last,
                    float* result);
void fast_median_rows(const float* pair_values, std::int64_t n, std::int64_t first, std::int64_t last,
                      float* result, bool absolute);

}  // namespace corrshift
