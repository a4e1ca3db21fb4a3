#include "pipelines/kernels/packing.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/options.hpp"
#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

namespace {

// Readable rows past the last row, so that tiles at the edge may load whole vectors.
constexpr std::int64_t padding_rows = 32;

std::int64_t round_up16(std::int64_t n) { return (n + 15) / 16 * 16; }

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
    sum_rows(value_of, columns, first, last);
    finish_rows(first, last);
}

template <class ValueOf>
void packed_group::sum_rows(ValueOf value_of, const std::int32_t* columns, std::int64_t first, std::int64_t last) {
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
}

void packed_group::finish_rows(std::int64_t first, std::int64_t last) {
    const float* sx = mean_;
    const float* sxx = var_;
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

#if defined(__x86_64__)
namespace {

// sum_rows of a by_row pack for the rows i0 .. i0 + 7: each row's values gathered eight
// columns at a time and stored, then turned so that a vector holds one column of the
// eight rows, whose sums (lane r row r) then add the columns in list order: the same sums
// as sum_rows. `values` is the pack's first value, sx and sxx its sums.
CORRSHIFT_AVX2 void sum_eight_rows_avx2(const float* const* rows, const std::int32_t* columns, std::int32_t count,
                                        std::int64_t i0, float* values, float* sx, float* sxx) {
    __m256 s = _mm256_setzero_ps(), ss = _mm256_setzero_ps();
    __m256 v[8], t[8], u[8], col[8];
    for (std::int32_t c = 0; c < count; c += 8) {
        const std::int32_t n = std::min(8, count - c);
        const __m256i lanes = _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        const __m256i index = _mm256_maskload_epi32(columns + c, lanes);
        for (int r = 0; r < 8; ++r) {
            v[r] = _mm256_mask_i32gather_ps(_mm256_setzero_ps(), rows[i0 + r], index, _mm256_castsi256_ps(lanes), 4);
            _mm256_maskstore_ps(values + (i0 + r) * count + c, lanes, v[r]);
        }
        for (int k = 0; k < 8; k += 2) {
            t[k] = _mm256_unpacklo_ps(v[k], v[k + 1]);
            t[k + 1] = _mm256_unpackhi_ps(v[k], v[k + 1]);
        }
        for (int k = 0; k < 8; k += 4) {
            u[k] = _mm256_shuffle_ps(t[k], t[k + 2], 0x44);
            u[k + 1] = _mm256_shuffle_ps(t[k], t[k + 2], 0xEE);
            u[k + 2] = _mm256_shuffle_ps(t[k + 1], t[k + 3], 0x44);
            u[k + 3] = _mm256_shuffle_ps(t[k + 1], t[k + 3], 0xEE);
        }
        for (int k = 0; k < 4; ++k) {
            col[k] = _mm256_permute2f128_ps(u[k], u[k + 4], 0x20);
            col[k + 4] = _mm256_permute2f128_ps(u[k], u[k + 4], 0x31);
        }
        for (int k = 0; k < n; ++k) {
            s = _mm256_add_ps(s, col[k]);
            ss = _mm256_add_ps(ss, _mm256_mul_ps(col[k], col[k]));
        }
    }
    _mm256_storeu_ps(sx + i0, s);
    _mm256_storeu_ps(sxx + i0, ss);
}

}  // namespace
#endif

void packed_group::pack(const float* const* rows, const std::int32_t* columns) { pack(rows, columns, 0, nrows_); }

void packed_group::pack(const float* const* rows, const std::int32_t* columns, std::int64_t first, std::int64_t last) {
    const auto value_of = [rows](std::int64_t i, std::int32_t column) { return rows[i][column]; };
#if defined(__x86_64__)
    if (layout_ == packing::by_row && processor_has_avx2()) {
        std::int64_t i = first;
        for (; i + 8 <= last; i += 8) sum_eight_rows_avx2(rows, columns, count_, i, values_, mean_, var_);
        sum_rows(value_of, columns, i, last);
        finish_rows(first, last);
        return;
    }
#endif
    pack_rows(value_of, columns, first, last);
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

}  // namespace corrshift
