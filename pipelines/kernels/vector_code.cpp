#include "pipelines/kernels/vector_code.hpp"

#include "pipelines/kernels/atanh_vector.hpp"

namespace corrshift {

bool processor_has_avx2() noexcept {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    return avx2;
#else
    return false;
#endif
}

fast_kernel_paths fast_kernel_paths_in_use() {
    static const fast_kernel_paths paths{processor_has_avx2(), vector_atanh_verified()};
    return paths;
}

}  // namespace corrshift
