// The logarithm that the estimated row sums of the "mean" row scores use: fast, within
// 2^-18 on [2^-16, 2^16], and not the C library's.
#pragma once

#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

#if defined(__x86_64__)

// ln x for x in [2^-16, 2^16] within 2^-18 (the tests check the floats of the range; a
// NaN x gives a number, which the caller must mask): x =
// 2^e m with m in [sqrt(2)/2, sqrt(2)), ln x = e ln 2 + ln(1 + f), f = m - 1, and
// ln(1 + f) = f + f^2 P(f) with P of degree 5 fitted on that interval.
CORRSHIFT_AVX2_INLINE __m256 log_approx_avx2(__m256 x) {
    const __m256i bits = _mm256_castps_si256(x);
    // Mantissas from sqrt(2) on are halved, and the exponent raised by one.
    const __m256i m_bits = _mm256_sub_epi32(bits, _mm256_set1_epi32(0x3f3504f3));
    const __m256i e = _mm256_srai_epi32(m_bits, 23);
    const __m256 m = _mm256_castsi256_ps(_mm256_sub_epi32(bits, _mm256_slli_epi32(e, 23)));
    const __m256 f = _mm256_sub_ps(m, _mm256_set1_ps(1.0f));
    __m256 p = _mm256_set1_ps(0.12282627075910568f);
    p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(-0.1848263442516327f));
    p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(0.20346346497535706f));
    p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(-0.249328151345253f));
    p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(0.3332492411136627f));
    p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(-0.5000041127204895f));
    const __m256 log1p = _mm256_add_ps(f, _mm256_mul_ps(_mm256_mul_ps(f, f), p));
    return _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(e), _mm256_set1_ps(0.6931471805599453f)), log1p);
}

#endif

}  // namespace corrshift
