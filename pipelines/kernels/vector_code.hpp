// Which vector code this process runs. The processor is asked here and nowhere else;
// every kernel with an eight-lane AVX2 version takes it only where this says so.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>
// Functions compiled for AVX2 (the rest of the build targets the baseline x86-64).
#define CORRSHIFT_AVX2 __attribute__((target("avx2")))
#define CORRSHIFT_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
#endif

namespace corrshift {

// Whether the processor runs AVX2 instructions; false off x86-64.
bool processor_has_avx2() noexcept;

// Which code the fast kernel runs in this process: eight-lane AVX2 tiles when the
// processor has AVX2, and the eight-lane atanhf only when it also passed its check.
struct fast_kernel_paths {
    bool avx2;
    bool vector_atanh;
};
fast_kernel_paths fast_kernel_paths_in_use();

}  // namespace corrshift
