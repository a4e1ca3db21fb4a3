#include "pipelines/kernels/exceedance.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "common/options.hpp"
#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

namespace {

// Adds 1 to counts[i] where exceeds(pass[i], observed[i]). Adding 0 elsewhere leaves a
// count (never below +0) unchanged, so the loop needs no branch.
template <tail rule, class Count>
void count_portable(const float* pass, const float* observed, Count* counts, std::int64_t items) {
    for (std::int64_t i = 0; i < items; ++i) counts[i] += exceeds<rule>(pass[i], observed[i]) ? 1 : 0;
}

#if defined(__x86_64__)
template <tail rule, class Count>
CORRSHIFT_AVX2 void count_avx2(const float* pass, const float* observed, Count* counts, std::int64_t items) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const __m256 one = _mm256_set1_ps(1.0f);
    std::int64_t i = 0;
    for (; i + 8 <= items; i += 8) {
        __m256 x = _mm256_loadu_ps(pass + i);
        __m256 o = _mm256_loadu_ps(observed + i);
        if constexpr (rule == tail::two_sided) {
            x = _mm256_and_ps(x, magnitude);
            o = _mm256_and_ps(o, magnitude);
        }
        // Ordered comparisons: false when either side is NaN.
        const __m256 hit = rule == tail::less ? _mm256_cmp_ps(x, o, _CMP_LE_OQ) : _mm256_cmp_ps(x, o, _CMP_GE_OQ);
        if constexpr (std::is_same_v<Count, float>) {
            _mm256_storeu_ps(counts + i, _mm256_add_ps(_mm256_loadu_ps(counts + i), _mm256_and_ps(hit, one)));
        } else {
            // A hit lane is all ones, -1 as an integer: subtracting it adds one.
            __m256i* at = reinterpret_cast<__m256i*>(counts + i);
            _mm256_storeu_si256(at, _mm256_sub_epi32(_mm256_loadu_si256(at), _mm256_castps_si256(hit)));
        }
    }
    count_portable<rule>(pass + i, observed + i, counts + i, items - i);
}
#endif

template <tail rule, class Count>
void count_with(const float* pass, const float* observed, Count* counts, std::int64_t items) {
#if defined(__x86_64__)
    if (processor_has_avx2()) return count_avx2<rule>(pass, observed, counts, items);
#endif
    count_portable<rule>(pass, observed, counts, items);
}

template <class Count>
void count_by(tail t, const float* pass, const float* observed, Count* counts, std::int64_t items) {
    switch (t) {
        case tail::two_sided:
            return count_with<tail::two_sided>(pass, observed, counts, items);
        case tail::greater:
            return count_with<tail::greater>(pass, observed, counts, items);
        case tail::less:
            return count_with<tail::less>(pass, observed, counts, items);
        case tail::none:
            break;
    }
}

}  // namespace

tail tail_of(const std::string& alternative) {
    if (alternative == option_two_sided) return tail::two_sided;
    if (alternative == option_greater) return tail::greater;
    if (alternative == option_less) return tail::less;
    return tail::none;
}

float decision_threshold(tail rule, float observed) noexcept {
    if (std::isnan(observed)) return rule == tail::less ? 0.0f : std::numeric_limits<float>::infinity();
    const double theta = rule == tail::two_sided ? std::fabs(static_cast<double>(observed)) : observed;
    return static_cast<float>(std::exp(2.0 * theta));
}

void count_exceedances(tail t, const float* pass, const float* observed, float* counts, std::int64_t items) {
    count_by(t, pass, observed, counts, items);
}

void count_exceedances(tail t, const float* pass, const float* observed, std::int32_t* counts, std::int64_t items) {
    count_by(t, pass, observed, counts, items);
}

void exceedance_count::add(const float* pass, std::int64_t begin, std::int64_t end) const {
    if (counts)
        count_exceedances(rule, pass + begin, observed + begin, counts + begin, end - begin);
    else
        count_exceedances(rule, pass + begin, observed + begin, int_counts + begin, end - begin);
}

void exceedance_count::clear(std::int64_t items) const {
    if (counts)
        std::fill_n(counts, items, 0.0f);
    else
        std::fill_n(int_counts, items, 0);
}

}  // namespace corrshift
