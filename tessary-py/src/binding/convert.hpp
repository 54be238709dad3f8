// Conversions between Python objects and native values: one `Arg` per
// declared parameter type, one `to_python` for every result type.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "buffer.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "python.hpp"
#include "ref.hpp"

namespace bind {

// A non-negative index or count argument.
struct Index {
    std::size_t value;
};

// Declared parameter types. Each Arg<P> has
//   Held convert(PyObject*, name)  -- throws, naming the argument;
//   std::optional<Held> attempt(PyObject*)  -- for operator operands, which
//                                    discard conversion errors;
// and the Held value is handed to the native function through `unwrap`.
template <class P>
struct Arg;

template <>
struct Arg<double> {
    using Held = double;
    static double convert(PyObject* object, std::string_view name) {
        if (PyFloat_CheckExact(object)) [[likely]] return PyFloat_AS_DOUBLE(object);
        const double value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) reraise_for_argument(name);
        return value;
    }
    static std::optional<double> attempt(PyObject* object) {
        if (PyFloat_CheckExact(object)) [[likely]] return PyFloat_AS_DOUBLE(object);
        const double value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
        return value;
    }
};

template <>
struct Arg<Index> {
    using Held = Index;
    static Index convert(PyObject* object, std::string_view name) {
        Ref integer = PyLong_CheckExact(object) ? Ref::borrowed(object) : Ref(PyNumber_Index(object));
        if (!integer) reraise_for_argument(name);
        const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) reraise_for_argument(name);
        if constexpr (sizeof(std::size_t) < sizeof(value)) {
            if (value > SIZE_MAX) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        return Index{static_cast<std::size_t>(value)};
    }
};

// A count of at least 1 (k, an iteration count); larger than any index
// can be: OverflowError.
struct PositiveCount {
    std::size_t value;
};

template <>
struct Arg<PositiveCount> {
    using Held = PositiveCount;
    static PositiveCount convert(PyObject* object, std::string_view name) {
        Ref integer = PyLong_CheckExact(object) ? Ref::borrowed(object) : Ref(PyNumber_Index(object));
        if (!integer) reraise_for_argument(name);
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) reraise_for_argument(name);
        if (overflow > 0 || (overflow == 0 && value > PY_SSIZE_T_MAX)) {
            raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        if (overflow < 0 || value < 1) raise_integer_out_of_range(name, "of at least 1", integer.get());
        return {static_cast<std::size_t>(value)};
    }
};

// A number of at least 0, not NaN (an infinity included).
struct NonNegative {
    double value;
};

template <>
struct Arg<NonNegative> {
    using Held = NonNegative;
    static NonNegative convert(PyObject* object, std::string_view name) {
        const double value = Arg<double>::convert(object, name);
        if (!(value >= 0.0)) raise_number_out_of_range(name, "of at least 0", value);
        return {value};
    }
};

// A length or distance: greater than 0 and finite.
struct PositiveFinite {
    double value;
};

template <>
struct Arg<PositiveFinite> {
    using Held = PositiveFinite;
    static PositiveFinite convert(PyObject* object, std::string_view name) {
        const double value = Arg<double>::convert(object, name);
        if (!(value > 0.0 && value < std::numeric_limits<double>::infinity())) {
            raise_number_out_of_range(name, "greater than 0 and finite", value);
        }
        return {value};
    }
};

// A confidence: greater than 0 and less than 1.
struct OpenFraction {
    double value;
};

template <>
struct Arg<OpenFraction> {
    using Held = OpenFraction;
    static OpenFraction convert(PyObject* object, std::string_view name) {
        const double value = Arg<double>::convert(object, name);
        if (!(value > 0.0 && value < 1.0)) raise_number_out_of_range(name, "greater than 0 and less than 1", value);
        return {value};
    }
};

// The seed of a counter-based generator: an integer from 0 to 2**64 - 1,
// None for 0.
struct Seed {
    std::uint64_t value;
};

template <>
struct Arg<Seed> {
    using Held = Seed;
    static Seed convert(PyObject* object, std::string_view name);
};

// The module's one boolean parameter kind: a real bool, or NumPy's boolean
// scalar. Integers are refused so that a stray 0/1 is not taken for a flag.
template <>
struct Arg<bool> {
    using Held = bool;
    static bool convert(PyObject* object, std::string_view name);
};

// Anything; the native function does its own conversion.
template <>
struct Arg<PyObject*> {
    using Held = PyObject*;
    static PyObject* convert(PyObject* object, std::string_view) { return object; }
};

// A buffer for results (buffer.hpp); None when not given.
template <class Item>
struct Arg<Output<Item>> {
    using Held = Output<Item>;
    static Output<Item> convert(PyObject* object, std::string_view name) { return {object, name}; }
};

// Classes whose values are too large to copy for every call declare
// `static constexpr bool shared_argument = true;` and are read in place under
// a shared access that lasts for the call.
template <class T>
concept SharedArgument = Exposed<T> && requires { Class<T>::shared_argument; };

template <Exposed T>
struct Arg<T> {
    using Held = std::conditional_t<SharedArgument<T>, Shared<T>, T>;
    static Held convert(PyObject* object, std::string_view name) {
        if (!is_instance<T>(object)) raise_wrong_class(name, object, class_name<T>);
        if constexpr (SharedArgument<T>) {
            return Shared<T>(object);
        } else {
            return read<T>(object);
        }
    }
    // Under a shared access for the call even where a copy would do: see
    // `held_for_call` in members.hpp.
    static Shared<T> hold(PyObject* object, std::string_view name) {
        if (!is_instance<T>(object)) raise_wrong_class(name, object, class_name<T>);
        return Shared<T>(object);
    }
    static std::optional<T> attempt(PyObject* object) requires(!SharedArgument<T>) {
        if (!is_instance<T>(object) || instance<T>(object)->access.held_exclusively()) return std::nullopt;
        return instance<T>(object)->value;
    }
};

// An optional argument of one of the module's classes, `name=None` in the
// text signature: None (or the argument left out) gives nullopt.
template <Exposed T>
    requires(!SharedArgument<T>)
struct Arg<std::optional<T>> {
    using Held = std::optional<T>;
    static std::optional<T> convert(PyObject* object, std::string_view name) {
        if (object == Py_None) return std::nullopt;
        return Arg<T>::convert(object, name);
    }
};

// Parameters may be declared by value or by const reference alike.
template <class P>
using ArgOf = Arg<std::remove_cvref_t<P>>;

template <class Held>
decltype(auto) unwrap(Held& held) {
    if constexpr (requires { held.get(); }) {
        return held.get();
    } else {
        return (held);
    }
}

// Result conversion: a new reference, or PythonError.
template <class R>
PyObject* to_python(R&& result);

namespace detail {

template <class Container>
PyObject* to_list(Container&& items) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    Py_ssize_t index = 0;
    for (auto&& item : items) {
        using Item = typename std::remove_cvref_t<Container>::value_type;
        PyList_SET_ITEM(list.get(), index++, to_python(static_cast<Item>(item)));
    }
    return list.release();
}

template <class Tuple>
PyObject* to_tuple(Tuple&& items) {
    constexpr std::size_t size = std::tuple_size_v<std::remove_cvref_t<Tuple>>;
    Ref tuple = check(PyTuple_New(size));
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (PyTuple_SET_ITEM(tuple.get(), I, to_python(std::get<I>(std::forward<Tuple>(items)))), ...);
    }(std::make_index_sequence<size>{});
    return tuple.release();
}

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};

template <class T>
struct IsArray : std::false_type {};
template <class T, std::size_t N>
struct IsArray<std::array<T, N>> : std::true_type {};

template <class T>
concept TupleLike = requires { std::tuple_size<T>::value; } && !IsArray<T>::value;

}  // namespace detail

template <class R>
PyObject* to_python(R&& result) {
    using T = std::remove_cvref_t<R>;
    if constexpr (std::is_same_v<T, bool>) {
        return Py_NewRef(result ? Py_True : Py_False);
    } else if constexpr (std::is_same_v<T, double>) {
        return check(PyFloat_FromDouble(result)).release();
    } else if constexpr (std::is_same_v<T, std::size_t>) {
        return check(PyLong_FromSize_t(result)).release();
    } else if constexpr (std::is_same_v<T, std::string>) {
        return check(PyUnicode_FromStringAndSize(result.data(), static_cast<Py_ssize_t>(result.size())))
            .release();
    } else if constexpr (std::is_same_v<T, Ref>) {
        // A result the native function built as a Python object itself.
        return result.release();
    } else if constexpr (Exposed<T>) {
        return new_instance<T>(std::forward<R>(result));
    } else if constexpr (detail::IsOptional<T>::value) {
        return result ? to_python(*std::forward<R>(result)) : Py_NewRef(Py_None);
    } else if constexpr (detail::IsVector<T>::value || detail::IsArray<T>::value) {
        return detail::to_list(std::forward<R>(result));
    } else if constexpr (detail::TupleLike<T>) {
        return detail::to_tuple(std::forward<R>(result));
    } else {
        static_assert(sizeof(T) == 0, "no Python form for this result type");
    }
}

}  // namespace bind
