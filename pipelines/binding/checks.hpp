// Argument checks of the pipelines, run before anything is computed or printed. They
// throw std::invalid_argument (ValueError), std::out_of_range (IndexError) or
// std::runtime_error (RuntimeError).
#pragma once

#include <cstdint>
#include <string>

namespace corrshift {

// Largest row count whose pairs can all be numbered with 32-bit pair indices.
constexpr std::int32_t max_exhaustive_rows = 46341;

struct matrix_shape {
    std::int32_t nrows;
    std::int32_t ncols;
};

// `data` must be two-dimensional with fewer than 2^31 elements.
matrix_shape check_data(std::int64_t ndim, const std::int64_t* shape);

// An index or column list must have at least one dimension; returns its first extent.
// It must also hold that many elements (a shape such as (4, 0) does not).
std::int32_t check_list(std::int64_t ndim, const std::int64_t* shape, std::int64_t size, const char* name);

// "Process number error" for a job count below 1.
void check_jobs(std::int32_t n_jobs);

// 0 <= permutations < 2^31 - 1.
void check_permutations(std::int32_t permutations);

// Every one of rows[0..count) lies in [0, limit).
void check_indices(const std::int32_t* rows, std::int64_t count, std::int32_t limit, const char* name,
                   const char* what);

// Two row lists of pairs: the pairs are the entries of second_rows (`count_second`, the
// z-tests) or of first_rows (the set scores), the other list must hold at least as many,
// and every row of the pairs lies in [0, nrows). Returns the pair count.
std::int32_t check_pair_rows(const std::int32_t* first_rows, std::int32_t first_length, const std::int32_t* second_rows,
                             std::int32_t second_length, bool count_second, std::int32_t nrows);

// Permutation passes draw both groups from one order of all columns.
void check_group_sizes(std::int32_t first_count, std::int32_t second_count, std::int32_t ncols,
                       std::int32_t permutations);

void check_exhaustive_rows(std::int32_t nrows);

// "mean" or "median".
void check_score(const std::string& score);

// The checks of the block entry points, which accept option names exactly and report
// every bad argument as ValueError or IndexError.

// "pearson" or "spearman".
void check_method_name(const std::string& method);
// "two-sided", "greater" or "less".
void check_alternative_name(const std::string& alternative);
// 0 <= first <= last < 2^31.
void check_pass_range(std::int64_t first, std::int64_t last);
// 1 <= n_jobs < 2^31; returns it.
std::int32_t check_block_jobs(std::int64_t n_jobs);
// 0 <= first <= last <= nrows (IndexError outside the rows, ValueError when reversed).
void check_row_range(std::int64_t first, std::int64_t last, std::int32_t nrows, const char* name);

// Modules of listed pairs: `starts` holds module_count + 1 >= 1 entries, from 0 up to
// member_count without decreasing, and every member is a pair position in [0, pair_count).
// Returns module_count.
std::int32_t check_modules(const std::int32_t* starts, std::int32_t start_count, std::int32_t member_count,
                           const std::int32_t* members, std::int32_t pair_count);

}  // namespace corrshift
