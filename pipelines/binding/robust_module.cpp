// The studentized entry points of the private `_blocks` module (registered by
// blocks_module.cpp): the observed statistic of all pairs of a tile or of listed pairs, and
// the robust passes of listed pairs. Every argument is checked before anything is
// allocated or computed; the calls release the interpreter lock while they compute.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/binding/module_frame.hpp"
#include "common/options.hpp"
#include "pipelines/binding/checks.hpp"
#include "pipelines/binding/module_args.hpp"
#include "pipelines/drivers/robust_blocks.hpp"

namespace py = pybind11;

namespace corrshift {

namespace {

using binding::checked;
using binding::float_arg;
using binding::float_array;
using binding::int_arg;
using binding::int_array;
using binding::length_of;
using binding::shape_of;
using range_arg = std::pair<std::int64_t, std::int64_t>;
using double_array = py::array_t<double, py::array::c_style>;

// Largest `keep` (values kept per pair).
constexpr std::int64_t most_kept = 1 << 16;

struct checked_call {
    pass_input input;
    block_options options;
};

// The checks every studentized entry point makes: data, groups of at least four columns
// each, method and alternative names, jobs.
checked_call check_studentized(const float_arg& data, const int_arg& first_columns_arg,
                               const int_arg& second_columns_arg, const std::string& method,
                               const std::string& alternative, std::int64_t n_jobs) {
    const int_array& first_columns = checked(first_columns_arg, "first_columns");
    const int_array& second_columns = checked(second_columns_arg, "second_columns");
    const matrix_shape shape = shape_of(data.array);
    const std::int32_t first_count = length_of(first_columns, "first_columns");
    const std::int32_t second_count = length_of(second_columns, "second_columns");
    check_method_name(method);
    check_alternative_name(alternative);
    const std::int32_t jobs = check_block_jobs(n_jobs);
    check_indices(first_columns.data(), first_count, shape.ncols, "first_columns", "column");
    check_indices(second_columns.data(), second_count, shape.ncols, "second_columns", "column");
    if (first_count < 4 || second_count < 4)
        throw py::value_error(
            "the studentized statistic needs at least 4 columns in each group (its standard "
            "error has n - 3), got " +
            std::to_string(first_count) + " and " + std::to_string(second_count));
    block_options options = block_options_of(method, alternative, option_mean, 0, 1, jobs);
    options.api = true;
    return {{data.array.data(),
             shape.nrows,
             shape.ncols,
             {first_columns.data(), first_count, second_columns.data(), second_count}},
            options};
}

// Listed pairs: two lists of equal length, rows of data, no pair of a row with itself.
std::int32_t check_listed_pairs(const int_array& first_rows, const int_array& second_rows, std::int32_t nrows) {
    const std::int32_t first_length = length_of(first_rows, "first_rows");
    const std::int32_t second_length = length_of(second_rows, "second_rows");
    if (first_length != second_length)
        throw py::value_error("first_rows and second_rows must list the same pairs, got " +
                              std::to_string(first_length) + " and " + std::to_string(second_length) + " entries");
    check_indices(first_rows.data(), first_length, nrows, "first_rows", "row");
    check_indices(second_rows.data(), second_length, nrows, "second_rows", "row");
    for (std::int32_t k = 0; k < first_length; ++k)
        if (first_rows.data()[k] == second_rows.data()[k])
            throw py::value_error("pair " + std::to_string(k) + " joins row " + std::to_string(first_rows.data()[k]) +
                                  " with itself");
    return first_length;
}

std::tuple<py::array, py::array> call_studentized_block(const float_arg& data, const int_arg& first_columns,
                                                        const int_arg& second_columns, const range_arg& rows_a,
                                                        const range_arg& rows_b, const std::string& method,
                                                        const std::string& alternative, std::int64_t n_jobs) {
    const checked_call call = check_studentized(data, first_columns, second_columns, method, alternative, n_jobs);
    check_row_range(rows_a.first, rows_a.second, call.input.nrows, "rows_a");
    check_row_range(rows_b.first, rows_b.second, call.input.nrows, "rows_b");
    const row_range a{rows_a.first, rows_a.second}, b{rows_b.first, rows_b.second};
    const std::int64_t pairs = ztest_block_pair_count(a, b);
    double_array t(pairs), p(pairs);
    const studentized_outputs out{t.mutable_data(), p.mutable_data()};
    {
        py::gil_scoped_release release;
        studentized_block(call.input, a, b, call.options, out);
    }
    return std::make_tuple(py::array(std::move(t)), py::array(std::move(p)));
}

std::tuple<py::array, py::array> call_studentized_pairs_block(const float_arg& data, const int_arg& first_rows_arg,
                                                              const int_arg& second_rows_arg,
                                                              const int_arg& first_columns,
                                                              const int_arg& second_columns, const std::string& method,
                                                              const std::string& alternative, std::int64_t n_jobs) {
    const int_array& first_rows = checked(first_rows_arg, "first_rows");
    const int_array& second_rows = checked(second_rows_arg, "second_rows");
    const checked_call call = check_studentized(data, first_columns, second_columns, method, alternative, n_jobs);
    const std::int32_t pairs = check_listed_pairs(first_rows, second_rows, call.input.nrows);
    double_array t(pairs), p(pairs);
    const studentized_outputs out{t.mutable_data(), p.mutable_data()};
    {
        py::gil_scoped_release release;
        studentized_pairs_block(call.input, first_rows.data(), second_rows.data(), pairs, call.options, out);
    }
    return std::make_tuple(py::array(std::move(t)), py::array(std::move(p)));
}

// The permutation passes draw both groups, disjoint, from the columns of data.
void check_disjoint_columns(const column_groups& g, std::int32_t ncols) {
    if (std::int64_t{g.first_count} + g.second_count > ncols)
        throw py::value_error("the two column groups hold " + std::to_string(g.first_count) + " + " +
                              std::to_string(g.second_count) + " columns but data has only " + std::to_string(ncols) +
                              "; permutation passes draw both groups from the columns of data");
    std::vector<unsigned char> seen(static_cast<std::size_t>(ncols), 0);
    for (int group = 0; group < 2; ++group) {
        const std::int32_t* columns = group == 0 ? g.first : g.second;
        const std::int32_t count = group == 0 ? g.first_count : g.second_count;
        for (std::int32_t c = 0; c < count; ++c) {
            unsigned char& s = seen[static_cast<std::size_t>(columns[c])];
            if (s)
                throw py::value_error("column " + std::to_string(columns[c]) +
                                      " is listed twice in first_columns and second_columns; the groups of a robust "
                                      "pass must be disjoint lists of distinct columns");
            s = 1;
        }
    }
}

// The caller's state of the pairs at pass_first: (t_obs float64, counts int32, defined int32).
struct state_arrays {
    double_array t_obs;
    int_array counts, defined;
};

template <class Array>
Array state_array(const py::handle item, const char* name, std::int32_t pairs) {
    using value = typename Array::value_type;
    const char* type = std::is_same_v<value, double> ? "float64" : "int32";
    // Exactly the arrays a call returns: a list or another dtype would be converted silently
    // (0.5 to 0, 2^32 to 0), so anything else is refused.
    if (!py::isinstance<py::array>(item) ||
        !py::reinterpret_borrow<py::array>(item).dtype().equal(py::dtype::of<value>()))
        throw py::type_error(std::string("state's ") + name + " must be a one-dimensional NumPy array of " + type +
                             " values, as a call returns it");
    const auto array = py::reinterpret_borrow<py::array>(item);
    if (array.ndim() != 1 || array.shape(0) != pairs)
        throw py::value_error(std::string("state's ") + name + " must hold one value per pair (" +
                              std::to_string(pairs) + ")");
    // A copy: the call returns the new state and leaves the caller's arrays as they were.
    return Array(array.attr("copy")());
}

state_arrays check_state(const py::object& state, std::int64_t pass_first, std::int64_t pass_last, std::int32_t pairs) {
    state_arrays s{double_array(pairs), int_array(pairs), int_array(pairs)};
    if (pass_first == 0) {
        if (!state.is_none())
            throw py::value_error(
                "state must be None when pass_first is 0: the call computes the observed T of "
                "pass 0 and starts the counts");
        return s;
    }
    if (state.is_none() || !(py::isinstance<py::tuple>(state) || py::isinstance<py::list>(state)) ||
        py::len(state) != 3)
        throw py::type_error(
            "state must be the (t_obs, counts, defined) that a call ending at pass_first returned "
            "(None only when pass_first is 0)");
    const py::sequence items = state.cast<py::sequence>();
    s.t_obs = state_array<double_array>(items[0], "t_obs", pairs);
    s.counts = state_array<int_array>(items[1], "counts", pairs);
    s.defined = state_array<int_array>(items[2], "defined", pairs);
    const std::int64_t range = pass_last - pass_first;
    for (std::int32_t k = 0; k < pairs; ++k) {
        const std::int32_t c = s.counts.data()[k], d = s.defined.data()[k];
        if (c < 0 || d < c)
            throw py::value_error("state of pair " + std::to_string(k) + " has counts " + std::to_string(c) +
                                  " and defined " + std::to_string(d) + "; need 0 <= counts <= defined");
        if (d + range > std::numeric_limits<std::int32_t>::max())
            throw py::value_error("state of pair " + std::to_string(k) + " has " + std::to_string(d) +
                                  " defined passes; with the range's passes they would not fit 32 bits");
    }
    return s;
}

std::tuple<std::tuple<py::array, py::array, py::array>, py::array> call_robust_pass_block(
    const float_arg& data, const int_arg& first_rows_arg, const int_arg& second_rows_arg, const int_arg& first_columns,
    const int_arg& second_columns, const std::string& method, const std::string& alternative, std::int64_t pass_first,
    std::int64_t pass_last, const py::object& state, std::int64_t stop_at, std::int64_t keep, std::int64_t n_jobs,
    const py::object& progress) {
    const int_array& first_rows = checked(first_rows_arg, "first_rows");
    const int_array& second_rows = checked(second_rows_arg, "second_rows");
    checked_call call = check_studentized(data, first_columns, second_columns, method, alternative, n_jobs);
    check_pass_range(pass_first, pass_last);
    check_disjoint_columns(call.input.groups, call.input.ncols);
    const std::int32_t pairs = check_listed_pairs(first_rows, second_rows, call.input.nrows);
    if (stop_at < 0 || stop_at > std::numeric_limits<std::int32_t>::max())
        throw py::value_error("stop_at must be 0 (never stop) or a count up to 2147483647, got " +
                              std::to_string(stop_at));
    if (keep < 0 || keep > most_kept)
        throw py::value_error("keep must be from 0 to " + std::to_string(most_kept) + ", got " + std::to_string(keep));
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw py::type_error("progress must be None or a callable taking the number of passes done");
    state_arrays s = check_state(state, pass_first, pass_last, pairs);
    call.options.first_pass = static_cast<std::int32_t>(pass_first);
    call.options.last_pass = static_cast<std::int32_t>(pass_last);

    double_array top(std::vector<py::ssize_t>{pairs, static_cast<py::ssize_t>(keep)});
    const robust_settings settings{pass_first == 0, static_cast<std::int32_t>(stop_at),
                                   static_cast<std::int32_t>(keep)};
    const robust_state out{s.t_obs.mutable_data(), s.counts.mutable_data(), s.defined.mutable_data()};
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
    {
        // Workers never touch Python objects.
        py::gil_scoped_release release;
        robust_pass_block(call.input, first_rows.data(), second_rows.data(), pairs, call.options, settings, out,
                          top.mutable_data(), env);
    }
    return std::make_tuple(
        std::make_tuple(py::array(std::move(s.t_obs)), py::array(std::move(s.counts)), py::array(std::move(s.defined))),
        py::array(std::move(top)));
}

}  // namespace

void define_robust_blocks(py::module_& m) {
    binding::def(m, "studentized_block", &call_studentized_block, py::arg("data"), py::arg("first_columns"),
                 py::arg("second_columns"), py::arg("rows_a"), py::arg("rows_b"), py::arg("method"),
                 py::arg("alternative"), py::arg("n_jobs"));
    binding::def(m, "studentized_pairs_block", &call_studentized_pairs_block, py::arg("data"), py::arg("first_rows"),
                 py::arg("second_rows"), py::arg("first_columns"), py::arg("second_columns"), py::arg("method"),
                 py::arg("alternative"), py::arg("n_jobs"));
    binding::def(m, "robust_pass_block", &call_robust_pass_block, py::arg("data"), py::arg("first_rows"),
                 py::arg("second_rows"), py::arg("first_columns"), py::arg("second_columns"), py::arg("method"),
                 py::arg("alternative"), py::arg("pass_first"), py::arg("pass_last"), py::arg("state"),
                 py::arg("stop_at"), py::arg("keep"), py::arg("n_jobs"), py::kw_only(),
                 py::arg("progress") = py::none());
}

}  // namespace corrshift
