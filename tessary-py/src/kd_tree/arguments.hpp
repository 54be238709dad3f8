// Arguments of the neighbour searches and of registration, each converted
// and checked in its turn: radii and distances, counts, tolerances.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "../../../tessary/src/kd_tree.hpp"
#include "../binding/convert.hpp"

namespace tessary_py {

// Python's repr of a float, for messages.
inline std::string float_text(double v) {
    char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) throw bind::PythonError{};
    std::string copy(text);
    PyMem_Free(text);
    return copy;
}

// ValueError "argument 'NAME': expected a number EXPECTED, got VALUE".
[[noreturn]] inline void raise_number_out_of_range(std::string_view argument, std::string_view expected, double value) {
    std::string message = "argument '";
    message.append(argument).append("': expected a number ").append(expected).append(", got ");
    message.append(float_text(value));
    bind::raise(PyExc_ValueError, message);
}

// A number of at least 0, not NaN.
inline double non_negative(PyObject* object, std::string_view argument) {
    const double value = bind::Arg<double>::convert(object, argument);
    if (!(value >= 0.0)) raise_number_out_of_range(argument, "of at least 0", value);
    return value;
}

// A radius, or a maximum distance: a number of at least 0, not NaN, held
// as the key that bounds the squared distances within it.
struct Radius {
    std::uint64_t limit;
};

// max_distance=None: any distance, NaN included.
struct MaxDistance {
    std::uint64_t limit;
};

// The largest distance of a correspondence: a number greater than 0 (an
// infinity included), held as the key that bounds the squared distances.
struct ReachDistance {
    std::uint64_t limit;
};

// k: an integer of at least 1.
struct Wanted {
    std::size_t count;
};

}  // namespace tessary_py

template <>
struct bind::Arg<tessary_py::Radius> {
    using Held = tessary_py::Radius;
    static Held convert(PyObject* object, std::string_view name) {
        return {tessary::within_key(tessary_py::non_negative(object, name))};
    }
};

template <>
struct bind::Arg<tessary_py::MaxDistance> {
    using Held = tessary_py::MaxDistance;
    static Held convert(PyObject* object, std::string_view name) {
        if (object == Py_None) return {tessary::kNaNKey};
        return {tessary::within_key(tessary_py::non_negative(object, name))};
    }
};

template <>
struct bind::Arg<tessary_py::ReachDistance> {
    using Held = tessary_py::ReachDistance;
    static Held convert(PyObject* object, std::string_view name) {
        const double value = bind::Arg<double>::convert(object, name);
        if (!(value > 0.0)) tessary_py::raise_number_out_of_range(name, "greater than 0", value);
        return {tessary::within_key(value)};
    }
};

template <>
struct bind::Arg<tessary_py::Wanted> {
    using Held = tessary_py::Wanted;
    static Held convert(PyObject* object, std::string_view name) {
        bind::Ref integer = PyLong_CheckExact(object) ? bind::Ref::borrowed(object) : bind::Ref(PyNumber_Index(object));
        if (!integer) bind::reraise_for_argument(name);
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) bind::reraise_for_argument(name);
        if (overflow > 0 || (overflow == 0 && value > PY_SSIZE_T_MAX)) {
            bind::raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        if (overflow < 0 || value < 1) {
            bind::Ref text = bind::check(PyObject_Str(integer.get()));
            std::string message = "argument '";
            message.append(name).append("': expected an integer of at least 1, got ");
            message.append(PyUnicode_AsUTF8(text.get()));
            bind::raise(PyExc_ValueError, message);
        }
        return {static_cast<std::size_t>(value)};
    }
};
