// Array arguments of the binding files (the only files that include this header or
// pybind11): NumPy arrays converted as pybind11's typed arrays are, float32 or int32,
// C-contiguous, never cast by force, with two additions. An array whose data is not
// aligned for its element type is copied into fresh, aligned storage, so that the
// kernels only ever read aligned, native-order values (a byte-swapped array is already
// converted to a native-order copy by the typed-array conversion). An int32 argument
// given as a Python sequence whose integers do not fit 32 bits is marked, for the
// function to refuse by name, instead of wrapping silently.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace corrshift::binding {

namespace py = pybind11;

using float_array = py::array_t<float, py::array::c_style>;
using int_array = py::array_t<std::int32_t, py::array::c_style>;

struct float_arg {
    float_array array;
};

struct int_arg {
    int_array array;
    bool out_of_range = false;
};

// The array itself when its data is aligned, else an aligned copy of it.
template <class Array>
Array aligned(Array array) {
    if (array.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) return array;
    std::vector<py::ssize_t> shape(array.shape(), array.shape() + array.ndim());
    Array copy(shape);
    if (array.nbytes() > 0)
        std::memcpy(copy.mutable_data(), static_cast<const py::array&>(array).data(),
                    static_cast<std::size_t>(array.nbytes()));
    return copy;
}

// Whether a sequence argument holds integers that NumPy would wrap into int32.
inline bool beyond_int32(py::handle source) {
    py::object values;
    try {
        values = py::module_::import("numpy").attr("asarray")(source);
    } catch (const py::error_already_set&) {
        return false;  // not array-like: the typed-array conversion rejects it
    }
    const py::array as_array = values.cast<py::array>();
    if (as_array.size() == 0) return false;
    const char kind = as_array.dtype().kind();
    if (kind == 'O') {
        // Integers beyond 64 bits stay Python objects.
        for (const py::handle item : values.attr("ravel")())
            if (!py::isinstance<py::int_>(item)) return false;
        return true;
    }
    if (kind != 'i' && kind != 'u') return false;
    const py::int_ low = values.attr("min")();
    const py::int_ high = values.attr("max")();
    return low < py::int_(std::numeric_limits<std::int32_t>::min()) ||
           high > py::int_(std::numeric_limits<std::int32_t>::max());
}

// Refuses an int32 argument whose integers did not fit (checked first by every function).
inline const int_array& checked(const int_arg& arg, const char* name) {
    if (arg.out_of_range)
        throw py::value_error(std::string(name) +
                              " holds integers outside the 32-bit range [-2147483648, "
                              "2147483647]");
    return arg.array;
}

}  // namespace corrshift::binding

namespace pybind11::detail {

// The typed-array conversion followed by the alignment copy; for int32 arguments, a
// sequence whose integers do not fit is marked instead.
template <class Arg>
struct array_arg_caster {
    using array = decltype(Arg::array);
    PYBIND11_TYPE_CASTER(Arg, handle_type_name<array>::name);
    bool load(handle source, bool convert) {
        if constexpr (std::is_same_v<Arg, corrshift::binding::int_arg>) {
            if (convert && !isinstance<pybind11::array>(source) && corrshift::binding::beyond_int32(source)) {
                value.out_of_range = true;
                return true;
            }
        }
        pyobject_caster<array> typed;
        if (!typed.load(source, convert)) return false;
        value.array = corrshift::binding::aligned(std::move(static_cast<array&>(typed)));
        return true;
    }
    static handle cast(const Arg& arg, return_value_policy, handle) { return arg.array.inc_ref(); }
};

template <>
struct type_caster<corrshift::binding::float_arg> : array_arg_caster<corrshift::binding::float_arg> {};
template <>
struct type_caster<corrshift::binding::int_arg> : array_arg_caster<corrshift::binding::int_arg> {};

}  // namespace pybind11::detail
