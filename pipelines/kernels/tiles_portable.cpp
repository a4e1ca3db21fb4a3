// The portable path of the fast kernel, for processors without AVX2 and other
// architectures: every pair's two correlations computed exactly (finish) in tiles of the
// same shape as the AVX2 code's, then stored with their Fisher difference, or counted,
// tallied or summed from it. It decides nothing from estimates, so its counts, tallies and
// sums are those of the exact z_diff by definition.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/tiles.hpp"

namespace corrshift {
namespace tiles {

namespace {

// What the loops do with a pair's two correlations: store them and the Fisher difference,
// or count whether the difference exceeds the observed one, or tally it, or sum it.
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

// The pairs of a pair_rows call, tile by tile: sink(at, i, j, r1, r2) for pair (i, j)
// at output position at.
template <class Sink>
void pair_tiles(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
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

// The pairs of a listed_pairs call, eight at a time: sink(k, a, b, r1, r2) for pair k of
// the lists, rows a and b.
template <class Sink>
void listed_pairs_of(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                     const std::int32_t* second_rows, std::int64_t begin, std::int64_t end, const Sink& sink) {
    for (std::int64_t k0 = begin; k0 < end; k0 += 8) {
        const std::int64_t lanes = std::min<std::int64_t>(8, end - k0);
        std::int32_t a[8], b[8];
        listed_rows_at(first_rows, second_rows, k0, lanes, a, b);
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

}  // namespace

void pair_rows_portable(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                        const std::int64_t* starts, const pair_values& out) {
    pair_tiles(packs, x0, count, spans, starts, store_pairs{out.first_r, out.second_r, out.z_diff});
}

void pair_rows_portable(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                        const std::int64_t* starts, const exceedance_count& counting) {
    with_rule_and_counts(counting, [&](auto rule, auto* counts) {
        constexpr tail r = decltype(rule)::value;
        using count_type = std::remove_pointer_t<decltype(counts)>;
        pair_tiles(packs, x0, count, spans, starts, count_pairs<r, count_type>{counting.observed, counts});
    });
}

void pair_rows_portable(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                        const std::int64_t* starts, const row_tallies& tallies) {
    with_rule(tallies.rule, [&](auto rule) {
        pair_tiles(packs, x0, count, spans, starts, tally_pairs<decltype(rule)::value>{tallies});
    });
}

void pair_rows_portable(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                        const std::int64_t* starts, const row_sums& sums) {
    pair_tiles(packs, x0, count, spans, starts, sum_pairs{sums});
}

void listed_pairs_portable(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                           const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                           const pair_values& out) {
    listed_pairs_of(g1, g2, first_rows, second_rows, begin, end, store_pairs{out.first_r, out.second_r, out.z_diff});
}

void listed_pairs_portable(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                           const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                           const exceedance_count& counting) {
    with_rule_and_counts(counting, [&](auto rule, auto* counts) {
        constexpr tail r = decltype(rule)::value;
        using count_type = std::remove_pointer_t<decltype(counts)>;
        listed_pairs_of(g1, g2, first_rows, second_rows, begin, end,
                        count_pairs<r, count_type>{counting.observed, counts});
    });
}

}  // namespace tiles
}  // namespace corrshift
