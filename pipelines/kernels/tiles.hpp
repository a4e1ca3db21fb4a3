// What every path of the fast kernel shares, and the functions of each path that the
// entry points of fast_kernel.cpp dispatch to. Internal to the kernel's files.
//
// A pair_rows call computes its pairs in tiles of `row_block` x rows (a strip) against
// `tile_width` y rows; a listed_pairs call eight listed pairs at a time. A pair's bits
// depend on neither: each of its values is the same sequence of operations whatever tile,
// strip, lane or path computes it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "pipelines/kernels/exceedance.hpp"
#include "pipelines/kernels/fast_kernel.hpp"

namespace corrshift {
namespace tiles {

// A tile is `row_block` rows i against `tile_width` rows j (two vectors of eight).
constexpr std::int64_t row_block = 4;
constexpr std::int64_t tile_width = 16;

// The end of correlation() in correlation.cpp, from the pair's Sxy and the two rows'
// moments: the same operations on the same values.
inline float finish(float sxy, float m, float mean_x, float var_x, float mean_y, float var_y) noexcept {
    if (var_x == 0.0f) return -2.0f;
    if (var_y == 0.0f) return -2.0f;
    const float cov = sxy / m - mean_y * mean_x;
    return cov / std::sqrt(var_y * var_x);
}

// The spans of the x rows i0 .. i0 + row_block - 1 of a pair_rows call and where their
// pairs go; rows past the call's last row get empty spans.
struct strip {
    row_span spans[row_block];
    std::int64_t starts[row_block];
    std::int64_t jmin;
    std::int64_t jmax;
};

inline strip strip_of(std::int64_t s, std::int64_t count, const row_span* spans, const std::int64_t* starts) {
    strip t{};
    t.jmin = std::numeric_limits<std::int64_t>::max();
    t.jmax = 0;
    for (std::int64_t r = 0; r < row_block; ++r) {
        if (s + r >= count || spans[s + r].lo >= spans[s + r].hi) {
            t.spans[r] = {0, 0};
            t.starts[r] = 0;
            continue;
        }
        t.spans[r] = spans[s + r];
        t.starts[r] = starts[s + r];
        t.jmin = std::min(t.jmin, t.spans[r].lo);
        t.jmax = std::max(t.jmax, t.spans[r].hi);
    }
    return t;
}

// Sxy of eight listed pairs (rows a[l] and b[l]) over a group packed by_row, each lane a
// sequential sum over the columns in list order.
inline void listed_sxy(const packed_group& g, const std::int32_t* a, const std::int32_t* b, float* sxy) {
    const std::int64_t count = g.count();
    const float* x[8];
    const float* y[8];
    for (int l = 0; l < 8; ++l) {
        x[l] = g.values() + a[l] * count;
        y[l] = g.values() + b[l] * count;
        sxy[l] = 0.0f;
    }
    for (std::int64_t c = 0; c < count; ++c)
        for (int l = 0; l < 8; ++l) sxy[l] += x[l][c] * y[l][c];
}

// Pairs k0 .. k0+7 of the lists, the lanes past `end` repeating pair k0.
inline void listed_rows_at(const std::int32_t* first_rows, const std::int32_t* second_rows, std::int64_t k0,
                           std::int64_t lanes, std::int32_t* a, std::int32_t* b) {
    for (std::int64_t l = 0; l < 8; ++l) {
        a[l] = first_rows[k0 + (l < lanes ? l : 0)];
        b[l] = second_rows[k0 + (l < lanes ? l : 0)];
    }
}

// Whether a pair value lies below a row's observed score o for the row tallies: |z| < |o|
// (two-sided), z < o (greater) or z <= o (less).
template <tail rule>
inline bool tally_below(float z, float o) noexcept {
    if constexpr (rule == tail::two_sided) return std::fabs(z) < std::fabs(o);
    if constexpr (rule == tail::less) return z <= o;
    return z < o;
}

// Runs f(rule) with the rule as a compile-time constant; nothing for tail::none.
template <class F>
void with_rule(tail rule, F&& f) {
    switch (rule) {
        case tail::two_sided:
            return f(std::integral_constant<tail, tail::two_sided>{});
        case tail::greater:
            return f(std::integral_constant<tail, tail::greater>{});
        case tail::less:
            return f(std::integral_constant<tail, tail::less>{});
        case tail::none:
            break;
    }
}

// Runs f(rule, counts) for the rule and count array of `counting`.
template <class F>
void with_rule_and_counts(const exceedance_count& counting, F&& f) {
    with_rule(counting.rule, [&](auto rule_constant) {
        if (counting.counts)
            f(rule_constant, counting.counts);
        else
            f(rule_constant, counting.int_counts);
    });
}

// ---- The paths the entry points dispatch to ------------------------------------------
//
// Each takes the arguments of its entry point (fast_kernel.hpp) and a call that holds
// pairs. The AVX2 ones are ordinary functions that choose the rule as a constant and call
// their file's code compiled for AVX2; fast_kernel.cpp calls them only where the
// processor has it.

// tiles_portable.cpp: every pair computed exactly (finish, fisher_z), then stored,
// counted, tallied or summed.
void pair_rows_portable(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                        const std::int64_t* starts, const pair_values& out);
void pair_rows_portable(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                        const std::int64_t* starts, const exceedance_count& counting);
void pair_rows_portable(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                        const std::int64_t* starts, const row_tallies& tallies);
void pair_rows_portable(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                        const std::int64_t* starts, const row_sums& sums);
void listed_pairs_portable(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                           const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                           const pair_values& out);
void listed_pairs_portable(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                           const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                           const exceedance_count& counting);

#if defined(__x86_64__)
// pair_values_avx2.cpp: the pairs' correlations and Fisher differences stored.
void pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                    const std::int64_t* starts, const pair_values& out, bool vector_atanh);
void listed_pairs_avx2(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                       const std::int32_t* second_rows, std::int64_t begin, std::int64_t end, const pair_values& out,
                       bool vector_atanh);
// exceedance_decision.cpp: exceedances counted, most decided from cheap correlations.
void pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                    const std::int64_t* starts, const exceedance_count& counting);
void listed_pairs_avx2(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                       const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                       const exceedance_count& counting);
// one_group_decision.cpp: the same counts with counting.complement given, most pairs
// decided from the summed group's Sxy.
void one_group_pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                              const std::int64_t* starts, const exceedance_count& counting);
// row_tallies.cpp: the median row scores' tallies.
void pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                    const std::int64_t* starts, const row_tallies& tallies);
// row_sums.cpp: the mean row scores' estimated sums.
void pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                    const std::int64_t* starts, const row_sums& sums);
#endif

}  // namespace tiles
}  // namespace corrshift
