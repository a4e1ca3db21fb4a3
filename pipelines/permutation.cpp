#include "permutation.hpp"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "../common/options.hpp"
#include "../common/progressbar.hpp"
#include "fast_rank.hpp"
#include "rank.hpp"

namespace corrshift {

std::uint32_t draw_below(std::mt19937& generator, std::uint64_t m) {
    constexpr std::uint64_t top = 0xFFFFFFFFull;
    for (;;) {
        const std::uint64_t x = generator();
        if (x / m < top / m || top % m == m - 1) return static_cast<std::uint32_t>(x % m);
    }
}

void shuffle_columns(std::vector<std::int32_t>& order, std::mt19937& generator) {
    const std::size_t n = order.size();
    for (std::size_t t = 1; t < n; ++t) {
        const std::size_t j = draw_below(generator, t + 1);
        if (j != t) std::swap(order[t], order[j]);
    }
}

namespace {

// Whether pass value x is at least as extreme as observed o. Every comparison with a NaN
// is false, so NaN never counts.
template <tail rule>
inline bool exceeds(float x, float o) noexcept {
    if constexpr (rule == tail::two_sided) return std::fabs(x) >= std::fabs(o);
    if constexpr (rule == tail::greater) return x >= o;
    return x <= o;
}

// Adds 1 to counts[i] where exceeds(pass[i], observed[i]). Adding 0 elsewhere leaves a
// count (never below +0) unchanged, so the loop needs no branch.
template <tail rule>
void count_portable(const float* pass, const float* observed, float* counts, std::int64_t items) {
    for (std::int64_t i = 0; i < items; ++i) counts[i] += exceeds<rule>(pass[i], observed[i]) ? 1.0f : 0.0f;
}

#if defined(__x86_64__)
template <tail rule>
__attribute__((target("avx2"))) void count_avx2(const float* pass, const float* observed, float* counts,
                                                std::int64_t items) {
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
        const __m256 hit =
            rule == tail::less ? _mm256_cmp_ps(x, o, _CMP_LE_OQ) : _mm256_cmp_ps(x, o, _CMP_GE_OQ);
        _mm256_storeu_ps(counts + i, _mm256_add_ps(_mm256_loadu_ps(counts + i), _mm256_and_ps(hit, one)));
    }
    count_portable<rule>(pass + i, observed + i, counts + i, items - i);
}
#endif

template <tail rule>
void count_with(const float* pass, const float* observed, float* counts, std::int64_t items) {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) return count_avx2<rule>(pass, observed, counts, items);
#endif
    count_portable<rule>(pass, observed, counts, items);
}

}  // namespace

tail tail_of(const std::string& alternative) {
    if (alternative == option_two_sided) return tail::two_sided;
    if (alternative == option_greater) return tail::greater;
    if (alternative == option_less) return tail::less;
    return tail::none;
}

void count_exceedances(tail t, const float* pass, const float* observed, float* counts,
                       std::int64_t items) {
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

void run_permutation_passes(const float* data, std::int32_t nrows, std::int32_t ncols,
                            const column_groups& caller_groups, const std::string& method,
                            const std::string& alternative, std::int32_t permutations, std::int32_t jobs,
                            std::int64_t item_count, float* observed, float* exceed_counts,
                            const pass_scorer& scorer, const pass_environment& env, bool fast_ranks,
                            bool scorer_counts) {
    const bool by_rank = method == option_spearman;
    const tail rule = tail_of(alternative);
    std::vector<float> rank_buffer(by_rank ? static_cast<std::size_t>(nrows) * ncols : 0);
    std::vector<float> pass_values(static_cast<std::size_t>(item_count));
    std::vector<std::int32_t> column_order(static_cast<std::size_t>(ncols));
    for (std::int32_t c = 0; c < ncols; ++c) column_order[static_cast<std::size_t>(c)] = c;
    std::vector<std::int32_t> first(static_cast<std::size_t>(caller_groups.first_count));
    std::vector<std::int32_t> second(static_cast<std::size_t>(caller_groups.second_count));
    std::mt19937 generator(permutation_seed);

    env.console << "Permutation progress: ";
    progressbar bar(permutations + 1, env.console);
    for (std::int32_t pass = 0; pass <= permutations; ++pass) {
        env.check_interrupt();
        column_groups groups = caller_groups;
        if (pass > 0) {
            shuffle_columns(column_order, generator);
            std::copy_n(column_order.begin(), first.size(), first.begin());
            std::copy_n(column_order.begin() + static_cast<std::ptrdiff_t>(first.size()), second.size(),
                        second.begin());
            groups.first = first.data();
            groups.second = second.data();
        }
        const float* source = data;
        if (by_rank) {
            const auto rank = fast_ranks ? rank_rows_fast : rank_rows;
            rank(data, rank_buffer.data(), ncols, nrows, groups.first, groups.first_count, jobs);
            rank(data, rank_buffer.data(), ncols, nrows, groups.second, groups.second_count, jobs);
            source = rank_buffer.data();
        }
        if (pass == 0) {
            scorer(source, groups, observed, nullptr);
            std::fill_n(exceed_counts, item_count, 0.0f);
        } else if (scorer_counts) {
            const exceedance_count counting{rule, observed, exceed_counts};
            scorer(source, groups, pass_values.data(), &counting);
        } else {
            scorer(source, groups, pass_values.data(), nullptr);
            count_exceedances(rule, pass_values.data(), observed, exceed_counts, item_count);
        }
        bar.update();
    }
    env.console << "\n";
    env.console.flush();
    if (permutations > 0) {
        const auto passes = static_cast<float>(permutations);
        for (std::int64_t i = 0; i < item_count; ++i) exceed_counts[i] /= passes;
    }
}

}  // namespace corrshift
