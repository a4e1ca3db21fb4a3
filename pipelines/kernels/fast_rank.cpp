#include "pipelines/kernels/fast_rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/options.hpp"
#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

namespace {

inline std::int32_t key_of(float value) noexcept {
    if (std::isnan(value)) return std::numeric_limits<std::int32_t>::max();
    const float v = value + 0.0f;  // -0 becomes +0; every other value is unchanged
    std::int32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    // Negative values: flip the magnitude bits so that larger magnitudes come first.
    return bits < 0 ? bits ^ 0x7fffffff : bits;
}

// Whether a column is listed twice: then two positions write the same output, and the
// order of the writes decides which rank stays.
bool has_repeats(const std::int32_t* index, std::int32_t count) {
    std::vector<std::int32_t> sorted(index, index + count);
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
}

// rank[p] = #{q : key[q] < key[p]} + #{q < p : key[q] == key[p]}, scalar.
void count_ranks_portable(const std::int32_t* keys, std::int32_t count, std::int32_t* rank) {
    for (std::int32_t p = 0; p < count; ++p) {
        std::int32_t before = 0;
        for (std::int32_t q = 0; q < count; ++q) before += keys[q] < keys[p] || (keys[q] == keys[p] && q < p);
        rank[p] = before;
    }
}

// twice_rank[p] = 2 #{q : key[q] < key[p]} + #{q : key[q] == key[p]} - 1, scalar.
void count_average_ranks_portable(const std::int32_t* keys, std::int32_t count, std::int32_t* twice_rank) {
    for (std::int32_t p = 0; p < count; ++p) {
        std::int32_t below = 0, equal = 0;
        for (std::int32_t q = 0; q < count; ++q) {
            below += keys[q] < keys[p];
            equal += keys[q] == keys[p];
        }
        twice_rank[p] = 2 * below + equal - 1;
    }
}

#if defined(__x86_64__)
// The same for eight positions at a time over every q (padding keys as in
// count_ranks_avx2: `keys` readable to count rounded up to eight).
CORRSHIFT_AVX2 void count_average_ranks_avx2(const std::int32_t* keys, std::int32_t count, std::int32_t* twice_rank) {
    for (std::int32_t p0 = 0; p0 < count; p0 += 8) {
        const __m256i kp = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + p0));
        // Lanes hold minus the counts (compare masks are -1).
        __m256i below = _mm256_setzero_si256(), equal = _mm256_setzero_si256();
        for (std::int32_t q = 0; q < count; ++q) {
            const __m256i kq = _mm256_set1_epi32(keys[q]);
            below = _mm256_add_epi32(below, _mm256_cmpgt_epi32(kp, kq));
            equal = _mm256_add_epi32(equal, _mm256_cmpeq_epi32(kp, kq));
        }
        const __m256i total = _mm256_sub_epi32(
            _mm256_sub_epi32(_mm256_setzero_si256(), _mm256_add_epi32(_mm256_add_epi32(below, below), equal)),
            _mm256_set1_epi32(1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(twice_rank + p0), total);
    }
}
#endif

#if defined(__x86_64__)
// The same count for eight positions p at a time, over every q: before the eight, q
// counts when key[q] <= key[p] (as one minus key[q] > key[p]), after them when
// key[q] < key[p]; only q among the eight needs the tie test. `rank` must have room for
// count rounded up to a multiple of eight.
CORRSHIFT_AVX2 void count_ranks_avx2(const std::int32_t* keys, std::int32_t count, std::int32_t* rank) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (std::int32_t p0 = 0; p0 < count; p0 += 8) {
        const __m256i kp = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + p0));
        const __m256i p = _mm256_add_epi32(lane, _mm256_set1_epi32(p0));
        // Lanes hold minus the count (compare masks are -1).
        __m256i above = _mm256_setzero_si256(), below = _mm256_setzero_si256();
        for (std::int32_t q = 0; q < p0; ++q)
            above = _mm256_add_epi32(above, _mm256_cmpgt_epi32(_mm256_set1_epi32(keys[q]), kp));
        const std::int32_t own_end = std::min(p0 + 8, count);
        for (std::int32_t q = p0; q < own_end; ++q) {
            const __m256i kq = _mm256_set1_epi32(keys[q]);
            const __m256i tie_before =
                _mm256_and_si256(_mm256_cmpeq_epi32(kq, kp), _mm256_cmpgt_epi32(p, _mm256_set1_epi32(q)));
            below = _mm256_add_epi32(below, _mm256_or_si256(_mm256_cmpgt_epi32(kp, kq), tie_before));
        }
        for (std::int32_t q = own_end; q < count; ++q)
            below = _mm256_add_epi32(below, _mm256_cmpgt_epi32(kp, _mm256_set1_epi32(keys[q])));
        // p0 + above-count - (q before p0 above key[p]) + below-count.
        const __m256i total = _mm256_sub_epi32(_mm256_add_epi32(_mm256_set1_epi32(p0), above), below);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(rank + p0), total);
    }
}
#endif

using count_routine = void (*)(const std::int32_t* keys, std::int32_t count, std::int32_t* counted);

// For each row of [begin, end): the keys of its listed values into `keys` (padded with
// the largest key, see count_ranks_avx2), their counts by `avx2` where the processor has
// it (null: never) else by `portable` into `counted`, then write(out, counted) with the
// row's output.
template <class Write>
void count_rows(const float* source, float* ranks, std::int64_t ncols, std::int64_t begin, std::int64_t end,
                const std::int32_t* index, std::int32_t count, std::vector<std::int32_t>& keys, std::int32_t* counted,
                count_routine portable, count_routine avx2, const Write& write) {
    keys.assign(static_cast<std::size_t>(count) + 8, std::numeric_limits<std::int32_t>::max());
    const count_routine routine = avx2 && processor_has_avx2() ? avx2 : portable;
    for (std::int64_t r = begin; r < end; ++r) {
        const float* row = source + r * ncols;
        for (std::int32_t p = 0; p < count; ++p) keys[static_cast<std::size_t>(p)] = key_of(row[index[p]]);
        routine(keys.data(), count, counted);
        write(ranks + r * ncols, counted);
    }
}

#if defined(__x86_64__)
constexpr count_routine ranks_avx2 = count_ranks_avx2;
constexpr count_routine average_ranks_avx2 = count_average_ranks_avx2;
#else
constexpr count_routine ranks_avx2 = nullptr;
constexpr count_routine average_ranks_avx2 = nullptr;
#endif

}  // namespace

std::int32_t rank_key(float value) noexcept { return key_of(value); }

void rank_row_slice_fast(const float* source, float* ranks, std::int64_t ncols, std::int64_t begin, std::int64_t end,
                         const std::int32_t* index, std::int32_t count, std::vector<std::int32_t>& keys,
                         std::vector<std::int32_t>& order) {
    // order, then rank with room for the eight-lane count's last group.
    order.resize(static_cast<std::size_t>(count) * 2 + 8);
    std::int32_t* rank = order.data() + count;
    const bool repeats = has_repeats(index, count);
    count_rows(source, ranks, ncols, begin, end, index, count, keys, rank, count_ranks_portable, ranks_avx2,
               [&](float* out, const std::int32_t* rank_of) {
                   if (!repeats) {
                       // Every output is written once: the order of the writes does not matter.
                       for (std::int32_t p = 0; p < count; ++p) out[index[p]] = static_cast<float>(rank_of[p]);
                       return;
                   }
                   // order[k] is the position of rank k; write ranks in ascending order as the sort does.
                   for (std::int32_t p = 0; p < count; ++p) order[static_cast<std::size_t>(rank_of[p])] = p;
                   for (std::int32_t k = 0; k < count; ++k)
                       out[index[order[static_cast<std::size_t>(k)]]] = static_cast<float>(k);
               });
}

void average_rank_row_slice(const float* source, float* ranks, std::int64_t ncols, std::int64_t begin, std::int64_t end,
                            const std::int32_t* index, std::int32_t count, std::vector<std::int32_t>& keys,
                            std::vector<std::int32_t>& order) {
    order.resize(static_cast<std::size_t>(count) + 8);
    count_rows(source, ranks, ncols, begin, end, index, count, keys, order.data(), count_average_ranks_portable,
               average_ranks_avx2, [&](float* out, const std::int32_t* twice_rank) {
                   // A column listed twice has one key, so both positions write the same rank.
                   for (std::int32_t p = 0; p < count; ++p) out[index[p]] = 0.5f * static_cast<float>(twice_rank[p]);
               });
}

void rank_rows_fast(const float* source, float* ranks, std::int64_t ncols, std::int32_t nrows,
                    const std::int32_t* index, std::int32_t count, std::int32_t jobs) {
    fan_out(nrows, jobs, [=](std::int64_t begin, std::int64_t end) {
        std::vector<std::int32_t> keys, order;
        rank_row_slice_fast(source, ranks, ncols, begin, end, index, count, keys, order);
    });
}

}  // namespace corrshift
