// Pair correlations within a column group, the Fisher z-difference and its normal p-value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
// The unit vectors of the rows [0, nrows) over the listed columns (row_deviations,
// packing.hpp), straight into their panel, for the panel blocks [first_block,
// last_block); where given, each row's mean and sum of squares go to mean[i] and
// squares[i]. The AVX2 code (`avx2`, the processor has it) takes the rows of a block side
// by side, one lane each, with row_deviations' operations in its order: the same bits.
void unit_panel_blocks(const float* const* rows, const std::int32_t* columns, std::int32_t count, std::int64_t nrows,
                       std::int64_t first_block, std::int64_t last_block, double* panel, double* mean, double* squares,
                       bool avx2) noexcept;
// One run of correlations: panel row i with the rows j0 .. j0 + n - 1 into out[0 .. n).
struct unit_run {
    std::int64_t i;
    std::int64_t j0;
    std::int64_t n;
    double* out;
};
// A group's unit vectors as a panel (unit_panel_of) of `columns` values per row.
struct unit_vectors {
    const double* panel;
    std::int32_t columns;
};
// The runs runs[0 .. count), the AVX2 code when `avx2` (the processor has it), else the
// portable one; both give the same bits. Runs shorter than the panel width go one pair at
// a time; the AVX2 code takes up to four longer runs together, so that their rows share
// each partner block where their ranges overlap.
void panel_correlations(const unit_vectors& unit, const unit_run* runs, std::int32_t count, bool avx2) noexcept;

// Partner rows per block of blocked_correlations: a multiple of the panel width whose
// values in one group take about 256 KB, so that a block stays in the core's second-level
// cache while every run of a call goes over it.
std::int64_t unit_block_rows(std::int32_t columns) noexcept;

// The correlations of the runs runs[0 .. count) (their `out` unused) in two groups, the
// partner rows taken in blocks (unit_block_rows): for each block, every run's pairs with
// it in both groups, then segment(t, j, n, r1, r2) for each run t that meets it, r1[0 .. n)
// and r2[0 .. n) the correlations of row runs[t].i with rows j .. j + n - 1 in the two
// groups (a null unit2: one group, r2 null); a run's segments come in ascending j. Runs
// that are mostly shorter than the panel width are taken whole. `scratch` and `buffer` are
// scratch space.
template <class Segment>
void blocked_correlations(const unit_vectors& unit1, const unit_vectors* unit2, const unit_run* runs,
                          std::int32_t count, bool avx2, std::vector<unit_run>& scratch, std::vector<double>& buffer,
                          const Segment& segment) {
    if (count <= 0) return;
    std::int64_t first = runs[0].j0, last = runs[0].j0 + runs[0].n, total = 0;
    for (std::int32_t t = 0; t < count; ++t) {
        first = std::min(first, runs[t].j0);
        last = std::max(last, runs[t].j0 + runs[t].n);
        total += runs[t].n;
    }
    const bool whole = total < 4 * std::int64_t{unit_panel_width} * count;
    const std::int32_t columns = unit2 ? std::max(unit1.columns, unit2->columns) : unit1.columns;
    const std::int64_t rows = whole ? last - first : unit_block_rows(columns);
    scratch.resize(2 * static_cast<std::size_t>(count));
    unit_run* sub1 = scratch.data();
    unit_run* sub2 = scratch.data() + count;
    for (std::int64_t b0 = whole ? first : first / unit_panel_width * unit_panel_width; b0 < last; b0 += rows) {
        const std::int64_t b1 = b0 + rows;
        std::int64_t placed = 0;
        for (std::int32_t t = 0; t < count; ++t) {
            const std::int64_t lo = std::max(b0, runs[t].j0), hi = std::min(b1, runs[t].j0 + runs[t].n);
            const std::int64_t n = std::max<std::int64_t>(0, hi - lo);
            sub1[t] = {runs[t].i, lo, n, nullptr};
            sub2[t] = {runs[t].i, lo, n, nullptr};
            placed += n;
        }
        buffer.resize((unit2 ? 2 : 1) * static_cast<std::size_t>(placed));
        std::int64_t at = 0;
        for (std::int32_t t = 0; t < count; ++t) {
            sub1[t].out = buffer.data() + at;
            sub2[t].out = buffer.data() + placed + at;
            at += sub1[t].n;
        }
        panel_correlations(unit1, sub1, count, avx2);
        if (unit2) panel_correlations(*unit2, sub2, count, avx2);
        for (std::int32_t t = 0; t < count; ++t)
            if (sub1[t].n > 0) segment(t, sub1[t].j0, sub1[t].n, sub1[t].out, unit2 ? sub2[t].out : nullptr);
    }
}

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
