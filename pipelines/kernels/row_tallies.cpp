// The tallies of the "median" row scores in a permutation pass on AVX2 (row_tallies,
// fast_kernel.hpp): for both rows of each pair, whether its Fisher difference lies below
// the row's observed score, decided from the cheap correlations as exceedance is decided
// (exceedance_decision.hpp, whose proof covers it: "below" is the complement of a hit, or
// a hit for "less"), the exact difference where the margin leaves a lane open.
#include "pipelines/kernels/exceedance_decision.hpp"

#if defined(__x86_64__)

#include <algorithm>
#include <cstdint>

namespace corrshift {
namespace tiles {

namespace {

// Tallies, for both rows of each pair, whether its value lies below the row's observed
// score, deciding as count_tile_avx2 does (below: not a hit, or a hit for "less", whose
// hits are z <= o).
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

template <tail rule>
CORRSHIFT_AVX2 void tally_pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count,
                                         const row_span* spans, const std::int64_t* starts,
                                         const row_tallies& tallies) {
    pair_tiles_avx2(packs, x0, count, spans, starts, tally_tile_avx2<rule>{packs, tallies});
}

}  // namespace

void pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                    const std::int64_t* starts, const row_tallies& tallies) {
    with_rule(tallies.rule, [&](auto rule) {
        tally_pair_rows_avx2<decltype(rule)::value>(packs, x0, count, spans, starts, tallies);
    });
}

}  // namespace tiles
}  // namespace corrshift

#endif
