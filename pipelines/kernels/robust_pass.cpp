#include "pipelines/kernels/robust_pass.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "common/options.hpp"
#include "pipelines/kernels/fast_rank.hpp"
#include "pipelines/kernels/lanes4.hpp"
#include "pipelines/kernels/studentized.hpp"
#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

typedef long long int64x4 __attribute__((vector_size(32)));
typedef __int128 int128;

int fixed_point_scale(double largest, std::int64_t terms) noexcept {
    if (!(largest > 0.0)) return 0;
    int bits = 0;  // ceil(log2(terms))
    while ((std::int64_t{1} << bits) < terms) ++bits;
    // largest < 2^(ilogb + 1), so largest 2^e < 2^(61 - bits) and a rounded value is at most
    // 2^(61 - bits) in magnitude.
    const int e = 60 - bits - std::ilogb(largest);
    return std::max(-1000, std::min(1000, e));
}

void pair_pass_values::resize(std::int32_t passes) {
    const auto n = static_cast<std::size_t>(passes);
    c1.resize(n);
    c2.resize(n);
    se2.resize(n);
    defined.resize(n);
}

namespace {

// The rows' statistics of a block, per slot and group, one array of passes per field.
enum power_field { power_mean, power_e2, power_e3, power_isd, power_m40, power_ok, power_fields };
enum rank_field { rank_q, rank_m40, rank_ok, rank_fields };

// A group's variance from power sums counts as resolved above this share of E[x^2].
constexpr double resolvable_share = 1e-12;

// Groups of at most this many columns have Spearman sums within 63 bits: n (n - 1)^4 < 2^63.
constexpr std::int32_t narrow_rank_group = 6000;

CORRSHIFT_LANES_INLINE int64x4 load_int4(const std::int64_t* p) noexcept {
    int64x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

CORRSHIFT_LANES_INLINE void store_int4(std::int64_t* p, const int64x4& v) noexcept { std::memcpy(p, &v, sizeof v); }

// Whether the values raw[columns[0 .. n)] are all equal (as floats: -0 equals +0).
bool constant_over(const float* raw, const std::int32_t* columns, std::int32_t n) noexcept {
    const float first = raw[columns[0]];
    for (std::int32_t t = 1; t < n; ++t)
        if (!(raw[columns[t]] == first)) return false;
    return true;
}

// Sums of fixed-point records (`width` int64 per column, a multiple of four) over the
// columns m[q][0 .. n) of four passes q: out[q * width + k].
template <int Width>
CORRSHIFT_LANES_INLINE void record_sums_body(const std::int64_t* records, const std::int32_t* const* m, std::int32_t n,
                                             std::int64_t* out) noexcept {
    constexpr int vectors = Width / 4;
    int64x4 acc[4][vectors] = {};
    for (std::int32_t t = 0; t < n; ++t)
        for (int q = 0; q < 4; ++q) {
            const std::int64_t* r = records + static_cast<std::int64_t>(Width) * m[q][t];
            for (int v = 0; v < vectors; ++v) acc[q][v] += load_int4(r + 4 * v);
        }
    for (int q = 0; q < 4; ++q)
        for (int v = 0; v < vectors; ++v) store_int4(out + q * Width + 4 * v, acc[q][v]);
}

#if defined(__x86_64__)
CORRSHIFT_AVX2 void row_sums_avx2(const std::int64_t* records, const std::int32_t* const* m, std::int32_t n,
                                  std::int64_t* out) {
    record_sums_body<4>(records, m, n, out);
}
CORRSHIFT_AVX2 void pair_sums_avx2(const std::int64_t* records, const std::int32_t* const* m, std::int32_t n,
                                   std::int64_t* out) {
    record_sums_body<8>(records, m, n, out);
}
#endif
void row_sums_portable(const std::int64_t* records, const std::int32_t* const* m, std::int32_t n, std::int64_t* out) {
    record_sums_body<4>(records, m, n, out);
}
void pair_sums_portable(const std::int64_t* records, const std::int32_t* const* m, std::int32_t n, std::int64_t* out) {
    record_sums_body<8>(records, m, n, out);
}

void record_sums(bool avx2, int width, const std::int64_t* records, const std::int32_t* const* m, std::int32_t n,
                 std::int64_t* out) {
#if defined(__x86_64__)
    if (avx2) return width == 4 ? row_sums_avx2(records, m, n, out) : pair_sums_avx2(records, m, n, out);
#else
    (void)avx2;
#endif
    return width == 4 ? row_sums_portable(records, m, n, out) : pair_sums_portable(records, m, n, out);
}

// A fixed-point sum back in double, as a mean: (double(sum) 2^-e) / n_g.
inline double mean_of(std::int64_t sum, double unit, double inv) noexcept {
    return (static_cast<double>(sum) * unit) * inv;
}

// One group's r and tau^2 for four passes (lanes).
struct lanes_r_tau {
    lanes4 r, tau;
};

// Pearson: from the pair's six means and both rows' moments (field arrays at b).
CORRSHIFT_LANES_INLINE lanes_r_tau power_group_body(const lanes4* e, const double* const* x, const double* const* y,
                                                    std::int32_t b) noexcept {
    const lanes4 exy = e[0], ex2y = e[1], exy2 = e[2], ex3y = e[3], exy3 = e[4], ex2y2 = e[5];
    const lanes4 a = load4(x[power_mean] + b), e2x = load4(x[power_e2] + b), e3x = load4(x[power_e3] + b);
    const lanes4 sx = load4(x[power_isd] + b), m40 = load4(x[power_m40] + b);
    const lanes4 c = load4(y[power_mean] + b), e2y = load4(y[power_e2] + b), e3y = load4(y[power_e3] + b);
    const lanes4 sy = load4(y[power_isd] + b), m04 = load4(y[power_m40] + b);
    const lanes4 ac = a * c, a2 = a * a, c2 = c * c;
    const lanes4 r = ((exy - ac) * sx) * sy;
    const lanes4 mu22 =
        ex2y2 - 2.0 * c * ex2y - 2.0 * a * exy2 + c2 * e2x + a2 * e2y + 4.0 * ac * exy - 3.0 * (ac * ac);
    const lanes4 mu31 = ex3y - c * e3x - 3.0 * a * ex2y + 3.0 * ac * e2x + 3.0 * a2 * exy - 3.0 * (a2 * ac);
    const lanes4 mu13 = exy3 - a * e3y - 3.0 * c * exy2 + 3.0 * ac * e2y + 3.0 * c2 * exy - 3.0 * (c2 * ac);
    const lanes4 sx2 = sx * sx, sy2 = sy * sy;
    const lanes4 m22 = (mu22 * sx2) * sy2;
    const lanes4 m31 = (mu31 * (sx2 * sx)) * sy;
    const lanes4 m13 = (mu13 * sx) * (sy2 * sy);
    return {r, studentized_tau2(r, m22, m31, m13, m40, m04)};
}

// Spearman: from the pair's four sums (as doubles) and both rows' q and m40.
CORRSHIFT_LANES_INLINE lanes_r_tau rank_group_body(const lanes4* s, double n, const double* const* x,
                                                   const double* const* y, std::int32_t b) noexcept {
    const lanes4 qx = load4(x[rank_q] + b), qy = load4(y[rank_q] + b);
    const lanes4 qx2 = qx * qx, qy2 = qy * qy;
    const lanes4 r = s[0] * (qx * qy);
    const lanes4 m22 = (n * s[1]) * (qx2 * qy2);
    const lanes4 m31 = (n * s[2]) * ((qx2 * qx) * qy);
    const lanes4 m13 = (n * s[3]) * (qx * (qy2 * qy));
    return {r, studentized_tau2(r, m22, m31, m13, load4(x[rank_m40] + b), load4(y[rank_m40] + b))};
}

// The pass values of four passes from both groups' r and tau^2.
CORRSHIFT_LANES_INLINE void pass_values_body(const lanes_r_tau& g1, const lanes_r_tau& g2, double d1, double d2,
                                             pair_pass_values& out, std::int32_t b) noexcept {
    const lanes4 c1 = clamp_symmetric(g1.r, studentized_clamp);
    const lanes4 c2 = clamp_symmetric(g2.r, studentized_clamp);
    store4(out.c1.data() + b, c1);
    store4(out.c2.data() + b, c2);
    store4(out.se2.data() + b, studentized_se2(c1, g1.tau, c2, g2.tau, d1, d2));
}

#if defined(__x86_64__)
CORRSHIFT_AVX2 void power_values_avx2(const lanes4* e1, const lanes4* e2, const double* const* const* x,
                                      const double* const* const* y, double d1, double d2, pair_pass_values& out,
                                      std::int32_t b) {
    pass_values_body(power_group_body(e1, x[0], y[0], b), power_group_body(e2, x[1], y[1], b), d1, d2, out, b);
}
CORRSHIFT_AVX2 void rank_values_avx2(const lanes4* s1, const lanes4* s2, double n1, double n2,
                                     const double* const* const* x, const double* const* const* y, double d1, double d2,
                                     pair_pass_values& out, std::int32_t b) {
    pass_values_body(rank_group_body(s1, n1, x[0], y[0], b), rank_group_body(s2, n2, x[1], y[1], b), d1, d2, out, b);
}
#endif
void power_values_portable(const lanes4* e1, const lanes4* e2, const double* const* const* x,
                           const double* const* const* y, double d1, double d2, pair_pass_values& out, std::int32_t b) {
    pass_values_body(power_group_body(e1, x[0], y[0], b), power_group_body(e2, x[1], y[1], b), d1, d2, out, b);
}
void rank_values_portable(const lanes4* s1, const lanes4* s2, double n1, double n2, const double* const* const* x,
                          const double* const* const* y, double d1, double d2, pair_pass_values& out, std::int32_t b) {
    pass_values_body(rank_group_body(s1, n1, x[0], y[0], b), rank_group_body(s2, n2, x[1], y[1], b), d1, d2, out, b);
}

// Spearman pair sums of one group for four passes (lanes): A and B at 4t of the quad.
struct rank_sums {
    std::int64_t s[4][4];  // [sum][pass]
};

template <class Acc>
void rank_sums_scalar(const std::int64_t* a, const std::int64_t* b, std::int32_t first, std::int32_t end,
                      double out[4][4]) {
    for (int q = 0; q < 4; ++q) {
        Acc s1 = 0, s2 = 0, s3 = 0, s4 = 0;
        for (std::int32_t t = first; t < end; ++t) {
            const Acc x = a[4 * static_cast<std::int64_t>(t) + q], y = b[4 * static_cast<std::int64_t>(t) + q];
            const Acc p = x * y;
            s1 += p;
            s2 += p * p;
            s3 += (x * x) * p;
            s4 += (y * y) * p;
        }
        out[0][q] = static_cast<double>(s1);
        out[1][q] = static_cast<double>(s2);
        out[2][q] = static_cast<double>(s3);
        out[3][q] = static_cast<double>(s4);
    }
}

#if defined(__x86_64__)
// The same sums, four passes in the lanes: the products of values within 31 bits
// (|A| < 6000, |A B| and A^2 below 2^26) in 64 bits, exactly.
CORRSHIFT_AVX2 void rank_sums_avx2(const std::int64_t* a, const std::int64_t* b, std::int32_t first, std::int32_t end,
                                   double out[4][4]) {
    __m256i s1 = _mm256_setzero_si256(), s2 = s1, s3 = s1, s4 = s1;
    for (std::int32_t t = first; t < end; ++t) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 4 * static_cast<std::int64_t>(t)));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 4 * static_cast<std::int64_t>(t)));
        const __m256i p = _mm256_mul_epi32(x, y);
        s1 = _mm256_add_epi64(s1, p);
        s2 = _mm256_add_epi64(s2, _mm256_mul_epi32(p, p));
        s3 = _mm256_add_epi64(s3, _mm256_mul_epi32(_mm256_mul_epi32(x, x), p));
        s4 = _mm256_add_epi64(s4, _mm256_mul_epi32(_mm256_mul_epi32(y, y), p));
    }
    alignas(32) std::int64_t v[4][4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(v[0]), s1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(v[1]), s2);
    _mm256_store_si256(reinterpret_cast<__m256i*>(v[2]), s3);
    _mm256_store_si256(reinterpret_cast<__m256i*>(v[3]), s4);
    for (int k = 0; k < 4; ++k)
        for (int q = 0; q < 4; ++q) out[k][q] = static_cast<double>(v[k][q]);
}
#endif

}  // namespace

robust_pass_kernel::robust_pass_kernel(const float* data, std::int32_t ncols, const std::int32_t* rows,
                                       std::int32_t row_count, std::int32_t n1, std::int32_t n2, bool by_rank,
                                       bool avx2, std::int32_t jobs)
    : data_(data),
      ncols_(ncols),
      rows_(rows, rows + row_count),
      n1_(n1),
      n2_(n2),
      by_rank_(by_rank),
      avx2_(avx2),
      complement_(!by_rank && n1 + n2 == ncols),
      summed_first_(n1 <= n2),
      fields_(by_rank ? static_cast<int>(rank_fields) : static_cast<int>(power_fields)),
      wide_(std::max(n1, n2) > narrow_rank_group) {
    const auto count = static_cast<std::int64_t>(row_count);
    const auto n = static_cast<std::size_t>(ncols);
    const auto useful = static_cast<std::int32_t>(std::max<std::int64_t>(1, count * ncols / 32768));
    if (!by_rank) {
        y_.assign(static_cast<std::size_t>(count) * n, 0.0);
        powers_.assign(static_cast<std::size_t>(count) * n * 4, 0);
        power_scale_.assign(static_cast<std::size_t>(count) * 4, 0);
        power_totals_.assign(static_cast<std::size_t>(count) * 4, 0);
        fan_out(count, std::min(jobs, useful), [&](std::int64_t first, std::int64_t last) {
            std::vector<float> sorted(n);
            std::vector<double> p(n * 4);
            for (std::int64_t k = first; k < last; ++k) {
                const float* raw = data_ + static_cast<std::int64_t>(rows_[static_cast<std::size_t>(k)]) * ncols;
                double* y = y_.data() + k * ncols;
                bool finite = true, constant = true;
                double sum = 0.0;
                for (std::int32_t c = 0; c < ncols; ++c) {
                    finite = finite && std::isfinite(raw[c]);
                    constant = constant && raw[c] == raw[0];
                    sum += static_cast<double>(raw[c]);
                }
                // A row with a missing or infinite value: y NaN, every pass undefined.
                if (!finite) {
                    std::fill(y, y + ncols, std::nan(""));
                    continue;
                }
                if (constant) continue;
                std::copy_n(raw, ncols, sorted.begin());
                std::nth_element(sorted.begin(), sorted.begin() + (ncols - 1) / 2, sorted.end());
                const double origin = sorted[static_cast<std::size_t>((ncols - 1) / 2)];
                const double mean = sum / static_cast<double>(ncols);
                double squares = 0.0;
                for (std::int32_t c = 0; c < ncols; ++c) {
                    const double d = static_cast<double>(raw[c]) - mean;
                    squares += d * d;
                }
                const double sd = std::sqrt(squares / static_cast<double>(ncols));
                double largest[4] = {0.0, 0.0, 0.0, 0.0};
                for (std::int32_t c = 0; c < ncols; ++c) {
                    const double v = (static_cast<double>(raw[c]) - origin) / sd;
                    const double v2 = v * v;
                    y[c] = v;
                    double* pc = p.data() + 4 * static_cast<std::size_t>(c);
                    pc[0] = v, pc[1] = v2, pc[2] = v2 * v, pc[3] = v2 * v2;
                    for (int q = 0; q < 4; ++q) largest[q] = std::max(largest[q], std::fabs(pc[q]));
                }
                int* scale = power_scale_.data() + 4 * k;
                for (int q = 0; q < 4; ++q) scale[q] = fixed_point_scale(largest[q], ncols);
                std::int64_t* f = powers_.data() + 4 * k * ncols;
                std::int64_t* total = power_totals_.data() + 4 * k;
                for (std::int32_t c = 0; c < ncols; ++c)
                    for (int q = 0; q < 4; ++q) {
                        const std::int64_t v =
                            std::llrint(std::ldexp(p[4 * static_cast<std::size_t>(c) + q], scale[q]));
                        f[4 * static_cast<std::int64_t>(c) + q] = v;
                        total[q] += v;
                    }
            }
        });
        return;
    }
    sorted_.assign(static_cast<std::size_t>(count) * n, 0);
    run_end_.assign(static_cast<std::size_t>(count) * n, 0);
    distinct_.assign(static_cast<std::size_t>(count), 1);
    fan_out(count, std::min(jobs, useful), [&](std::int64_t first, std::int64_t last) {
        std::vector<std::int32_t> keys(n);
        for (std::int64_t k = first; k < last; ++k) {
            const float* raw = data_ + static_cast<std::int64_t>(rows_[static_cast<std::size_t>(k)]) * ncols;
            for (std::int32_t c = 0; c < ncols; ++c) keys[static_cast<std::size_t>(c)] = rank_key(raw[c]);
            std::int32_t* s = sorted_.data() + k * ncols;
            std::iota(s, s + ncols, 0);
            std::stable_sort(s, s + ncols, [&](std::int32_t p, std::int32_t q) {
                return keys[static_cast<std::size_t>(p)] < keys[static_cast<std::size_t>(q)];
            });
            std::int32_t* e = run_end_.data() + k * ncols;
            for (std::int32_t p = 0; p < ncols;) {
                std::int32_t q = p + 1;
                while (q < ncols && keys[static_cast<std::size_t>(s[q])] == keys[static_cast<std::size_t>(s[p])]) ++q;
                if (q - p > 1) distinct_[static_cast<std::size_t>(k)] = 0;
                for (std::int32_t r = p; r < q; ++r) e[r] = q;
                p = q;
            }
        }
    });
}

std::int64_t robust_pass_kernel::bytes_per_pass_row() const noexcept {
    std::int64_t bytes = 2 * static_cast<std::int64_t>(fields_) * static_cast<std::int64_t>(sizeof(double));
    if (by_rank_) bytes += static_cast<std::int64_t>(n1_ + n2_) * static_cast<std::int64_t>(sizeof(std::int64_t));
    return bytes;
}

void robust_pass_kernel::reserve_block(std::int32_t passes, std::int32_t rows) {
    block_passes_ = passes;
    const auto slots = static_cast<std::size_t>(rows);
    const auto per_slot = static_cast<std::size_t>(2 * fields_) * static_cast<std::size_t>(passes);
    if (stats_.size() < slots * per_slot) stats_.resize(slots * per_slot);
    if (by_rank_) {
        const std::size_t values = slots * static_cast<std::size_t>(passes) * static_cast<std::size_t>(n1_ + n2_);
        if (ranks_.size() < values) ranks_.resize(values);
    }
}

double* robust_pass_kernel::stats(std::int32_t slot, int group, int field) noexcept {
    return stats_.data() + ((static_cast<std::size_t>(slot) * 2 + static_cast<std::size_t>(group)) * fields_ +
                            static_cast<std::size_t>(field)) *
                               static_cast<std::size_t>(block_passes_);
}

const double* robust_pass_kernel::stats(std::int32_t slot, int group, int field) const noexcept {
    return const_cast<robust_pass_kernel*>(this)->stats(slot, group, field);
}

void robust_pass_kernel::prepare_row(const pass_orders& block, std::int32_t k, std::int32_t slot) {
    if (by_rank_)
        prepare_rank_row(block, k, slot);
    else
        prepare_power_row(block, k, slot);
}

void robust_pass_kernel::prepare_power_row(const pass_orders& block, std::int32_t k, std::int32_t slot) {
    const float* raw = data_ + static_cast<std::int64_t>(rows_[static_cast<std::size_t>(k)]) * ncols_;
    const std::int64_t* records = powers_.data() + 4 * static_cast<std::int64_t>(k) * ncols_;
    const std::int64_t* totals = power_totals_.data() + 4 * static_cast<std::int64_t>(k);
    const int* scale = power_scale_.data() + 4 * static_cast<std::int64_t>(k);
    const bool finite = !std::isnan(y_[static_cast<std::size_t>(k) * static_cast<std::size_t>(ncols_)]);
    const std::int32_t sizes[2] = {block.n1, block.n2};
    const std::int32_t offsets[2] = {0, block.n1};
    double unit[4];
    for (int q = 0; q < 4; ++q) unit[q] = std::ldexp(1.0, -scale[q]);
    double* out[2][power_fields];
    for (int g = 0; g < 2; ++g)
        for (int f = 0; f < power_fields; ++f) out[g][f] = stats(slot, g, f);
    for (std::int32_t b = 0; b < block.count; b += 4) {
        std::int64_t sums[2][4][4];  // [group][pass][power]
        bool constant[2][4];
        for (int g = 0; g < 2; ++g) {
            const std::int32_t* m[4];
            for (int q = 0; q < 4; ++q)
                m[q] = block.orders + static_cast<std::int64_t>(b + q) * block.width + offsets[g];
            for (int q = 0; q < 4; ++q) constant[g][q] = constant_over(raw, m[q], sizes[g]);
            if (complement_ && (g == 0) != summed_first_) continue;
            record_sums(avx2_, 4, records, m, sizes[g], sums[g][0]);
        }
        if (complement_) {
            const int summed = summed_first_ ? 0 : 1;
            for (int q = 0; q < 4; ++q)
                for (int p = 0; p < 4; ++p) sums[1 - summed][q][p] = totals[p] - sums[summed][q][p];
        }
        for (int g = 0; g < 2; ++g) {
            const double inv = 1.0 / static_cast<double>(sizes[g]);
            for (int q = 0; q < 4; ++q) {
                const std::int32_t pass = b + q;
                const double a = mean_of(sums[g][q][0], unit[0], inv);
                const double e2 = mean_of(sums[g][q][1], unit[1], inv);
                const double e3 = mean_of(sums[g][q][2], unit[2], inv);
                const double e4 = mean_of(sums[g][q][3], unit[3], inv);
                const double var = e2 - a * a;
                const bool ok = finite && !constant[g][q] && var > resolvable_share * e2;
                const double s = ok ? 1.0 / std::sqrt(var) : 0.0;
                const double a2 = a * a;
                out[g][power_mean][pass] = a;
                out[g][power_e2][pass] = e2;
                out[g][power_e3][pass] = e3;
                out[g][power_isd][pass] = s;
                out[g][power_m40][pass] = (e4 - 4.0 * a * e3 + 6.0 * a2 * e2 - 3.0 * (a2 * a2)) * ((s * s) * (s * s));
                out[g][power_ok][pass] = ok ? 1.0 : 0.0;
            }
        }
    }
}

void robust_pass_kernel::prepare_rank_row(const pass_orders& block, std::int32_t k, std::int32_t slot) {
    const std::int32_t ncols = ncols_;
    const std::int32_t width = block.width;
    const std::int32_t* sorted = sorted_.data() + static_cast<std::int64_t>(k) * ncols;
    const std::int32_t* run_end = run_end_.data() + static_cast<std::int64_t>(k) * ncols;
    const bool distinct = distinct_[static_cast<std::size_t>(k)] != 0;
    const std::int32_t sizes[2] = {block.n1, block.n2};
    std::int64_t* ranks = ranks_.data() + static_cast<std::size_t>(slot) * static_cast<std::size_t>(block_passes_) *
                                              static_cast<std::size_t>(width);
    double* q_out[2] = {stats(slot, 0, rank_q), stats(slot, 1, rank_q)};
    double* m40_out[2] = {stats(slot, 0, rank_m40), stats(slot, 1, rank_m40)};
    double* ok_out[2] = {stats(slot, 0, rank_ok), stats(slot, 1, rank_ok)};
    for (std::int32_t b = 0; b < block.count; ++b) {
        const std::int32_t* pos = block.positions + static_cast<std::int64_t>(b) * ncols;
        // The pass's A values at 4 t of its quad, lane b % 4.
        std::int64_t* a = ranks + static_cast<std::int64_t>(b / 4) * 4 * width + b % 4;
        int128 ties[2] = {0, 0}, fourth[2] = {0, 0};
        std::int32_t seen[2] = {0, 0};
        for (std::int32_t s = 0; s < ncols;) {
            const std::int32_t end = distinct ? s + 1 : run_end[s];
            std::int32_t in[2] = {0, 0};
            for (std::int32_t r = s; r < end; ++r) {
                const std::int32_t t = pos[sorted[r]];
                if (t >= 0) ++in[t < block.n1 ? 0 : 1];
            }
            // 2 (average rank) - (n_g - 1) of the run's members in each group.
            std::int64_t value[2];
            for (int g = 0; g < 2; ++g) {
                value[g] = 2 * std::int64_t{seen[g]} + in[g] - sizes[g];
                const int128 kk = in[g], v = value[g];
                ties[g] += kk * kk * kk - kk;
                fourth[g] += kk * ((v * v) * (v * v));
                seen[g] += in[g];
            }
            for (std::int32_t r = s; r < end; ++r) {
                const std::int32_t t = pos[sorted[r]];
                if (t >= 0) a[4 * static_cast<std::int64_t>(t)] = value[t < block.n1 ? 0 : 1];
            }
            s = end;
        }
        for (int g = 0; g < 2; ++g) {
            const int128 n = sizes[g];
            const int128 q = (n * n * n - n - ties[g]) / 3;
            const bool ok = q > 0;
            const double inv_root = ok ? 1.0 / std::sqrt(static_cast<double>(q)) : 0.0;
            const double q2 = inv_root * inv_root;
            q_out[g][b] = inv_root;
            m40_out[g][b] = (static_cast<double>(sizes[g]) * static_cast<double>(fourth[g])) * (q2 * q2);
            ok_out[g][b] = ok ? 1.0 : 0.0;
        }
    }
}

void robust_pass_kernel::pair_block(const pass_orders& block, std::int32_t k1, std::int32_t s1, std::int32_t k2,
                                    std::int32_t s2, scratch& work, pair_pass_values& out) const {
    out.resize(block.count);
    if (by_rank_)
        rank_pair_block(block, s1, s2, out);
    else
        power_pair_block(block, k1, s1, k2, s2, work, out);
    for (std::int32_t p = 0; p < block.count; ++p) {
        const int ok = by_rank_ ? static_cast<int>(rank_ok) : static_cast<int>(power_ok);
        out.defined[static_cast<std::size_t>(p)] = stats(s1, 0, ok)[p] != 0.0 && stats(s2, 0, ok)[p] != 0.0 &&
                                                   stats(s1, 1, ok)[p] != 0.0 && stats(s2, 1, ok)[p] != 0.0;
    }
}

void robust_pass_kernel::power_pair_block(const pass_orders& block, std::int32_t k1, std::int32_t s1, std::int32_t k2,
                                          std::int32_t s2, scratch& work, pair_pass_values& out) const {
    const std::int32_t ncols = ncols_;
    const double* x = y_.data() + static_cast<std::int64_t>(k1) * ncols;
    const double* y = y_.data() + static_cast<std::int64_t>(k2) * ncols;
    // The pair's six products per column, then in fixed point (eight int64 per column, the
    // last two 0) with their totals.
    work.records.assign(static_cast<std::size_t>(ncols) * 8, 0);
    std::vector<double>& products = work.products;
    products.resize(static_cast<std::size_t>(ncols) * 6);
    double largest[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::int32_t c = 0; c < ncols; ++c) {
        const double xv = x[c], yv = y[c];
        const double x2 = xv * xv, y2 = yv * yv;
        double* p = products.data() + 6 * static_cast<std::size_t>(c);
        p[0] = xv * yv;
        p[1] = x2 * yv;
        p[2] = xv * y2;
        p[3] = (x2 * xv) * yv;
        p[4] = xv * (y2 * yv);
        p[5] = x2 * y2;
        for (int j = 0; j < 6; ++j) largest[j] = std::max(largest[j], std::fabs(p[j]));
    }
    int scale[6];
    double unit[6];
    for (int j = 0; j < 6; ++j) {
        scale[j] = fixed_point_scale(largest[j], ncols);
        unit[j] = std::ldexp(1.0, -scale[j]);
    }
    std::int64_t totals[6] = {0, 0, 0, 0, 0, 0};
    const bool finite = !std::isnan(x[0]) && !std::isnan(y[0]);
    if (finite)
        for (std::int32_t c = 0; c < ncols; ++c)
            for (int j = 0; j < 6; ++j) {
                const std::int64_t v = std::llrint(std::ldexp(products[6 * static_cast<std::size_t>(c) + j], scale[j]));
                work.records[8 * static_cast<std::size_t>(c) + j] = v;
                totals[j] += v;
            }
    const std::int32_t sizes[2] = {block.n1, block.n2};
    const std::int32_t offsets[2] = {0, block.n1};
    const double* fields[2][2][power_fields];
    for (int g = 0; g < 2; ++g)
        for (int f = 0; f < power_fields; ++f) {
            fields[0][g][f] = stats(s1, g, f);
            fields[1][g][f] = stats(s2, g, f);
        }
    const double* const* xf[2] = {fields[0][0], fields[0][1]};
    const double* const* yf[2] = {fields[1][0], fields[1][1]};
    const double d1 = static_cast<double>(block.n1) - 3.0, d2 = static_cast<double>(block.n2) - 3.0;
    for (std::int32_t b = 0; b < block.count; b += 4) {
        std::int64_t sums[2][4][8];  // [group][pass][product]
        for (int g = 0; g < 2; ++g) {
            if (complement_ && (g == 0) != summed_first_) continue;
            const std::int32_t* m[4];
            for (int q = 0; q < 4; ++q)
                m[q] = block.orders + static_cast<std::int64_t>(b + q) * block.width + offsets[g];
            record_sums(avx2_, 8, work.records.data(), m, sizes[g], sums[g][0]);
        }
        if (complement_) {
            const int summed = summed_first_ ? 0 : 1;
            for (int q = 0; q < 4; ++q)
                for (int j = 0; j < 6; ++j) sums[1 - summed][q][j] = totals[j] - sums[summed][q][j];
        }
        lanes4 e[2][6];
        for (int g = 0; g < 2; ++g) {
            const double inv = 1.0 / static_cast<double>(sizes[g]);
            for (int j = 0; j < 6; ++j)
                e[g][j] = lanes4{mean_of(sums[g][0][j], unit[j], inv), mean_of(sums[g][1][j], unit[j], inv),
                                 mean_of(sums[g][2][j], unit[j], inv), mean_of(sums[g][3][j], unit[j], inv)};
        }
#if defined(__x86_64__)
        if (avx2_) {
            power_values_avx2(e[0], e[1], xf, yf, d1, d2, out, b);
            continue;
        }
#endif
        power_values_portable(e[0], e[1], xf, yf, d1, d2, out, b);
    }
}

void robust_pass_kernel::rank_pair_block(const pass_orders& block, std::int32_t s1, std::int32_t s2,
                                         pair_pass_values& out) const {
    const std::int32_t width = block.width;
    const std::size_t per_slot = static_cast<std::size_t>(block_passes_) * static_cast<std::size_t>(width);
    const std::int64_t* u = ranks_.data() + static_cast<std::size_t>(s1) * per_slot;
    const std::int64_t* v = ranks_.data() + static_cast<std::size_t>(s2) * per_slot;
    const double* fields[2][2][rank_fields];
    for (int g = 0; g < 2; ++g)
        for (int f = 0; f < rank_fields; ++f) {
            fields[0][g][f] = stats(s1, g, f);
            fields[1][g][f] = stats(s2, g, f);
        }
    const double* const* xf[2] = {fields[0][0], fields[0][1]};
    const double* const* yf[2] = {fields[1][0], fields[1][1]};
    const std::int32_t sizes[2] = {block.n1, block.n2};
    const std::int32_t offsets[2] = {0, block.n1};
    const double d1 = static_cast<double>(block.n1) - 3.0, d2 = static_cast<double>(block.n2) - 3.0;
    for (std::int32_t b = 0; b < block.count; b += 4) {
        const std::int64_t* uq = u + static_cast<std::int64_t>(b) * width;
        const std::int64_t* vq = v + static_cast<std::int64_t>(b) * width;
        double sums[2][4][4];  // [group][sum][pass]
        for (int g = 0; g < 2; ++g) {
            const std::int32_t first = offsets[g], end = offsets[g] + sizes[g];
#if defined(__x86_64__)
            if (avx2_ && !wide_) {
                rank_sums_avx2(uq, vq, first, end, sums[g]);
                continue;
            }
#endif
            if (wide_)
                rank_sums_scalar<int128>(uq, vq, first, end, sums[g]);
            else
                rank_sums_scalar<std::int64_t>(uq, vq, first, end, sums[g]);
        }
        lanes4 s[2][4];
        for (int g = 0; g < 2; ++g)
            for (int k = 0; k < 4; ++k) s[g][k] = load4(sums[g][k]);
        const double n1 = static_cast<double>(sizes[0]), n2 = static_cast<double>(sizes[1]);
#if defined(__x86_64__)
        if (avx2_) {
            rank_values_avx2(s[0], s[1], n1, n2, xf, yf, d1, d2, out, b);
            continue;
        }
#endif
        rank_values_portable(s[0], s[1], n1, n2, xf, yf, d1, d2, out, b);
    }
}

}  // namespace corrshift
