// The `scores` module: set scores of labelled runs and of the items of a condensed pair
// vector (scores/scores.hpp), with their argument checks. The calls keep the interpreter
// lock throughout; workers see raw pointers only.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "common/binding/array_args.hpp"
#include "common/binding/checks.hpp"
#include "common/binding/module_frame.hpp"
#include "common/options.hpp"
#include "common/set_scores.hpp"
#include "scores/scores.hpp"

namespace py = pybind11;

namespace {

using corrshift::binding::float_arg;
using corrshift::binding::float_array;
using corrshift::binding::int_arg;
using corrshift::binding::int_array;

std::tuple<float_array, float_array> score_indexed(const float_arg& values_arg, const int_arg& labels_arg,
                                                   const std::string& score, std::int32_t n_jobs) {
    using namespace corrshift;
    const int_array& labels = binding::checked(labels_arg, "labels");
    const float_array& values = values_arg.array;
    if (labels.ndim() == 0) throw std::invalid_argument("labels must have at least one dimension");
    if (labels.size() < labels.shape(0))
        throw std::invalid_argument("labels holds fewer elements than its first extent");
    const std::int32_t count = checked_length(labels.shape(0), "labels");
    std::int32_t jobs = clamp_jobs(n_jobs, count);
    if (values.size() < count)
        throw std::invalid_argument("values has " + std::to_string(values.size()) + " elements but labels has " +
                                    std::to_string(count));

    const labelled_runs runs = runs_of_labels(labels.data(), count);
    const auto run_count = static_cast<std::int64_t>(runs.labels.size());
    float_array run_labels(run_count);
    float_array scores(run_count);
    jobs = clamp_jobs(jobs, run_count);
    score_labelled_runs(values.data(), runs, score, jobs, run_labels.mutable_data(), scores.mutable_data());
    return std::make_tuple(std::move(run_labels), std::move(scores));
}

float_array score_exhaustive(const float_arg& pair_values_arg, std::int32_t n_items, const std::string& score,
                             std::int32_t n_jobs) {
    using namespace corrshift;
    const float_array& pair_values = pair_values_arg.array;
    const std::int32_t jobs = clamp_jobs(n_jobs, n_items);
    const std::int64_t pairs = static_cast<std::int64_t>(n_items) * (n_items - 1) / 2;
    if (pair_values.size() < pairs)
        throw std::invalid_argument("pair_values has " + std::to_string(pair_values.size()) + " elements but " +
                                    std::to_string(n_items) + " items need " + std::to_string(pairs));
    float_array scores(n_items);
    score_items(pair_values.data(), n_items, score, jobs, scores.mutable_data());
    return scores;
}

}  // namespace

CORRSHIFT_MODULE(scores, m) {
    corrshift::binding::def(m, "_score_indexed", &score_indexed);
    corrshift::binding::def(m, "_score_exhaustive", &score_exhaustive);
}
