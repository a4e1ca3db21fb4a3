// The fast z-statistics kernel: the same correlations and Fisher differences as the
// straightforward kernel of correlation.hpp, bit for bit, with the shared work done once.
//
// Every value is formed by the same single-precision operations in the same order as
// there: a row's Sx and Sxx are the same sums for every pair of that row, so they (and the
// row's mean and variance) are computed once per pass; a pair's Sxy is still one plain
// sequential sum over the group's columns in list order, and vector lanes only run
// several such sums side by side. No contraction, IEEE division and square root.
#pragma once

#include <cstdint>
#include <vector>

#include "pipelines/kernels/exceedance.hpp"
#include "pipelines/kernels/vector_code.hpp"

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

// The packs that a tile loop reads: rows i from x1 and x2, rows j from y1 and y2 (the
// first and second group each). x and y may be the same packs; all are packed by_column.
struct pair_packs {
    const packed_group& x1;
    const packed_group& x2;
    const packed_group& y1;
    const packed_group& y2;
};

// The rows j of one row i: y-pack indices [lo, hi).
struct row_span {
    std::int64_t lo;
    std::int64_t hi;
};

// Where a pass's pair values go: z_diff and, where given, the two correlations.
struct pair_values {
    float* first_r;
    float* second_r;
    float* z_diff;
};

// Pairs of the x-pack rows x0 + r, r < count, with the y-pack rows spans[r]: pair
// (x0 + r, j) is written at position starts[r] + j of each array of `out`. The pairs are
// computed in tiles of 4 x 16 rows; a pair's bits do not depend on the tile, the pack
// positions or the other pairs of the call.
void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const pair_values& out);

// What lets a permutation pass of all pairs sum the Sxy of one group only. The columns of
// the two groups of every pass are the same columns, so for rows x and y the sums of
// squares and products about the rows' means over all of them split exactly (in real
// arithmetic) into the two groups' parts and the part between the groups:
//     C = C_s + C_d + (m_s m_d / m) (mean_s,x - mean_d,x) (mean_s,y - mean_d,y),
// s the summed group, d the derived one, m = m_s + m_d. Divided by the rows' roots of
// their sums of squares over all columns:
//     r_d = (R - r_s f_x f_y - e_x e_y) g_x g_y
// with R the pair's correlation over all columns, f = sqrt(SS_s / SS), g = sqrt(SS / SS_d)
// and e = sqrt(m_s m_d / m) (mean_s - mean_d) / sqrt(SS) per row. The kernel decides a
// pair from its exact group-s Sxy and this r_d wherever a bound on the error of r_d
// (fast_kernel.cpp) leaves the decision clear, and sums the group-d Sxy for the others.
// Rows are indexed like the packs, pairs like the thresholds; every per-row array is
// readable for all readable_rows() of the packs.
struct complement_terms {
    bool first_summed;           // the first group's Sxy is summed, the second's derived
    const float* total_r;        // R per pair
    const float* spread;         // f per row
    const float* inverse;        // g per row; +inf where the row's pairs take the full path
    const float* shift;          // e per row
    const float* summed_error;   // the bound E_s on the exact path's error per row (fast_kernel.cpp)
    const float* derived_error;  // the same E_d of the derived group
    // Per panel of 16 rows: the largest g, f, summed_error and derived_error of its rows.
    const float* panels;
    float pack_error;  // how far packing may move a correlation (0: values as given)
};

// Whether the pairs of row i with rows like it would take the one-group path: the
// kernel's bound for such a pair within its budget.
bool complement_row_holds(const complement_terms& terms, std::int64_t i, std::int32_t summed_count,
                          std::int32_t derived_count);

// The same pairs in a permutation pass: adds 1 to the count of each pair whose Fisher
// difference is at least as extreme as its observed one by counting.rule, given
// counting.thresholds. The counts equal those of the pass's z_diff counted by
// count_exceedances; most pairs are decided without computing it.
void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const exceedance_count& counting);

// Tallies of a pass's pair values against one threshold per row, from which the "median"
// row scores of a permutation pass are decided without selecting: for each pair (i, j)
// of a call, for both rows, whether its value lies below the row's observed score o
// (|z| < |o| for "two-sided", z < o for "greater", z <= o for "less") and whether it is
// NaN (`below` of a row whose observed score is NaN, which nothing exceeds, is left
// unspecified). Arrays are indexed by pack row and readable 32 entries past the last
// row; each thread tallies into its own arrays.
struct row_tallies {
    tail rule;
    const float* observed;
    const float* thresholds;  // decision_threshold(rule, observed[i])
    std::int32_t* below;
    std::int32_t* nan;
};

// Adds the tallies of the pairs of x rows x0 + r with y rows spans[r] (x and y index the
// same rows) to `tallies`; most pairs are decided without computing z_diff.
void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const row_tallies& tallies);

// Sums of |z_diff| per row, estimated, from which the "mean" row scores of a permutation
// pass are decided: for each pair (i, j), an estimate of |z| within sum_error of the exact
// one (NaN where z is NaN) is added to the sums of rows i and j, in no fixed order: a
// row's sum is sums[i] plus the eight lanes[8 i .. 8 i + 7]. Arrays as for row_tallies
// (lanes eight per row); the portable path adds the exact values.
struct row_sums {
    float* sums;
    float* lanes;
};
// The bound on |estimate - |z|| of one pair.
constexpr float sum_error = 0x1p-16f;

void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const row_sums& sums);

// The exact z_diff of pack rows rows[k], k < count, with every pack row i < n of g1 and
// g2 into z[k n + i] (the pair of a row with itself too). `source` and the column lists
// are those g1 and g2 were packed from, `standardised` whether they were packed with
// pack_standardised.
void exact_rows(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                const float* const* source, const std::int32_t* first_columns, const std::int32_t* second_columns,
                const std::int64_t* rows, std::int64_t count, std::int64_t n, float* z, bool standardised);

// Pairs (first_rows[k], second_rows[k]) for k in [begin, end): writes z_diff[k] and,
// where the arrays are given, first_r[k] and second_r[k]; g1 and g2 are packed by_row.
// `paths` is the code to run (a path the processor lacks must not be chosen; the tests
// run every path).
void listed_pairs(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                  const std::int32_t* first_rows, const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                  const pair_values& out);

// The exceedance counts of the same pairs in a permutation pass, as pair_rows with
// counting does.
void listed_pairs(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                  const std::int32_t* first_rows, const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                  const exceedance_count& counting);

}  // namespace corrshift
