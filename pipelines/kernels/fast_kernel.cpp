#include "pipelines/kernels/fast_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "common/options.hpp"
#include "pipelines/kernels/atanh_vector.hpp"
#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/log_approx.hpp"

namespace corrshift {

namespace {

// A tile is `row_block` rows i against `tile_width` rows j (two vectors of eight).
constexpr std::int64_t row_block = 4;
constexpr std::int64_t tile_width = 16;
// Readable rows past the last row, so that tiles at the edge may load whole vectors.
constexpr std::int64_t padding_rows = 32;

std::int64_t round_up16(std::int64_t n) { return (n + 15) / 16 * 16; }

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

strip strip_of(std::int64_t s, std::int64_t count, const row_span* spans, const std::int64_t* starts) {
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

// What the tile loops do with a pair's two correlations: store them and the Fisher
// difference, or count whether the difference exceeds the observed one.
struct store_pairs {
    float* first_r;
    float* second_r;
    float* z_diff;
    void operator()(std::int64_t at, std::int64_t, std::int64_t, float r1, float r2) const noexcept {
        z_diff[at] = fisher_z(r1, r2);
        if (first_r) first_r[at] = r1;
        if (second_r) second_r[at] = r2;
    }
};

template <tail rule, class Count>
struct count_pairs {
    const float* observed;
    Count* counts;
    void operator()(std::int64_t at, std::int64_t, std::int64_t, float r1, float r2) const noexcept {
        counts[at] += exceeds<rule>(fisher_z(r1, r2), observed[at]) ? 1 : 0;
    }
};

// Whether a pair value lies below a row's observed score o for the row tallies: |z| < |o|
// (two-sided), z < o (greater) or z <= o (less).
template <tail rule>
inline bool tally_below(float z, float o) noexcept {
    if constexpr (rule == tail::two_sided) return std::fabs(z) < std::fabs(o);
    if constexpr (rule == tail::less) return z <= o;
    return z < o;
}

// Adds a pair's value to the tallies of both its rows.
template <tail rule>
inline void tally_pair(const row_tallies& tallies, std::int64_t i, std::int64_t j, float z) noexcept {
    tallies.below[i] += tally_below<rule>(z, tallies.observed[i]) ? 1 : 0;
    tallies.below[j] += tally_below<rule>(z, tallies.observed[j]) ? 1 : 0;
    tallies.nan[i] += z != z ? 1 : 0;
    tallies.nan[j] += z != z ? 1 : 0;
}

template <tail rule>
struct tally_pairs {
    const row_tallies& tallies;
    void operator()(std::int64_t, std::int64_t i, std::int64_t j, float r1, float r2) const noexcept {
        tally_pair<rule>(tallies, i, j, fisher_z(r1, r2));
    }
};

// Adds |z| of each pair to the sums of both its rows.
struct sum_pairs {
    const row_sums& sums;
    void operator()(std::int64_t, std::int64_t i, std::int64_t j, float r1, float r2) const noexcept {
        const float z = std::fabs(fisher_z(r1, r2));
        sums.sums[i] += z;
        sums.sums[j] += z;
    }
};

// ---- Portable code, for processors without AVX2 and other architectures ------------

template <class Sink>
void pair_rows_portable(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                        const std::int64_t* starts, const Sink& sink) {
    float r1[row_block][tile_width];
    float r2[row_block][tile_width];
    for (std::int64_t s = 0; s < count; s += row_block) {
        const strip t = strip_of(s, count, spans, starts);
        const std::int64_t i0 = x0 + s;
        for (std::int64_t j0 = t.jmin; j0 < t.jmax; j0 += tile_width) {
            for (int g = 0; g < 2; ++g) {
                const packed_group& gx = g == 0 ? packs.x1 : packs.x2;
                const packed_group& gy = g == 0 ? packs.y1 : packs.y2;
                float (&out)[row_block][tile_width] = g == 0 ? r1 : r2;
                float sxy[row_block][tile_width] = {};
                for (std::int32_t c = 0; c < gx.count(); ++c)
                    for (std::int64_t r = 0; r < row_block; ++r)
                        for (std::int64_t l = 0; l < tile_width; ++l)
                            sxy[r][l] += gx.value(i0 + r, c) * gy.value(j0 + l, c);
                for (std::int64_t r = 0; r < row_block; ++r)
                    for (std::int64_t l = 0; l < tile_width; ++l)
                        out[r][l] = finish(sxy[r][l], gx.m(), gx.mean()[i0 + r], gx.var()[i0 + r], gy.mean()[j0 + l],
                                           gy.var()[j0 + l]);
            }
            for (std::int64_t r = 0; r < row_block; ++r) {
                const std::int64_t jl = std::max(j0, t.spans[r].lo);
                const std::int64_t jh = std::min(j0 + tile_width, t.spans[r].hi);
                for (std::int64_t j = jl; j < jh; ++j) sink(t.starts[r] + j, i0 + r, j, r1[r][j - j0], r2[r][j - j0]);
            }
        }
    }
}

template <class Sink>
void listed_pairs_portable(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                           const std::int32_t* second_rows, std::int64_t begin, std::int64_t end, const Sink& sink) {
    for (std::int64_t k0 = begin; k0 < end; k0 += 8) {
        const std::int64_t lanes = std::min<std::int64_t>(8, end - k0);
        std::int32_t a[8], b[8];
        for (std::int64_t l = 0; l < 8; ++l) {
            a[l] = first_rows[k0 + (l < lanes ? l : 0)];
            b[l] = second_rows[k0 + (l < lanes ? l : 0)];
        }
        float r[2][8];
        for (int g = 0; g < 2; ++g) {
            const packed_group& group = g == 0 ? g1 : g2;
            float sxy[8];
            listed_sxy(group, a, b, sxy);
            for (std::int64_t l = 0; l < lanes; ++l)
                r[g][l] = finish(sxy[l], group.m(), group.mean()[a[l]], group.var()[a[l]], group.mean()[b[l]],
                                 group.var()[b[l]]);
        }
        for (std::int64_t l = 0; l < lanes; ++l) sink(k0 + l, a[l], b[l], r[0][l], r[1][l]);
    }
}

// ---- AVX2 code ---------------------------------------------------------------------

#if defined(__x86_64__)

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

// ---- Deciding exceedance in a permutation pass ---------------------------------------
//
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

// The exact path for the lanes of `open`: the comparison of the exact z with observed[l];
// returns `hit` with those lanes set where they exceed.
template <tail rule>
CORRSHIFT_AVX2_INLINE __m256 exact_lanes_avx2(int open, const lane_group& g1, const lane_group& g2,
                                              const float* observed, __m256 hit) {
    alignas(32) float z[8];
    exact_z_avx2(open, g1, g2, z);
    return set_lanes(hit, open, [&](int l) { return exceeds<rule>(z[l], observed[l]); });
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

// Lanes j0 + l, l < 8, that lie in [jl, jh).
CORRSHIFT_AVX2_INLINE __m256i lanes_between(std::int64_t j0, std::int64_t jl, std::int64_t jh) {
    const __m256i j =
        _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(j0)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    return _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(jl)), j),
                               _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(jh)), j));
}

// What a tile loop does with the Sxy of a tile: store correlations and differences...
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

// How far ahead of a tile's pairs the counting tiles prefetch their streams, in pairs.
constexpr std::int64_t prefetch_ahead = 64;

// ... or decide and count their exceedances.
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

// ---- Deciding from one group's Sxy (complement_terms) ---------------------------------
//
// A tile whose rows allow it sums only the summed group s; the derived group d's
// correlation of a lane is r_d' = fl(fl(fl(R' - fl(r_s' F')) - E') G'), where r_s' is the
// cheap correlation of group s (above), R' the pair's R rounded to float, and F' = f_x f_y,
// E' = e_x e_y, G' = g_x g_y of the rows' float terms. The decision then goes as in
// decide_ab_avx2 with the tile's margin (step 4 below), from (r_s', r_d') in the groups' order; a lane
// with |r_d'| > 0.9 (or NaN) takes the exact path, which sums its group-d Sxy first.
//
// Why the decision stays exact. u = 2^-24; rho are correlations in real arithmetic of the
// values the exact path packs (rho_g(v)) or of the data's values (rho_g).
//  1. The exact path's own error. For a row of group g with m values v, mean mu,
//     population variance V, a = sqrt(mean of v^2 / V), b = |mu| / sqrt(V) (a^2 = 1 + b^2),
//     the sums of pack_rows and finish (each sequential over m terms, gamma_n = n u /
//     (1 - n u)) give |mean - mu| <= gamma_m sqrt(V) a, a variance within
//     V (C + u) and an Sxy within gamma_m m sqrt(V_x V_y) a_x a_y, so that for a pair
//     |cov - cov*| / sqrt(V_x V_y) <= C + u and, with the product, square root and division
//     (2.5u), |r_g - rho_g(v)| <= E_g = (2C + 4.5u)(1 + 2^-10), where
//     C = gamma_(m+1) a^2 + 2 gamma_m a b + u b^2 of the pair's row with the larger a (a and b
//     grow together). The factor 1 + 2^-10 holds the second-order terms where C <= 2^-12
//     and m u <= 2^-12, which the rows and groups taking this path meet.
//  2. Packing. Values standardised within the group in double (pack_standardised) are
//     v = w (1 + delta), |delta| <= 1.01u, w an affine image of the data's values, so
//     |rho_g(v) - rho_g| <= delta_p = 4.1u (products 2.03u, means 1.01u, variances 2.03u);
//     values packed as given have delta_p = 0.
//  3. The derived correlation. R, f, g and e are computed in double from the data
//     (relative error below 2^-30 on the rows that may take this path, see
//     complement.hpp) and rounded once to float; |F'|, |E'|, |R'| <= 1 and the products
//     and differences round once each, so |N' - N| <= (|r_s' - rho_s| F + 14u + 2^-27)
//     (1 + 2^-20) for the numerator N = R - rho_s F - E of the identity, and
//     |r_d' - rho_d| <= G (1 + 2^-20) |N' - N| + 4.03u (|rho_d| <= 1, G' within 3.01u).
//     With |r_s' - r_s| <= 2^-20 (the cheap correlation), |r_s - rho_s| <= E_s + delta_p:
//         |r_d' - r_d| <= B = G (1 + 2^-20)(F (1 + 2^-20)(2^-20 + E_s + delta_p) + 14u + 2^-27)
//                             + 4.03u + delta_p + E_d,
//     with G and F the products of the tile's largest g and f over its x rows and over its
//     y rows' panel.
//  4. In z. Group s moves ln(A/B)/2 by at most 50.26 * 1.01 * 2^-20 < 4.85e-5 (as above).
//     Lanes with |r_d'| <= 0.9 and B <= 2^-14 have |r_d| < 0.9001: neither is clamped and
//     d atanh / dc < 5.28 between them, at most 5.28 B. With 2.2e-6 for atanhf and the
//     difference and 2.7e-7 for A', B' and t, the sum is S = 5.1e-5 + 5.28 B (below
//     3.8e-4). The tile's margin is eta = 2.02 S (1 + eta and 1 - eta rounded outwards to
//     float): ln(1 -+ eta)/2 lies beyond -+S, so a decided lane is decided as the exact
//     path decides it.
// A tile that misses a condition (B > 2^-14, C > 2^-12, a row marked by g = +inf: a
// constant or out-of-range row, a derived group holding under 1/64 of a row's sum of
// squares, ...) takes the full path, summing both groups.
constexpr double complement_budget = 0x1p-14;

// The largest g, f, E_s and E_d of a strip's x rows (those with pairs).
struct complement_maxima {
    float g, f, es, ed;
};

inline complement_maxima strip_maxima(const complement_terms& h, const strip& t, std::int64_t i0) {
    complement_maxima x{0.0f, 0.0f, 0.0f, 0.0f};
    for (std::int64_t r = 0; r < row_block; ++r) {
        if (t.spans[r].lo >= t.spans[r].hi) continue;
        const std::int64_t i = i0 + r;
        x.g = std::max(x.g, h.inverse[i]);
        x.f = std::max(x.f, h.spread[i]);
        x.es = std::max(x.es, h.summed_error[i]);
        x.ed = std::max(x.ed, h.derived_error[i]);
    }
    return x;
}

// The margin eta of a tile for deciding from the summed group, from the maxima of its x
// rows and of its y rows' panel (g, f, E_s, E_d), or 0 where it may not: the bound B
// beyond the budget. B is formed in float: its six roundings and those of the float g and
// f it starts from (under 2^-21 and 2^-22 relative in all; the E terms are rounded up) are
// covered by the budget's 1 - 2^-20, and in eta by the 1.001.
inline float complement_tile_margin(const complement_terms& h, const complement_maxima& x, const float* panel) {
    constexpr float u = 0x1p-24f;
    const float delta = h.pack_error;
    const float g = x.g * panel[0], f = x.f * panel[1];
    const float es = std::max(x.es, panel[2]), ed = std::max(x.ed, panel[3]);
    // G (1 + 2^-20)^2 (F (2^-20 + E_s + delta) + 14u + 2^-27) + 4.03u + delta + E_d.
    const float bound =
        g * (1.0f + 0x1p-19f) * (f * (0x1p-20f + es + delta) + (14.0f * u + 0x1p-27f)) + (4.03f * u + delta + ed);
    if (!(bound <= static_cast<float>(complement_budget * (1.0 - 0x1p-20)))) return 0.0f;  // NaN and +inf fail
    return 2.02f * (5.1e-5f + 5.28f * bound) * 1.001f;
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

// Decides and counts the pairs of a tile from the summed group's Sxy, or sums the derived
// group too and counts as count_tile_avx2. The lanes the decision leaves open wait in a
// queue until eight vectors of them can have their derived Sxy summed side by side;
// finish() counts those still waiting.
template <tail rule, class Count>
struct complement_count_tile_avx2 {
    complement_count_tile_avx2(const pair_packs& p, const exceedance_count& c, Count* n)
        : packs(p), counting(c), counts(n) {}

    const pair_packs& packs;
    const exceedance_count& counting;
    Count* counts;

    const complement_terms& h = *counting.complement;
    const packed_group& xs = h.first_summed ? packs.x1 : packs.x2;
    const packed_group& ys = h.first_summed ? packs.y1 : packs.y2;
    const packed_group& xd = h.first_summed ? packs.x2 : packs.x1;
    const packed_group& yd = h.first_summed ? packs.y2 : packs.y1;
    // The bounds of 1. hold for groups of these sizes (m u <= 2^-12).
    const bool sizes_hold = std::max(xs.count(), xd.count()) <= 4096;

    // Lanes waiting for their derived Sxy: x row, y rows, where their counts go, the
    // open lanes, the covered lanes (all where not partial), the summed Sxy and the hits
    // decided so far.
    struct waiting {
        std::int64_t i, jv, k;
        int open;
        __m256i lanes;
        __m256 summed, hit;
    };
    mutable waiting queue[8];
    mutable int queued = 0;
    mutable std::int64_t strip_row = -1;
    mutable complement_maxima strip_terms{};

    CORRSHIFT_AVX2_INLINE void finish() const {
        if (queued == 0) return;
        std::int64_t i[8], jv[8];
        for (int q = 0; q < 8; ++q) {
            const waiting& w = queue[q < queued ? q : 0];
            i[q] = w.i, jv[q] = w.jv;
        }
        __m256 derived[8];
        sxy_rows_avx2(xd, yd, i, jv, derived);
        for (int q = 0; q < queued; ++q) {
            const waiting& w = queue[q];
            const lane_group ls = lanes_at(xs, ys, w.summed, w.i, w.jv);
            const lane_group ld = lanes_at(xd, yd, derived[q], w.i, w.jv);
            const __m256 hit = h.first_summed ? exact_lanes_avx2<rule>(w.open, ls, ld, counting.observed + w.k, w.hit)
                                              : exact_lanes_avx2<rule>(w.open, ld, ls, counting.observed + w.k, w.hit);
            add_hits(counts + w.k, _mm256_and_ps(hit, _mm256_castsi256_ps(w.lanes)), w.lanes);
        }
        queued = 0;
    }

    CORRSHIFT_AVX2_INLINE void operator()(const strip& t, std::int64_t i0, std::int64_t j0) const {
        // The margin first: its few dependent steps overlap the sums that follow.
        if (i0 != strip_row) strip_terms = strip_maxima(h, t, i0), strip_row = i0;
        const float eta = sizes_hold ? complement_tile_margin(h, strip_terms, h.panels + 4 * (j0 / 16)) : 0.0f;
        __m256 ss[8];
        sxy_tile_avx2(xs, ys, i0, j0, ss);
        if (eta == 0.0f) {
            __m256 sd[8];
            sxy_tile_avx2(xd, yd, i0, j0, sd);
            const count_tile_avx2<rule, Count> full{packs, counting, counts};
            if (h.first_summed)
                full(t, i0, j0, ss, sd);
            else
                full(t, i0, j0, sd, ss);
            return;
        }
        const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
        const __m256 near = _mm256_set1_ps(0.9f);
        // 1 + eta and 1 - eta rounded outwards (float spacing 2^-23 above 1, 2^-24 below).
        const __m256 above = _mm256_set1_ps((1.0f + 0x1p-23f) + eta);
        const __m256 below = _mm256_set1_ps((1.0f - 0x1p-24f) - eta);
        for (std::int64_t r = 0; r < row_block; ++r) {
            const std::int64_t jl = std::max(j0, t.spans[r].lo);
            const std::int64_t jh = std::min(j0 + tile_width, t.spans[r].hi);
            if (jl >= jh) continue;
            const std::int64_t i = i0 + r;
            const std::int64_t at = t.starts[r] + j0;
            _mm_prefetch(reinterpret_cast<const char*>(counting.thresholds + at + prefetch_ahead), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(counts + at + prefetch_ahead), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(h.total_r + at + prefetch_ahead), _MM_HINT_T0);
            const __m256 fx = _mm256_broadcast_ss(h.spread + i), ex = _mm256_broadcast_ss(h.shift + i);
            const __m256 gx = _mm256_broadcast_ss(h.inverse + i);
            for (int hv = 0; hv < 2; ++hv) {
                const std::int64_t jv = j0 + 8 * hv;
                if (jv >= jh || jv + 8 <= jl) continue;
                const bool partial = jv < jl || jv + 8 > jh;
                const __m256i lanes = partial ? lanes_between(jv, jl, jh) : _mm256_set1_epi32(-1);
                const std::int64_t k = at + 8 * hv;
                const lane_group ls = tile_lanes(xs, ys, ss, i0, j0, r, hv);
                const __m256 rs = cheap_r_avx2<false>(ls);
                const __m256 total =
                    partial ? _mm256_maskload_ps(h.total_r + k, lanes) : _mm256_loadu_ps(h.total_r + k);
                const __m256 f = _mm256_mul_ps(fx, _mm256_loadu_ps(h.spread + jv));
                const __m256 e = _mm256_mul_ps(ex, _mm256_loadu_ps(h.shift + jv));
                const __m256 g = _mm256_mul_ps(gx, _mm256_loadu_ps(h.inverse + jv));
                const __m256 rd = _mm256_mul_ps(_mm256_sub_ps(_mm256_sub_ps(total, _mm256_mul_ps(rs, f)), e), g);
                const __m256 thresholds = partial ? _mm256_maskload_ps(counting.thresholds + k, lanes)
                                                  : _mm256_loadu_ps(counting.thresholds + k);
                __m256 a, b, hit, open;
                if (h.first_summed)
                    ratio_terms_of(rs, rd, a, b);
                else
                    ratio_terms_of(rd, rs, a, b);
                decide_ab_avx2<rule>(a, b, thresholds, hit, open, above, below);
                // Lanes near the clamp, or NaN, take the exact path.
                open = _mm256_or_ps(open, _mm256_cmp_ps(_mm256_and_ps(rd, magnitude), near, _CMP_NLE_UQ));
                if (partial) open = _mm256_and_ps(open, _mm256_castsi256_ps(lanes));
                const int open_bits = _mm256_movemask_ps(open);
                if (open_bits != 0) {
                    queue[queued++] = {i, jv, k, open_bits, lanes, ls.sxy, hit};
                    if (queued == 8) finish();
                    continue;
                }
                if (partial)
                    add_hits(counts + k, _mm256_and_ps(hit, _mm256_castsi256_ps(lanes)), lanes);
                else
                    add_hits(counts + k, hit);
            }
        }
    }
};

// ... or tally, for both rows of each pair, whether its value lies below the row's
// observed score, deciding as count_tile_avx2 does (below: not a hit, or a hit for
// "less", whose hits are z <= o).
template <tail rule>
struct tally_tile_avx2 {
    const pair_packs& packs;
    const row_tallies& tallies;

    static CORRSHIFT_AVX2_INLINE __m256 below(__m256 hit, __m256 open) {
        return rule == tail::less
                   ? hit
                   : _mm256_andnot_ps(_mm256_or_ps(hit, open), _mm256_castsi256_ps(_mm256_set1_epi32(-1)));
    }

    CORRSHIFT_AVX2_INLINE void operator()(const strip& t, std::int64_t i0, std::int64_t j0, const __m256* s1,
                                          const __m256* s2) const {
        for (std::int64_t r = 0; r < row_block; ++r) {
            const std::int64_t jl = std::max(j0, t.spans[r].lo);
            const std::int64_t jh = std::min(j0 + tile_width, t.spans[r].hi);
            if (jl >= jh) continue;
            const std::int64_t i = i0 + r;
            const __m256 ti = _mm256_broadcast_ss(tallies.thresholds + i);
            std::int32_t below_i = 0;
            for (int h = 0; h < 2; ++h) {
                const std::int64_t jv = j0 + 8 * h;
                if (jv >= jh || jv + 8 <= jl) continue;
                const __m256 valid = _mm256_castsi256_ps(lanes_between(jv, jl, jh));
                const lane_group g1 = tile_lanes(packs.x1, packs.y1, s1, i0, j0, r, h);
                const lane_group g2 = tile_lanes(packs.x2, packs.y2, s2, i0, j0, r, h);
                __m256 a, b, hit_i, open_i, hit_j, open_j;
                ratio_terms_avx2(g1, g2, a, b);
                decide_ab_avx2<rule>(a, b, ti, hit_i, open_i);
                decide_ab_avx2<rule>(a, b, _mm256_loadu_ps(tallies.thresholds + jv), hit_j, open_j);
                __m256 bi = below(hit_i, open_i), bj = below(hit_j, open_j);
                const int open = _mm256_movemask_ps(_mm256_and_ps(_mm256_or_ps(open_i, open_j), valid));
                if (open != 0) {
                    alignas(32) float z[8];
                    exact_z_avx2(open, g1, g2, z);
                    bi = set_lanes(bi, open, [&](int l) { return tally_below<rule>(z[l], tallies.observed[i]); });
                    bj = set_lanes(bj, open, [&](int l) { return tally_below<rule>(z[l], tallies.observed[jv + l]); });
                    for (int l = 0; l < 8; ++l)
                        if ((open & (1 << l)) && z[l] != z[l]) ++tallies.nan[i], ++tallies.nan[jv + l];
                }
                below_i += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_ps(_mm256_and_ps(bi, valid))));
                // A set lane is -1 as an integer: subtracting it adds one.
                __m256i* at = reinterpret_cast<__m256i*>(tallies.below + jv);
                _mm256_storeu_si256(
                    at, _mm256_sub_epi32(_mm256_loadu_si256(at), _mm256_castps_si256(_mm256_and_ps(bj, valid))));
            }
            tallies.below[i] += below_i;
        }
    }
};

// ... or add an estimate of |z| to the sums of both rows of each pair, for the "mean"
// row scores: |ln(A / B)| / 2 with log_approx_avx2 (A / B lies in [2^-16, 2^16]), from
// the cheap correlations where both lie within 0.9 (or beyond 1.01, where both it and the
// exact one clamp), else from the exact ones. Against the exact z it errs by at most
// 9.1e-6 (the cheap correlations: 2^-20 |r| each, times d atanh / dc <= 5.27 within
// 0.9), 2.2e-6 (atanhf and the difference, as for the decisions), 1.8e-7 (A and B),
// 3e-8 (their quotient) and 1.9e-6 (the logarithm, halved), 1.34e-5 in all: below
// sum_error = 2^-16. A NaN correlation adds NaN, which sends its rows down the exact way.
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
                                       const row_span* spans, const std::int64_t* starts, const row_sums& sums);

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

CORRSHIFT_AVX2 void pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                                   const std::int64_t* starts, float* first_r, float* second_r, float* z_diff,
                                   bool vector_atanh) {
    pair_tiles_avx2(packs, x0, count, spans, starts, store_tile_avx2{packs, first_r, second_r, z_diff, vector_atanh});
}

template <tail rule, class Count>
CORRSHIFT_AVX2 void count_pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count,
                                         const row_span* spans, const std::int64_t* starts,
                                         const exceedance_count& counting, Count* counts) {
    if (counting.complement) {
        const complement_count_tile_avx2<rule, Count> tile(packs, counting, counts);
        visit_tiles_avx2(packs, x0, count, spans, starts, tile);
        tile.finish();
    } else
        pair_tiles_avx2(packs, x0, count, spans, starts, count_tile_avx2<rule, Count>{packs, counting, counts});
}

CORRSHIFT_AVX2_INLINE __m256 gather(const float* v, const std::int32_t* rows) {
    return _mm256_setr_ps(v[rows[0]], v[rows[1]], v[rows[2]], v[rows[3]], v[rows[4]], v[rows[5]], v[rows[6]],
                          v[rows[7]]);
}

template <tail rule>
CORRSHIFT_AVX2 void tally_pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count,
                                         const row_span* spans, const std::int64_t* starts,
                                         const row_tallies& tallies) {
    pair_tiles_avx2(packs, x0, count, spans, starts, tally_tile_avx2<rule>{packs, tallies});
}

CORRSHIFT_AVX2 void sum_pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count,
                                       const row_span* spans, const std::int64_t* starts, const row_sums& sums) {
    pair_tiles_avx2(packs, x0, count, spans, starts, sum_tile_avx2{packs, sums});
}

// The eight listed pairs a[l], b[l] of a group packed by_row.
CORRSHIFT_AVX2_INLINE lane_group listed_lanes(const packed_group& g, const std::int32_t* a, const std::int32_t* b) {
    alignas(32) float sxy[8];
    listed_sxy(g, a, b, sxy);
    return {_mm256_load_ps(sxy), _mm256_set1_ps(g.m()), gather(g.mean(), a), gather(g.var(), a),
            gather(g.isd(), a),  gather(g.mean(), b),   gather(g.var(), b),  gather(g.isd(), b)};
}

// Pairs k0 .. k0+7 of the lists, the lanes past `end` repeating pair k0.
inline void listed_rows_at(const std::int32_t* first_rows, const std::int32_t* second_rows, std::int64_t k0,
                           std::int64_t lanes, std::int32_t* a, std::int32_t* b) {
    for (std::int64_t l = 0; l < 8; ++l) {
        a[l] = first_rows[k0 + (l < lanes ? l : 0)];
        b[l] = second_rows[k0 + (l < lanes ? l : 0)];
    }
}

CORRSHIFT_AVX2 void listed_pairs_avx2(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                                      const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                                      float* first_r, float* second_r, float* z_diff, bool vector_atanh) {
    for (std::int64_t k0 = begin; k0 < end; k0 += 8) {
        const std::int64_t lanes = std::min<std::int64_t>(8, end - k0);
        std::int32_t a[8], b[8];
        listed_rows_at(first_rows, second_rows, k0, lanes, a, b);
        const lane_group l1 = listed_lanes(g1, a, b), l2 = listed_lanes(g2, a, b);
        const __m256 r1 = finish_avx2(l1.sxy, l1.m, l1.mean_x, l1.var_x, l1.mean_y, l1.var_y);
        const __m256 r2 = finish_avx2(l2.sxy, l2.m, l2.mean_x, l2.var_x, l2.mean_y, l2.var_y);
        const __m256 z = fisher_z8(r1, r2, vector_atanh);
        if (lanes == 8) {
            _mm256_storeu_ps(z_diff + k0, z);
            if (first_r) _mm256_storeu_ps(first_r + k0, r1);
            if (second_r) _mm256_storeu_ps(second_r + k0, r2);
            continue;
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
}

template <tail rule, class Count>
CORRSHIFT_AVX2 void count_listed_pairs_avx2(const packed_group& g1, const packed_group& g2,
                                            const std::int32_t* first_rows, const std::int32_t* second_rows,
                                            std::int64_t begin, std::int64_t end, const exceedance_count& counting,
                                            Count* counts) {
    for (std::int64_t k0 = begin; k0 < end; k0 += 8) {
        const std::int64_t lanes = std::min<std::int64_t>(8, end - k0);
        std::int32_t a[8], b[8];
        listed_rows_at(first_rows, second_rows, k0, lanes, a, b);
        const __m256i mask = lanes_between(0, 0, lanes);
        count_lanes_avx2<rule, true>(listed_lanes(g1, a, b), listed_lanes(g2, a, b), counting, counts, k0, lanes < 8,
                                     mask);
    }
}

#endif

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

}  // namespace

packed_group::packed_group(std::int32_t nrows, std::int32_t count, packing layout)
    : nrows_(nrows), count_(count), layout_(layout), stride_(round_up16(nrows + padding_rows)) {
    const std::int64_t value_count =
        round_up16(layout == packing::by_column ? count * stride_ : static_cast<std::int64_t>(nrows) * count);
    // Sixteen spare floats let the values start on a 64-byte boundary: every panel column
    // is one cache line, and loads of eight rows are aligned.
    storage_.assign(static_cast<std::size_t>(value_count + 3 * stride_ + 16), 0.0f);
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
    values_ = storage_.data() + ((64 - address % 64) % 64) / sizeof(float);
    mean_ = values_ + value_count;
    var_ = mean_ + stride_;
    isd_ = var_ + stride_;
}

template <class ValueOf>
void packed_group::pack_rows(ValueOf value_of, const std::int32_t* columns, std::int64_t first, std::int64_t last) {
    float* sx = mean_;
    float* sxx = var_;
    std::fill(sx + first, sx + last, 0.0f);
    std::fill(sxx + first, sxx + last, 0.0f);
    // Column by column in list order, so that each row's sums see its values in list
    // order, a block of rows at a time, so that the block's source rows stay in cache.
    const std::int64_t step = this->step();
    constexpr std::int64_t block = 64;
    for (std::int64_t b = first; b < last; b += block) {
        const std::int64_t end = std::min(last, b + block);
        for (std::int32_t c = 0; c < count_; ++c) {
            const std::int32_t column = columns[c];
            for (std::int64_t i = b; i < end; ++i) {
                const float v = value_of(i, column);
                values_[offset(i) + c * step] = v;
                sx[i] += v;
                sxx[i] += v * v;
            }
        }
    }
    const float m = this->m();
    for (std::int64_t i = first; i < last; ++i) {
        const float mean = sx[i] / m;
        const float var = sxx[i] / m - mean * mean;
        mean_[i] = mean;
        var_[i] = var;
        // Only where the decision kernels' error bounds hold (NaN fails every test).
        const bool bounded = var >= 0x1p-60f && var <= 0x1p60f && std::fabs(mean) <= 0x1p40f;
        isd_[i] = bounded ? 1.0f / std::sqrt(var) : std::numeric_limits<float>::quiet_NaN();
    }
}

void packed_group::pack(const float* const* rows, const std::int32_t* columns) { pack(rows, columns, 0, nrows_); }

void packed_group::pack(const float* const* rows, const std::int32_t* columns, std::int64_t first, std::int64_t last) {
    pack_rows([rows](std::int64_t i, std::int32_t column) { return rows[i][column]; }, columns, first, last);
}

void row_deviations(const float* row, const std::int32_t* columns, std::int32_t count, double& mean, double& squares,
                    double* unit) {
    double sum = 0.0;
    bool constant = true;  // exactly: a rounded mean would leave tiny deviations
    for (std::int32_t c = 0; c < count; ++c) {
        sum += static_cast<double>(row[columns[c]]);
        constant = constant && row[columns[c]] == row[columns[0]];
    }
    mean = sum / static_cast<double>(count);
    squares = 0.0;
    for (std::int32_t c = 0; c < count; ++c) {
        const double d = static_cast<double>(row[columns[c]]) - mean;
        squares += d * d;
    }
    if (constant) squares = 0.0;
    if (!unit) return;
    const double norm = std::sqrt(squares);
    for (std::int32_t c = 0; c < count; ++c)
        unit[c] = squares > 0.0 ? (static_cast<double>(row[columns[c]]) - mean) / norm
                                : std::numeric_limits<double>::quiet_NaN();
}

void packed_group::pack_standardised(const float* const* rows, const std::int32_t* columns, std::int64_t first,
                                     std::int64_t last, double* unit) {
    if (first >= last) return;
    const std::int32_t count = count_;
    const double m = static_cast<double>(count);
    // Each row's mean and sd over the group, in double; sd 0 marks a constant row.
    std::vector<double> shift(static_cast<std::size_t>(last - first)), sd(shift.size());
    for (std::int64_t i = first; i < last; ++i) {
        const auto at = static_cast<std::size_t>(i - first);
        double squares = 0.0;
        row_deviations(rows[i], columns, count, shift[at], squares,
                       unit ? unit + at * static_cast<std::size_t>(count) : nullptr);
        sd[at] = squares > 0.0 ? std::sqrt(squares / m) : 0.0;
    }
    pack_rows(
        [&](std::int64_t i, std::int32_t column) {
            const auto at = static_cast<std::size_t>(i - first);
            if (!(sd[at] > 0.0)) return 0.0f;
            return static_cast<float>((static_cast<double>(rows[i][column]) - shift[at]) / sd[at]);
        },
        columns, first, last);
}

void pack_groups(packed_group& g1, packed_group& g2, const float* const* rows, const std::int32_t* first_columns,
                 const std::int32_t* second_columns, std::int64_t nrows, std::int32_t jobs) {
    // Packing is a small part of a pass: more threads than that work pays for stay idle.
    const std::int64_t values = nrows * (g1.count() + g2.count());
    const auto useful = static_cast<std::int32_t>(std::max<std::int64_t>(1, values / 65536));
    fan_out(nrows, std::min(jobs, useful), [&](std::int64_t first, std::int64_t last) {
        g1.pack(rows, first_columns, first, last);
        g2.pack(rows, second_columns, first, last);
    });
}

void pack_groups_standardised(packed_group& g1, packed_group& g2, const float* const* rows,
                              const std::int32_t* first_columns, const std::int32_t* second_columns, std::int64_t nrows,
                              std::int32_t jobs, double* unit1, double* unit2) {
    // Twice the work of pack() per value (the double moments): more threads pay earlier.
    const std::int64_t values = nrows * (g1.count() + g2.count());
    const auto useful = static_cast<std::int32_t>(std::max<std::int64_t>(1, values / 32768));
    fan_out(nrows, std::min(jobs, useful), [&](std::int64_t first, std::int64_t last) {
        g1.pack_standardised(rows, first_columns, first, last, unit1 ? unit1 + first * g1.count() : nullptr);
        g2.pack_standardised(rows, second_columns, first, last, unit2 ? unit2 + first * g2.count() : nullptr);
    });
}

void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const pair_values& out) {
    if (count <= 0) return;
#if defined(__x86_64__)
    if (paths.avx2) {
        pair_rows_avx2(packs, x0, count, spans, starts, out.first_r, out.second_r, out.z_diff, paths.vector_atanh);
        return;
    }
#endif
    (void)paths;
    pair_rows_portable(packs, x0, count, spans, starts, store_pairs{out.first_r, out.second_r, out.z_diff});
}

bool complement_row_holds(const complement_terms& terms, std::int64_t i, std::int32_t summed_count,
                          std::int32_t derived_count) {
#if defined(__x86_64__)
    const complement_maxima row{terms.inverse[i], terms.spread[i], terms.summed_error[i], terms.derived_error[i]};
    const float panel[4] = {terms.inverse[i], terms.spread[i], terms.summed_error[i], terms.derived_error[i]};
    return std::max(summed_count, derived_count) <= 4096 && complement_tile_margin(terms, row, panel) > 0.0f;
#else
    (void)terms, (void)i, (void)summed_count, (void)derived_count;
    return false;
#endif
}

void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const exceedance_count& counting) {
    if (count <= 0) return;
    with_rule_and_counts(counting, [&](auto rule, auto* counts) {
        constexpr tail r = decltype(rule)::value;
        using count_type = std::remove_pointer_t<decltype(counts)>;
#if defined(__x86_64__)
        if (paths.avx2) return count_pair_rows_avx2<r, count_type>(packs, x0, count, spans, starts, counting, counts);
#endif
        pair_rows_portable(packs, x0, count, spans, starts, count_pairs<r, count_type>{counting.observed, counts});
    });
}

void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const row_tallies& tallies) {
    if (count <= 0) return;
    with_rule(tallies.rule, [&](auto rule) {
        constexpr tail r = decltype(rule)::value;
#if defined(__x86_64__)
        if (paths.avx2) return tally_pair_rows_avx2<r>(packs, x0, count, spans, starts, tallies);
#endif
        pair_rows_portable(packs, x0, count, spans, starts, tally_pairs<r>{tallies});
    });
}

void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const row_sums& sums) {
    if (count <= 0) return;
#if defined(__x86_64__)
    if (paths.avx2) return sum_pair_rows_avx2(packs, x0, count, spans, starts, sums);
#endif
    pair_rows_portable(packs, x0, count, spans, starts, sum_pairs{sums});
}

void exact_rows(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                const float* const* source, const std::int32_t* first_columns, const std::int32_t* second_columns,
                const std::int64_t* rows, std::int64_t count, std::int64_t n, float* z, bool standardised) {
    // The rows packed together, so that the tiles' four x rows are all used.
    std::vector<const float*> x_rows(static_cast<std::size_t>(count));
    for (std::int64_t k = 0; k < count; ++k) x_rows[static_cast<std::size_t>(k)] = source[rows[k]];
    packed_group x1(static_cast<std::int32_t>(count), g1.count(), packing::by_column);
    packed_group x2(static_cast<std::int32_t>(count), g2.count(), packing::by_column);
    if (standardised) {
        x1.pack_standardised(x_rows.data(), first_columns, 0, count, nullptr);
        x2.pack_standardised(x_rows.data(), second_columns, 0, count, nullptr);
    } else {
        x1.pack(x_rows.data(), first_columns);
        x2.pack(x_rows.data(), second_columns);
    }
    std::vector<row_span> spans(static_cast<std::size_t>(count), row_span{0, n});
    std::vector<std::int64_t> starts(static_cast<std::size_t>(count));
    for (std::int64_t k = 0; k < count; ++k) starts[static_cast<std::size_t>(k)] = k * n;
    pair_rows(paths, {x1, x2, g1, g2}, 0, count, spans.data(), starts.data(), pair_values{nullptr, nullptr, z});
}

void listed_pairs(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                  const std::int32_t* first_rows, const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                  const exceedance_count& counting) {
    if (begin >= end) return;
    with_rule_and_counts(counting, [&](auto rule, auto* counts) {
        constexpr tail r = decltype(rule)::value;
        using count_type = std::remove_pointer_t<decltype(counts)>;
#if defined(__x86_64__)
        if (paths.avx2)
            return count_listed_pairs_avx2<r, count_type>(g1, g2, first_rows, second_rows, begin, end, counting,
                                                          counts);
#endif
        listed_pairs_portable(g1, g2, first_rows, second_rows, begin, end,
                              count_pairs<r, count_type>{counting.observed, counts});
    });
}

void listed_pairs(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                  const std::int32_t* first_rows, const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                  const pair_values& out) {
    if (begin >= end) return;
#if defined(__x86_64__)
    if (paths.avx2) {
        listed_pairs_avx2(g1, g2, first_rows, second_rows, begin, end, out.first_r, out.second_r, out.z_diff,
                          paths.vector_atanh);
        return;
    }
#endif
    (void)paths;
    listed_pairs_portable(g1, g2, first_rows, second_rows, begin, end,
                          store_pairs{out.first_r, out.second_r, out.z_diff});
}

}  // namespace corrshift
