// The private `_blocks` module: block entry points for an engine that splits a large
// all-pairs z-test, listed-pairs z-test, row-score, set-score or module-score job into tiles of rows by ranges of
// passes. Every value equals the matching value of the public pipelines bit for bit; the calls print nothing and
// release the interpreter lock while they compute.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/binding/module_frame.hpp"
#include "common/options.hpp"
#include "pipelines/binding/checks.hpp"
#include "pipelines/binding/module_args.hpp"
#include "pipelines/drivers/blocks.hpp"

namespace py = pybind11;

namespace {

using namespace corrshift;
using binding::checked;
using binding::float_arg;
using binding::float_array;
using binding::int_arg;
using binding::int_array;
using binding::length_of;
using binding::shape_of;
using range_arg = std::pair<std::int64_t, std::int64_t>;

// The checks every block entry point makes, before anything is allocated: the matrix and
// groups, and the options with the entry point's score ("mean" for the z-tests, which
// have none).
struct common_args {
    pass_input input;
    block_options options;
};

common_args check_common(const float_arg& data, const int_arg& first_columns_arg, const int_arg& second_columns_arg,
                         const std::string& method, const std::string& alternative, const std::string& score,
                         std::int64_t pass_first, std::int64_t pass_last, std::int64_t n_jobs,
                         const py::object& progress, const std::string& statistics) {
    const int_array& first_columns = checked(first_columns_arg, "first_columns");
    const int_array& second_columns = checked(second_columns_arg, "second_columns");
    const matrix_shape shape = shape_of(data.array);
    const std::int32_t first_count = length_of(first_columns, "first_columns");
    const std::int32_t second_count = length_of(second_columns, "second_columns");
    check_method_name(method);
    check_alternative_name(alternative);
    if (statistics != "native" && statistics != "api")
        throw std::invalid_argument("statistics must be \"native\" or \"api\", got \"" + statistics + "\"");
    check_pass_range(pass_first, pass_last);
    const std::int32_t jobs = check_block_jobs(n_jobs);
    check_indices(first_columns.data(), first_count, shape.ncols, "first_columns", "column");
    check_indices(second_columns.data(), second_count, shape.ncols, "second_columns", "column");
    // Only a permutation pass draws both groups from the columns of data.
    const bool permutation_pass = std::max<std::int64_t>(pass_first, 1) < pass_last;
    check_group_sizes(first_count, second_count, shape.ncols, permutation_pass ? 1 : 0);
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw py::type_error("progress must be None or a callable taking the number of passes done");
    block_options options = block_options_of(method, alternative, score, static_cast<std::int32_t>(pass_first),
                                             static_cast<std::int32_t>(pass_last), jobs);
    options.api = statistics == "api";
    return {{data.array.data(),
             shape.nrows,
             shape.ncols,
             {first_columns.data(), first_count, second_columns.data(), second_count}},
            options};
}

row_range check_range(const range_arg& range, std::int32_t nrows, const char* name) {
    check_row_range(range.first, range.second, nrows, name);
    return {range.first, range.second};
}

// Runs on the calling thread between passes, with the interpreter lock taken back for
// the moment: a pending signal (Ctrl-C) ends the call, and `progress` hears of each pass.
run_environment environment_of(const py::object& progress) {
    run_environment env;
    env.check_interrupt = [] {
        py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    };
    env.progress = [&progress](std::int32_t done) {
        if (progress.is_none()) return;
        py::gil_scoped_acquire acquire;
        progress(done);
    };
    return env;
}

using double_array = py::array_t<double, py::array::c_style>;
using ztest_tuple = std::tuple<float_array, float_array, float_array, py::array, int_array>;

// The five outputs of a z-test block, one entry per pair; the p-values are float32 for
// the native statistics and float64 for the API's.
struct ztest_arrays {
    float_array first_r, second_r, z_diff;
    float_array p_value;
    double_array p_value64;
    int_array counts;
    ztest_arrays(std::int64_t pairs, bool api)
        : first_r(pairs),
          second_r(pairs),
          z_diff(pairs),
          p_value(api ? 0 : pairs),
          p_value64(api ? pairs : 0),
          counts(pairs) {}
    ztest_block_outputs outputs(bool api) {
        return {first_r.mutable_data(),
                second_r.mutable_data(),
                z_diff.mutable_data(),
                api ? nullptr : p_value.mutable_data(),
                {nullptr, counts.mutable_data()},
                api ? p_value64.mutable_data() : nullptr};
    }
    ztest_tuple release(bool api) {
        py::array p = api ? py::array(std::move(p_value64)) : py::array(std::move(p_value));
        return std::make_tuple(std::move(first_r), std::move(second_r), std::move(z_diff), std::move(p),
                               std::move(counts));
    }
};

ztest_tuple call_ztest_block(const float_arg& data, const int_arg& first_columns, const int_arg& second_columns,
                             const range_arg& rows_a, const range_arg& rows_b, const std::string& method,
                             const std::string& alternative, std::int64_t pass_first, std::int64_t pass_last,
                             std::int64_t n_jobs, const py::object& progress, const std::string& statistics) {
    const common_args args = check_common(data, first_columns, second_columns, method, alternative, option_mean,
                                          pass_first, pass_last, n_jobs, progress, statistics);
    const row_range a = check_range(rows_a, args.input.nrows, "rows_a");
    const row_range b = check_range(rows_b, args.input.nrows, "rows_b");

    const std::int64_t pairs = ztest_block_pair_count(a, b);
    ztest_arrays result(pairs, args.options.api);
    const ztest_block_outputs out = result.outputs(args.options.api);
    const run_environment env = environment_of(progress);
    {
        // Workers never touch Python objects: we don't manipulate refcounts.
        py::gil_scoped_release release;
        ztest_block(args.input, a, b, args.options, out, env);
    }
    return result.release(args.options.api);
}

// Listed pairs: as the public indexed z-test, second_rows gives the pair count and
// first_rows must list at least as many.
ztest_tuple call_pairs_block(const float_arg& data, const int_arg& first_rows_arg, const int_arg& second_rows_arg,
                             const int_arg& first_columns, const int_arg& second_columns, const std::string& method,
                             const std::string& alternative, std::int64_t pass_first, std::int64_t pass_last,
                             std::int64_t n_jobs, const py::object& progress, const std::string& statistics) {
    const int_array& first_rows = checked(first_rows_arg, "first_rows");
    const int_array& second_rows = checked(second_rows_arg, "second_rows");
    const common_args args = check_common(data, first_columns, second_columns, method, alternative, option_mean,
                                          pass_first, pass_last, n_jobs, progress, statistics);
    const std::int32_t first_length = length_of(first_rows, "first_rows");
    const std::int32_t second_length = length_of(second_rows, "second_rows");
    const std::int32_t pairs =
        check_pair_rows(first_rows.data(), first_length, second_rows.data(), second_length, true, args.input.nrows);

    ztest_arrays result(pairs, args.options.api);
    const ztest_block_outputs out = result.outputs(args.options.api);
    const run_environment env = environment_of(progress);
    {
        // Workers never touch Python objects: we don't manipulate refcounts.
        py::gil_scoped_release release;
        pairs_block(args.input, first_rows.data(), second_rows.data(), pairs, args.options, out, env);
    }
    return result.release(args.options.api);
}

// The limits of a kept observed pass: numbers, +inf allowed.
kept_limits check_kept_limits(double keep_p, double count_p) {
    if (std::isnan(keep_p) || std::isnan(count_p))
        throw py::value_error("keep_p and count_p must be numbers (+inf for no limit), got NaN");
    return {keep_p, count_p};
}

template <class T>
py::array_t<T, py::array::c_style> array_of(const std::vector<T>& values) {
    py::array_t<T, py::array::c_style> array(static_cast<py::ssize_t>(values.size()));
    if (!values.empty()) std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(T));
    return array;
}

using int64_array = py::array_t<std::int64_t, py::array::c_style>;
using kept_tuple = std::tuple<int64_array, float_array, float_array, float_array, double_array, double_array,
                              int64_array, std::int64_t>;

kept_tuple kept_result(const kept_pairs& kept) {
    return std::make_tuple(array_of(kept.positions), array_of(kept.first_r), array_of(kept.second_r),
                           array_of(kept.z_diff), array_of(kept.p_value), array_of(kept.counted),
                           array_of(kept.counted_pairs), kept.defined);
}

kept_tuple call_ztest_block_kept(const float_arg& data, const int_arg& first_columns, const int_arg& second_columns,
                                 const range_arg& rows_a, const range_arg& rows_b, const std::string& method,
                                 const std::string& alternative, std::int64_t n_jobs, double keep_p, double count_p,
                                 const py::object& progress) {
    const common_args args = check_common(data, first_columns, second_columns, method, alternative, option_mean, 0, 1,
                                          n_jobs, progress, "api");
    const row_range a = check_range(rows_a, args.input.nrows, "rows_a");
    const row_range b = check_range(rows_b, args.input.nrows, "rows_b");
    const kept_limits limits = check_kept_limits(keep_p, count_p);
    kept_pairs kept;
    const run_environment env = environment_of(progress);
    {
        // Workers never touch Python objects: we don't manipulate refcounts.
        py::gil_scoped_release release;
        ztest_block_kept(args.input, a, b, args.options, limits, kept, env);
    }
    return kept_result(kept);
}

kept_tuple call_pairs_block_kept(const float_arg& data, const int_arg& first_rows_arg, const int_arg& second_rows_arg,
                                 const int_arg& first_columns, const int_arg& second_columns, const std::string& method,
                                 const std::string& alternative, std::int64_t n_jobs, double keep_p, double count_p,
                                 const py::object& progress) {
    const int_array& first_rows = checked(first_rows_arg, "first_rows");
    const int_array& second_rows = checked(second_rows_arg, "second_rows");
    const common_args args = check_common(data, first_columns, second_columns, method, alternative, option_mean, 0, 1,
                                          n_jobs, progress, "api");
    const std::int32_t first_length = length_of(first_rows, "first_rows");
    const std::int32_t second_length = length_of(second_rows, "second_rows");
    const std::int32_t pairs =
        check_pair_rows(first_rows.data(), first_length, second_rows.data(), second_length, true, args.input.nrows);
    const kept_limits limits = check_kept_limits(keep_p, count_p);
    kept_pairs kept;
    const run_environment env = environment_of(progress);
    {
        // Workers never touch Python objects: we don't manipulate refcounts.
        py::gil_scoped_release release;
        pairs_block_kept(args.input, first_rows.data(), second_rows.data(), pairs, args.options, limits, kept, env);
    }
    return kept_result(kept);
}

std::tuple<float_array, int_array> call_row_score_block(const float_arg& data, const int_arg& first_columns,
                                                        const int_arg& second_columns, const range_arg& rows,
                                                        const std::string& method, const std::string& score,
                                                        const std::string& alternative, std::int64_t pass_first,
                                                        std::int64_t pass_last, std::int64_t n_jobs,
                                                        const py::object& progress, const std::string& statistics) {
    const common_args args = check_common(data, first_columns, second_columns, method, alternative, score, pass_first,
                                          pass_last, n_jobs, progress, statistics);
    check_score(score);
    const row_range scored = check_range(rows, args.input.nrows, "rows");

    float_array observed(scored.last - scored.first);
    int_array counts(scored.last - scored.first);
    const run_environment env = environment_of(progress);
    {
        // Workers never touch Python objects: we don't manipulate refcounts.
        py::gil_scoped_release release;
        row_score_block(args.input, scored, args.options, observed.mutable_data(), {nullptr, counts.mutable_data()},
                        env);
    }
    return std::make_tuple(std::move(observed), std::move(counts));
}

std::tuple<int_array, float_array, int_array> call_set_block(
    const float_arg& data, const int_arg& first_rows_arg, const int_arg& second_rows_arg, const int_arg& first_columns,
    const int_arg& second_columns, const std::string& method, const std::string& score, const std::string& alternative,
    std::int64_t pass_first, std::int64_t pass_last, std::int64_t n_jobs, const py::object& progress,
    const std::string& statistics) {
    const int_array& first_rows = checked(first_rows_arg, "first_rows");
    const int_array& second_rows = checked(second_rows_arg, "second_rows");
    const common_args args = check_common(data, first_columns, second_columns, method, alternative, score, pass_first,
                                          pass_last, n_jobs, progress, statistics);
    check_score(score);
    const std::int32_t first_length = length_of(first_rows, "first_rows");
    const std::int32_t second_length = length_of(second_rows, "second_rows");
    const std::int32_t pairs =
        check_pair_rows(first_rows.data(), first_length, second_rows.data(), second_length, false, args.input.nrows);

    const labelled_runs sets = runs_of_labels(first_rows.data(), pairs);
    const auto set_count = static_cast<std::int64_t>(sets.labels.size());
    int_array labels(set_count);
    std::copy(sets.labels.begin(), sets.labels.end(), labels.mutable_data());
    float_array observed(set_count);
    int_array counts(set_count);
    const run_environment env = environment_of(progress);
    {
        // Workers never touch Python objects: we don't manipulate refcounts.
        py::gil_scoped_release release;
        set_block(args.input, first_rows.data(), second_rows.data(), pairs, sets, args.options, observed.mutable_data(),
                  {nullptr, counts.mutable_data()}, env);
    }
    return std::make_tuple(std::move(labels), std::move(observed), std::move(counts));
}

// Modules of listed pairs: the pair lists of equal length as for pairs_block, each
// module's pair positions in module_pairs[module_starts[g] .. module_starts[g + 1]).
std::tuple<float_array, float_array, float_array, int_array> call_module_block(
    const float_arg& data, const int_arg& first_rows_arg, const int_arg& second_rows_arg,
    const int_arg& module_starts_arg, const int_arg& module_pairs_arg, const int_arg& first_columns,
    const int_arg& second_columns, const std::string& method, const std::string& score, const std::string& alternative,
    std::int64_t pass_first, std::int64_t pass_last, std::int64_t n_jobs, const py::object& progress,
    const std::string& statistics) {
    const int_array& first_rows = checked(first_rows_arg, "first_rows");
    const int_array& second_rows = checked(second_rows_arg, "second_rows");
    const int_array& module_starts = checked(module_starts_arg, "module_starts");
    const int_array& module_pairs = checked(module_pairs_arg, "module_pairs");
    const common_args args = check_common(data, first_columns, second_columns, method, alternative, score, pass_first,
                                          pass_last, n_jobs, progress, statistics);
    check_score(score);
    const std::int32_t first_length = length_of(first_rows, "first_rows");
    const std::int32_t second_length = length_of(second_rows, "second_rows");
    if (first_length != second_length)
        throw py::value_error("first_rows and second_rows must list the same pairs, got " +
                              std::to_string(first_length) + " and " + std::to_string(second_length) + " entries");
    const std::int32_t pairs =
        check_pair_rows(first_rows.data(), first_length, second_rows.data(), second_length, true, args.input.nrows);
    for (std::int32_t k = 0; k < pairs; ++k)
        if (first_rows.data()[k] == second_rows.data()[k])
            throw py::value_error("pair " + std::to_string(k) + " joins row " + std::to_string(first_rows.data()[k]) +
                                  " with itself; the pairs of a module join two different rows");
    const std::int32_t modules = check_modules(module_starts.data(), length_of(module_starts, "module_starts"),
                                               length_of(module_pairs, "module_pairs"), module_pairs.data(), pairs);

    float_array observed(modules);
    float_array mean_r1(modules);
    float_array mean_r2(modules);
    int_array counts(modules);
    const module_block_outputs out{
        observed.mutable_data(), mean_r1.mutable_data(), mean_r2.mutable_data(), {nullptr, counts.mutable_data()}};
    const run_environment env = environment_of(progress);
    {
        // Workers never touch Python objects: we don't manipulate refcounts.
        py::gil_scoped_release release;
        module_block(args.input, first_rows.data(), second_rows.data(), pairs, module_starts.data(),
                     module_pairs.data(), modules, args.options, out, env);
    }
    return std::make_tuple(std::move(observed), std::move(mean_r1), std::move(mean_r2), std::move(counts));
}

}  // namespace

namespace corrshift {
// The studentized entry points (robust_module.cpp).
void define_robust_blocks(py::module_& m);
}  // namespace corrshift

CORRSHIFT_MODULE(_blocks, m) {
    corrshift::define_robust_blocks(m);
    binding::def(m, "ztest_block", &call_ztest_block, py::arg("data"), py::arg("first_columns"),
                 py::arg("second_columns"), py::arg("rows_a"), py::arg("rows_b"), py::arg("method"),
                 py::arg("alternative"), py::arg("pass_first"), py::arg("pass_last"), py::arg("n_jobs"), py::kw_only(),
                 py::arg("progress") = py::none(), py::arg("statistics") = "native");
    binding::def(m, "pairs_block", &call_pairs_block, py::arg("data"), py::arg("first_rows"), py::arg("second_rows"),
                 py::arg("first_columns"), py::arg("second_columns"), py::arg("method"), py::arg("alternative"),
                 py::arg("pass_first"), py::arg("pass_last"), py::arg("n_jobs"), py::kw_only(),
                 py::arg("progress") = py::none(), py::arg("statistics") = "native");
    binding::def(m, "ztest_block_kept", &call_ztest_block_kept, py::arg("data"), py::arg("first_columns"),
                 py::arg("second_columns"), py::arg("rows_a"), py::arg("rows_b"), py::arg("method"),
                 py::arg("alternative"), py::arg("n_jobs"), py::kw_only(), py::arg("keep_p"),
                 py::arg("count_p") = std::numeric_limits<double>::infinity(), py::arg("progress") = py::none());
    binding::def(m, "pairs_block_kept", &call_pairs_block_kept, py::arg("data"), py::arg("first_rows"),
                 py::arg("second_rows"), py::arg("first_columns"), py::arg("second_columns"), py::arg("method"),
                 py::arg("alternative"), py::arg("n_jobs"), py::kw_only(), py::arg("keep_p"),
                 py::arg("count_p") = std::numeric_limits<double>::infinity(), py::arg("progress") = py::none());
    binding::def(m, "row_score_block", &call_row_score_block, py::arg("data"), py::arg("first_columns"),
                 py::arg("second_columns"), py::arg("rows"), py::arg("method"), py::arg("score"),
                 py::arg("alternative"), py::arg("pass_first"), py::arg("pass_last"), py::arg("n_jobs"), py::kw_only(),
                 py::arg("progress") = py::none(), py::arg("statistics") = "native");
    binding::def(m, "set_block", &call_set_block, py::arg("data"), py::arg("first_rows"), py::arg("second_rows"),
                 py::arg("first_columns"), py::arg("second_columns"), py::arg("method"), py::arg("score"),
                 py::arg("alternative"), py::arg("pass_first"), py::arg("pass_last"), py::arg("n_jobs"), py::kw_only(),
                 py::arg("progress") = py::none(), py::arg("statistics") = "native");
    binding::def(m, "module_block", &call_module_block, py::arg("data"), py::arg("first_rows"), py::arg("second_rows"),
                 py::arg("module_starts"), py::arg("module_pairs"), py::arg("first_columns"), py::arg("second_columns"),
                 py::arg("method"), py::arg("score"), py::arg("alternative"), py::arg("pass_first"),
                 py::arg("pass_last"), py::arg("n_jobs"), py::kw_only(), py::arg("progress") = py::none(),
                 py::arg("statistics") = "native");
}
