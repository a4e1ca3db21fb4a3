// The inline AVX2 helpers of the fast kernel's tiles: the scalar code's end of a
// correlation and Fisher difference on eight lanes, the Sxy of a tile and of queued rows,
// a lane group's moments, the exact path of open lanes, counts added by lane, and the
// visit of a call's tiles. Every function here with vector code is compiled for AVX2 and
// inlined into the AVX2 function that calls it (CORRSHIFT_AVX2_INLINE), so each tile
// kind's hot loop is one function of straight-line vector code; the files of the tile
// kinds include this header.
//
// Each lane runs the scalar code's operations on its own pair, in the same order (a
// separate multiply, then add; IEEE division and square root), so a lane's bits are the
// scalar code's.
#pragma once

#if defined(__x86_64__)

#include <algorithm>
#include <cstdint>
#include <limits>

#include "pipelines/kernels/atanh_vector.hpp"
#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/tiles.hpp"
#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {
namespace tiles {

// finish() on eight lanes; the two -2 tests of the scalar code become one mask.
CORRSHIFT_AVX2_INLINE __m256 finish_avx2(__m256 sxy, __m256 m, __m256 mean_x, __m256 var_x, __m256 mean_y,
                                         __m256 var_y) {
    const __m256 cov = _mm256_sub_ps(_mm256_div_ps(sxy, m), _mm256_mul_ps(mean_y, mean_x));
    const __m256 r = _mm256_div_ps(cov, _mm256_sqrt_ps(_mm256_mul_ps(var_y, var_x)));
    const __m256 zero = _mm256_setzero_ps();
    const __m256 undefined =
        _mm256_or_ps(_mm256_cmp_ps(var_x, zero, _CMP_EQ_OQ), _mm256_cmp_ps(var_y, zero, _CMP_EQ_OQ));
    return _mm256_blendv_ps(r, _mm256_set1_ps(-2.0f), undefined);
}

// atanhf(clamp(r1)) - atanhf(clamp(r2)) as fisher_z() computes it. max and min return
// their second operand when either is NaN, so a NaN correlation stays NaN as there.
CORRSHIFT_AVX2_INLINE __m256 fisher_z_avx2(__m256 r1, __m256 r2) {
    const __m256 lo = _mm256_set1_ps(-0.99f);
    const __m256 hi = _mm256_set1_ps(0.99f);
    const __m256 c1 = _mm256_min_ps(hi, _mm256_max_ps(lo, r1));
    const __m256 c2 = _mm256_min_ps(hi, _mm256_max_ps(lo, r2));
    return _mm256_sub_ps(atanh_avx2(c1), atanh_avx2(c2));
}

// Fisher differences of eight lanes, with the library's scalar atanhf when the vector
// one is not verified for this process.
CORRSHIFT_AVX2_INLINE __m256 fisher_z8(__m256 r1, __m256 r2, bool vector_atanh) {
    if (vector_atanh) return fisher_z_avx2(r1, r2);
    alignas(32) float a[8], b[8], z[8];
    _mm256_store_ps(a, r1);
    _mm256_store_ps(b, r2);
    for (int l = 0; l < 8; ++l) z[l] = fisher_z(a[l], b[l]);
    return _mm256_load_ps(z);
}

// Sxy of x rows i0 .. i0+3 with y rows j0 .. j0+15 (j0 a multiple of 16) over one group:
// s[2r + h] holds y rows j0 + 8h .. j0 + 8h + 7 for x row i0 + r. Each lane's Sxy is a
// sequential sum over the columns in list order, a separate multiply then add.
CORRSHIFT_AVX2_INLINE void sxy_tile_avx2(const packed_group& gx, const packed_group& gy, std::int64_t i0,
                                         std::int64_t j0, __m256* s) {
    __m256 s00 = _mm256_setzero_ps(), s01 = _mm256_setzero_ps();
    __m256 s10 = _mm256_setzero_ps(), s11 = _mm256_setzero_ps();
    __m256 s20 = _mm256_setzero_ps(), s21 = _mm256_setzero_ps();
    __m256 s30 = _mm256_setzero_ps(), s31 = _mm256_setzero_ps();
    // Panel columns are 16 floats apart; j0 is a multiple of 16, so the tile's y rows
    // are one aligned panel column, and x rows i0 .. i0+3 may lie in two panels.
    constexpr std::int64_t step = packed_group::panel;
    const float* x0 = gx.row_start(i0);
    const float* x1 = gx.row_start(i0 + 1);
    const float* x2 = gx.row_start(i0 + 2);
    const float* x3 = gx.row_start(i0 + 3);
    const float* y = gy.row_start(j0);
    const std::int64_t end = gx.count() * step;
    for (std::int64_t c = 0; c < end; c += step) {
        const __m256 y0 = _mm256_load_ps(y + c);
        const __m256 y1 = _mm256_load_ps(y + c + 8);
        __m256 x = _mm256_broadcast_ss(x0 + c);
        s00 = _mm256_add_ps(s00, _mm256_mul_ps(x, y0));
        s01 = _mm256_add_ps(s01, _mm256_mul_ps(x, y1));
        x = _mm256_broadcast_ss(x1 + c);
        s10 = _mm256_add_ps(s10, _mm256_mul_ps(x, y0));
        s11 = _mm256_add_ps(s11, _mm256_mul_ps(x, y1));
        x = _mm256_broadcast_ss(x2 + c);
        s20 = _mm256_add_ps(s20, _mm256_mul_ps(x, y0));
        s21 = _mm256_add_ps(s21, _mm256_mul_ps(x, y1));
        x = _mm256_broadcast_ss(x3 + c);
        s30 = _mm256_add_ps(s30, _mm256_mul_ps(x, y0));
        s31 = _mm256_add_ps(s31, _mm256_mul_ps(x, y1));
    }
    s[0] = s00, s[1] = s01, s[2] = s10, s[3] = s11, s[4] = s20, s[5] = s21, s[6] = s30, s[7] = s31;
}

// The eight lanes of one group for vector h of tile row r: the pairs' Sxy and the moments
// of both rows of each pair (x moments broadcast, y moments of rows j0 + 8h ..).
struct lane_group {
    __m256 sxy, m, mean_x, var_x, isd_x, mean_y, var_y, isd_y;
};

// The lanes of x row i with y rows jv .. jv + 7 of one group, with the given Sxy.
CORRSHIFT_AVX2_INLINE lane_group lanes_at(const packed_group& gx, const packed_group& gy, __m256 sxy, std::int64_t i,
                                          std::int64_t jv) {
    return {sxy,
            _mm256_set1_ps(gx.m()),
            _mm256_broadcast_ss(gx.mean() + i),
            _mm256_broadcast_ss(gx.var() + i),
            _mm256_broadcast_ss(gx.isd() + i),
            _mm256_load_ps(gy.mean() + jv),
            _mm256_load_ps(gy.var() + jv),
            _mm256_load_ps(gy.isd() + jv)};
}

CORRSHIFT_AVX2_INLINE lane_group tile_lanes(const packed_group& gx, const packed_group& gy, const __m256* s,
                                            std::int64_t i0, std::int64_t j0, std::int64_t r, int h) {
    return lanes_at(gx, gy, s[2 * r + h], i0 + r, j0 + 8 * h);
}

// The exact Sxy of x rows i[q] with the eight y rows jv[q] .. jv[q] + 7 (jv a multiple of
// 8), q < 8, over a group packed by_column: each lane the sequential sum sxy_tile_avx2
// forms; the eight independent sums run side by side.
CORRSHIFT_AVX2_INLINE void sxy_rows_avx2(const packed_group& gx, const packed_group& gy, const std::int64_t* i,
                                         const std::int64_t* jv, __m256* sums) {
    constexpr std::int64_t step = packed_group::panel;
    const float* x[8];
    const float* y[8];
    for (int q = 0; q < 8; ++q) x[q] = gx.row_start(i[q]), y[q] = gy.row_start(jv[q]), sums[q] = _mm256_setzero_ps();
    const std::int64_t end = gx.count() * step;
    for (std::int64_t c = 0; c < end; c += step)
        for (int q = 0; q < 8; ++q)
            sums[q] = _mm256_add_ps(sums[q], _mm256_mul_ps(_mm256_broadcast_ss(x[q] + c), _mm256_load_ps(y[q] + c)));
}

// The values v[rows[l]] of eight rows.
CORRSHIFT_AVX2_INLINE __m256 gather(const float* v, const std::int32_t* rows) {
    return _mm256_i32gather_ps(v, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows)), 4);
}

// Within each half of four lanes, the 4 x 4 transpose: out[c] lane l is in[l] lane c
// (lanes 0 .. 3 and 4 .. 7 apart).
CORRSHIFT_AVX2_INLINE void transpose4x2(const __m256* in, __m256* out) {
    const __m256 t0 = _mm256_unpacklo_ps(in[0], in[1]), t1 = _mm256_unpackhi_ps(in[0], in[1]);
    const __m256 t2 = _mm256_unpacklo_ps(in[2], in[3]), t3 = _mm256_unpackhi_ps(in[2], in[3]);
    out[0] = _mm256_shuffle_ps(t0, t2, 0x44);
    out[1] = _mm256_shuffle_ps(t0, t2, 0xEE);
    out[2] = _mm256_shuffle_ps(t1, t3, 0x44);
    out[3] = _mm256_shuffle_ps(t1, t3, 0xEE);
}

// Four values from p and four from q, in the low and the high half.
CORRSHIFT_AVX2_INLINE __m256 load_halves(const float* p, const float* q) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p)), _mm_loadu_ps(q), 1);
}

// Eight listed pairs: rows a[l] and b[l] (the lanes past the set's pairs repeat its first
// pair), where the first pair is in the lists, how many there are, and whether all eight
// have the same first row (consecutive pairs of a row, as the listed z-test orders them).
struct listed_set {
    std::int32_t a[8];
    std::int32_t b[8];
    std::int64_t k0;
    std::int64_t lanes;
    bool shared;
};

// The set of the pairs from k0 of the lists, before `end`.
inline listed_set listed_set_at(const std::int32_t* first_rows, const std::int32_t* second_rows, std::int64_t k0,
                                std::int64_t end) {
    listed_set s;
    s.k0 = k0;
    s.lanes = std::min<std::int64_t>(8, end - k0);
    listed_rows_at(first_rows, second_rows, k0, s.lanes, s.a, s.b);
    s.shared = s.lanes == 8;
    for (int l = 1; l < 8; ++l) s.shared = s.shared && s.a[l] == s.a[0];
    return s;
}

// Sxy of a set of listed pairs over a group packed by_row (lane l pair l): the products of
// four columns at once of pairs l and l + 4 (their rows' values in the two halves of a
// vector; a shared first row is loaded once), turned within the halves so that a vector
// holds one column of the eight pairs, then added column by column in list order (the
// sequential sum of listed_sxy, whose products these are). Consecutive sets' sums overlap
// in the processor (taking several sets in one loop measured slower: more registers than
// there are). A row's last loads may read up to three values past it, which the pack holds
// (its moments follow) and which are never added.
CORRSHIFT_AVX2_INLINE __m256 listed_sxy_avx2(const packed_group& g, const listed_set& set) {
    const std::int64_t count = g.count();
    const float* x[8];
    const float* y[8];
    for (int l = 0; l < 8; ++l) x[l] = g.values() + set.a[l] * count, y[l] = g.values() + set.b[l] * count;
    __m256 sum = _mm256_setzero_ps();
    __m256 products[4], columns[4];
    for (std::int64_t c = 0; c < count; c += 4) {
        if (set.shared) {
            const __m256 xv = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(x[0] + c));
            for (int l = 0; l < 4; ++l) products[l] = _mm256_mul_ps(xv, load_halves(y[l] + c, y[l + 4] + c));
        } else {
            for (int l = 0; l < 4; ++l)
                products[l] = _mm256_mul_ps(load_halves(x[l] + c, x[l + 4] + c), load_halves(y[l] + c, y[l + 4] + c));
        }
        transpose4x2(products, columns);
        const std::int64_t added = std::min<std::int64_t>(4, count - c);
        if (added == 4) {
            for (int k = 0; k < 4; ++k) sum = _mm256_add_ps(sum, columns[k]);
        } else {
            for (int k = 0; k < added; ++k) sum = _mm256_add_ps(sum, columns[k]);
        }
    }
    return sum;
}

// The lanes of a set of listed pairs of a group packed by_row, with their Sxy.
CORRSHIFT_AVX2_INLINE lane_group listed_lanes(const packed_group& g, const listed_set& s, __m256 sxy) {
    const bool shared = s.shared;
    return {sxy,
            _mm256_set1_ps(g.m()),
            shared ? _mm256_broadcast_ss(g.mean() + s.a[0]) : gather(g.mean(), s.a),
            shared ? _mm256_broadcast_ss(g.var() + s.a[0]) : gather(g.var(), s.a),
            shared ? _mm256_broadcast_ss(g.isd() + s.a[0]) : gather(g.isd(), s.a),
            gather(g.mean(), s.b),
            gather(g.var(), s.b),
            gather(g.isd(), s.b)};
}

// Visits the listed pairs [begin, end) eight at a time with both groups' lanes:
// visit(k0, lanes, l1, l2) for the pairs k0 .. k0 + lanes - 1 (lanes <= 8; the lanes past
// them repeat pair k0).
template <class Visit>
CORRSHIFT_AVX2_INLINE void listed_sets_avx2(const packed_group& g1, const packed_group& g2,
                                            const std::int32_t* first_rows, const std::int32_t* second_rows,
                                            std::int64_t begin, std::int64_t end, const Visit& visit) {
    for (std::int64_t k0 = begin; k0 < end;) {
        const listed_set set = listed_set_at(first_rows, second_rows, k0, end);
        visit(set.k0, set.lanes, listed_lanes(g1, set, listed_sxy_avx2(g1, set)),
              listed_lanes(g2, set, listed_sxy_avx2(g2, set)));
        k0 += set.lanes;
    }
}

// The exact Fisher differences z[l] of the lanes of `open` (a bit mask): finish and fisher_z.
CORRSHIFT_AVX2_INLINE void exact_z_avx2(int open, const lane_group& g1, const lane_group& g2, float* z) {
    alignas(32) float v[2][6][8];
    for (int g = 0; g < 2; ++g) {
        const lane_group& lanes = g == 0 ? g1 : g2;
        _mm256_store_ps(v[g][0], lanes.sxy);
        _mm256_store_ps(v[g][1], lanes.m);
        _mm256_store_ps(v[g][2], lanes.mean_x);
        _mm256_store_ps(v[g][3], lanes.var_x);
        _mm256_store_ps(v[g][4], lanes.mean_y);
        _mm256_store_ps(v[g][5], lanes.var_y);
    }
    for (int l = 0; l < 8; ++l) {
        if (!(open & (1 << l))) continue;
        float r[2];
        for (int g = 0; g < 2; ++g)
            r[g] = finish(v[g][0][l], v[g][1][l], v[g][2][l], v[g][3][l], v[g][4][l], v[g][5][l]);
        z[l] = fisher_z(r[0], r[1]);
    }
}

// Sets the lanes l of `open` in `mask` to all ones where set(l), to zero elsewhere.
template <class Set>
CORRSHIFT_AVX2_INLINE __m256 set_lanes(__m256 mask, int open, const Set& set) {
    alignas(32) std::uint32_t bits[8];
    _mm256_store_ps(reinterpret_cast<float*>(bits), mask);
    for (int l = 0; l < 8; ++l)
        if (open & (1 << l)) bits[l] = set(l) ? 0xffffffffu : 0u;
    return _mm256_load_ps(reinterpret_cast<const float*>(bits));
}

// Adds the hit lanes (all ones) to eight counts; `lanes` masks the pairs that exist.
CORRSHIFT_AVX2_INLINE void add_hits(float* counts, __m256 hit) {
    _mm256_storeu_ps(counts, _mm256_add_ps(_mm256_loadu_ps(counts), _mm256_and_ps(hit, _mm256_set1_ps(1.0f))));
}
CORRSHIFT_AVX2_INLINE void add_hits(std::int32_t* counts, __m256 hit) {
    // A hit lane is -1 as an integer: subtracting it adds one.
    __m256i* at = reinterpret_cast<__m256i*>(counts);
    _mm256_storeu_si256(at, _mm256_sub_epi32(_mm256_loadu_si256(at), _mm256_castps_si256(hit)));
}
CORRSHIFT_AVX2_INLINE void add_hits(float* counts, __m256 hit, __m256i lanes) {
    const __m256 c = _mm256_maskload_ps(counts, lanes);
    _mm256_maskstore_ps(counts, lanes, _mm256_add_ps(c, _mm256_and_ps(hit, _mm256_set1_ps(1.0f))));
}
CORRSHIFT_AVX2_INLINE void add_hits(std::int32_t* counts, __m256 hit, __m256i lanes) {
    auto* at = reinterpret_cast<int*>(counts);
    _mm256_maskstore_epi32(at, lanes, _mm256_sub_epi32(_mm256_maskload_epi32(at, lanes), _mm256_castps_si256(hit)));
}

// Lanes j0 + l, l < 8, that lie in [jl, jh).
CORRSHIFT_AVX2_INLINE __m256i lanes_between(std::int64_t j0, std::int64_t jl, std::int64_t jh) {
    const __m256i j =
        _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(j0)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    return _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(jl)), j),
                               _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(jh)), j));
}

// How far ahead of a tile's pairs the counting tiles prefetch their streams, in pairs.
constexpr std::int64_t prefetch_ahead = 64;

// The y rows of a call are taken in blocks of about this many bytes of packed values (both
// groups): every strip of the call runs against one block before the next block, so each
// y value comes from the core's own cache for all the call's strips instead of being
// streamed again from memory for each strip of four rows.
constexpr std::int64_t y_block_bytes = 384 * 1024;

// Rows per y block: a multiple of the tile width.
inline std::int64_t y_block_rows(const pair_packs& packs) {
    const std::int64_t bytes_per_row = (packs.y1.count() + packs.y2.count()) * static_cast<std::int64_t>(sizeof(float));
    return std::max<std::int64_t>(tile_width,
                                  y_block_bytes / std::max<std::int64_t>(1, bytes_per_row) / tile_width * tile_width);
}

// Visits the tiles (strip t, x rows i0 .., y rows j0 ..) of a call: visit(t, i0, j0).
template <class Visit>
CORRSHIFT_AVX2_INLINE void visit_tiles_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count,
                                            const row_span* spans, const std::int64_t* starts, const Visit& visit) {
    static_assert(row_block == 4 && tile_width == 16 && packed_group::panel == 16,
                  "sxy_tile_avx2 computes 4 x 16 tiles of one panel");
    // The strips of the call (calls hold at most a few dozen rows).
    constexpr std::int64_t most_strips = 64;
    strip strips[most_strips];
    const std::int64_t block = y_block_rows(packs);
    for (std::int64_t s0 = 0; s0 < count; s0 += row_block * most_strips) {
        const std::int64_t n = std::min<std::int64_t>(most_strips, (count - s0 + row_block - 1) / row_block);
        std::int64_t first_j = std::numeric_limits<std::int64_t>::max(), last_j = 0;
        for (std::int64_t k = 0; k < n; ++k) {
            strips[k] = strip_of(s0 + k * row_block, count, spans, starts);
            first_j = std::min(first_j, strips[k].jmin);
            last_j = std::max(last_j, strips[k].jmax);
        }
        // Tiles on the grid of panels, so that each reads one panel of y rows; a pair's
        // bits do not depend on the order in which the tiles are visited.
        for (std::int64_t b0 = first_j / 16 * 16; b0 < last_j; b0 += block) {
            const std::int64_t b1 = b0 + block;
            for (std::int64_t k = 0; k < n; ++k) {
                const strip& t = strips[k];
                const std::int64_t i0 = x0 + s0 + k * row_block;
                const std::int64_t lo = std::max(b0, t.jmin / 16 * 16), hi = std::min(b1, t.jmax);
                for (std::int64_t j0 = lo; j0 < hi; j0 += tile_width) visit(t, i0, j0);
            }
        }
    }
}

// The tiles with both groups' Sxy: tile(t, i0, j0, s1, s2).
template <class Tile>
struct both_groups_avx2 {
    const pair_packs& packs;
    const Tile& tile;
    CORRSHIFT_AVX2_INLINE void operator()(const strip& t, std::int64_t i0, std::int64_t j0) const {
        __m256 s1[8], s2[8];
        sxy_tile_avx2(packs.x1, packs.y1, i0, j0, s1);
        sxy_tile_avx2(packs.x2, packs.y2, i0, j0, s2);
        tile(t, i0, j0, s1, s2);
    }
};

template <class Tile>
CORRSHIFT_AVX2_INLINE void pair_tiles_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count,
                                           const row_span* spans, const std::int64_t* starts, const Tile& tile) {
    visit_tiles_avx2(packs, x0, count, spans, starts, both_groups_avx2<Tile>{packs, tile});
}

}  // namespace tiles
}  // namespace corrshift

#endif
