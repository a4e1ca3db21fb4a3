#include "pipelines/kernels/atanh_vector.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corrshift {

namespace {

#if defined(__x86_64__)

// Compares the first `count` of eight inputs with the library; returns the number of
// differing lanes.
CORRSHIFT_AVX2 int mismatching_lanes(const float* inputs, int count) {
    alignas(32) float vector_out[8];
    _mm256_store_ps(vector_out, atanh_avx2(_mm256_loadu_ps(inputs)));
    int bad = 0;
    for (int l = 0; l < count; ++l) {
        const float expected = ::atanhf(inputs[l]);
        bad += std::memcmp(&expected, &vector_out[l], sizeof(float)) != 0;
    }
    return bad;
}

#endif

// Inputs at the branch points of the library's algorithm, plus NaN, checked by the
// start-up check in addition to its spread sample.
std::int64_t edge_mismatches() {
#if defined(__x86_64__)
    const float inf = std::numeric_limits<float>::infinity();
    const float edges[] = {0.0f,
                           -0.0f,
                           std::numeric_limits<float>::denorm_min(),
                           std::numeric_limits<float>::min(),
                           std::nextafter(atanh_detail::tiny, 0.0f),
                           atanh_detail::tiny,
                           std::nextafter(atanh_detail::tiny, 1.0f),
                           std::nextafter(0.5f, 0.0f),
                           0.5f,
                           std::nextafter(0.5f, 1.0f),
                           0.2071067811865f,
                           0.99f,
                           -0.99f,
                           std::numeric_limits<float>::quiet_NaN(),
                           -std::numeric_limits<float>::quiet_NaN(),
                           atanh_detail::float_of(0x7fc12345),
                           inf - inf};
    constexpr int count = sizeof edges / sizeof edges[0];
    std::int64_t bad = 0;
    for (int first = 0; first < count; first += 8) {
        float lanes[8];
        for (int l = 0; l < 8; ++l) lanes[l] = edges[first + l < count ? first + l : 0];
        bad += mismatching_lanes(lanes, count - first < 8 ? count - first : 8);
    }
    return bad;
#else
    return -1;
#endif
}

bool check_vector_atanh() {
#if defined(__x86_64__)
    if (!processor_has_avx2()) return false;
    // About a quarter of a million inputs spread over [-0.99, 0.99]: a library whose
    // atanhf rounds differently anywhere in a sizeable range differs on some of them.
    const auto last = static_cast<std::uint32_t>(atanh_detail::bits_of(0.99f));
    return edge_mismatches() == 0 && atanh_mismatches(0, last, 8191) == 0;
#else
    return false;
#endif
}

}  // namespace

bool vector_atanh_verified() {
    static const bool verified = check_vector_atanh();
    return verified;
}

std::int64_t atanh_mismatches(std::uint32_t first_bits, std::uint32_t last_bits, std::uint32_t step) {
#if defined(__x86_64__)
    if (!processor_has_avx2()) return -1;
    std::int64_t bad = 0;
    float lanes[8];
    int filled = 0;
    for (std::uint64_t b = first_bits; b <= last_bits; b += step) {
        const float x = atanh_detail::float_of(static_cast<std::int32_t>(b));
        lanes[filled++] = x;
        lanes[filled++] = -x;
        if (filled == 8) {
            bad += mismatching_lanes(lanes, 8);
            filled = 0;
        }
    }
    if (filled > 0) {
        for (int l = filled; l < 8; ++l) lanes[l] = lanes[0];
        bad += mismatching_lanes(lanes, filled);
    }
    return bad;
#else
    (void)first_bits;
    (void)last_bits;
    (void)step;
    return -1;
#endif
}

double atanh_error_ulps(std::uint32_t first_bits, std::uint32_t last_bits, std::uint32_t step) {
    double worst = 0.0;
    for (std::uint64_t b = first_bits; b <= last_bits; b += step) {
        const float x = atanh_detail::float_of(static_cast<std::int32_t>(b));
        const double exact = std::atanh(static_cast<double>(x));
        const float rounded = static_cast<float>(exact);
        const double spacing = static_cast<double>(std::nextafter(std::fabs(rounded), INFINITY) - std::fabs(rounded));
        if (spacing > 0.0) worst = std::max(worst, std::fabs(static_cast<double>(::atanhf(x)) - exact) / spacing);
    }
    return worst;
}

}  // namespace corrshift
