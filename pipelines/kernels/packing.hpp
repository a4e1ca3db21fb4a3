// The packed groups of a pass: each column group's values gathered out of the source
// matrix once per pass, in the order the tile kernels read them, with each row's moments
// over the group (fast_kernel.hpp computes pairs from them).
#pragma once

#include <cstdint>
#include <vector>

namespace corrshift {

// How a packed group stores its values: in panels of 16 rows, each panel column by
// column with its 16 rows contiguous (all-pairs tiles read a vector of rows at once, and
// a tile's values lie in one contiguous run), or row by row (listed pairs).
enum class packing { by_column, by_row };

// One column group of one pass, gathered out of the source matrix once, with each row's
// mean and variance over the group's columns. Storage is allocated once per call by the
// constructor and refilled by `pack` in every pass.
class packed_group {
  public:
    packed_group(std::int32_t nrows, std::int32_t count, packing layout);

    // Gathers the listed columns of every row of the pack, row i read at rows[i], in list
    // order and computes the rows' moments: mean = Sx / m, var = Sxx / m - mean * mean.
    void pack(const float* const* rows, const std::int32_t* columns);
    // The same for pack rows [first, last) only.
    void pack(const float* const* rows, const std::int32_t* columns, std::int64_t first, std::int64_t last);

    // The same with every row standardised within the group first: its values x over the
    // listed columns become fl((x - mean) / sd), mean and population sd computed in double
    // (sums in list order), so the single-precision moments that follow are those of
    // values around 0 with variance 1, free of the cancellation that a row's offset or a
    // small spread within the group would bring. A row constant within the group (sd 0)
    // is packed as zeros, which the kernels see as the constant row they mark -2. Where
    // `unit` is given it receives (x - mean) / sqrt(sum of (x - mean)^2) in double, row i
    // at unit[(i - first) * count() ..], NaN for a constant row: the values whose dot
    // product is a pair's correlation.
    void pack_standardised(const float* const* rows, const std::int32_t* columns, std::int64_t first, std::int64_t last,
                           double* unit);

    // Rows per panel of the by_column layout.
    static constexpr std::int64_t panel = 16;

    // Where row i's values start; its value at list position c is c * step() further.
    const float* row_start(std::int64_t i) const noexcept { return values_ + offset(i); }
    std::int64_t step() const noexcept { return layout_ == packing::by_column ? panel : 1; }
    // Value of row i at list position c.
    float value(std::int64_t i, std::int32_t c) const noexcept { return row_start(i)[c * step()]; }
    const float* values() const noexcept { return values_; }
    const float* mean() const noexcept { return mean_; }
    const float* var() const noexcept { return var_; }
    // 1 / sqrt(var) of each row whose moments lie well inside the normal range (variance
    // in [2^-60, 2^60], |mean| at most 2^40), NaN for the others.
    const float* isd() const noexcept { return isd_; }
    // Rows that may be read (values, moments): at least 32 padding rows past the last
    // row, a multiple of the panel.
    std::int64_t readable_rows() const noexcept { return stride_; }
    std::int32_t count() const noexcept { return count_; }
    float m() const noexcept { return static_cast<float>(count_); }

  private:
    // Rows are never negative: shifts and masks for the panel's division and remainder.
    std::int64_t offset(std::int64_t i) const noexcept {
        static_assert(panel == 16, "the panel arithmetic below is for 16 rows");
        return layout_ == packing::by_column ? (i >> 4) * panel * count_ + (i & 15) : i * count_;
    }
    template <class ValueOf>
    void pack_rows(ValueOf value_of, const std::int32_t* columns, std::int64_t first, std::int64_t last);
    // The values and each row's sums Sx and Sxx (in mean_ and var_), then the moments.
    template <class ValueOf>
    void sum_rows(ValueOf value_of, const std::int32_t* columns, std::int64_t first, std::int64_t last);
    void finish_rows(std::int64_t first, std::int64_t last);

    std::int32_t nrows_;
    std::int32_t count_;
    packing layout_;
    std::int64_t stride_;
    std::vector<float> storage_;
    float* values_;
    float* mean_;
    float* var_;
    float* isd_;
};

// A row's mean over the listed columns and its sum of squares about it, in double with the
// sums in list order (exactly 0 where all the listed values are equal), and, where `unit`
// is given, its unit vector over them: the values less the mean over the root of the sum of
// squares, NaN where that is 0.
void row_deviations(const float* row, const std::int32_t* columns, std::int32_t count, double& mean, double& squares,
                    double* unit);

// Packs both groups of a pass (row i of the packs read at rows[i]) on `jobs` threads,
// each packing a range of rows of both: the same values and moments as pack().
void pack_groups(packed_group& g1, packed_group& g2, const float* const* rows, const std::int32_t* first_columns,
                 const std::int32_t* second_columns, std::int64_t nrows, std::int32_t jobs);

// pack_groups with every row standardised within each group (pack_standardised); unit1
// and unit2, where given, receive the double values of all nrows rows (row i at
// unit[i * count]).
void pack_groups_standardised(packed_group& g1, packed_group& g2, const float* const* rows,
                              const std::int32_t* first_columns, const std::int32_t* second_columns, std::int64_t nrows,
                              std::int32_t jobs, double* unit1, double* unit2);

}  // namespace corrshift
