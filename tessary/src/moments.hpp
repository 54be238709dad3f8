// The exact first and second moments of a set of points (their count, the
// sums of x, y, z and of the six products xx, xy, xz, yy, yz, zz), and
// what they give rounded once: the centroid and the covariance about the
// exact mean. How the sums are taken fast: moment_blocks.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "exact_sum.hpp"
#include "exact_value.hpp"
#include "matrix.hpp"
#include "vec3d.hpp"

namespace tessary {

// The exact first and second moments of n points: the sums of x, y, z and
// of the six products xx, xy, xz, yy, yz, zz. Merging two is exact.
struct Moments {
    std::uint64_t count = 0;
    std::array<ExactSum, 3> sums{};
    std::array<ExactSum, 6> products{};

    static constexpr std::size_t product_index(std::size_t j, std::size_t k) {
        // (0,0) (0,1) (0,2) (1,1) (1,2) (2,2)
        return j <= k ? (j == 0 ? k : j == 1 ? 2 + k : 5) : product_index(k, j);
    }

    // Adds one point; its products only when `with_products`.
    void add(const Vec3d& p, bool with_products = true) {
        const std::array<double, 3> c = p.to_array();
        for (std::size_t j = 0; j < 3; ++j) sums[j].add(c[j]);
        ++count;
        if (!with_products) return;
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t k = j; k < 3; ++k) products[product_index(j, k)].add_product(c[j], c[k]);
        }
    }

    void merge(const Moments& other) {
        count += other.count;
        for (std::size_t j = 0; j < 3; ++j) sums[j].merge(other.sums[j]);
        for (std::size_t j = 0; j < 6; ++j) products[j].merge(other.products[j]);
    }

    Moments operator+(const Moments& other) const {
        Moments out = *this;
        out.merge(other);
        return out;
    }
};

// Each component's exact sum rounded once to a double, then divided by n:
// within one rounding of the exact mean. NaN components for n = 0.
inline Vec3d centroid_of(const std::array<ExactSum, 3>& sums, std::uint64_t n) {
    const double count = static_cast<double>(n);
    return {sums[0].round() / count, sums[1].round() / count, sums[2].round() / count};
}

// The covariance about the exact mean, each entry the exact value
// (n * sum(xy) - sum(x) * sum(y)) / (n * (n - ddof)) rounded once to the
// nearest double: the population covariance for ddof 0, the sample one for
// ddof 1. NaN where n <= ddof, and where a column holds a NaN or an
// infinity.
inline Matrix3 covariance_of(const Moments& m, std::uint64_t ddof) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    Matrix3 out{};
    const std::uint64_t n = m.count;
    std::array<ExactValue, 3> sums;
    for (std::size_t j = 0; j < 3; ++j) sums[j] = m.sums[j].value();
    for (std::size_t j = 0; j < 3; ++j) {
        for (std::size_t k = j; k < 3; ++k) {
            double entry;
            if (n <= ddof || m.sums[j].has_special() || m.sums[k].has_special()) {
                entry = nan;
            } else {
                const ExactValue scaled = m.products[Moments::product_index(j, k)].value().times(n);
                entry = scaled.minus(sums[j].times(sums[k])).divided_rounded(n, n - ddof);
            }
            out[j][k] = entry;
            out[k][j] = entry;
        }
    }
    return out;
}

}  // namespace tessary
