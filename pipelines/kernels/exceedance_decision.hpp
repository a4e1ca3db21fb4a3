// Deciding exceedance in a permutation pass without the exact Fisher difference: the
// decision, its proof, and the tiles that count with it. Inline, since every deciding
// tile kind (the counts here and in one_group_decision.cpp, the row tallies) runs it per
// lane; exceedance_decision.cpp holds the counting passes of all pairs and listed pairs.
#pragma once

#if defined(__x86_64__)

#include <algorithm>
#include <cstdint>

#include "pipelines/kernels/exceedance.hpp"
#include "pipelines/kernels/tiles_avx2.hpp"

namespace corrshift {
namespace tiles {

// A permutation pass of the z-test needs only whether each pair's Fisher difference
// z = fl(atanhf(c1) - atanhf(c2)) is at least as extreme as the observed o (c = r
// clamped to [-0.99, 0.99]). atanh is increasing, and with A = (1 + c1)(1 - c2) and
// B = (1 - c1)(1 + c2), atanh(c1) - atanh(c2) = ln(A / B) / 2, so for t = e^(2 theta):
// z >= theta exactly when A >= t B, and z <= -theta exactly when t A <= B (in exact
// arithmetic). The lanes below decide from a cheap correlation and float A and B, and
// only where the decision is clear by a margin; every other lane takes the exact path
// (finish, atanhf, the comparison with o), so counts equal the exact path's.
//
// The cheap r' takes the exact path's cov = Sxy / m - mean_y mean_x, bit for bit, and
// multiplies it by isd_x isd_y (isd = 1 / sqrt(var), rounded once each) instead of
// dividing it by sqrt(var_y var_x). The rows whose moments could leave the normal range
// (var outside [2^-60, 2^60], |mean| above 2^40, NaN or infinite) have isd NaN, so their
// lanes give NaN, decide nothing and go the exact way; a variance of exactly 0 gives the
// exact path's -2 in both. Margin, in units u = 2^-24 (the float rounding unit):
//  1. r' against the exact r: r = cov S (1 + e), |e| <= 2.5u (product, square root,
//     division); r' = cov S (1 + e'), |e'| <= 6u (two square roots, two divisions, two
//     products). So |r' - r| <= 8.6u |r| < 2^-20 |r|. Clamping only shrinks the
//     difference, and beyond |r| > 1.01 both clamp to the same bound: |c' - c| <= 2^-20.
//     A cov in the subnormal range adds at most 2^-126 absolute, far below the margin.
//  2. d atanh(c) / dc = 1 / (1 - c^2) <= 50.26 on [-0.99, 0.99]: the two groups move
//     ln(A/B)/2 by at most 2 * 50.26 * 1.01 * 2^-20 < 9.7e-5.
//  3. The atanhf of the exact path is within 4 ulps of atanh (the C library's is within
//     2; the tests measure it on a sample, `make test-exhaustive` on every input), and
//     |atanhf| < 2.65 has ulp 2^-22; with the rounding of the difference (|z| < 5.3):
//     |z - (atanh(c1) - atanh(c2))| <= 9 * 2^-22 < 2.2e-6.
//  4. 1 +- c' is rounded once (1 +- c' >= 0.01, so relative u), A' and B' once more:
//     each within 3u relative, ln(A'/B')/2 within 3u < 1.8e-7. t is e^(2 theta)
//     rounded to float (u), and t B' (or t A') and the product with 1 + eta round once
//     each: 1.5u < 9e-8 in ln/2.
// The sum is below 1.0e-4. A lane counts as decided only where A' > t B' (1 + eta) or
// A' < t B' (1 - eta) (two-sided: the larger of A' and B' against t times the smaller),
// eta = 2^-11: a distance of ln(1 -+ eta)/2, at least 2.44e-4 from theta, more than
// twice the sum; so z >= theta, or z < theta, holds exactly as decided. A NaN
// correlation makes both A' and B' NaN, which fails every ordered comparison and decides
// nothing. The share of lanes within the margin is about 0.2% per threshold at 100
// samples a group (proportional to the margin over the spread of z); they cost one exact
// pair each.
constexpr float margin_above = 1.0f + 0x1p-11f;
constexpr float margin_below = 1.0f - 0x1p-11f;

// The cheap r' of eight lanes (above): exact cov, times isd_x isd_y; -2 where a variance
// is 0 (which the caller may rule out for a whole tile: `constant` false).
template <bool constant = true>
CORRSHIFT_AVX2_INLINE __m256 cheap_r_avx2(const lane_group& g) {
    const __m256 cov = _mm256_sub_ps(_mm256_div_ps(g.sxy, g.m), _mm256_mul_ps(g.mean_y, g.mean_x));
    const __m256 r = _mm256_mul_ps(cov, _mm256_mul_ps(g.isd_x, g.isd_y));
    if constexpr (!constant) return r;
    const __m256 zero = _mm256_setzero_ps();
    const __m256 undefined =
        _mm256_or_ps(_mm256_cmp_ps(g.var_x, zero, _CMP_EQ_OQ), _mm256_cmp_ps(g.var_y, zero, _CMP_EQ_OQ));
    return _mm256_blendv_ps(r, _mm256_set1_ps(-2.0f), undefined);
}

// Whether a row of the tile (x rows i0 .. i0+3, y rows j0 .. j0+15) has a variance of 0 in
// either group: only then does the cheap correlation need its -2 test.
CORRSHIFT_AVX2_INLINE bool tile_has_constant_row(const pair_packs& packs, std::int64_t i0, std::int64_t j0) {
    const __m256 zero = _mm256_setzero_ps();
    __m256 any = _mm256_setzero_ps();
    for (const packed_group* g : {&packs.y1, &packs.y2})
        for (int h = 0; h < 2; ++h)
            any = _mm256_or_ps(any, _mm256_cmp_ps(_mm256_load_ps(g->var() + j0 + 8 * h), zero, _CMP_EQ_OQ));
    for (const packed_group* g : {&packs.x1, &packs.x2}) {
        const __m128 x = _mm_loadu_ps(g->var() + i0);
        any = _mm256_or_ps(any, _mm256_castps128_ps256(_mm_cmpeq_ps(x, _mm_setzero_ps())));
    }
    return _mm256_movemask_ps(any) != 0;
}

// A = (1 + c1)(1 - c2) and B = (1 - c1)(1 + c2) of correlations r1, r2 clamped as
// fisher_z clamps them.
CORRSHIFT_AVX2_INLINE void ratio_terms_of(__m256 r1, __m256 r2, __m256& a, __m256& b) {
    const __m256 lo = _mm256_set1_ps(-0.99f);
    const __m256 hi = _mm256_set1_ps(0.99f);
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 c1 = _mm256_min_ps(hi, _mm256_max_ps(lo, r1));
    const __m256 c2 = _mm256_min_ps(hi, _mm256_max_ps(lo, r2));
    a = _mm256_mul_ps(_mm256_add_ps(one, c1), _mm256_sub_ps(one, c2));
    b = _mm256_mul_ps(_mm256_sub_ps(one, c1), _mm256_add_ps(one, c2));
}

// The same of the cheap correlations.
template <bool constant = true>
CORRSHIFT_AVX2_INLINE void ratio_terms_avx2(const lane_group& g1, const lane_group& g2, __m256& a, __m256& b) {
    ratio_terms_of(cheap_r_avx2<constant>(g1), cheap_r_avx2<constant>(g2), a, b);
}

// Lanes that exceed (hit) and lanes that the margin leaves open, for thresholds t.
// The margin is 1 + eta (above) and 1 - eta (below).
template <tail rule>
CORRSHIFT_AVX2_INLINE void decide_ab_avx2(__m256 a, __m256 b, __m256 t, __m256& hit, __m256& open,
                                          __m256 above = _mm256_set1_ps(margin_above),
                                          __m256 below = _mm256_set1_ps(margin_below)) {
    __m256 decided;
    if constexpr (rule == tail::greater || rule == tail::less) {
        const __m256 tb = _mm256_mul_ps(t, b);
        const __m256 up = _mm256_cmp_ps(a, _mm256_mul_ps(tb, above), _CMP_GT_OQ);    // z > theta
        const __m256 down = _mm256_cmp_ps(a, _mm256_mul_ps(tb, below), _CMP_LT_OQ);  // z < theta
        hit = rule == tail::greater ? up : down;
        decided = _mm256_or_ps(up, down);
    } else {
        // |z| against theta >= 0 (t >= 1): z >= theta is A >= t B, z <= -theta is
        // t A <= B, and at most one can hold, so the larger of A and B decides against t
        // times the smaller, with the same roundings as the one-sided tests.
        const __m256 ts = _mm256_mul_ps(t, _mm256_min_ps(a, b));
        const __m256 large = _mm256_max_ps(a, b);
        hit = _mm256_cmp_ps(large, _mm256_mul_ps(ts, above), _CMP_GT_OQ);
        decided = _mm256_or_ps(hit, _mm256_cmp_ps(large, _mm256_mul_ps(ts, below), _CMP_LT_OQ));
    }
    open = _mm256_andnot_ps(decided, _mm256_castsi256_ps(_mm256_set1_epi32(-1)));
}

template <tail rule, bool constant>
CORRSHIFT_AVX2_INLINE void decide_avx2(const lane_group& g1, const lane_group& g2, __m256 t, __m256& hit,
                                       __m256& open) {
    __m256 a, b;
    ratio_terms_avx2<constant>(g1, g2, a, b);
    decide_ab_avx2<rule>(a, b, t, hit, open);
}

// The exact path for the lanes of `open`: the comparison of the exact z with observed[l];
// returns `hit` with those lanes set where they exceed.
template <tail rule>
CORRSHIFT_AVX2_INLINE __m256 exact_lanes_avx2(int open, const lane_group& g1, const lane_group& g2,
                                              const float* observed, __m256 hit) {
    alignas(32) float z[8];
    exact_z_avx2(open, g1, g2, z);
    return set_lanes(hit, open, [&](int l) { return exceeds<rule>(z[l], observed[l]); });
}

// Decides eight pairs at positions at .. at+7 of the pass (only the lanes of `lanes`
// where `partial`) and adds their exceedances.
template <tail rule, bool constant, class Count>
CORRSHIFT_AVX2_INLINE void count_lanes_avx2(const lane_group& g1, const lane_group& g2, const exceedance_count& d,
                                            Count* counts, std::int64_t at, bool partial, __m256i lanes) {
    const __m256 t = partial ? _mm256_maskload_ps(d.thresholds + at, lanes) : _mm256_loadu_ps(d.thresholds + at);
    __m256 hit, open;
    decide_avx2<rule, constant>(g1, g2, t, hit, open);
    if (partial) open = _mm256_and_ps(open, _mm256_castsi256_ps(lanes));
    const int open_bits = _mm256_movemask_ps(open);
    if (open_bits != 0) hit = exact_lanes_avx2<rule>(open_bits, g1, g2, d.observed + at, hit);
    if (partial)
        add_hits(counts + at, _mm256_and_ps(hit, _mm256_castsi256_ps(lanes)), lanes);
    else
        add_hits(counts + at, hit);
}

// The tiles of a counting pass: decide and count their exceedances.
template <tail rule, class Count>
struct count_tile_avx2 {
    const pair_packs& packs;
    const exceedance_count& counting;
    Count* counts;

    CORRSHIFT_AVX2_INLINE void operator()(const strip& t, std::int64_t i0, std::int64_t j0, const __m256* s1,
                                          const __m256* s2) const {
        if (tile_has_constant_row(packs, i0, j0))
            tile<true>(t, i0, j0, s1, s2);
        else
            tile<false>(t, i0, j0, s1, s2);
    }

    template <bool constant>
    CORRSHIFT_AVX2_INLINE void tile(const strip& t, std::int64_t i0, std::int64_t j0, const __m256* s1,
                                    const __m256* s2) const {
        for (std::int64_t r = 0; r < row_block; ++r) {
            const std::int64_t jl = std::max(j0, t.spans[r].lo);
            const std::int64_t jh = std::min(j0 + tile_width, t.spans[r].hi);
            if (jl >= jh) continue;
            const std::int64_t at = t.starts[r] + j0;
            // The streams of this row's next tiles, a few tiles ahead (the observed values for
            // the lanes that take the exact path).
            _mm_prefetch(reinterpret_cast<const char*>(counting.thresholds + at + prefetch_ahead), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(counts + at + prefetch_ahead), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(counting.observed + at + prefetch_ahead), _MM_HINT_T0);
            for (int h = 0; h < 2; ++h) {
                const std::int64_t jv = j0 + 8 * h;
                if (jv >= jh || jv + 8 <= jl) continue;
                const bool partial = jv < jl || jv + 8 > jh;
                const __m256i lanes = partial ? lanes_between(jv, jl, jh) : _mm256_set1_epi32(-1);
                count_lanes_avx2<rule, constant>(tile_lanes(packs.x1, packs.y1, s1, i0, j0, r, h),
                                                 tile_lanes(packs.x2, packs.y2, s2, i0, j0, r, h), counting, counts,
                                                 at + 8 * h, partial, lanes);
            }
        }
    }
};

}  // namespace tiles
}  // namespace corrshift

#endif
