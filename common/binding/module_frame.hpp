// How the extension modules meet the interpreter and NumPy: their initialisation, the
// checks it makes, and the texts of their signatures. These are written here instead of
// being left to pybind11's defaults, which change between its releases (newer ones write
// tuple[...], typing.SupportsInt and numpy.typing.NDArray[...], and initialise modules
// in two phases).
//
// * Initialisation is single-phase: the module is made by PyModule_Create2, with no
//   docstring, no per-module state and no method table, after two checks. The interpreter
//   must be of the series the file was compiled for ("3.11" passes 3.11.7, never 3.110),
//   and the NumPy that imports must lay out its arrays and descriptors as one that
//   pybind11 reads: NumPy 1.x or 2.x, told apart by the C ABI version NumPy reports.
//   Arrays read with the wrong layout would give wrong results without any error, so a
//   module beside any other NumPy refuses to load.
// * Functions are registered through `def`, which wraps every argument and the result so
//   that each shows its own fixed name: numpy.ndarray[numpy.float32], int, str, Tuple[...].
//   The wrapper converts with the type's own caster, so conversion is unchanged.
#pragma once

#include <Python.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/binding/array_args.hpp"

namespace corrshift::binding {

// --- signature texts -------------------------------------------------------------------

template <class T>
struct python_name;  // a type without a name here cannot be registered

template <>
struct python_name<float_arg> {
    static constexpr auto text = py::detail::const_name("numpy.ndarray[numpy.float32]");
};
template <>
struct python_name<int_arg> {
    static constexpr auto text = py::detail::const_name("numpy.ndarray[numpy.int32]");
};
template <>
struct python_name<float_array> : python_name<float_arg> {};
template <>
struct python_name<int_array> : python_name<int_arg> {};
template <>
struct python_name<py::array_t<double, py::array::c_style>> {
    static constexpr auto text = py::detail::const_name("numpy.ndarray[numpy.float64]");
};
template <>
struct python_name<py::array_t<std::int64_t, py::array::c_style>> {
    static constexpr auto text = py::detail::const_name("numpy.ndarray[numpy.int64]");
};
// An array whose element type depends on the arguments.
template <>
struct python_name<py::array> {
    static constexpr auto text = py::detail::const_name("numpy.ndarray");
};
template <>
struct python_name<std::int32_t> {
    static constexpr auto text = py::detail::const_name("int");
};
template <>
struct python_name<std::int64_t> : python_name<std::int32_t> {};
template <>
struct python_name<double> {
    static constexpr auto text = py::detail::const_name("float");
};
template <>
struct python_name<std::string> {
    static constexpr auto text = py::detail::const_name("str");
};
template <>
struct python_name<py::object> {
    static constexpr auto text = py::detail::const_name("object");
};
template <class... Ts>
struct python_name<std::tuple<Ts...>> {
    static constexpr auto text =
        py::detail::const_name("Tuple[") + py::detail::concat(python_name<Ts>::text...) + py::detail::const_name("]");
};
template <class A, class B>
struct python_name<std::pair<A, B>> : python_name<std::tuple<A, B>> {};

// An argument or result shown under python_name<T>, converted as T is.
template <class T>
struct named {
    T value;
};

// Registers `body` under `name`; `extra` as for pybind11's def (argument names, defaults).
template <class R, class... P, class... Extra>
void def(py::module_& module, const char* name, R (*body)(P...), const Extra&... extra) {
    module.def(
        name, [body](named<std::decay_t<P>>... args) { return named<R>{body(std::move(args.value)...)}; }, extra...);
}

// --- module initialisation -------------------------------------------------------------

// Whether this is an interpreter of the series the file was compiled for; sets the
// ImportError when not.
inline bool interpreter_matches() {
    const char* compiled = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    const std::size_t length = std::strlen(compiled);
    if (std::strncmp(running, compiled, length) == 0 && !(running[length] >= '0' && running[length] <= '9'))
        return true;
    PyErr_Format(PyExc_ImportError,
                 "Python version mismatch: module was compiled for Python %s, but the interpreter version is "
                 "incompatible: %s.",
                 compiled, running);
    return false;
}

// The C ABI versions of NumPy 1.x and 2.x, whose array layouts pybind11 reads.
constexpr unsigned int numpy_1_abi = 0x01000009;
constexpr unsigned int numpy_2_abi = 0x02000000;

// Whether the NumPy that imports has one of those layouts; sets the ImportError when not.
// Throws py::error_already_set when NumPy does not import.
inline bool numpy_matches() {
    const py::module_ numpy = py::module_::import("numpy");
    const std::string version = py::str(numpy.attr("__version__"));
    // NumPy 2 renamed numpy.core to numpy._core (the old name warns).
    const char* core = std::atoi(version.c_str()) >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    const py::object table_capsule = py::module_::import(core).attr("_ARRAY_API");
    void** table = static_cast<void**>(PyCapsule_GetPointer(table_capsule.ptr(), nullptr));
    if (table == nullptr) throw py::error_already_set();
    // Entry 0 of NumPy's C API table is PyArray_GetNDArrayCVersion in every release.
    const unsigned int abi = reinterpret_cast<unsigned int (*)()>(table[0])();
    if (abi == numpy_1_abi || abi == numpy_2_abi) return true;
    PyErr_Format(PyExc_ImportError,
                 "NumPy version mismatch: module was compiled for the array layouts of NumPy 1.x and 2.x (C ABI "
                 "versions 0x%x and 0x%x), but NumPy %s has another (C ABI version 0x%x); install NumPy 1.x or "
                 "2.x (pip install \"numpy<3\") or a corrshift built for this NumPy.",
                 numpy_1_abi, numpy_2_abi, version.c_str(), abi);
    return false;
}

// The body of PyInit_<name>: the checks, the module, then `init` registers its functions.
inline PyObject* init_module(PyModuleDef* definition, void (*init)(py::module_&)) {
    if (!interpreter_matches()) return nullptr;
    PYBIND11_ENSURE_INTERNALS_READY
    try {
        if (!numpy_matches()) return nullptr;
        auto module = py::reinterpret_steal<py::module_>(PyModule_Create2(definition, PYTHON_API_VERSION));
        if (!module) throw py::error_already_set();
        init(module);
        return module.release().ptr();
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr;
}

}  // namespace corrshift::binding

namespace pybind11::detail {

template <class T>
struct type_caster<corrshift::binding::named<T>> {
    PYBIND11_TYPE_CASTER(corrshift::binding::named<T>, corrshift::binding::python_name<T>::text);
    bool load(handle source, bool convert) {
        make_caster<T> inner;
        if (!inner.load(source, convert)) return false;
        value.value = cast_op<T>(std::move(inner));
        return true;
    }
    static handle cast(const corrshift::binding::named<T>& result, return_value_policy policy, handle parent) {
        return make_caster<T>::cast(result.value, policy, parent);
    }
};

}  // namespace pybind11::detail

// Defines PyInit_<name> and opens the function that registers the module's functions on
// `variable`, a py::module_&. `name` may be a macro naming the module.
#define CORRSHIFT_MODULE(name, variable) CORRSHIFT_MODULE_DEFINE(name, variable)
#define CORRSHIFT_MODULE_DEFINE(name, variable)                                                      \
    static void corrshift_register_##name(::pybind11::module_&);                                     \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name();                                            \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                           \
        static PyModuleDef definition = {                                                            \
            PyModuleDef_HEAD_INIT, #name, nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr}; \
        return ::corrshift::binding::init_module(&definition, &corrshift_register_##name);           \
    }                                                                                                \
    void corrshift_register_##name(::pybind11::module_& variable)
