// A circle: the points of the plane through `center` perpendicular to
// `normal` at `radius` from the center.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "../angle.hpp"
#include "../vec3d.hpp"
#include "plane.hpp"

namespace tessary {

// How two stored normals line up, component by component within EPSILON.
// Both flags can hold at once only when every component of both normals is
// smaller than EPSILON.
struct NormalMatch {
    bool equal;
    bool opposite;

    static constexpr NormalMatch of(const Vec3d& a, const Vec3d& b) {
        return {a.approx_eq(b),
                within_epsilon(a.x + b.x) && within_epsilon(a.y + b.y) && within_epsilon(a.z + b.z)};
    }
    constexpr bool any() const { return equal || opposite; }
};

struct Circle {
    Vec3d center;
    double radius;
    Vec3d normal;

    static Circle make(const Vec3d& center, double radius, const Vec3d& normal) {
        return {center, std::fabs(radius), normal.normalize()};
    }

    // No circle at all: degenerate, and unequal to every circle, itself
    // included, through its NaN normal.
    static Circle none() {
        const double nan = std::bit_cast<double>(CANONICAL_NAN_BITS);
        return {Vec3d::zero(), 0.0, {nan, nan, nan}};
    }

    constexpr double area() const { return (radius * radius) * kPi; }

    Plane get_plane() const { return Plane::from_point(normal, center); }

    // Stored normals, not normalised. With equal normals the offsets n·c
    // must agree; with opposite normals one offset is the negation of the
    // other, so their sum must vanish. Normals that match both ways (all
    // components below EPSILON) take the test for equal normals: that
    // comparison is the defined one, and neither orientation is preferred.
    constexpr bool in_same_plane(const Circle& other) const {
        const NormalMatch match = NormalMatch::of(normal, other.normal);
        if (match.equal) return within_epsilon(other.normal.dot(other.center) - normal.dot(center));
        if (match.opposite) return within_epsilon(normal.dot(center) + other.normal.dot(other.center));
        return false;
    }

    // Exact: -0.0 is degenerate, NaN is not.
    constexpr bool is_degenerate() const { return radius == 0.0; }

    // Centers within EPSILON, radii exactly equal, normals equal or opposite.
    constexpr bool approx_eq(const Circle& other) const {
        return center.approx_eq(other.center) && radius == other.radius &&
               NormalMatch::of(normal, other.normal).any();
    }
};

}  // namespace tessary
