// Lines against planes, points against circles, circles against circles.
#pragma once

#include <cmath>
#include <optional>
#include <utility>

#include "../vec3d.hpp"
#include "circle.hpp"
#include "plane.hpp"

namespace tessary {

// Where the infinite line through a and b meets the plane. A line parallel
// to the plane (or a == b) divides by zero and gives inf/NaN components.
inline Vec3d plane_line(const Plane& plane, const Vec3d& a, const Vec3d& b) {
    const Vec3d d = b.sub(a);
    const double denom = plane.normal.dot(d);
    const double t = -(plane.normal.dot(a) + plane.distance) / denom;
    return {a.x + d.x * t, a.y + d.y * t, a.z + d.z * t};
}

// On the sphere of the circle's radius (or, with inner, inside it); the
// normal is not read.
inline bool circle_point_unchecked(const Circle& circle, const Vec3d& point, bool inner) {
    const double r = point.distance_to(circle.center);
    if (inner && r < circle.radius) return true;
    return within_epsilon(r - circle.radius);
}

// On the circle (or, with inner, in its closed disc): in the circle's plane,
// measured with the normalised normal, and at the right distance.
inline bool circle_point(const Circle& circle, const Vec3d& point, bool inner) {
    const Vec3d n = circle.normal.normalize();
    if (!within_epsilon(n.dot(point) - n.dot(circle.center))) return false;
    return circle_point_unchecked(circle, point, inner);
}

// The two crossing points of two circles in one plane, or nothing. Touching
// circles give the touching point twice.
inline std::optional<std::pair<Vec3d, Vec3d>> circle_circle(const Circle& circle1, const Circle& circle2) {
    if (circle1.approx_eq(circle2) || !circle1.in_same_plane(circle2)) return std::nullopt;
    const Vec3d& c1 = circle1.center;
    const Vec3d& c2 = circle2.center;
    const double r1 = circle1.radius;
    const double r2 = circle2.radius;
    const double D = c1.distance_to(c2);
    if (D > r1 + r2 || D < std::fabs(r1 - r2)) return std::nullopt;

    const double D2 = D * D;
    const double r1_squared = r1 * r1;
    const double h = (r1_squared - r2 * r2) / (D2 + D2) + 0.5;
    const Vec3d delta = c2.sub(c1);
    const Vec3d m{c1.x + delta.x * h, c1.y + delta.y * h, c1.z + delta.z * h};
    // The tests above leave |r1 - r2| <= D <= r1 + r2, where the radicand is
    // not negative; for touching circles rounding can still push it below
    // zero, which would turn the touching point into NaN. NaN stays NaN.
    double radicand = r1_squared - D2 * (h * h);
    if (radicand < 0.0) radicand = 0.0;
    const double a = std::sqrt(radicand);
    const Vec3d u = delta.cross(circle2.normal).normalize();
    return std::pair{Vec3d{m.x + u.x * a, m.y + u.y * a, m.z + u.z * a},
                     Vec3d{m.x - u.x * a, m.y - u.y * a, m.z - u.z * a}};
}

}  // namespace tessary
