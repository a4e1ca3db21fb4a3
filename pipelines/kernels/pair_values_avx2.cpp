// The pair values of a pass on AVX2: both correlations of every pair (finish_avx2) and
// their Fisher difference, stored; all pairs in tiles, listed pairs eight at a time. The
// observed pass of the native statistics and the passes whose values are scored after
// they are computed (set and module scores, the observed row scores) run these.
#include "pipelines/kernels/tiles_avx2.hpp"

#if defined(__x86_64__)

#include <algorithm>
#include <cstdint>

namespace corrshift {
namespace tiles {

namespace {

// Stores the correlations and differences of a tile's pairs.
struct store_tile_avx2 {
    const pair_packs& packs;
    float* first_r;
    float* second_r;
    float* z_diff;
    bool vector_atanh;

    CORRSHIFT_AVX2_INLINE void operator()(const strip& t, std::int64_t i0, std::int64_t j0, const __m256* s1,
                                          const __m256* s2) const {
        __m256 r1[8], r2[8], z[8];
        for (std::int64_t r = 0; r < row_block; ++r)
            for (int h = 0; h < 2; ++h) {
                const lane_group a = tile_lanes(packs.x1, packs.y1, s1, i0, j0, r, h);
                const lane_group b = tile_lanes(packs.x2, packs.y2, s2, i0, j0, r, h);
                r1[2 * r + h] = finish_avx2(a.sxy, a.m, a.mean_x, a.var_x, a.mean_y, a.var_y);
                r2[2 * r + h] = finish_avx2(b.sxy, b.m, b.mean_x, b.var_x, b.mean_y, b.var_y);
            }
        for (int q = 0; q < 8; ++q) z[q] = fisher_z8(r1[q], r2[q], vector_atanh);
        for (std::int64_t r = 0; r < row_block; ++r) {
            const std::int64_t jl = std::max(j0, t.spans[r].lo);
            const std::int64_t jh = std::min(j0 + tile_width, t.spans[r].hi);
            if (jl >= jh) continue;
            const std::int64_t at = t.starts[r] + j0;
            if (jl == j0 && jh == j0 + tile_width) {
                for (int h = 0; h < 2; ++h) {
                    _mm256_storeu_ps(z_diff + at + 8 * h, z[2 * r + h]);
                    if (first_r) _mm256_storeu_ps(first_r + at + 8 * h, r1[2 * r + h]);
                    if (second_r) _mm256_storeu_ps(second_r + at + 8 * h, r2[2 * r + h]);
                }
                continue;
            }
            // A tile at the edge of the row or of the slice: store the covered part.
            alignas(32) float zt[tile_width], r1t[tile_width], r2t[tile_width];
            for (int h = 0; h < 2; ++h) {
                _mm256_store_ps(zt + 8 * h, z[2 * r + h]);
                _mm256_store_ps(r1t + 8 * h, r1[2 * r + h]);
                _mm256_store_ps(r2t + 8 * h, r2[2 * r + h]);
            }
            for (std::int64_t j = jl; j < jh; ++j) {
                z_diff[at + (j - j0)] = zt[j - j0];
                if (first_r) first_r[at + (j - j0)] = r1t[j - j0];
                if (second_r) second_r[at + (j - j0)] = r2t[j - j0];
            }
        }
    }
};

CORRSHIFT_AVX2 void store_pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count,
                                         const row_span* spans, const std::int64_t* starts, const pair_values& out,
                                         bool vector_atanh) {
    pair_tiles_avx2(packs, x0, count, spans, starts,
                    store_tile_avx2{packs, out.first_r, out.second_r, out.z_diff, vector_atanh});
}

// Stores the correlations and differences of a set of eight listed pairs.
struct store_set_avx2 {
    float* first_r;
    float* second_r;
    float* z_diff;
    bool vector_atanh;

    CORRSHIFT_AVX2_INLINE void operator()(std::int64_t k0, std::int64_t lanes, const lane_group& l1,
                                          const lane_group& l2) const {
        const __m256 r1 = finish_avx2(l1.sxy, l1.m, l1.mean_x, l1.var_x, l1.mean_y, l1.var_y);
        const __m256 r2 = finish_avx2(l2.sxy, l2.m, l2.mean_x, l2.var_x, l2.mean_y, l2.var_y);
        const __m256 z = fisher_z8(r1, r2, vector_atanh);
        if (lanes == 8) {
            _mm256_storeu_ps(z_diff + k0, z);
            if (first_r) _mm256_storeu_ps(first_r + k0, r1);
            if (second_r) _mm256_storeu_ps(second_r + k0, r2);
            return;
        }
        alignas(32) float zt[8], r1t[8], r2t[8];
        _mm256_store_ps(zt, z);
        _mm256_store_ps(r1t, r1);
        _mm256_store_ps(r2t, r2);
        for (std::int64_t l = 0; l < lanes; ++l) {
            z_diff[k0 + l] = zt[l];
            if (first_r) first_r[k0 + l] = r1t[l];
            if (second_r) second_r[k0 + l] = r2t[l];
        }
    }
};

CORRSHIFT_AVX2 void store_listed_pairs_avx2(const packed_group& g1, const packed_group& g2,
                                            const std::int32_t* first_rows, const std::int32_t* second_rows,
                                            std::int64_t begin, std::int64_t end, float* first_r, float* second_r,
                                            float* z_diff, bool vector_atanh) {
    listed_sets_avx2(g1, g2, first_rows, second_rows, begin, end,
                     store_set_avx2{first_r, second_r, z_diff, vector_atanh});
}

}  // namespace

void pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                    const std::int64_t* starts, const pair_values& out, bool vector_atanh) {
    store_pair_rows_avx2(packs, x0, count, spans, starts, out, vector_atanh);
}

void listed_pairs_avx2(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                       const std::int32_t* second_rows, std::int64_t begin, std::int64_t end, const pair_values& out,
                       bool vector_atanh) {
    store_listed_pairs_avx2(g1, g2, first_rows, second_rows, begin, end, out.first_r, out.second_r, out.z_diff,
                            vector_atanh);
}

}  // namespace tiles
}  // namespace corrshift

#endif
