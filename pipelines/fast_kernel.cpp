#include "fast_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "atanh_vector.hpp"
#include "correlation.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define CORRSHIFT_AVX2 __attribute__((target("avx2")))
#define CORRSHIFT_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
#endif

namespace corrshift {

namespace {

// A tile is `row_block` rows i against `tile_width` rows j (two vectors of eight).
constexpr std::int64_t row_block = 4;
constexpr std::int64_t tile_width = 16;
// Readable rows past the last row, so that tiles at the edge may load whole vectors.
constexpr std::int64_t padding_rows = 32;

std::int64_t round_up8(std::int64_t n) { return (n + 7) / 8 * 8; }

// Position of pair (i, j), i < j, of n rows in the condensed order is pair_base(i, n) + j.
inline std::int64_t pair_base(std::int64_t i, std::int64_t n) { return i * (2 * n - i - 1) / 2 - i - 1; }

// The end of correlation() in correlation.cpp, from the pair's Sxy and the two rows'
// moments: the same operations on the same values.
inline float finish(float sxy, float m, float mean_x, float var_x, float mean_y, float var_y) noexcept {
    if (var_x == 0.0f) return -2.0f;
    if (var_y == 0.0f) return -2.0f;
    const float cov = sxy / m - mean_y * mean_x;
    return cov / std::sqrt(var_y * var_x);
}

// Rows per chunk of the condensed order handed to pair_rows at once.
constexpr std::int64_t chunk_rows = 64;

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

// ---- Portable code, for processors without AVX2 and other architectures ------------

void pair_rows_portable(const pair_packs& packs, std::int64_t x0, std::int64_t count, const row_span* spans,
                        const std::int64_t* starts, float* first_r, float* second_r, float* z_diff) {
    float r1[row_block][tile_width];
    float r2[row_block][tile_width];
    for (std::int64_t s = 0; s < count; s += row_block) {
        const strip t = strip_of(s, count, spans, starts);
        const std::int64_t i0 = x0 + s;
        for (std::int64_t j0 = t.jmin; j0 < t.jmax; j0 += tile_width) {
            for (int g = 0; g < 2; ++g) {
                const packed_group& gx = g == 0 ? packs.x1 : packs.x2;
                const packed_group& gy = g == 0 ? packs.y1 : packs.y2;
                float(&out)[row_block][tile_width] = g == 0 ? r1 : r2;
                float sxy[row_block][tile_width] = {};
                const float* xcol = gx.values();
                const float* ycol = gy.values();
                for (std::int32_t c = 0; c < gx.count(); ++c, xcol += gx.stride(), ycol += gy.stride())
                    for (std::int64_t r = 0; r < row_block; ++r)
                        for (std::int64_t l = 0; l < tile_width; ++l) sxy[r][l] += xcol[i0 + r] * ycol[j0 + l];
                for (std::int64_t r = 0; r < row_block; ++r)
                    for (std::int64_t l = 0; l < tile_width; ++l)
                        out[r][l] = finish(sxy[r][l], gx.m(), gx.mean()[i0 + r], gx.var()[i0 + r],
                                           gy.mean()[j0 + l], gy.var()[j0 + l]);
            }
            for (std::int64_t r = 0; r < row_block; ++r) {
                const std::int64_t jl = std::max(j0, t.spans[r].lo);
                const std::int64_t jh = std::min(j0 + tile_width, t.spans[r].hi);
                for (std::int64_t j = jl; j < jh; ++j) {
                    const std::int64_t l = j - j0;
                    const std::int64_t at = t.starts[r] + j;
                    z_diff[at] = fisher_z(r1[r][l], r2[r][l]);
                    if (first_r) first_r[at] = r1[r][l];
                    if (second_r) second_r[at] = r2[r][l];
                }
            }
        }
    }
}

void listed_pairs_portable(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                           const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                           float* first_r, float* second_r, float* z_diff) {
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
        for (std::int64_t l = 0; l < lanes; ++l) {
            z_diff[k0 + l] = fisher_z(r[0][l], r[1][l]);
            if (first_r) first_r[k0 + l] = r[0][l];
            if (second_r) second_r[k0 + l] = r[1][l];
        }
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

// Correlations of x rows i0 .. i0+3 with y rows j0 .. j0+15 (j0 a multiple of 8) over
// one group: out[2r + h] holds y rows j0 + 8h .. j0 + 8h + 7 for x row i0 + r. Each
// lane's Sxy is a sequential sum over the columns in list order, a separate multiply then add.
CORRSHIFT_AVX2_INLINE void correlation_tile_avx2(const packed_group& gx, const packed_group& gy, std::int64_t i0,
                                                 std::int64_t j0, __m256* out) {
    __m256 s00 = _mm256_setzero_ps(), s01 = _mm256_setzero_ps();
    __m256 s10 = _mm256_setzero_ps(), s11 = _mm256_setzero_ps();
    __m256 s20 = _mm256_setzero_ps(), s21 = _mm256_setzero_ps();
    __m256 s30 = _mm256_setzero_ps(), s31 = _mm256_setzero_ps();
    const std::int64_t xstride = gx.stride();
    const std::int64_t ystride = gy.stride();
    const float* xcol = gx.values() + i0;
    const float* ycol = gy.values() + j0;
    for (std::int32_t c = 0; c < gx.count(); ++c, xcol += xstride, ycol += ystride) {
        const __m256 y0 = _mm256_load_ps(ycol);
        const __m256 y1 = _mm256_load_ps(ycol + 8);
        __m256 x = _mm256_broadcast_ss(xcol);
        s00 = _mm256_add_ps(s00, _mm256_mul_ps(x, y0));
        s01 = _mm256_add_ps(s01, _mm256_mul_ps(x, y1));
        x = _mm256_broadcast_ss(xcol + 1);
        s10 = _mm256_add_ps(s10, _mm256_mul_ps(x, y0));
        s11 = _mm256_add_ps(s11, _mm256_mul_ps(x, y1));
        x = _mm256_broadcast_ss(xcol + 2);
        s20 = _mm256_add_ps(s20, _mm256_mul_ps(x, y0));
        s21 = _mm256_add_ps(s21, _mm256_mul_ps(x, y1));
        x = _mm256_broadcast_ss(xcol + 3);
        s30 = _mm256_add_ps(s30, _mm256_mul_ps(x, y0));
        s31 = _mm256_add_ps(s31, _mm256_mul_ps(x, y1));
    }
    const __m256 m = _mm256_set1_ps(gx.m());
    const __m256 mean_y0 = _mm256_load_ps(gy.mean() + j0), mean_y1 = _mm256_load_ps(gy.mean() + j0 + 8);
    const __m256 var_y0 = _mm256_load_ps(gy.var() + j0), var_y1 = _mm256_load_ps(gy.var() + j0 + 8);
    const __m256 sums[8] = {s00, s01, s10, s11, s20, s21, s30, s31};
    for (int r = 0; r < 4; ++r) {
        const __m256 mean_x = _mm256_broadcast_ss(gx.mean() + i0 + r);
        const __m256 var_x = _mm256_broadcast_ss(gx.var() + i0 + r);
        out[2 * r] = finish_avx2(sums[2 * r], m, mean_x, var_x, mean_y0, var_y0);
        out[2 * r + 1] = finish_avx2(sums[2 * r + 1], m, mean_x, var_x, mean_y1, var_y1);
    }
}

CORRSHIFT_AVX2 void pair_rows_avx2(const pair_packs& packs, std::int64_t x0, std::int64_t count,
                                   const row_span* spans, const std::int64_t* starts, float* first_r,
                                   float* second_r, float* z_diff, bool vector_atanh) {
    static_assert(row_block == 4 && tile_width == 16, "correlation_tile_avx2 computes 4 x 16 tiles");
    for (std::int64_t s = 0; s < count; s += row_block) {
        const strip t = strip_of(s, count, spans, starts);
        const std::int64_t i0 = x0 + s;
        // Tiles start at multiples of 8 so that every load of rows j is aligned.
        for (std::int64_t j0 = t.jmin / 8 * 8; j0 < t.jmax; j0 += tile_width) {
            __m256 r1[8], r2[8], z[8];
            correlation_tile_avx2(packs.x1, packs.y1, i0, j0, r1);
            correlation_tile_avx2(packs.x2, packs.y2, i0, j0, r2);
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
    }
}

// Correlations of eight listed pairs over a group packed by_row.
CORRSHIFT_AVX2_INLINE __m256 listed_correlations_avx2(const packed_group& g, const std::int32_t* a,
                                                      const std::int32_t* b) {
    alignas(32) float sxy[8];
    listed_sxy(g, a, b, sxy);
    const float* mean = g.mean();
    const float* var = g.var();
    const __m256 mean_x = _mm256_setr_ps(mean[a[0]], mean[a[1]], mean[a[2]], mean[a[3]], mean[a[4]],
                                         mean[a[5]], mean[a[6]], mean[a[7]]);
    const __m256 var_x =
        _mm256_setr_ps(var[a[0]], var[a[1]], var[a[2]], var[a[3]], var[a[4]], var[a[5]], var[a[6]], var[a[7]]);
    const __m256 mean_y = _mm256_setr_ps(mean[b[0]], mean[b[1]], mean[b[2]], mean[b[3]], mean[b[4]],
                                         mean[b[5]], mean[b[6]], mean[b[7]]);
    const __m256 var_y =
        _mm256_setr_ps(var[b[0]], var[b[1]], var[b[2]], var[b[3]], var[b[4]], var[b[5]], var[b[6]], var[b[7]]);
    return finish_avx2(_mm256_load_ps(sxy), _mm256_set1_ps(g.m()), mean_x, var_x, mean_y, var_y);
}

CORRSHIFT_AVX2 void listed_pairs_avx2(const packed_group& g1, const packed_group& g2,
                                      const std::int32_t* first_rows, const std::int32_t* second_rows,
                                      std::int64_t begin, std::int64_t end, float* first_r, float* second_r,
                                      float* z_diff, bool vector_atanh) {
    for (std::int64_t k0 = begin; k0 < end; k0 += 8) {
        const std::int64_t lanes = std::min<std::int64_t>(8, end - k0);
        std::int32_t a[8], b[8];
        for (std::int64_t l = 0; l < 8; ++l) {
            a[l] = first_rows[k0 + (l < lanes ? l : 0)];
            b[l] = second_rows[k0 + (l < lanes ? l : 0)];
        }
        const __m256 r1 = listed_correlations_avx2(g1, a, b);
        const __m256 r2 = listed_correlations_avx2(g2, a, b);
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

#endif

}  // namespace

packed_group::packed_group(std::int32_t nrows, std::int32_t count, packing layout)
    : nrows_(nrows), count_(count), layout_(layout), stride_(round_up8(nrows + padding_rows)) {
    const std::int64_t value_count =
        round_up8(layout == packing::by_column ? count * stride_ : static_cast<std::int64_t>(nrows) * count);
    // Eight spare floats let the values start on a 32-byte boundary for aligned loads.
    storage_.assign(static_cast<std::size_t>(value_count + 2 * stride_ + 8), 0.0f);
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
    values_ = storage_.data() + ((32 - address % 32) % 32) / sizeof(float);
    mean_ = values_ + value_count;
    var_ = mean_ + stride_;
}

template <class RowOf>
void packed_group::pack_rows(RowOf row_of, const std::int32_t* columns) {
    float* sx = mean_;
    float* sxx = var_;
    std::fill_n(sx, nrows_, 0.0f);
    std::fill_n(sxx, nrows_, 0.0f);
    // Column by column in list order: each row's sums see its values in list order.
    for (std::int32_t c = 0; c < count_; ++c) {
        const std::int32_t column = columns[c];
        float* out = layout_ == packing::by_column ? values_ + c * stride_ : values_ + c;
        const std::int64_t step = layout_ == packing::by_column ? 1 : count_;
        for (std::int64_t i = 0; i < nrows_; ++i) {
            const float v = row_of(i)[column];
            out[i * step] = v;
            sx[i] += v;
            sxx[i] += v * v;
        }
    }
    const float m = this->m();
    for (std::int64_t i = 0; i < nrows_; ++i) {
        const float mean = sx[i] / m;
        mean_[i] = mean;
        var_[i] = sxx[i] / m - mean * mean;
    }
}

void packed_group::pack(const float* source, std::int64_t ncols, const std::int32_t* columns) {
    pack_rows([source, ncols](std::int64_t i) { return source + i * ncols; }, columns);
}

void packed_group::pack(const float* const* rows, const std::int32_t* columns) {
    pack_rows([rows](std::int64_t i) { return rows[i]; }, columns);
}

fast_kernel_paths fast_kernel_paths_in_use() {
#if defined(__x86_64__)
    static const fast_kernel_paths paths{__builtin_cpu_supports("avx2") != 0, vector_atanh_verified()};
#else
    static const fast_kernel_paths paths{false, false};
#endif
    return paths;
}

void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, float* first_r, float* second_r, float* z_diff) {
    if (count <= 0) return;
#if defined(__x86_64__)
    if (paths.avx2) {
        pair_rows_avx2(packs, x0, count, spans, starts, first_r, second_r, z_diff, paths.vector_atanh);
        return;
    }
#endif
    (void)paths;
    pair_rows_portable(packs, x0, count, spans, starts, first_r, second_r, z_diff);
}

void exhaustive_pairs(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                      std::int32_t nrows, std::int64_t begin, std::int64_t end, float* first_r, float* second_r,
                      float* z_diff) {
    if (begin >= end) return;
    const std::int64_t n = nrows;
    const row_pair first = pair_from_index(begin, n);
    const row_pair last = pair_from_index(end - 1, n);
    const pair_packs packs{g1, g2, g1, g2};
    row_span spans[chunk_rows];
    std::int64_t starts[chunk_rows];
    for (std::int64_t i0 = first.i; i0 <= last.i; i0 += chunk_rows) {
        const std::int64_t count = std::min<std::int64_t>(chunk_rows, last.i + 1 - i0);
        for (std::int64_t r = 0; r < count; ++r) {
            const std::int64_t i = i0 + r;
            spans[r].lo = i == first.i ? first.j : i + 1;
            spans[r].hi = i == last.i ? last.j + 1 : n;
            starts[r] = pair_base(i, n);
        }
        pair_rows(paths, packs, i0, count, spans, starts, first_r, second_r, z_diff);
    }
}

void listed_pairs(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                  const std::int32_t* first_rows, const std::int32_t* second_rows, std::int64_t begin,
                  std::int64_t end, float* first_r, float* second_r, float* z_diff) {
    if (begin >= end) return;
#if defined(__x86_64__)
    if (paths.avx2) {
        listed_pairs_avx2(g1, g2, first_rows, second_rows, begin, end, first_r, second_r, z_diff,
                          paths.vector_atanh);
        return;
    }
#endif
    (void)paths;
    listed_pairs_portable(g1, g2, first_rows, second_rows, begin, end, first_r, second_r, z_diff);
}

void exhaustive_pairs(const packed_group& g1, const packed_group& g2, std::int32_t nrows, std::int64_t begin,
                      std::int64_t end, float* first_r, float* second_r, float* z_diff) {
    exhaustive_pairs(fast_kernel_paths_in_use(), g1, g2, nrows, begin, end, first_r, second_r, z_diff);
}

void listed_pairs(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                  const std::int32_t* second_rows, std::int64_t begin, std::int64_t end, float* first_r,
                  float* second_r, float* z_diff) {
    listed_pairs(fast_kernel_paths_in_use(), g1, g2, first_rows, second_rows, begin, end, first_r, second_r,
                 z_diff);
}

}  // namespace corrshift
