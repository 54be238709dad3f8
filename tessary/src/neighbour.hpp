// Points ranked by their squared distance to a query: the key a squared
// distance ranks by, the answer (index, key), and the order of answers.
// The k-d tree, the nearest-point scans of VecList and registration all
// rank by these.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "vec3d.hpp"

namespace tessary {

// The ranked key of a squared distance: its bits read as an unsigned
// integer, every NaN replaced by the positive quiet NaN. A squared distance
// is +0 or more unless it is NaN, so keys order as the numbers do, +inf last
// among them, and then the one NaN, whatever sign and payload arithmetic
// gave it (which operand's NaN survives a sum depends on the order the
// compiler chose for it, so the key must not).
inline constexpr std::uint64_t kInfinityKey = 0x7FF0000000000000;
inline constexpr std::uint64_t kNaNKey = CANONICAL_NAN_BITS;
// The key of the largest finite squared distance.
inline constexpr std::uint64_t kLargestFiniteKey = kInfinityKey - 1;

inline std::uint64_t distance_key(double squared) {
    const std::uint64_t magnitude = std::bit_cast<std::uint64_t>(squared) & ~(std::uint64_t{1} << 63);
    return magnitude > kInfinityKey ? kNaNKey : magnitude;
}

// The key of the largest squared distance whose square root is at most
// `radius` (radius >= 0, not NaN): a point is within `radius` of a query,
// sqrt(d2) <= radius, exactly when its key is at most this one, so radius
// tests compare squared distances and take no square root per point. The
// square rounds to within an ulp or two of the boundary, and the square
// root is monotonic, so a few steps to neighbouring doubles find it.
inline std::uint64_t within_key(double radius) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (radius == inf) return kInfinityKey;
    double limit = radius * radius;
    while (std::sqrt(limit) > radius) limit = std::nextafter(limit, 0.0);
    for (double up = std::nextafter(limit, inf); std::sqrt(up) <= radius; up = std::nextafter(limit, inf)) {
        limit = up;
    }
    return distance_key(limit);
}

// One answer: the point's index in the list searched and the key of its
// squared distance.
struct Neighbour {
    std::size_t index;
    std::uint64_t key;
    double squared() const { return std::bit_cast<double>(key); }
    // Correctly rounded, so it is Vec3d::distance_to of the pair.
    double distance() const { return std::sqrt(squared()); }
};

// The order of answers: by key, then by index, so that equal distances go
// to the lower index however the work was divided.
inline bool precedes(std::uint64_t key, std::size_t index, const Neighbour& other) {
    return key < other.key || (key == other.key && index < other.index);
}

inline bool precedes(const Neighbour& a, const Neighbour& b) { return precedes(a.key, a.index, b); }

// The answer for point `index` of `points`.
inline Neighbour ranked(const Vec3d& point, std::size_t index, const Vec3d& query) {
    return {index, distance_key(point.distance_squared(query))};
}

}  // namespace tessary
