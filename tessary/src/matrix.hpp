// Small square matrices of doubles, as rows.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace tessary {

template <std::size_t N>
using SquareMatrix = std::array<std::array<double, N>, N>;

using Matrix3 = SquareMatrix<3>;
using Matrix4 = SquareMatrix<4>;

// Whether no entry is NaN or infinite.
template <std::size_t N>
bool all_finite(const SquareMatrix<N>& m) {
    for (const auto& row : m) {
        for (double x : row) {
            if (!std::isfinite(x)) return false;
        }
    }
    return true;
}

}  // namespace tessary
