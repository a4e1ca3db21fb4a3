// The estimated sums of the "mean" row scores in a permutation pass on AVX2 (row_sums,
// fast_kernel.hpp): each pair adds an estimate of |z_diff| to both its rows, within
// sum_error of the exact value (the bound below); the driver decides each row from its
// sum and sums exactly the few rows the bound leaves open.
#include "pipelines/kernels/exceedance_decision.hpp"

#if defined(__x86_64__)

#include <algorithm>
#include <cstdint>

#include "pipelines/kernels/log_approx.hpp"

namespace corrshift {
namespace tiles {

namespace {

// Adds an estimate of |z| to the sums of both rows of each pair, for the "mean" row
// scores: |ln(A / B)| / 2 with log_approx_avx2 (A / B lies in [2^-16, 2^16]), from
// the cheap correlations where both lie within 0.9 (or beyond 1.01, where both it and the
// exact one clamp), else from the exact ones. Against the exact z it errs by at most
// 9.1e-6 (the cheap correlations: 2^-20 |r| each, exceedance_decision.hpp step 1, times
// d atanh / dc <= 5.27 within 0.9), 2.2e-6 (atanhf and the difference, step 3 there),
// 1.8e-7 (A and B), 3e-8 (their quotient) and 1.9e-6 (the logarithm, halved), 1.34e-5
// in all: below sum_error = 2^-16. A NaN correlation adds NaN, which sends its rows down
// the exact way.
struct sum_tile_avx2 {
    const pair_packs& packs;
    const row_sums& sums;

    // Lanes whose cheap correlation is NaN or within (0.9, 1.01] in absolute value.
    static CORRSHIFT_AVX2_INLINE __m256 near_the_clamp(__m256 r) {
        const __m256 magnitude = _mm256_and_ps(r, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)));
        return _mm256_and_ps(_mm256_cmp_ps(magnitude, _mm256_set1_ps(0.9f), _CMP_NLE_UQ),
                             _mm256_cmp_ps(magnitude, _mm256_set1_ps(1.01f), _CMP_NGT_UQ));
    }

    CORRSHIFT_AVX2_INLINE void operator()(const strip& t, std::int64_t i0, std::int64_t j0, const __m256* s1,
                                          const __m256* s2) const {
        const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
        for (std::int64_t r = 0; r < row_block; ++r) {
            const std::int64_t jl = std::max(j0, t.spans[r].lo);
            const std::int64_t jh = std::min(j0 + tile_width, t.spans[r].hi);
            if (jl >= jh) continue;
            __m256 row_i = _mm256_setzero_ps();
            for (int h = 0; h < 2; ++h) {
                const std::int64_t jv = j0 + 8 * h;
                if (jv >= jh || jv + 8 <= jl) continue;
                const __m256 valid = _mm256_castsi256_ps(lanes_between(jv, jl, jh));
                const lane_group g1 = tile_lanes(packs.x1, packs.y1, s1, i0, j0, r, h);
                const lane_group g2 = tile_lanes(packs.x2, packs.y2, s2, i0, j0, r, h);
                __m256 r1 = cheap_r_avx2(g1), r2 = cheap_r_avx2(g2);
                if (_mm256_movemask_ps(_mm256_and_ps(_mm256_or_ps(near_the_clamp(r1), near_the_clamp(r2)), valid))) {
                    r1 = finish_avx2(g1.sxy, g1.m, g1.mean_x, g1.var_x, g1.mean_y, g1.var_y);
                    r2 = finish_avx2(g2.sxy, g2.m, g2.mean_x, g2.var_x, g2.mean_y, g2.var_y);
                }
                __m256 a, b;
                ratio_terms_of(r1, r2, a, b);
                // NaN where A or B is (the logarithm's bit arithmetic would not keep it).
                const __m256 z = _mm256_or_ps(_mm256_mul_ps(_mm256_set1_ps(0.5f), log_approx_avx2(_mm256_div_ps(a, b))),
                                              _mm256_cmp_ps(a, b, _CMP_UNORD_Q));
                const __m256 v = _mm256_and_ps(_mm256_and_ps(z, magnitude), valid);
                row_i = _mm256_add_ps(row_i, v);
                _mm256_storeu_ps(sums.sums + jv, _mm256_add_ps(_mm256_loadu_ps(sums.sums + jv), v));
            }
            float* lanes = sums.lanes + 8 * (i0 + r);
            _mm256_storeu_ps(lanes, _mm256_add_ps(_mm256_loadu_ps(lanes), row_i));
        }
    }
};

CORRSHIFT_AVX2 void sum_pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count,
                                       const row_span* spans, const std::int64_t* starts, const row_sums& sums) {
    pair_tiles_avx2(packs, x0, count, spans, starts, sum_tile_avx2{packs, sums});
}

}  // namespace

void pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                    const std::int64_t* starts, const row_sums& sums) {
    sum_pair_rows_avx2(packs, x0, count, spans, starts, sums);
}

}  // namespace tiles
}  // namespace corrshift

#endif
