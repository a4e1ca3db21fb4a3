// Pair correlations within a column group, the Fisher z-difference and its normal p-value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pipelines/kernels/exceedance.hpp"

namespace corrshift {

// Rows (i, j), i < j, of pair number k in the condensed order over n rows. Decoded in
// 64-bit arithmetic, so it holds for every n whose pair count fits 32 bits.
struct row_pair {
    std::int32_t i;
    std::int32_t j;
};
row_pair pair_from_index(std::int64_t k, std::int64_t n) noexcept;

// Number of pairs of n rows.
inline std::int64_t pair_count_of(std::int64_t n) noexcept { return n * (n - 1) / 2; }

// Pearson correlation of rows i and j of `data` over the listed columns: five float32
// sums in list order, population moments, -2 when either variance is exactly 0.
float correlation(const float* data, std::int64_t ncols, std::int32_t i, std::int32_t j, const std::int32_t* columns,
                  std::int32_t column_count) noexcept;

// out[k] for k in [begin, end): the correlation of pair k over `columns`. Pair k is
// (first_rows[k], second_rows[k]) when the lists are given, else pair k of `nrows` rows.
void pair_correlation(const float* data, std::int64_t ncols, const std::int32_t* first_rows,
                      const std::int32_t* second_rows, float* out, std::int64_t begin, std::int64_t end,
                      std::int32_t nrows, const std::int32_t* columns, std::int32_t column_count) noexcept;

// Per-call constants of the Fisher difference: the weights of the two group sizes.
struct fisher_weights {
    float a;  // 1 / sqrt(first_count - 3), times sqrt(1.5) for "spearman"
    float b;  // the same for the second group
    float se;
};
fisher_weights fisher_weights_of(std::int32_t first_count, std::int32_t second_count,
                                 const std::string& method) noexcept;
// The same with the method given as "spearman" (by_rank) or not.
fisher_weights fisher_weights_of(std::int32_t first_count, std::int32_t second_count, bool by_rank) noexcept;

// atanh(clamp(r1)) - atanh(clamp(r2)), the correlations clamped to [-0.99f, 0.99f].
float fisher_z(float first_r, float second_r) noexcept;

// Normal p-value of the difference d with standard error se for `alternative`; -2 for a
// name other than "two-sided", "greater" and "less".
float normal_p_value(float d, float se, const std::string& alternative) noexcept;
// The same with the alternative given as its rule (tail::none: -2).
float normal_p_value(float d, float se, tail alternative) noexcept;

// The double-precision statistics of the API's observed pass.
//
// Correlation of two rows given as unit vectors over a group (their values less their
// mean, divided by the root of their sum of squares): their dot product in list order
// (each product rounded, then added), clamped to [-1, 1]; NaN (a constant row) stays NaN.
//
// The rows' unit vectors are held as a panel: the rows in blocks of unit_panel_width,
// each block column by column with its rows' values side by side, so that the partners
// of a row load contiguously and one vector lane sums one pair. The last block is padded
// with zero rows.
constexpr std::int32_t unit_panel_width = 4;
// Doubles a panel of `rows` rows of `count` values takes.
std::size_t unit_panel_size(std::int64_t rows, std::int32_t count) noexcept;
// The panel of the rows unit[0 .. rows) (row r at unit + r * count) into panel.
void unit_panel_of(const double* unit, std::int64_t rows, std::int32_t count, double* panel) noexcept;
// One run of correlations: panel row i with the rows j0 .. j0 + n - 1 into out[0 .. n).
struct unit_run {
    std::int64_t i;
    std::int64_t j0;
    std::int64_t n;
    double* out;
};
// A group's unit vectors: `rows` row by row (row r at rows + r * columns) and the same as
// a panel (unit_panel_of).
struct unit_vectors {
    const double* rows;
    const double* panel;
    std::int32_t columns;
};
// The runs runs[0 .. count), the AVX2 code when `avx2` (the processor has it), else the
// portable one; both give the same bits. Runs shorter than the panel width go row by row;
// the AVX2 code takes up to four longer runs together from the panel, so that their rows
// share each partner block where their ranges overlap.
void panel_correlations(const unit_vectors& unit, const unit_run* runs, std::int32_t count, bool avx2) noexcept;
// atanh(c1) - atanh(c2) in double, each correlation clamped to the same bounds as
// fisher_z (+-0.99f), so that a permutation pass's single-precision z_diff and this one
// measure the same thing; NaN stays NaN.
double fisher_z_exact(double first_r, double second_r) noexcept;
// The standard error of z_diff: sqrt(1/(n1-3) + 1/(n2-3)) for Pearson and, for Spearman,
// with the variance 1.06/(n-3) of the Fisher-transformed rank correlation per group
// (Fieller, Hartley and Pearson), in double.
double fisher_standard_error(std::int32_t first_count, std::int32_t second_count, bool by_rank) noexcept;
// Normal p-value of z = z_diff / se in double: two-sided erfc(|z| / sqrt 2), the upper
// tail 0.5 erfc(z / sqrt 2) ("greater") and the lower 0.5 erfc(-z / sqrt 2) ("less"), each
// tail computed directly; NaN for NaN and for tail::none.
double normal_p_value_exact(double z, tail alternative) noexcept;

// z_diff[k] and, when p_value is given, p_value[k] for k in [begin, end).
void fisher_difference(const float* first_r, std::int32_t first_count, const float* second_r, std::int32_t second_count,
                       float* z_diff, float* p_value, std::int64_t begin, std::int64_t end, const std::string& method,
                       const std::string& alternative) noexcept;

// The body of one z-test worker: both correlations of its pairs, then their difference.
void ztest_worker(const float* data, std::int64_t ncols, const std::int32_t* first_rows,
                  const std::int32_t* second_rows, std::int64_t begin, std::int64_t end, std::int32_t nrows,
                  const std::int32_t* first_columns, const std::int32_t* second_columns, std::int32_t first_count,
                  std::int32_t second_count, float* first_r, float* second_r, float* z_diff, float* p_value,
                  const std::string& method, const std::string& alternative) noexcept;

}  // namespace corrshift
