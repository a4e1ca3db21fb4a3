// The within-row ranks of rank.hpp computed without a comparison sort: the same ranks,
// written in the same order.
#pragma once

#include <cstdint>
#include <vector>

namespace corrshift {

// Integer key of a value whose order is the order of rank_row_slice: by value, -0 equal
// to +0, every NaN equal to every other and after every number.
std::int32_t rank_key(float value) noexcept;

// rank_row_slice's contract: ranks rows [begin, end) over index[0..count) into `ranks`.
// A value's rank is the number of values before it in (key, list position) order, a
// total order, so it equals the position the sort gives it; the ranks are then written
// in ascending rank order, as there, so a column listed twice ends with the same rank.
// `keys` and `order` are the caller's reusable working lists.
void rank_row_slice_fast(const float* source, float* ranks, std::int64_t ncols, std::int64_t begin, std::int64_t end,
                         const std::int32_t* index, std::int32_t count, std::vector<std::int32_t>& keys,
                         std::vector<std::int32_t>& order);

// The average-rank variant: tied values share the mean of the ranks they occupy, so a
// value's rank is #{values before it} + (#{values equal to it} - 1) / 2 in the key order
// above (ranks from 0, halves exact in float). Unlike rank_row_slice_fast it does not
// depend on the order of the listed columns.
void average_rank_row_slice(const float* source, float* ranks, std::int64_t ncols, std::int64_t begin, std::int64_t end,
                            const std::int32_t* index, std::int32_t count, std::vector<std::int32_t>& keys,
                            std::vector<std::int32_t>& order);

// All rows, split over `jobs` threads (at least 1), as rank_rows does.
void rank_rows_fast(const float* source, float* ranks, std::int64_t ncols, std::int32_t nrows,
                    const std::int32_t* index, std::int32_t count, std::int32_t jobs);

}  // namespace corrshift
