// Numbers in rows, as an imported buffer lays them out: any byte strides
// (negative, unaligned or zero included), float64 or float32. Free of
// Python, so that the bulk loops can read them on the workers.
#pragma once

#include <cstddef>
#include <cstring>

namespace bind {

struct FloatRows {
    enum class Scalar { Double, Float };

    const std::byte* first;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t column_stride;
    std::size_t rows;
    Scalar scalar;

    // Rows of `width` doubles one after the other: a plain copy reads them.
    bool packed_doubles(std::size_t width) const {
        return scalar == Scalar::Double && column_stride == sizeof(double) &&
               row_stride == static_cast<std::ptrdiff_t>(width * sizeof(double));
    }

    // The number at (row, column), widened to double where it is narrower.
    template <class S>
    double read(std::size_t row, std::size_t column) const {
        S value;
        std::memcpy(&value,
                    first + static_cast<std::ptrdiff_t>(row) * row_stride +
                        static_cast<std::ptrdiff_t>(column) * column_stride,
                    sizeof value);
        return static_cast<double>(value);
    }

    double at(std::size_t row, std::size_t column) const {
        return scalar == Scalar::Double ? read<double>(row, column) : read<float>(row, column);
    }
};

}  // namespace bind
