#include "common/set_scores.hpp"

#include <algorithm>
#include <cmath>

namespace corrshift {

void label_runs(const std::int32_t* labels, std::int32_t count, std::vector<std::int32_t>& run_values,
                std::vector<std::int32_t>& run_starts, std::vector<std::int32_t>& run_ends) {
    std::int32_t i = 0;
    while (i < count) {
        if (!run_values.empty() && labels[i] <= run_values.back()) {
            ++i;
            continue;
        }
        std::int32_t j = i;
        while (j < count && labels[j] == labels[i]) ++j;
        run_values.push_back(labels[i]);
        run_starts.push_back(i);
        run_ends.push_back(j);
        i = j;
    }
}

labelled_runs runs_of_labels(const std::int32_t* labels, std::int32_t count) {
    labelled_runs runs;
    label_runs(labels, count, runs.labels, runs.starts, runs.ends);
    return runs;
}

std::vector<std::int64_t> pair_row_indices(std::int64_t p, std::int64_t n) {
    std::vector<std::int64_t> row(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i)
        row[static_cast<std::size_t>(i)] = i == p ? -1 : pair_position(std::min(i, p), std::max(i, p), n);
    return row;
}

float mean_abs_score(const float* values, const std::int64_t* indices, std::int64_t start, std::int64_t end) noexcept {
    float sum = 0.0f;
    float count = 0.0f;
    for (std::int64_t i = start; i < end; ++i) {
        const std::int64_t k = indices ? indices[i] : i;
        if (k < 0) continue;
        sum += std::fabs(values[k]);
        count += 1.0f;
    }
    return count > 0.0f ? sum / count : 0.0f;
}

namespace {

// Ascending order with NaN after every number, so that sorting and selection stay
// well-defined on any input. -0 sorts before +0, which makes equal keys bitwise equal.
bool value_before(float a, float b) noexcept {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

}  // namespace

float select_quantile(std::vector<float>& scratch, float q) {
    const float x = static_cast<float>(scratch.size()) * q;
    const auto at = static_cast<std::size_t>(static_cast<std::uint64_t>(x));
    // Selection puts the same element at `at` as a full sort would.
    std::nth_element(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(at), scratch.end(), value_before);
    return scratch[at];
}

float quantile_score(const float* values, const std::int64_t* indices, std::int64_t start, std::int64_t end, float q,
                     bool absolute, std::vector<float>& scratch) {
    scratch.clear();
    for (std::int64_t i = start; i < end; ++i) {
        const std::int64_t k = indices ? indices[i] : i;
        if (k < 0) continue;
        scratch.push_back(absolute ? std::fabs(values[k]) : values[k]);
    }
    if (scratch.empty()) return 0.0f;
    return select_quantile(scratch, q);
}

void run_mean_worker(const float* values, const std::int32_t* run_starts, const std::int32_t* run_ends,
                     std::int64_t first, std::int64_t last, float* result, bool) noexcept {
    for (std::int64_t k = first; k < last; ++k) result[k] = mean_abs_score(values, nullptr, run_starts[k], run_ends[k]);
}

void run_quantile_worker(const float* values, const std::int32_t* run_starts, const std::int32_t* run_ends,
                         std::int64_t first, std::int64_t last, float* result, float q, bool absolute) {
    std::vector<float> scratch;
    for (std::int64_t k = first; k < last; ++k)
        result[k] = quantile_score(values, nullptr, run_starts[k], run_ends[k], q, absolute, scratch);
}

void score_run_slice(const float* values, const labelled_runs& runs, std::int64_t first, std::int64_t last,
                     bool use_mean, bool absolute, float* result) {
    if (use_mean)
        run_mean_worker(values, runs.starts.data(), runs.ends.data(), first, last, result, absolute);
    else
        run_quantile_worker(values, runs.starts.data(), runs.ends.data(), first, last, result, 0.5f, absolute);
}

namespace {

// Calls f(position) for the pairs {i, p}, i = 0..n-1, i != p, in order of i: first the
// pairs (i, p) of the rows above p, then p's own contiguous block (p, i).
template <class F>
void for_each_pair_of(std::int64_t p, std::int64_t n, F&& f) {
    for (std::int64_t i = 0; i < p; ++i) f(pair_position(i, p, n));
    const std::int64_t block = pair_position(p, p + 1, n);
    for (std::int64_t i = p + 1; i < n; ++i) f(block + (i - p - 1));
}

}  // namespace

void pair_mean_worker(const float* pair_values, std::int64_t n, std::int64_t first, std::int64_t last, float* result,
                      bool) noexcept {
    for (std::int64_t p = first; p < last; ++p) {
        float sum = 0.0f;
        float count = 0.0f;
        for_each_pair_of(p, n, [&](std::int64_t k) {
            sum += std::fabs(pair_values[k]);
            count += 1.0f;
        });
        result[p] = count > 0.0f ? sum / count : 0.0f;
    }
}

void pair_quantile_worker(const float* pair_values, std::int64_t n, std::int64_t first, std::int64_t last,
                          float* result, float q, bool absolute) {
    std::vector<float> scratch;
    if (first < last && n > 1) scratch.reserve(static_cast<std::size_t>(n - 1));
    for (std::int64_t p = first; p < last; ++p) {
        scratch.clear();
        for_each_pair_of(
            p, n, [&](std::int64_t k) { scratch.push_back(absolute ? std::fabs(pair_values[k]) : pair_values[k]); });
        result[p] = scratch.empty() ? 0.0f : select_quantile(scratch, q);
    }
}

}  // namespace corrshift

#include "common/options.hpp"

namespace corrshift {

bool score_runs(const float* values, const std::int32_t* run_starts, const std::int32_t* run_ends,
                std::int64_t run_count, const std::string& score, bool absolute, std::int32_t jobs, float* result) {
    if (score == option_mean) {
        fan_out(run_count, jobs, [=](std::int64_t first, std::int64_t last) {
            run_mean_worker(values, run_starts, run_ends, first, last, result, absolute);
        });
    } else if (score == option_median) {
        fan_out(run_count, jobs, [=](std::int64_t first, std::int64_t last) {
            run_quantile_worker(values, run_starts, run_ends, first, last, result, 0.5f, absolute);
        });
    } else {
        return false;
    }
    return true;
}

bool score_pair_rows(const float* pair_values, std::int64_t n, const std::string& score, bool absolute,
                     std::int32_t jobs, float* result) {
    if (score == option_mean) {
        fan_out(n, jobs, [=](std::int64_t first, std::int64_t last) {
            pair_mean_worker(pair_values, n, first, last, result, absolute);
        });
    } else if (score == option_median) {
        fan_out(n, jobs, [=](std::int64_t first, std::int64_t last) {
            pair_quantile_worker(pair_values, n, first, last, result, 0.5f, absolute);
        });
    } else {
        return false;
    }
    return true;
}

}  // namespace corrshift
