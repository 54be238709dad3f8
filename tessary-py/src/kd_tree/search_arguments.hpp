// The distances of the neighbour searches, each converted and checked in
// its turn and held as the key that bounds the squared distances within it
// (tessary's within_key), so that a search compares keys and takes no
// square root per point.
#pragma once

#include <cstdint>
#include <string_view>

#include "../binding/convert.hpp"
#include "neighbour.hpp"

namespace tessary_py {

// radius: a number of at least 0, not NaN.
struct Radius {
    std::uint64_t key;
};

// max_distance: a number of at least 0, or None for any distance, NaN
// included.
struct MaxDistance {
    std::uint64_t key;
};

}  // namespace tessary_py

template <>
struct bind::Arg<tessary_py::Radius> {
    using Held = tessary_py::Radius;
    static Held convert(PyObject* object, std::string_view name) {
        return {tessary::within_key(bind::Arg<bind::NonNegative>::convert(object, name).value)};
    }
};

template <>
struct bind::Arg<tessary_py::MaxDistance> {
    using Held = tessary_py::MaxDistance;
    static Held convert(PyObject* object, std::string_view name) {
        if (object == Py_None) return {tessary::kNaNKey};
        return {tessary::within_key(bind::Arg<bind::NonNegative>::convert(object, name).value)};
    }
};
