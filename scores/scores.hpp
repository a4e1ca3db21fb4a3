// The two calls of the `scores` module as plain functions over raw pointers and counts:
// set scores of labelled runs, and of the items of a condensed pair vector. The binding
// file (binding/module.cpp) checks the arguments and allocates the results.
#pragma once

#include <cstdint>
#include <string>

#include "common/set_scores.hpp"

namespace corrshift {

// The runs of `runs` scored over `values` on `jobs` threads (at least 1): run_labels[g] is
// run g's label as a float, scores[g] its "mean" of |value| or "median"; NaN for every
// run with any other score name.
void score_labelled_runs(const float* values, const labelled_runs& runs, const std::string& score, std::int32_t jobs,
                         float* run_labels, float* scores);

// Each of the n items of a condensed pair vector scored over its n - 1 pairs on `jobs`
// threads (at least 1); NaN for every item with a score name other than "mean" and
// "median".
void score_items(const float* pair_values, std::int64_t n, const std::string& score, std::int32_t jobs, float* scores);

}  // namespace corrshift
