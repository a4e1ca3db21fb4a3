// Four doubles side by side as one value (the compiler's vector type): each operator acts
// lane by lane with the IEEE operation of a double, so a lane's bits are those of the same
// operations on doubles. Code written once over `lanes4` compiles to AVX2 instructions in a
// function compiled for AVX2 (CORRSHIFT_AVX2) and to pairs of SSE2 instructions elsewhere,
// with the same bits either way; the studentized kernels use it for their four passes or
// four pairs at a time.
#pragma once

// A 32-byte vector passed by value without AVX changes the calling convention (GCC warns);
// every function that takes or returns one here is inlined into its caller.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <cstring>

namespace corrshift {

typedef double lanes4 __attribute__((vector_size(32)));

#define CORRSHIFT_LANES_INLINE __attribute__((always_inline)) inline

CORRSHIFT_LANES_INLINE lanes4 load4(const double* p) noexcept {
    lanes4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

CORRSHIFT_LANES_INLINE void store4(double* p, lanes4 v) noexcept { std::memcpy(p, &v, sizeof v); }

CORRSHIFT_LANES_INLINE lanes4 splat4(double x) noexcept { return lanes4{x, x, x, x}; }

// x where x > 0, else 0 (also for NaN), lane by lane: the same as positive_part(double).
CORRSHIFT_LANES_INLINE lanes4 positive_part(lanes4 x) noexcept { return x > 0.0 ? x : lanes4{}; }
CORRSHIFT_LANES_INLINE double positive_part(double x) noexcept { return x > 0.0 ? x : 0.0; }

// x clamped to [-bound, bound], NaN kept, lane by lane (bound > 0).
CORRSHIFT_LANES_INLINE lanes4 clamp_symmetric(lanes4 x, double bound) noexcept {
    const lanes4 low = x < -bound ? splat4(-bound) : x;
    return low > bound ? splat4(bound) : low;
}
CORRSHIFT_LANES_INLINE double clamp_symmetric(double x, double bound) noexcept {
    const double low = x < -bound ? -bound : x;
    return low > bound ? bound : low;
}

}  // namespace corrshift
