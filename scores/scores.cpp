#include "scores/scores.hpp"

#include <limits>

namespace corrshift {

namespace {

void fill_nan(float* out, std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) out[i] = std::numeric_limits<float>::quiet_NaN();
}

}  // namespace

void score_labelled_runs(const float* values, const labelled_runs& runs, const std::string& score, std::int32_t jobs,
                         float* run_labels, float* scores) {
    const auto count = static_cast<std::int64_t>(runs.labels.size());
    for (std::int64_t k = 0; k < count; ++k)
        run_labels[k] = static_cast<float>(runs.labels[static_cast<std::size_t>(k)]);
    if (!score_runs(values, runs.starts.data(), runs.ends.data(), count, score, false, jobs, scores))
        fill_nan(scores, count);
}

void score_items(const float* pair_values, std::int64_t n, const std::string& score, std::int32_t jobs, float* scores) {
    if (!score_pair_rows(pair_values, n, score, false, jobs, scores)) fill_nan(scores, n);
}

}  // namespace corrshift
