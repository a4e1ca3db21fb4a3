// Within-row ranks over one group of columns, the input of the "spearman" method.
#pragma once

#include <cstdint>
#include <vector>

namespace corrshift {

// Ranks rows [begin, end): for each row the values at index[0..count) are ranked
// 0..count-1 (as floats) and written at the same columns of `ranks`; other columns are
// left alone. Equal values get consecutive ranks in list order; NaN ranks last.
// `order` is the caller's reusable working list.
void rank_row_slice(const float* source, float* ranks, std::int64_t ncols, std::int64_t begin, std::int64_t end,
                    const std::int32_t* index, std::int32_t count, std::vector<std::int32_t>& order);

// All rows, split over `jobs` threads (at least 1).
void rank_rows(const float* source, float* ranks, std::int64_t ncols, std::int32_t nrows, const std::int32_t* index,
               std::int32_t count, std::int32_t jobs);

}  // namespace corrshift
