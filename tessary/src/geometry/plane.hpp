// An infinite plane: the points p with normal·p + distance = 0.
#pragma once

#include <cmath>

#include "../vec3d.hpp"

namespace tessary {

struct Plane {
    Vec3d normal;
    double distance;

    // The plane n̂·p = d for the normalised `normal`; the field holds -d.
    // `d` is taken as a distance along the unit normal, so it is not scaled
    // by the magnitude of the given normal.
    static Plane make(const Vec3d& normal, double d) { return {normal.normalize(), -d}; }

    static Plane from_point(const Vec3d& normal, const Vec3d& point) {
        const Vec3d unit = normal.normalize();
        return {unit, -unit.dot(point)};
    }

    // Right-handed: the normal is (point2 - point1) × (point3 - point1).
    // Collinear points give a zero normal and hence an all-NaN plane.
    static Plane from_points(const Vec3d& point1, const Vec3d& point2, const Vec3d& point3) {
        return from_point(point2.sub(point1).cross(point3.sub(point1)), point1);
    }

    // The coordinate planes through the origin. The offset is -0.0, the
    // negation of a zero distance, as the constructor would store it.
    static constexpr Plane xy() { return {{0.0, 0.0, 1.0}, -0.0}; }
    static constexpr Plane xz() { return {{0.0, 1.0, 0.0}, -0.0}; }
    static constexpr Plane yz() { return {{1.0, 0.0, 0.0}, -0.0}; }

    // Both use the stored normal as it is, without normalising it again.
    constexpr double signed_offset(const Vec3d& point) const { return distance + normal.dot(point); }
    constexpr bool contains_point(const Vec3d& point) const { return within_epsilon(signed_offset(point)); }
    double distance_to_point(const Vec3d& point) const { return std::fabs(signed_offset(point)); }
};

}  // namespace tessary
