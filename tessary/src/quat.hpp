// Quaternion (w, i, j, k) and the module's rotation convention:
//   from_axis_angle(a, t) = (cos(t/2), -sin(t/2) a), the conjugate of the
//   textbook rotation quaternion, and rotate(v) = conj(q) * v * q, so the
//   pair turns v by +t about a (right-hand rule). to_axis_angle and
//   to_rotation_matrix use the textbook formulas, so they report the axis
//   -a and the transpose of the map that rotate applies.
// Nothing is normalised or checked.
#pragma once

#include <array>
#include <cmath>
#include <tuple>
#include <utility>

#include "angle.hpp"
#include "vec3d.hpp"

namespace tessary {

struct Quat {
    double w;
    double i;
    double j;
    double k;

    static constexpr Quat identity() { return {1.0, 0.0, 0.0, 0.0}; }

    static Quat from_axis_angle(const Vec3d& axis, const AngleRadians& angle) {
        const double h = angle.angle * -0.5;
        const double s = std::sin(h);
        const double c = std::cos(h);
        return {c, s * axis.x, s * axis.y, s * axis.z};
    }

    Quat conjugate() const { return {w, flip_sign(i), flip_sign(j), flip_sign(k)}; }

    double magnitude() const { return std::sqrt(((w * w + i * i) + j * j) + k * k); }

    Quat normalize() const {
        const double m = magnitude();
        return {w / m, i / m, j / m, k / m};
    }

    bool is_unit() const { return within_epsilon(magnitude() - 1.0); }

    // The vector part of (conj(q) * (0, v)) * q. The products with the pure
    // quaternion's 0.0 scalar are kept: they turn inf/NaN in q into NaN.
    Vec3d rotate(const Vec3d& v) const {
        const double x = v.x, y = v.y, z = v.z;
        const double m0 = ((x * i + w * 0.0) + y * j) + z * k;
        const double m1 = ((x * w - i * 0.0) - z * j) + y * k;
        const double m2 = ((y * w - j * 0.0) - x * k) + z * i;
        const double m3 = ((z * w - k * 0.0) - y * i) + x * j;
        return {((i * m0 + w * m1) + k * m2) - j * m3,
                ((w * m2 + j * m0) + i * m3) - k * m1,
                ((w * m3 + k * m0) + j * m1) - i * m2};
    }

    std::pair<Vec3d, AngleRadians> to_axis_angle() const {
        if (within_epsilon(w - 1.0)) return {Vec3d::i(), AngleRadians{0.0}};
        const double alpha = std::acos(w);
        const double theta = alpha + alpha;
        const double s = std::sin(theta * 0.5);
        return {Vec3d{i / s, j / s, k / s}, AngleRadians{theta}};
    }

    // Rows of the textbook rotation matrix; 2*(...) is the bracket added to
    // itself, and the diagonal keeps the 1 - 2*(...) form.
    std::array<std::array<double, 3>, 3> to_rotation_matrix() const {
        auto twice = [](double bracket) { return bracket + bracket; };
        return {{
            {1.0 - twice(j * j + k * k), twice(i * j - w * k), twice(i * k + w * j)},
            {twice(i * j + w * k), 1.0 - twice(i * i + k * k), twice(j * k - w * i)},
            {twice(i * k - w * j), twice(j * k + w * i), 1.0 - twice(i * i + j * j)},
        }};
    }

    std::tuple<double, double, double> to_vec3d() const { return {i, j, k}; }

    bool approx_eq(const Quat& other) const {
        return within_epsilon(w - other.w) && within_epsilon(i - other.i) && within_epsilon(j - other.j) &&
               within_epsilon(k - other.k);
    }
};

// The pure quaternion (0, v).
inline constexpr Quat to_quat(const Vec3d& v) { return {0.0, v.x, v.y, v.z}; }

}  // namespace tessary
