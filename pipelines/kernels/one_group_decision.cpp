// Deciding exceedance from one group's Sxy (complement_terms, fast_kernel.hpp): the
// decision, its proof, and the counting pass of all pairs that uses it on AVX2. Tiles
// whose rows do not meet the proof's conditions count as exceedance_decision.hpp does.
#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "pipelines/kernels/exceedance_decision.hpp"
#include "pipelines/kernels/fast_kernel.hpp"
#include "pipelines/kernels/tiles.hpp"

namespace corrshift {
namespace tiles {

#if defined(__x86_64__)

namespace {

// A tile whose rows allow it sums only the summed group s; the derived group d's
// correlation of a lane is r_d' = fl(fl(fl(R' - fl(r_s' F')) - E') G'), where r_s' is the
// cheap correlation of group s (exceedance_decision.hpp), R' the pair's R rounded to
// float, and F' = f_x f_y, E' = e_x e_y, G' = g_x g_y of the rows' float terms. The
// decision then goes as in decide_ab_avx2 with the tile's margin (step 4 below), from
// (r_s', r_d') in the groups' order; a lane with |r_d'| > 0.9 (or NaN) takes the exact
// path, which sums its group-d Sxy first.
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
//  4. In z. Group s moves ln(A/B)/2 by at most 50.26 * 1.01 * 2^-20 < 4.85e-5 (as in
//     exceedance_decision.hpp).
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

template <tail rule, class Count>
CORRSHIFT_AVX2 void one_group_count_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count,
                                         const row_span* spans, const std::int64_t* starts,
                                         const exceedance_count& counting, Count* counts) {
    const complement_count_tile_avx2<rule, Count> tile(packs, counting, counts);
    visit_tiles_avx2(packs, x0, count, spans, starts, tile);
    tile.finish();
}

}  // namespace

void one_group_pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                              const std::int64_t* starts, const exceedance_count& counting) {
    with_rule_and_counts(counting, [&](auto rule, auto* counts) {
        constexpr tail r = decltype(rule)::value;
        using count_type = std::remove_pointer_t<decltype(counts)>;
        one_group_count_avx2<r, count_type>(packs, x0, count, spans, starts, counting, counts);
    });
}

#endif

}  // namespace tiles

bool complement_row_holds(const complement_terms& terms, std::int64_t i, std::int32_t summed_count,
                          std::int32_t derived_count) {
#if defined(__x86_64__)
    const tiles::complement_maxima row{terms.inverse[i], terms.spread[i], terms.summed_error[i],
                                       terms.derived_error[i]};
    const float panel[4] = {terms.inverse[i], terms.spread[i], terms.summed_error[i], terms.derived_error[i]};
    return std::max(summed_count, derived_count) <= 4096 && tiles::complement_tile_margin(terms, row, panel) > 0.0f;
#else
    (void)terms, (void)i, (void)summed_count, (void)derived_count;
    return false;
#endif
}

}  // namespace corrshift
