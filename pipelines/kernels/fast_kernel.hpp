// The fast z-statistics kernel: the same correlations and Fisher differences as the
// straightforward kernel of correlation.hpp, bit for bit, with the shared work done once.
//
// Every value is formed by the same single-precision operations in the same order as
// there: a row's Sx and Sxx are the same sums for every pair of that row, so they (and the
// row's mean and variance) are computed once per pass; a pair's Sxy is still one plain
// sequential sum over the group's columns in list order, and vector lanes only run
// several such sums side by side. No contraction, IEEE division and square root.
//
// The kernel's files, one concern each (the entry points below dispatch in
// fast_kernel.cpp to a path the processor runs):
//   packing.hpp             the packed groups of a pass and their moments
//   tiles.hpp               tile shapes, strips, the scalar end of a correlation, and the
//                           functions of each path that fast_kernel.cpp dispatches to
//   tiles_portable.cpp      the portable path: every pair exact, for every kind of pass
//   tiles_avx2.hpp          the inline AVX2 helpers: lanes, Sxy tiles, the tile visit
//   pair_values_avx2.cpp    AVX2: correlations and Fisher differences stored
//   exceedance_decision.*   AVX2: exceedance decided from a cheap correlation (the proof)
//   one_group_decision.cpp  AVX2: exceedance decided from one group's Sxy (the proof)
//   row_tallies.cpp         AVX2: the median row scores' tallies
//   row_sums.cpp            AVX2: the mean row scores' estimated sums (the bound)
#pragma once

#include <cstdint>

#include "pipelines/kernels/exceedance.hpp"
#include "pipelines/kernels/packing.hpp"
#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

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
// (one_group_decision.cpp) leaves the decision clear, and sums the group-d Sxy for the others.
// Rows are indexed like the packs, pairs like the thresholds; every per-row array is
// readable for all readable_rows() of the packs.
struct complement_terms {
    bool first_summed;           // the first group's Sxy is summed, the second's derived
    const float* total_r;        // R per pair
    const float* spread;         // f per row
    const float* inverse;        // g per row; +inf where the row's pairs take the full path
    const float* shift;          // e per row
    const float* summed_error;   // the bound E_s on the exact path's error per row (one_group_decision.cpp)
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
