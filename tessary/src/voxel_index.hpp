// The voxel a coordinate falls in along one axis: the floor of the exact
// quotient (p - origin) / edge, as a 64-bit integer, for any finite p and
// origin and any finite edge > 0. A point exactly on a boundary belongs to
// the voxel above it.
//
// The quotient is taken in doubles first (times the rounded reciprocal of
// the edge). Its roundings move it by less than 2^-51 of itself, so where
// it lies farther than that from an integer its floor is the exact one. Otherwise (points on or next to a boundary,
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

// The floor near a boundary, or anywhere for magnitudes the fast path
// does not take, from q, the quotient as the fast path computed it. Kept
// out of line, so that the fast path stays small where it is inlined.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
inline std::optional<std::int64_t> settle(double p, double origin, double edge, double q) {
    const double size = std::fabs(q);
    const bool safe = edge >= 1.0 / kSafeMagnitude && edge <= kSafeMagnitude && std::fabs(p) <= kSafeMagnitude &&
                      std::fabs(origin) <= kSafeMagnitude;
    if (safe && size < 0x1p51) {
        // The quotient is within 3/4 of the exact one: the floor is k - 1,
        // k or k + 1.
        const double k = std::floor(q);
        if (!at_least(p, origin, edge, k)) return static_cast<std::int64_t>(k) - 1;
        if (at_least(p, origin, edge, k + 1.0)) return static_cast<std::int64_t>(k) + 1;
        return static_cast<std::int64_t>(k);
    }
    return search(p, origin, edge);
}

}  // namespace voxel_index_detail

// One axis of a grid: the voxel index of coordinates along it, for an
// origin that is finite and an edge that is finite and > 0.
class VoxelAxis {
public:
    VoxelAxis(double origin, double edge)
        : origin_(origin), edge_(edge), reciprocal_(edge >= 0x1p-1000 && edge <= 0x1p1000 ? 1.0 / edge : 0.0) {}

    // floor((p - origin) / edge) of the exact values, or nullopt when it
    // lies outside the 64-bit integers; p finite.
    std::optional<std::int64_t> index(double p) const {
        double f;
        if (quick(p, f)) return static_cast<std::int64_t>(f);
        // Divided where the reciprocal is no normal number.
        const double difference = p - origin_;
        const double q = reciprocal_ != 0.0 ? difference * reciprocal_ : difference / edge_;
        return voxel_index_detail::settle(p, origin_, edge_, q);
    }

    // The fast path alone, without branches: the floor of the quotient
    // taken in doubles, and whether it is certainly the exact floor. The
    // quotient, times the rounded reciprocal (three roundings), is within
    // 3.001 * 2^-53 of the exact one, relatively; the tolerance is more
    // than that, with a margin for a quotient that underflowed. (Without
    // a reciprocal the quotient is 0, never certain.)
    bool quick(double p, double& floor) const {
        const double q = (p - origin_) * reciprocal_;
        const double size = std::fabs(q);
        floor = std::floor(q);
        const double r = q - floor;  // exact
        const double tolerance = size * 0x1p-51 + 0x1p-1000;
        return (size < 0x1p40) & (r > tolerance) & (1.0 - r > tolerance);
    }

private:
    double origin_;
    double edge_;
    double reciprocal_;  // 0 where 1 / edge would not be a normal number
};

inline std::optional<std::int64_t> voxel_index(double p, double origin, double edge) {
    return VoxelAxis(origin, edge).index(p);
}

}  // namespace tessary
