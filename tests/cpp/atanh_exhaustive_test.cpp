// The eight-lane atanhf and its scalar replica against the C library's atanhf on every
// float in [-0.99, 0.99] (about 2.1e9 inputs), split over two threads. Prints the count
// of differing results, the library's largest error and the time taken; fails on any
// difference or an error beyond what the decision margin allows. Without AVX2 only
// the scalar replica is checked.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "check.hpp"
#include "pipelines/kernels/atanh_vector.hpp"

using namespace corrshift;

namespace {

std::int64_t replica_mismatches(std::uint32_t first, std::uint32_t last) {
    std::int64_t bad = 0;
    for (std::uint64_t b = first; b <= last; ++b) {
        const float x = atanh_detail::float_of(static_cast<std::int32_t>(b));
        for (float v : {x, -x}) {
            const float want = ::atanhf(v), got = atanhf_replica(v);
            bad += std::memcmp(&want, &got, sizeof want) != 0;
        }
    }
    return bad;
}

}  // namespace

int main() {
    const auto start = std::chrono::steady_clock::now();
    const auto last = static_cast<std::uint32_t>(atanh_detail::bits_of(0.99f));
    const std::uint32_t middle = last / 2;
    std::int64_t vector_bad[2] = {0, 0}, replica_bad[2] = {0, 0};
    std::thread second([&] {
        vector_bad[1] = atanh_mismatches(middle + 1, last, 1);
        replica_bad[1] = replica_mismatches(middle + 1, last);
    });
    vector_bad[0] = atanh_mismatches(0, middle, 1);
    replica_bad[0] = replica_mismatches(0, middle);
    second.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool vector_checked = vector_bad[0] >= 0;
    std::printf("inputs: %llu (both signs of %u bit patterns)\n", 2ull * (last + 1ull), last + 1u);
    std::printf("scalar replica mismatches: %lld\n", static_cast<long long>(replica_bad[0] + replica_bad[1]));
    if (vector_checked)
        std::printf("vector mismatches: %lld\n", static_cast<long long>(vector_bad[0] + vector_bad[1]));
    else
        std::printf("vector: not checked (no AVX2)\n");
    const double worst = atanh_error_ulps(0, last, 1);
    std::printf("largest atanhf error: %.2f ulps (the decision margin allows 4)\n", worst);
    std::printf("time: %.1f s\n", seconds);
    CHECK(worst <= 4.0);
    CHECK(replica_bad[0] + replica_bad[1] == 0);
    CHECK(!vector_checked || vector_bad[0] + vector_bad[1] == 0);
    TEST_MAIN_END();
}
