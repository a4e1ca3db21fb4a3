// The per-row terms that let a permutation pass of all pairs sum one group's Sxy only
// (complement_terms in fast_kernel.hpp), computed in double from the data.
#pragma once

#include <cstdint>

#include "pipelines/kernels/fast_kernel.hpp"

namespace corrshift {

// Each row's mean and sum of squares about it over the `count` columns of both groups of
// a pass (the same set in every pass), in double with sums in list order, for rows
// [first, last) (row i read at rows[i]); and, where `unit` is given, its unit vector over
// them at unit[(i - first) * count ..]: row_deviations of each row.
void total_moments(const float* const* rows, const std::int32_t* columns, std::int32_t count, std::int64_t first,
                   std::int64_t last, double* mean, double* squares, double* unit);

// The per-row arrays of complement_terms, indexed by pack row.
struct complement_rows {
    float* spread;
    float* inverse;
    float* shift;
    float* summed_error;
    float* derived_error;
};

// The terms of rows [first, last) for a pass whose summed group has the columns
// summed_columns[0 .. summed_count) and whose derived group holds the other
// derived_count columns; mean and squares from total_moments; `summed` and `derived` the
// pass's packs, packed standardised within each group or not (`standardised`).
//
// A row may take the one-group path only where its terms are known closely in double: a
// positive sum of squares SS, (|mean| / sd + sqrt(m)) (m + 1) <= 2^22 (sd = sqrt(SS / m),
// so that every deviation from the mean is within 2^-31 of its size), at least 2^-10 of SS
// in the summed group and 1/64 in the derived one (so that neither group's part loses more
// than six bits to cancellation), and in both packs a variance that is positive and whose
// reciprocal root is defined. Other rows get inverse = +inf.
void complement_pass_rows(const float* const* rows, const std::int32_t* summed_columns, std::int32_t summed_count,
                          std::int32_t derived_count, const double* mean, const double* squares,
                          const packed_group& summed, const packed_group& derived, bool standardised,
                          std::int64_t first, std::int64_t last, const complement_rows& out);

// For each panel of 16 rows of rows [0, nrows): the largest inverse, spread, summed_error
// and derived_error of its rows, into panels[4 p .. 4 p + 3].
void complement_panels(const complement_rows& rows, std::int64_t nrows, float* panels);

}  // namespace corrshift
