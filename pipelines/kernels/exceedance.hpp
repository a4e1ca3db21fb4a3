// Whether a permutation pass's statistic is at least as extreme as the observed one, and
// the counts of such passes: the exceedance rules of the three alternatives.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

namespace corrshift {

// The exceedance rule of an alternative: "two-sided" |x| >= |o|, "greater" x >= o,
// "less" x <= o; any other name counts nothing. NaN never counts.
enum class tail { two_sided, greater, less, none };
tail tail_of(const std::string& alternative);

// Whether pass value x is at least as extreme as observed o under `rule`. Every
// comparison with a NaN is false, so NaN never counts.
template <tail rule>
inline bool exceeds(float x, float o) noexcept {
    if constexpr (rule == tail::two_sided) return std::fabs(x) >= std::fabs(o);
    if constexpr (rule == tail::greater) return x >= o;
    if constexpr (rule == tail::less) return x <= o;
    return false;
}

// The threshold of a Fisher difference o for kernels that decide exceedance from the
// correlations: e^(2|o|) ("two-sided") or e^(2o), in double rounded to float. An observed
// NaN, which nothing exceeds, gets a threshold that no pair reaches: +inf, or 0 for "less".
float decision_threshold(tail rule, float observed) noexcept;

// Adds 1 to counts[i] where pass[i] is at least as extreme as observed[i], i < items.
void count_exceedances(tail rule, const float* pass, const float* observed, float* counts, std::int64_t items);
void count_exceedances(tail rule, const float* pass, const float* observed, std::int32_t* counts, std::int64_t items);

// Where the counts of the permutation passes at least as extreme go: float counts (the
// public pipelines, which turn them into shares) or int32 counts (the block functions);
// exactly one is given.
struct count_array {
    float* as_float;
    std::int32_t* as_int;
};

struct complement_terms;

// Where the exceedances of the permutation passes are added: float counts (the public
// pipelines, which turn them into p-values) or int32 counts; exactly one is given.
struct exceedance_count {
    tail rule;
    const float* observed;
    float* counts;
    std::int32_t* int_counts;
    // decision_threshold of each observed value, for the kernels that count exceedances
    // themselves; null where the pass values are counted after they are computed.
    const float* thresholds = nullptr;
    // Where given (all-pairs passes of the z-test), what lets the kernel sum one group's
    // Sxy only and derive the other group's correlation (fast_kernel.hpp).
    const complement_terms* complement = nullptr;

    // Adds the exceedances of pass[k] against observed[k], k in [begin, end).
    void add(const float* pass, std::int64_t begin, std::int64_t end) const;
    // Sets counts [0, items) to 0.
    void clear(std::int64_t items) const;
    // Adds 1 to the count of `item`.
    void add_one(std::int64_t item) const noexcept {
        if (counts)
            counts[item] += 1.0f;
        else
            int_counts[item] += 1;
    }
};

}  // namespace corrshift
