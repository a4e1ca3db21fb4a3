#include "fast_rank.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "../common/options.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace corrshift {

std::int32_t rank_key(float value) noexcept {
    if (std::isnan(value)) return std::numeric_limits<std::int32_t>::max();
    const float v = value + 0.0f;  // -0 becomes +0; every other value is unchanged
    std::int32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    // Negative values: flip the magnitude bits so that larger magnitudes come first.
    return bits < 0 ? bits ^ 0x7fffffff : bits;
}

namespace {

// rank[p] = #{q : key[q] < key[p]} + #{q < p : key[q] == key[p]}, scalar.
void count_ranks_portable(const std::int32_t* keys, std::int32_t count, std::int32_t* rank) {
    for (std::int32_t p = 0; p < count; ++p) {
        std::int32_t before = 0;
        for (std::int32_t q = 0; q < count; ++q)
            before += keys[q] < keys[p] || (keys[q] == keys[p] && q < p);
        rank[p] = before;
    }
}

#if defined(__x86_64__)
// The same count, eight positions q at a time. `keys` must be readable up to a multiple
// of eight past count, those entries holding the largest key: never below a key, and
// past every p, so never a tie before it. Before p's own group of eight every q counts
// when key[q] <= key[p], after it when key[q] < key[p]; only p's group needs both tests.
__attribute__((target("avx2"))) void count_ranks_avx2(const std::int32_t* keys, std::int32_t count,
                                                      std::int32_t* rank) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (std::int32_t p = 0; p < count; ++p) {
        const __m256i kp = _mm256_set1_epi32(keys[p]);
        const std::int32_t own = p / 8 * 8;
        // q < p: count key[q] <= key[p], as 8 minus the lanes with key[q] > key[p].
        __m256i above = _mm256_setzero_si256();
        for (std::int32_t q0 = 0; q0 < own; q0 += 8) {
            const __m256i kq = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + q0));
            above = _mm256_sub_epi32(above, _mm256_cmpgt_epi32(kq, kp));
        }
        // q > p's group: count key[q] < key[p].
        __m256i below = _mm256_setzero_si256();
        for (std::int32_t q0 = own + 8; q0 < count; q0 += 8) {
            const __m256i kq = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + q0));
            below = _mm256_sub_epi32(below, _mm256_cmpgt_epi32(kp, kq));
        }
        // p's group: key[q] < key[p], or equal with q < p.
        const __m256i kq = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + own));
        const __m256i q = _mm256_add_epi32(lane, _mm256_set1_epi32(own));
        const __m256i tie_before =
            _mm256_and_si256(_mm256_cmpeq_epi32(kp, kq), _mm256_cmpgt_epi32(_mm256_set1_epi32(p), q));
        below = _mm256_sub_epi32(below, _mm256_or_si256(_mm256_cmpgt_epi32(kp, kq), tie_before));
        alignas(32) std::int32_t a[8], b[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(a), above);
        _mm256_store_si256(reinterpret_cast<__m256i*>(b), below);
        std::int32_t total = own;
        for (int l = 0; l < 8; ++l) total += b[l] - a[l];
        rank[p] = total;
    }
}
#endif

}  // namespace

void rank_row_slice_fast(const float* source, float* ranks, std::int64_t ncols, std::int64_t begin,
                         std::int64_t end, const std::int32_t* index, std::int32_t count,
                         std::vector<std::int32_t>& keys, std::vector<std::int32_t>& order) {
    // Padding with the largest key: see count_ranks_avx2.
    keys.assign(static_cast<std::size_t>(count) + 8, std::numeric_limits<std::int32_t>::max());
    order.resize(static_cast<std::size_t>(count) * 2);
    std::int32_t* rank = order.data() + count;
#if defined(__x86_64__)
    const bool avx2 = __builtin_cpu_supports("avx2") != 0;
#endif
    for (std::int64_t r = begin; r < end; ++r) {
        const float* row = source + r * ncols;
        float* out = ranks + r * ncols;
        for (std::int32_t p = 0; p < count; ++p) keys[static_cast<std::size_t>(p)] = rank_key(row[index[p]]);
#if defined(__x86_64__)
        if (avx2)
            count_ranks_avx2(keys.data(), count, rank);
        else
#endif
            count_ranks_portable(keys.data(), count, rank);
        // order[k] is the position of rank k; write ranks in ascending order as the sort does.
        for (std::int32_t p = 0; p < count; ++p) order[static_cast<std::size_t>(rank[p])] = p;
        for (std::int32_t k = 0; k < count; ++k)
            out[index[order[static_cast<std::size_t>(k)]]] = static_cast<float>(k);
    }
}

void rank_rows_fast(const float* source, float* ranks, std::int64_t ncols, std::int32_t nrows,
                    const std::int32_t* index, std::int32_t count, std::int32_t jobs) {
    fan_out(nrows, jobs, [=](std::int64_t begin, std::int64_t end) {
        std::vector<std::int32_t> keys, order;
        rank_row_slice_fast(source, ranks, ncols, begin, end, index, count, keys, order);
    });
}

}  // namespace corrshift
