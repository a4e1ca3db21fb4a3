// The `pipelines` module: z-tests of differential correlation for listed or all pairs of
// rows, and set scores of those differences, each with a permutation test. The calls keep
// the interpreter lock throughout; workers see raw pointers only and never call Python.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

#include "common/binding/module_frame.hpp"
#include "common/options.hpp"
#include "pipelines/binding/checks.hpp"
#include "pipelines/binding/module_args.hpp"
#include "pipelines/drivers/pipelines.hpp"
#include "pipelines/kernels/correlation.hpp"

namespace py = pybind11;

// The same source builds the private module `_baseline`, whose functions run the
// straightforward kernel: the reference that the tests and the benchmark compare with.
#if defined(CORRSHIFT_BASELINE_MODULE)
#include "pipelines/bench/peak.hpp"
#define CORRSHIFT_MODULE_NAME _baseline
#else
#define CORRSHIFT_MODULE_NAME pipelines
#endif

namespace {

using namespace corrshift;
using binding::checked;
using binding::float_arg;
using binding::int_arg;
using binding::length_of;
using binding::shape_of;

#if defined(CORRSHIFT_BASELINE_MODULE)
constexpr kernel module_kernel = kernel::straightforward;
#else
constexpr kernel module_kernel = kernel::fast;
#endif

using binding::float_array;
using binding::int_array;
using five_arrays = std::tuple<float_array, float_array, float_array, float_array, float_array>;

// The console is the process's standard output, written by C++ directly; a pending
// signal (Ctrl-C) ends the call at the top of the next pass. The call holds the
// interpreter lock throughout, so the check needs no lock of its own.
console_environment process_console() {
    return {std::cout, [] {
                if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            }};
}

// A checked call as the pipeline bodies take it.
pipeline_call call_of(const float_array& data, const matrix_shape& shape, const column_groups& groups,
                      const std::string& method, const std::string& alternative, const std::string& score,
                      std::int32_t permutations, std::int32_t jobs) {
    return {{data.data(), shape.nrows, shape.ncols, groups},
            method,
            alternative,
            score,
            permutations,
            jobs,
            process_console()};
}

// The two column lists, refused first when a sequence held integers beyond int32.
struct column_args {
    const int_array& first;
    const int_array& second;
};
column_args columns_of(const int_arg& first_columns, const int_arg& second_columns) {
    return {checked(first_columns, "first_columns"), checked(second_columns, "second_columns")};
}

// Checks shared by all pipelines, in the order a caller would fix them.
column_groups check_common(const matrix_shape& shape, const column_args& columns, std::int32_t permutations) {
    const int_array& first_columns = columns.first;
    const int_array& second_columns = columns.second;
    const std::int32_t first_count = length_of(first_columns, "first_columns");
    const std::int32_t second_count = length_of(second_columns, "second_columns");
    check_permutations(permutations);
    check_indices(first_columns.data(), first_count, shape.ncols, "first_columns", "column");
    check_indices(second_columns.data(), second_count, shape.ncols, "second_columns", "column");
    check_group_sizes(first_count, second_count, shape.ncols, permutations);
    return {first_columns.data(), first_count, second_columns.data(), second_count};
}

five_arrays make_five(std::int64_t count) {
    return five_arrays(float_array(count), float_array(count), float_array(count), float_array(count),
                       float_array(count));
}

ztest_outputs outputs_of(five_arrays& r) {
    return {std::get<0>(r).mutable_data(), std::get<1>(r).mutable_data(), std::get<2>(r).mutable_data(),
            std::get<3>(r).mutable_data(), std::get<4>(r).mutable_data()};
}

five_arrays call_ztest_pipeline_indexed(const float_arg& data_arg, const int_arg& first_rows_arg,
                                        const int_arg& second_rows_arg, const int_arg& first_columns_arg,
                                        const int_arg& second_columns_arg, const std::string& method,
                                        const std::string& alternative, std::int32_t permutations,
                                        std::int32_t n_jobs) {
    const int_array& first_rows = checked(first_rows_arg, "first_rows");
    const int_array& second_rows = checked(second_rows_arg, "second_rows");
    const column_args columns = columns_of(first_columns_arg, second_columns_arg);
    const float_array& data = data_arg.array;
    const matrix_shape shape = shape_of(data);
    const std::int32_t first_length = length_of(first_rows, "first_rows");
    const std::int32_t second_length = length_of(second_rows, "second_rows");
    check_jobs(n_jobs);
    const column_groups groups = check_common(shape, columns, permutations);
    const std::int32_t pairs =
        check_pair_rows(first_rows.data(), first_length, second_rows.data(), second_length, true, shape.nrows);

    five_arrays result = make_five(pairs);
    ztest_pipeline(call_of(data, shape, groups, method, alternative, "", permutations, n_jobs), first_rows.data(),
                   second_rows.data(), pairs, outputs_of(result), module_kernel);
    return result;
}

five_arrays call_ztest_pipeline_exhaustive(const float_arg& data_arg, const int_arg& first_columns_arg,
                                           const int_arg& second_columns_arg, const std::string& method,
                                           const std::string& alternative, std::int32_t permutations,
                                           std::int32_t n_jobs) {
    const column_args columns = columns_of(first_columns_arg, second_columns_arg);
    const float_array& data = data_arg.array;
    const matrix_shape shape = shape_of(data);
    check_jobs(n_jobs);
    check_exhaustive_rows(shape.nrows);
    const column_groups groups = check_common(shape, columns, permutations);

    const std::int64_t pairs = pair_count_of(shape.nrows);
    five_arrays result = make_five(pairs);
    ztest_pipeline(call_of(data, shape, groups, method, alternative, "", permutations, n_jobs), nullptr, nullptr, pairs,
                   outputs_of(result), module_kernel);
    return result;
}

std::tuple<int_array, float_array, float_array> call_score_pipeline_indexed(
    const float_arg& data_arg, const int_arg& first_rows_arg, const int_arg& second_rows_arg,
    const int_arg& first_columns_arg, const int_arg& second_columns_arg, const std::string& method,
    const std::string& score, const std::string& alternative, std::int32_t permutations, std::int32_t n_jobs) {
    const int_array& first_rows = checked(first_rows_arg, "first_rows");
    const int_array& second_rows = checked(second_rows_arg, "second_rows");
    const column_args columns = columns_of(first_columns_arg, second_columns_arg);
    const float_array& data = data_arg.array;
    const matrix_shape shape = shape_of(data);
    const std::int32_t first_length = length_of(first_rows, "first_rows");
    const std::int32_t second_length = length_of(second_rows, "second_rows");
    check_score(score);
    const column_groups groups = check_common(shape, columns, permutations);
    // Every listed pair is checked, also those outside any set: the workers read them.
    const std::int32_t pairs =
        check_pair_rows(first_rows.data(), first_length, second_rows.data(), second_length, false, shape.nrows);

    const labelled_runs sets = runs_of_labels(first_rows.data(), pairs);
    const auto set_count = static_cast<std::int64_t>(sets.labels.size());
    const std::int32_t jobs = clamp_jobs(n_jobs, set_count);

    int_array labels(set_count);
    std::copy(sets.labels.begin(), sets.labels.end(), labels.mutable_data());
    float_array observed(set_count);
    float_array p_values(set_count);
    score_pipeline_indexed(call_of(data, shape, groups, method, alternative, score, permutations, jobs),
                           first_rows.data(), second_rows.data(), pairs, sets, observed.mutable_data(),
                           p_values.mutable_data(), module_kernel);
    return std::make_tuple(std::move(labels), std::move(observed), std::move(p_values));
}

std::tuple<float_array, float_array> call_score_pipeline_exhaustive(const float_arg& data_arg,
                                                                    const int_arg& first_columns_arg,
                                                                    const int_arg& second_columns_arg,
                                                                    const std::string& method, const std::string& score,
                                                                    const std::string& alternative,
                                                                    std::int32_t permutations, std::int32_t n_jobs) {
    const column_args columns = columns_of(first_columns_arg, second_columns_arg);
    const float_array& data = data_arg.array;
    const matrix_shape shape = shape_of(data);
    check_score(score);
    check_exhaustive_rows(shape.nrows);
    const column_groups groups = check_common(shape, columns, permutations);
    const std::int32_t jobs = clamp_jobs(n_jobs, shape.nrows);

    float_array observed(shape.nrows);
    float_array p_values(shape.nrows);
    score_pipeline_exhaustive(call_of(data, shape, groups, method, alternative, score, permutations, jobs),
                              observed.mutable_data(), p_values.mutable_data(), module_kernel);
    return std::make_tuple(std::move(observed), std::move(p_values));
}

}  // namespace

CORRSHIFT_MODULE(CORRSHIFT_MODULE_NAME, m) {
    binding::def(m, "_ztest_pipeline_indexed", &call_ztest_pipeline_indexed);
    binding::def(m, "_score_pipeline_indexed", &call_score_pipeline_indexed);
    binding::def(m, "_ztest_pipeline_exhaustive", &call_ztest_pipeline_exhaustive);
    binding::def(m, "_score_pipeline_exhaustive", &call_score_pipeline_exhaustive);
#if defined(CORRSHIFT_BASELINE_MODULE)
    // For the benchmark: the multiply+add bound that a pass's Sxy work is measured against.
    binding::def(
        m, "_multiply_add_rate", +[](std::int32_t n_jobs, std::int64_t rounds) {
            if (n_jobs < 1 || rounds < 1) throw std::invalid_argument("n_jobs and rounds must be at least 1");
            return multiply_add_rate(n_jobs, rounds);
        });
#endif
}
