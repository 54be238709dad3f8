// Small matrices given as arguments: nested sequences of numbers, or any
// buffer of floating-point numbers.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "python.hpp"

namespace bind {

// Reads `m`, a matrix of `width` columns and one of `heights` rows, into
// `out` row by row (room for the largest height times `width`) and returns
// its number of rows. `m` is any object exporting a buffer of real numbers
// of such a shape (any strides), or a sequence of sequences of
// numbers, read by iteration. Another shape is a TypeError that names the
// accepted ones ("argument 'm': expected an array of shape (3, 3), got
// (2, 3)", or "got a row of length 2" for rows of several lengths), and so
// are an object that is neither and an entry that is not a number, each
// naming `argument`.
std::size_t read_matrix(PyObject* m, std::string_view argument, std::span<const std::size_t> heights,
                        std::size_t width, double* out);

}  // namespace bind
