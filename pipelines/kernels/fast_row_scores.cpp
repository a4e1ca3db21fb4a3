#include "pipelines/kernels/fast_row_scores.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/set_scores.hpp"

namespace corrshift {

namespace {

// Rows are scored in blocks of eight, the rows left at the end of a slice in a smaller one.
constexpr std::int64_t block = 8;

// Calls take(l, e, v) for the value v of pair {i, p0 + l}, for i = 0 .. n-1 in increasing
// order and l < lanes (at most `block`), skipping i = p0 + l; e is the pair's place in
// that order (i below the row, i - 1 above it). This is the order of pair_mean_worker for
// each of the rows. Pair (i, j), i < j, lies at base[i] + j (each row's pairs stored
// contiguously, rows in any order of lengths). Rows above the block are read at the
// block's contiguous positions of their pair rows; rows below it come from the block's
// own pair rows, each contiguous.
template <class Take>
inline void for_block_pairs(const float* z, std::int64_t n, const std::int64_t* base, std::int64_t p0, int lanes,
                            Take&& take) {
    for (std::int64_t i = 0; i < p0; ++i) {
        const float* v = z + base[i] + p0;
        for (int l = 0; l < lanes; ++l) take(l, i, v[l]);
    }
    for (std::int64_t i = p0; i < p0 + lanes; ++i)
        for (int l = 0; l < lanes; ++l) {
            const std::int64_t p = p0 + l;
            if (i < p) take(l, i, z[base[i] + p]);
            if (i > p) take(l, i - 1, z[base[p] + i]);
        }
    // Offsets, not pointers: base[p] + i is a place in z only for i > p, and z + base[p]
    // alone may point before z.
    std::int64_t rows[block];
    for (int l = 0; l < lanes; ++l) rows[l] = base[p0 + l];
    for (std::int64_t i = p0 + lanes; i < n; ++i)
        for (int l = 0; l < lanes; ++l) take(l, i - 1, z[rows[l] + i]);
}

// The float count of pair_mean_worker: 1.0f added once per pair of the row.
float pair_count_as_float(std::int64_t n) {
    float count = 0.0f;
    for (std::int64_t i = 1; i < n; ++i) count += 1.0f;
    return count;
}

// Unsigned keys in the order of the quantile selection on NaN-free values: by value, -0
// before +0. Equal keys are equal bits, so any selection by key returns the same bits.
inline std::uint32_t order_key(float v) noexcept {
    std::uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b & 0x80000000u ? ~b : b | 0x80000000u;
}

inline float from_order_key(std::uint32_t k) noexcept {
    const std::uint32_t b = k & 0x80000000u ? k & 0x7fffffffu : ~k;
    float v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// Selection by the top bits of the keys: a histogram of them, counted while the keys are
// gathered, finds the bucket that holds the wanted element; only that bucket is then
// put in order.
constexpr int digit_shift = 21;
constexpr std::size_t digit_count = std::size_t{1} << (32 - digit_shift);
// The eight histograms (and key lists) of a block lie this much further apart than their
// size, so that they do not start at the same offset modulo 4 KiB: the processor would
// otherwise stall loads of one lane behind stores of another.
constexpr std::size_t lane_skew = 16;

// Element `at` of keys[0..m) in ascending order, given the histogram of their digits.
// `bucket` is scratch of at least m entries.
std::uint32_t select_key(const std::uint32_t* keys, std::size_t m, std::size_t at, const std::uint32_t* histogram,
                         std::uint32_t* bucket) {
    std::size_t before = 0;
    std::uint32_t digit = 0;
    while (before + histogram[digit] <= at) before += histogram[digit++];
    std::size_t count = 0;
    for (std::size_t e = 0; e < m; ++e) {
        bucket[count] = keys[e];
        count += keys[e] >> digit_shift == digit;
    }
    std::uint32_t* nth = bucket + (at - before);
    std::nth_element(bucket, nth, bucket + count);
    return *nth;
}

// Scores rows first, first + 8, ... in blocks of eight, the last block holding the rows
// left; out[p - first] is row p's score.
void mean_blocks(const float* z, std::int64_t n, const std::int64_t* base, std::int64_t first, std::int64_t last,
                 float* out) {
    const float count = pair_count_as_float(n);
    for (std::int64_t p0 = first; p0 < last; p0 += block) {
        const int lanes = static_cast<int>(std::min<std::int64_t>(block, last - p0));
        float sum[block] = {};
        if (lanes == block)
            for_block_pairs(z, n, base, p0, block, [&](int l, std::int64_t, float v) { sum[l] += std::fabs(v); });
        else
            for_block_pairs(z, n, base, p0, lanes, [&](int l, std::int64_t, float v) { sum[l] += std::fabs(v); });
        for (int l = 0; l < lanes; ++l) out[p0 + l - first] = count > 0.0f ? sum[l] / count : 0.0f;
    }
}

// The median counterpart of mean_blocks.
template <bool absolute>
void median_blocks(const float* pair_values, std::int64_t n, const std::int64_t* base, std::int64_t first,
                   std::int64_t last, float* out) {
    const auto m = static_cast<std::size_t>(n - 1);
    if (m == 0) {
        // No pairs: the score of an empty set.
        for (std::int64_t p = first; p < last; ++p) out[p - first] = 0.0f;
        return;
    }
    // As select_quantile: element floor(m * 0.5) in single precision.
    const auto at = static_cast<std::size_t>(static_cast<std::uint64_t>(static_cast<float>(m) * 0.5f));
    const std::size_t key_stride = m + lane_skew;
    const std::size_t histogram_stride = digit_count + lane_skew;
    std::vector<std::uint32_t> keys(block * key_stride);
    std::vector<std::uint32_t> histograms(block * histogram_stride);
    std::vector<std::uint32_t> bucket(m);
    std::vector<float> with_nan;
    for (std::int64_t p0 = first; p0 < last; p0 += block) {
        const int lanes = static_cast<int>(std::min<std::int64_t>(block, last - p0));
        bool nan[block] = {};
        std::fill(histograms.begin(), histograms.end(), 0u);
        const auto take = [&](int l, std::int64_t e, float v) {
            const float x = absolute ? std::fabs(v) : v;
            nan[l] |= x != x;
            const std::uint32_t key = order_key(x);
            keys[static_cast<std::size_t>(l) * key_stride + static_cast<std::size_t>(e)] = key;
            ++histograms[static_cast<std::size_t>(l) * histogram_stride + (key >> digit_shift)];
        };
        if (lanes == block)
            for_block_pairs(pair_values, n, base, p0, block, take);
        else
            for_block_pairs(pair_values, n, base, p0, lanes, take);
        for (int l = 0; l < lanes; ++l) {
            const std::uint32_t* row = keys.data() + static_cast<std::size_t>(l) * key_stride;
            if (!nan[l]) {
                out[p0 + l - first] = from_order_key(select_key(
                    row, m, at, histograms.data() + static_cast<std::size_t>(l) * histogram_stride, bucket.data()));
                continue;
            }
            // Which NaN ends up selected depends on the algorithm: use the reference's on
            // the same values in the same order.
            with_nan.resize(m);
            for (std::size_t e = 0; e < m; ++e) with_nan[e] = from_order_key(row[e]);
            out[p0 + l - first] = select_quantile(with_nan, 0.5f);
        }
    }
}

}  // namespace

void layout_score_rows(const float* pair_values, const std::int64_t* bases, std::int64_t n, std::int64_t first,
                       std::int64_t last, bool use_mean, bool absolute, float* out) {
    if (use_mean)
        mean_blocks(pair_values, n, bases, first, last, out);
    else if (absolute)
        median_blocks<true>(pair_values, n, bases, first, last, out);
    else
        median_blocks<false>(pair_values, n, bases, first, last, out);
}

float row_mean_of(const float* z_row, std::int64_t n, std::int64_t p) noexcept {
    float sum = 0.0f;
    for (std::int64_t i = 0; i < n; ++i)
        if (i != p) sum += std::fabs(z_row[i]);
    const float count = pair_count_as_float(n);
    return count > 0.0f ? sum / count : 0.0f;
}

}  // namespace corrshift
