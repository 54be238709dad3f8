// The voxel a coordinate falls in along one axis: the floor of the exact
// quotient (p - origin) / edge, as a 64-bit integer, for any finite p and
// origin and any finite edge > 0. A point exactly on a boundary belongs to
// the voxel above it.
//
// The quotient is taken in doubles first. Its two roundings move it by at
// most 2^-52 of itself, so where it lies farther than that from an integer
// its floor is the exact one. Otherwise (points on or next to a boundary,
// as on a quantised grid) the candidate floor k is checked: the sign of
// p - origin - k * edge, computed exactly with error-free sums and products
// (TwoSum, Dekker's product), says whether the floor is k - 1, k or k + 1.
// Magnitudes where those error terms could overflow or underflow, and
// quotients of 2^51 or more, go to a search over every 64-bit integer with
// exact sums (exact_sum.hpp): slow, and beyond any real cloud.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "exact_sum.hpp"
#include "vec3d.hpp"

namespace tessary {

namespace voxel_index_detail {

// a + b = s + e exactly (TwoSum).
inline void two_sum(double a, double b, double& s, double& e) {
    s = a + b;
    const double b_virtual = s - a;
    const double a_virtual = s - b_virtual;
    e = (a - a_virtual) + (b - b_virtual);
}

// a = high + low, each of at most 26 significant bits (Veltkamp).
inline void split(double a, double& high, double& low) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    high = c - (c - a);
    low = a - high;
}

// a * b = p + e exactly (Dekker), with every product rounded on its own.
inline void two_product(double a, double b, double& p, double& e) {
    p = a * b;
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    const double e1 = p - ah * bh;
    const double e2 = e1 - al * bh;
    const double e3 = e2 - ah * bl;
    e = al * bl - e3;
}

// Whether p - origin - k * edge >= 0 exactly, for k an integer below 2^53
// in size and magnitudes where no error term over- or underflows (see
// kSafeMagnitude). The four exact parts are summed into a non-overlapping
// expansion (Shewchuk's grow-expansion), whose sign is that of its largest
// nonzero part, the last.
inline bool at_least(double p, double origin, double edge, double k) {
    double s, t, h, l;
    two_sum(p, -origin, s, t);   // p - origin = s + t
    two_product(k, edge, h, l);  // k * edge = h + l
    double parts[4];
    double q = -h;
    two_sum(q, t, q, parts[0]);
    two_sum(q, s, q, parts[1]);
    const double middle = q;  // [parts[0], parts[1], middle] holds s + t - h
    q = -l;
    two_sum(q, parts[0], q, parts[0]);
    two_sum(q, parts[1], q, parts[1]);
    two_sum(q, middle, q, parts[2]);
    parts[3] = q;
    for (int i = 3; i >= 0; --i) {
        if (parts[i] != 0.0) return parts[i] > 0.0;
    }
    return true;  // exactly on the boundary
}

// The sign of p - origin - k * edge, exactly, for any finite values and
// any 64-bit k (or k = 2^63 with `beyond`).
inline int exact_sign(double p, double origin, double edge, std::int64_t k, bool beyond = false) {
    ExactSum sum;
    sum.add(p);
    sum.add(flip_sign(origin));
    if (beyond) {
        sum.add_product(-0x1p63, edge);
    } else {
        // k = high + low, high a multiple of 2^11 (at most 53 bits, so an
        // exact double) and 0 <= low < 2^11.
        const std::int64_t low = k & 0x7FF;
        sum.add_product(-static_cast<double>(k - low), edge);
        sum.add_product(-static_cast<double>(low), edge);
    }
    // The exact value is a multiple of 2^-1074, so a nonzero one rounds to
    // a nonzero double of its sign.
    const double r = sum.round();
    return (r > 0.0) - (r < 0.0);
}

// The largest 64-bit k with p - origin - k * edge >= 0, by bisection.
inline std::optional<std::int64_t> search(double p, double origin, double edge) {
    constexpr std::int64_t kLeast = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
    if (exact_sign(p, origin, edge, kLeast) < 0) return std::nullopt;
    if (exact_sign(p, origin, edge, 0, true) >= 0) return std::nullopt;
    if (exact_sign(p, origin, edge, kMost) >= 0) return kMost;
    std::uint64_t low = 0;                                   // offset of kLeast: sign >= 0
    std::uint64_t high = ~std::uint64_t{0};                  // offset of kMost: sign < 0
    auto value = [](std::uint64_t offset) { return static_cast<std::int64_t>(offset ^ (std::uint64_t{1} << 63)); };
    while (high - low > 1) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (exact_sign(p, origin, edge, value(middle)) >= 0) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return value(low);
}

// Magnitudes within which at_least's error terms are exact: edges and
// coordinates of at most 2^900 (no overflow in the splits), edges of at
// least 2^-900 (the products k * edge, k >= 1, stay far above underflow).
inline constexpr double kSafeMagnitude = 0x1p900;

}  // namespace voxel_index_detail

// floor((p - origin) / edge) of the exact values, or nullopt when it lies
// outside the 64-bit integers. p and origin finite, edge finite and > 0.
inline std::optional<std::int64_t> voxel_index(double p, double origin, double edge) {
    namespace d = voxel_index_detail;
    const double q = (p - origin) / edge;
    const double size = std::fabs(q);
    if (size < 0x1p40) {
        const double f = std::floor(q);
        const double r = q - f;  // exact
        // Twice the bound on the two roundings' error, and a margin for a
        // quotient that underflowed.
        const double tolerance = size * 0x1p-51 + 0x1p-1000;
        if (r > tolerance && 1.0 - r > tolerance) return static_cast<std::int64_t>(f);
    }
    const bool safe = edge >= 1.0 / d::kSafeMagnitude && edge <= d::kSafeMagnitude &&
                      std::fabs(p) <= d::kSafeMagnitude && std::fabs(origin) <= d::kSafeMagnitude;
    if (safe && size < 0x1p51) {
        // The quotient is within 1/2 of the exact one: the floor is k - 1,
        // k or k + 1.
        const double k = std::floor(q);
        if (!d::at_least(p, origin, edge, k)) return static_cast<std::int64_t>(k) - 1;
        if (d::at_least(p, origin, edge, k + 1.0)) return static_cast<std::int64_t>(k) + 1;
        return static_cast<std::int64_t>(k);
    }
    return d::search(p, origin, edge);
}

}  // namespace tessary
