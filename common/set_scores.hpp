// Label runs and the "mean" / "median" set scores with their worker bodies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corrshift {

// Runs of equal values in a label array sorted in non-decreasing order. A position whose
// label is not greater than the last run's label (unsorted input) belongs to no run.
void label_runs(const std::int32_t* labels, std::int32_t count, std::vector<std::int32_t>& run_values,
                std::vector<std::int32_t>& run_starts, std::vector<std::int32_t>& run_ends);

// The runs of a label array: run g has the label labels[g] and covers the positions
// [starts[g], ends[g]).
struct labelled_runs {
    std::vector<std::int32_t> labels;
    std::vector<std::int32_t> starts;
    std::vector<std::int32_t> ends;
};
labelled_runs runs_of_labels(const std::int32_t* labels, std::int32_t count);

// Position of the pair (a, b), a < b, of n items in the condensed pair vector.
inline std::int64_t pair_position(std::int64_t a, std::int64_t b, std::int64_t n) noexcept {
    return a * (2 * n - a - 1) / 2 + (b - a - 1);
}

// Positions of the pairs {i, p}, i = 0..n-1, with -1 at i = p.
std::vector<std::int64_t> pair_row_indices(std::int64_t p, std::int64_t n);

// Mean of |values[k]| over the positions k of [start, end) (indices[i] when given, i
// otherwise), skipping negative positions; float32 sum in position order, 0 when empty.
float mean_abs_score(const float* values, const std::int64_t* indices, std::int64_t start, std::int64_t end) noexcept;

// Element floor(m * q) of the m gathered values (|values| when `absolute`) in ascending
// order, NaN ordered after every number; 0 when empty. `scratch` is reused storage.
float quantile_score(const float* values, const std::int64_t* indices, std::int64_t start, std::int64_t end, float q,
                     bool absolute, std::vector<float>& scratch);

// Selects element floor(m * q) of scratch[0..m) in the order above; m must be at least 1.
float select_quantile(std::vector<float>& scratch, float q);

// Worker bodies over a slice [first, last) of runs or items; result points at element 0.
// The quantile workers throw std::bad_alloc when their scratch cannot be allocated.
void run_mean_worker(const float* values, const std::int32_t* run_starts, const std::int32_t* run_ends,
                     std::int64_t first, std::int64_t last, float* result, bool absolute) noexcept;
void run_quantile_worker(const float* values, const std::int32_t* run_starts, const std::int32_t* run_ends,
                         std::int64_t first, std::int64_t last, float* result, float q, bool absolute);
// The runs [first, last) of `runs` scored over `values`: the mean of |value| (use_mean)
// or the median (of |value| when `absolute`), into result[first .. last).
void score_run_slice(const float* values, const labelled_runs& runs, std::int64_t first, std::int64_t last,
                     bool use_mean, bool absolute, float* result);
void pair_mean_worker(const float* pair_values, std::int64_t n, std::int64_t first, std::int64_t last, float* result,
                      bool absolute) noexcept;
void pair_quantile_worker(const float* pair_values, std::int64_t n, std::int64_t first, std::int64_t last,
                          float* result, float q, bool absolute);

}  // namespace corrshift

namespace corrshift {

// Fans the runs [0, run_count) out over `jobs` threads with the worker `score` names
// ("mean" or "median", q = 0.5). Returns false, starting no thread, for any other name.
bool score_runs(const float* values, const std::int32_t* run_starts, const std::int32_t* run_ends,
                std::int64_t run_count, const std::string& score, bool absolute, std::int32_t jobs, float* result);

// The same over the n items of a condensed pair vector, each scored over its n - 1 pairs.
bool score_pair_rows(const float* pair_values, std::int64_t n, const std::string& score, bool absolute,
                     std::int32_t jobs, float* result);

}  // namespace corrshift
