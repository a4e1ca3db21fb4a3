#include "pipelines/bench/peak.hpp"

#include <chrono>

#include "common/options.hpp"
#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

namespace {

#if defined(__x86_64__)
// The inner loop of a 5 x 16 Sxy tile on data in the first-level cache: per round, five
// broadcasts of x against two vectors of y, ten multiplies and ten adds into ten
// independent sums, enough that the add latency never limits the multiply and add units.
// Returns the sums' total so that the compiler keeps every operation.
CORRSHIFT_AVX2 float multiply_add_rounds(std::int64_t rounds) {
    alignas(32) float x[8] = {1e-3f, 2e-3f, 3e-3f, 4e-3f, 5e-3f, 0.0f, 0.0f, 0.0f};
    __m256 y0 = _mm256_set1_ps(1e-3f), y1 = _mm256_set1_ps(3e-3f);
    __asm__ volatile("" : "+x"(y0), "+x"(y1));  // values the compiler cannot relate
    __m256 s00 = _mm256_setzero_ps(), s01 = s00, s10 = s00, s11 = s00, s20 = s00, s21 = s00, s30 = s00, s31 = s00,
           s40 = s00, s41 = s00;
    const float* xs = x;
    for (std::int64_t r = 0; r < rounds; ++r) {
        // The x values are loaded every round, as in a tile.
        __asm__ volatile("" : "+r"(xs));
        __m256 v = _mm256_broadcast_ss(xs);
        s00 = _mm256_add_ps(s00, _mm256_mul_ps(v, y0));
        s01 = _mm256_add_ps(s01, _mm256_mul_ps(v, y1));
        v = _mm256_broadcast_ss(xs + 1);
        s10 = _mm256_add_ps(s10, _mm256_mul_ps(v, y0));
        s11 = _mm256_add_ps(s11, _mm256_mul_ps(v, y1));
        v = _mm256_broadcast_ss(xs + 2);
        s20 = _mm256_add_ps(s20, _mm256_mul_ps(v, y0));
        s21 = _mm256_add_ps(s21, _mm256_mul_ps(v, y1));
        v = _mm256_broadcast_ss(xs + 3);
        s30 = _mm256_add_ps(s30, _mm256_mul_ps(v, y0));
        s31 = _mm256_add_ps(s31, _mm256_mul_ps(v, y1));
        v = _mm256_broadcast_ss(xs + 4);
        s40 = _mm256_add_ps(s40, _mm256_mul_ps(v, y0));
        s41 = _mm256_add_ps(s41, _mm256_mul_ps(v, y1));
    }
    const __m256 total = _mm256_add_ps(
        _mm256_add_ps(_mm256_add_ps(s00, s01), _mm256_add_ps(s10, s11)),
        _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(s20, s21), _mm256_add_ps(s30, s31)), _mm256_add_ps(s40, s41)));
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, total);
    return lanes[0];
}
#endif

}  // namespace

double multiply_add_rate(std::int32_t jobs, std::int64_t rounds) {
#if defined(__x86_64__)
    if (!processor_has_avx2() || jobs < 1 || rounds < 1) return 0.0;
    const auto start = std::chrono::steady_clock::now();
    fan_out(jobs, jobs, [rounds](std::int64_t first, std::int64_t last) {
        for (std::int64_t t = first; t < last; ++t) {
            volatile float keep = multiply_add_rounds(rounds);
            (void)keep;
        }
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(jobs) * static_cast<double>(rounds) * 10.0 * 8.0 / seconds;
#else
    (void)jobs;
    (void)rounds;
    return 0.0;
#endif
}

}  // namespace corrshift
