// The counting passes of the z-test on AVX2: each pair's exceedance decided from its
// cheap correlations where the margin of exceedance_decision.hpp allows, from the exact
// Fisher difference elsewhere; all pairs in tiles, listed pairs eight at a time.
#include "pipelines/kernels/exceedance_decision.hpp"

#if defined(__x86_64__)

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace corrshift {
namespace tiles {

namespace {

template <tail rule, class Count>
CORRSHIFT_AVX2 void count_pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count,
                                         const row_span* spans, const std::int64_t* starts,
                                         const exceedance_count& counting, Count* counts) {
    pair_tiles_avx2(packs, x0, count, spans, starts, count_tile_avx2<rule, Count>{packs, counting, counts});
}

// The listed pairs' sets of eight: decide and count.
template <tail rule, class Count>
struct count_set_avx2 {
    const exceedance_count& counting;
    Count* counts;
    CORRSHIFT_AVX2_INLINE void operator()(std::int64_t k0, std::int64_t lanes, const lane_group& l1,
                                          const lane_group& l2) const {
        count_lanes_avx2<rule, true>(l1, l2, counting, counts, k0, lanes < 8, lanes_between(0, 0, lanes));
    }
};

template <tail rule, class Count>
CORRSHIFT_AVX2 void count_listed_pairs_avx2(const packed_group& g1, const packed_group& g2,
                                            const std::int32_t* first_rows, const std::int32_t* second_rows,
                                            std::int64_t begin, std::int64_t end, const exceedance_count& counting,
                                            Count* counts) {
    listed_sets_avx2(g1, g2, first_rows, second_rows, begin, end, count_set_avx2<rule, Count>{counting, counts});
}

}  // namespace

void pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                    const std::int64_t* starts, const exceedance_count& counting) {
    with_rule_and_counts(counting, [&](auto rule, auto* counts) {
        constexpr tail r = decltype(rule)::value;
        using count_type = std::remove_pointer_t<decltype(counts)>;
        count_pair_rows_avx2<r, count_type>(packs, x0, count, spans, starts, counting, counts);
    });
}

void listed_pairs_avx2(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                       const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                       const exceedance_count& counting) {
    with_rule_and_counts(counting, [&](auto rule, auto* counts) {
        constexpr tail r = decltype(rule)::value;
        using count_type = std::remove_pointer_t<decltype(counts)>;
        count_listed_pairs_avx2<r, count_type>(g1, g2, first_rows, second_rows, begin, end, counting, counts);
    });
}

}  // namespace tiles
}  // namespace corrshift

#endif
