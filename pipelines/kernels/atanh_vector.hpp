// atanhf for the Fisher transform, eight lanes at a time, giving the same bits as the C
// library's scalar atanhf on every input the transform sees (clamped correlations in
// [-0.99, 0.99], and NaN).
//
// The C library of the supported Linux systems computes atanhf(x) through log1pf with a
// fixed sequence of single-precision operations and branches on the bit pattern. The
// replica below performs exactly those operations in the same order, with IEEE division
// and no contraction, so each lane rounds exactly as the scalar call does; the vector
// version follows it on the common branches and calls the library for the rare ones. Whether the C
// library of the running process really is that one is not assumed: the vector path is
// used only after `vector_atanh_verified()` has compared it with the library on a sample
// at first use, and the scalar library call is used otherwise.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

namespace atanh_detail {

// Constants of the C library's single-precision log1pf.
constexpr float ln2_hi = 6.9313812256e-01f;  // 0x3f317180
constexpr float ln2_lo = 9.0580006145e-06f;  // 0x3717f7d1
constexpr float lp1 = 6.6666668653e-01f;     // 0x3f2aaaab
constexpr float lp2 = 4.0000000596e-01f;     // 0x3ecccccd
constexpr float lp3 = 2.8571429849e-01f;     // 0x3e924925
constexpr float lp4 = 2.2222198546e-01f;     // 0x3e638e29
constexpr float lp5 = 1.8183572590e-01f;     // 0x3e3a3325
constexpr float lp6 = 1.5313838422e-01f;     // 0x3e1cd04f
constexpr float lp7 = 1.4798198640e-01f;     // 0x3e178897
constexpr float tiny = 3.7252902984e-09f;    // 2^-28: below it atanhf(x) is x

inline std::int32_t bits_of(float x) noexcept {
    std::int32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline float float_of(std::int32_t b) noexcept {
    float x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// log1pf(x) for the arguments atanhf produces from |x| in [2^-28, 1): x in [2^-27, 2^25).
inline float log1pf_positive(float x) noexcept {
    const std::int32_t hx = bits_of(x);
    std::int32_t k = 0;
    std::int32_t hu = 1;
    float f = x;
    float c = 0.0f;
    if (hx >= 0x3ed413d7) {  // x >= 0.41422: reduce 1 + x to 2^k * u, u in [sqrt(2)/2, sqrt(2))
        float u = 1.0f + x;
        hu = bits_of(u);
        k = (hu >> 23) - 127;
        c = k > 0 ? 1.0f - (u - x) : x - (u - 1.0f);  // rounding error of 1 + x
        c /= u;
        hu &= 0x007fffff;
        if (hu < 0x3504f7) {
            u = float_of(hu | 0x3f800000);
        } else {
            k += 1;
            u = float_of(hu | 0x3f000000);
            hu = (0x00800000 - hu) >> 2;
        }
        f = u - 1.0f;
    }
    const float hfsq = 0.5f * f * f;
    if (hu == 0) {  // |f| < 2^-20: a short series
        if (f == 0.0f) {
            if (k == 0) return 0.0f;
            c += static_cast<float>(k) * ln2_lo;
            return static_cast<float>(k) * ln2_hi + c;
        }
        const float r = hfsq * (1.0f - lp1 * f);
        if (k == 0) return f - r;
        const auto fk = static_cast<float>(k);
        return fk * ln2_hi - ((r - (c + fk * ln2_lo)) - f);
    }
    const float s = f / (2.0f + f);
    const float z = s * s;
    const float r = z * (lp1 + z * (lp2 + z * (lp3 + z * (lp4 + z * (lp5 + z * (lp6 + z * lp7))))));
    if (k == 0) return f - (hfsq - s * (hfsq + r));
    const auto fk = static_cast<float>(k);
    return fk * ln2_hi - ((hfsq - (s * (hfsq + r) + (fk * ln2_lo + c))) - f);
}

}  // namespace atanh_detail

// Scalar replica of the C library's atanhf for |x| < 1 and NaN; the reference that the
// vector version follows lane by lane.
inline float atanhf_replica(float x) noexcept {
    using namespace atanh_detail;
    const float xa = x < 0.0f ? -x : x;
    float t;
    if (xa < 0.5f) {
        if (xa < tiny) return x;
        t = xa + xa;
        t = 0.5f * log1pf_positive(t + t * xa / (1.0f - xa));
    } else if (xa < 1.0f) {
        t = 0.5f * log1pf_positive((xa + xa) / (1.0f - xa));
    } else {
        return x / 0.0f;  // NaN stays NaN; |x| >= 1 is outside the contract
    }
    return x < 0.0f || (x == 0.0f && atanh_detail::bits_of(x) < 0) ? -t : t;
}

#if defined(__x86_64__)

// Eight lanes of the library's atanhf for each of the N vectors x[0..N), in place; every
// lane must be NaN or lie in (-1, 1). The lanes that take a rare branch of the
// algorithm (NaN, |x| < 2^-28, 1 + arg within 3 ulps above or below a power of two, and
// the reduced arguments that keep k = 0) get the library's scalar result instead; every
// other lane follows atanhf_replica's operations. The N vectors are taken through each
// step together so that the processor overlaps their long chains of dependent steps.
template <int N>
CORRSHIFT_AVX2_INLINE void atanh_avx2(__m256 (&x)[N]) noexcept {
    using namespace atanh_detail;
#define CORRSHIFT_EACH for (int v = 0; v < N; ++v)
    const __m256 sign_bit = _mm256_set1_ps(-0.0f);
    const __m256 one = _mm256_set1_ps(1.0f);
    __m256 xa[N], t[N], is_small[N], arg[N], u[N], c[N], f[N], s[N];
    __m256i reduce[N], k[N];
    int rare_lanes[N];
    CORRSHIFT_EACH {
        xa[v] = _mm256_andnot_ps(sign_bit, x[v]);
        // The argument of log1pf: 2a + 2a*a/(1-a) below 0.5, 2a/(1-a) from 0.5 on. One
        // division serves both: its numerator is chosen per lane.
        t[v] = _mm256_add_ps(xa[v], xa[v]);
        is_small[v] = _mm256_cmp_ps(xa[v], _mm256_set1_ps(0.5f), _CMP_LT_OQ);
    }
    CORRSHIFT_EACH arg[v] =
        _mm256_div_ps(_mm256_blendv_ps(t[v], _mm256_mul_ps(t[v], xa[v]), is_small[v]), _mm256_sub_ps(one, xa[v]));
    CORRSHIFT_EACH {
        arg[v] = _mm256_blendv_ps(arg[v], _mm256_add_ps(t[v], arg[v]), is_small[v]);
        // log1pf reduces arguments from 0.41422 on: 1 + arg = 2^k * u with the rounding
        // error c of 1 + arg carried along; below that k = 0, f = arg and c = 0.
        reduce[v] = _mm256_cmpgt_epi32(_mm256_castps_si256(arg[v]), _mm256_set1_epi32(0x3ed413d6));
        u[v] = _mm256_add_ps(one, arg[v]);
        const __m256i hu = _mm256_castps_si256(u[v]);
        k[v] = _mm256_sub_epi32(_mm256_srai_epi32(hu, 23), _mm256_set1_epi32(127));
        const __m256 k_positive = _mm256_castsi256_ps(_mm256_cmpgt_epi32(k[v], _mm256_setzero_si256()));
        c[v] = _mm256_blendv_ps(_mm256_sub_ps(arg[v], _mm256_sub_ps(u[v], one)),
                                _mm256_sub_ps(one, _mm256_sub_ps(u[v], arg[v])), k_positive);
    }
    CORRSHIFT_EACH c[v] = _mm256_div_ps(c[v], u[v]);
    CORRSHIFT_EACH {
        const __m256i hu = _mm256_and_si256(_mm256_castps_si256(u[v]), _mm256_set1_epi32(0x007fffff));
        const __m256i upper = _mm256_cmpgt_epi32(hu, _mm256_set1_epi32(0x3504f6));
        const __m256i u_bits = _mm256_or_si256(
            hu, _mm256_blendv_epi8(_mm256_set1_epi32(0x3f800000), _mm256_set1_epi32(0x3f000000), upper));
        k[v] = _mm256_and_si256(_mm256_sub_epi32(k[v], upper), reduce[v]);  // upper is -1: k + 1
        f[v] =
            _mm256_blendv_ps(arg[v], _mm256_sub_ps(_mm256_castsi256_ps(u_bits), one), _mm256_castsi256_ps(reduce[v]));
        c[v] = _mm256_and_ps(c[v], _mm256_castsi256_ps(reduce[v]));
        // The library's short series (its hu = 0) and its k = 0 formula after a reduction.
        const __m256i rare_reduced =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi32(hu, _mm256_setzero_si256()),
                                            _mm256_cmpgt_epi32(hu, _mm256_set1_epi32(0x007ffffc))),
                            _mm256_cmpeq_epi32(k[v], _mm256_setzero_si256()));
        const __m256 rare = _mm256_or_ps(_mm256_or_ps(_mm256_cmp_ps(x[v], x[v], _CMP_UNORD_Q),
                                                      _mm256_cmp_ps(xa[v], _mm256_set1_ps(tiny), _CMP_LT_OQ)),
                                         _mm256_castsi256_ps(_mm256_and_si256(rare_reduced, reduce[v])));
        rare_lanes[v] = _mm256_movemask_ps(rare);
    }
    CORRSHIFT_EACH s[v] = _mm256_div_ps(f[v], _mm256_add_ps(_mm256_set1_ps(2.0f), f[v]));
    CORRSHIFT_EACH {
        const __m256 fk = _mm256_cvtepi32_ps(k[v]);
        const __m256 hfsq = _mm256_mul_ps(_mm256_mul_ps(_mm256_set1_ps(0.5f), f[v]), f[v]);
        const __m256 z = _mm256_mul_ps(s[v], s[v]);
        __m256 r = _mm256_add_ps(_mm256_set1_ps(lp6), _mm256_mul_ps(z, _mm256_set1_ps(lp7)));
        r = _mm256_add_ps(_mm256_set1_ps(lp5), _mm256_mul_ps(z, r));
        r = _mm256_add_ps(_mm256_set1_ps(lp4), _mm256_mul_ps(z, r));
        r = _mm256_add_ps(_mm256_set1_ps(lp3), _mm256_mul_ps(z, r));
        r = _mm256_add_ps(_mm256_set1_ps(lp2), _mm256_mul_ps(z, r));
        r = _mm256_add_ps(_mm256_set1_ps(lp1), _mm256_mul_ps(z, r));
        r = _mm256_mul_ps(z, r);
        // k*ln2_hi - ((hfsq - (s*(hfsq+R) + (k*ln2_lo + c))) - f). With k = 0 and c = 0
        // (no reduction) this rounds exactly as the library's f - (hfsq - s*(hfsq+R)).
        const __m256 s_term = _mm256_mul_ps(s[v], _mm256_add_ps(hfsq, r));
        const __m256 lo_part = _mm256_add_ps(_mm256_mul_ps(fk, _mm256_set1_ps(ln2_lo)), c[v]);
        const __m256 hi_part = _mm256_mul_ps(fk, _mm256_set1_ps(ln2_hi));
        const __m256 log1p =
            _mm256_sub_ps(hi_part, _mm256_sub_ps(_mm256_sub_ps(hfsq, _mm256_add_ps(s_term, lo_part)), f[v]));
        // 0.5 * log1pf with the sign of x.
        const __m256 result = _mm256_or_ps(_mm256_mul_ps(_mm256_set1_ps(0.5f), log1p), _mm256_and_ps(sign_bit, x[v]));
        if (rare_lanes[v] == 0) {
            x[v] = result;
            continue;
        }
        alignas(32) float in[8], out[8];
        _mm256_store_ps(in, x[v]);
        _mm256_store_ps(out, result);
        for (int l = 0; l < 8; ++l)
            if (rare_lanes[v] & (1 << l)) out[l] = ::atanhf(in[l]);
        x[v] = _mm256_load_ps(out);
    }
#undef CORRSHIFT_EACH
}

// One vector of eight lanes.
CORRSHIFT_AVX2_INLINE __m256 atanh_avx2(__m256 x) noexcept {
    __m256 lanes[1] = {x};
    atanh_avx2(lanes);
    return lanes[0];
}

#endif

// True when the eight-lane version may stand in for the library's atanhf in this process:
// the processor has AVX2 and a sample of inputs spread over [-0.99, 0.99] (and NaN) gives
// the library's bits. Checked once, at the first call; thread-safe.
bool vector_atanh_verified();

// Mismatches of atanh_avx2 against ::atanhf over every float whose bit pattern lies in
// [first_bits, last_bits] (positive patterns; both signs are checked), stepping by `step`.
// Returns -1 when there is no AVX2. Used by the start-up check and the exhaustive tool.
std::int64_t atanh_mismatches(std::uint32_t first_bits, std::uint32_t last_bits, std::uint32_t step);

// The largest error of the C library's atanhf against atanh in double, in units of the
// float spacing at the exact value, over the same inputs. The permutation passes' decision
// margin allows 4 (the tests check it).
double atanh_error_ulps(std::uint32_t first_bits, std::uint32_t last_bits, std::uint32_t step);

}  // namespace corrshift
