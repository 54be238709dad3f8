// Quaternion (w, i, j, k) and the module's rotation convention:
//   from_axis_angle(a, t) = (cos(t/2), -sin(t/2) a), the conjugate of the
//   textbook rotation quaternion, and rotate(v) = conj(q) * v * q, so the
//   pair turns v by +t about a (right-hand rule). to_axis_angle and
//   to_rotation_matrix use the textbook formulas, so they report the axis
//   -a and the transpose of the map that rotate applies.
// Nothing is normalised or checked, except where a result is defined as a
// unit quaternion (slerp's linear fallback, from_rotation_matrix).
#pragma once

#include <array>
#include <cmath>
#include <tuple>
#include <utility>

#include "angle.hpp"
#include "matrix.hpp"
#include "vec3d.hpp"

namespace tessary {

struct Quat {
    // slerp interpolates linearly (and normalises) above this |dot|: below
    // an angle of about 2.2e-5 the chord and the arc agree to within 2e-16
    // for t in [0, 1], while the sines it would divide by lose digits.
    static constexpr double kSlerpLinearAbove = 1.0 - 0x1p-32;

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

    // The rotation whose matrix (to_rotation_matrix's convention) is `m`,
    // by Shepperd's rule: the formula built around the largest of the
    // trace and the three diagonal terms (the first on ties), whose square
    // root is far from zero. The four-vector it gives is 4q times that
    // component of q, so normalising it gives q; for a matrix that is not
    // a rotation it still gives a unit quaternion. The component chosen
    // comes out positive, so the result is q or -q.
    static Quat from_rotation_matrix(const Matrix3& m) {
        const double trace = (m[0][0] + m[1][1]) + m[2][2];
        Quat scaled;
        if (trace >= m[0][0] && trace >= m[1][1] && trace >= m[2][2]) {
            scaled = {1.0 + trace, m[2][1] - m[1][2], m[0][2] - m[2][0], m[1][0] - m[0][1]};
        } else if (m[0][0] >= m[1][1] && m[0][0] >= m[2][2]) {
            scaled = {m[2][1] - m[1][2], ((1.0 + m[0][0]) - m[1][1]) - m[2][2], m[0][1] + m[1][0], m[0][2] + m[2][0]};
        } else if (m[1][1] >= m[2][2]) {
            scaled = {m[0][2] - m[2][0], m[0][1] + m[1][0], ((1.0 + m[1][1]) - m[0][0]) - m[2][2], m[1][2] + m[2][1]};
        } else {
            scaled = {m[1][0] - m[0][1], m[0][2] + m[2][0], m[1][2] + m[2][1], ((1.0 + m[2][2]) - m[0][0]) - m[1][1]};
        }
        return scaled.normalize();
    }

    // The rotation that applies `first`, then this one: with rotate's
    // conj(q) v q, that is the Hamilton product first (x) this, in the
    // textbook order reversed because the stored quaternion is the
    // textbook one's conjugate. Each line left to right.
    Quat mul(const Quat& first) const {
        const Quat& p = first;
        const Quat& q = *this;
        return {((p.w * q.w - p.i * q.i) - p.j * q.j) - p.k * q.k,
                ((p.w * q.i + p.i * q.w) + p.j * q.k) - p.k * q.j,
                ((p.w * q.j - p.i * q.k) + p.j * q.w) + p.k * q.i,
                ((p.w * q.k + p.i * q.j) - p.j * q.i) + p.k * q.w};
    }

    double dot(const Quat& other) const { return ((w * other.w + i * other.i) + j * other.j) + k * other.k; }

    // conj(q) / |q|^2; the zero quaternion gives NaN components.
    Quat inverse() const {
        const double n = dot(*this);
        return {w / n, flip_sign(i) / n, flip_sign(j) / n, flip_sign(k) / n};
    }

    Quat neg() const { return {flip_sign(w), flip_sign(i), flip_sign(j), flip_sign(k)}; }

    // Spherical linear interpolation from this (t = 0) to `other` (t = 1)
    // along the shorter arc: `other` is negated when the dot product is
    // negative (the same rotation). The end points are returned exactly:
    // this one at t = 0, and at t = 1 the end of the arc taken, `other` or
    // its negation. Any t extrapolates along the same great circle.
    Quat slerp(const Quat& other, double t) const {
        double d = dot(other);
        const Quat end = d < 0.0 ? other.neg() : other;
        if (d < 0.0) d = flip_sign(d);
        if (t == 0.0) return *this;
        if (t == 1.0) return end;
        if (d > kSlerpLinearAbove) {
            return Quat{w + t * (end.w - w), i + t * (end.i - i), j + t * (end.j - j), k + t * (end.k - k)}
                .normalize();
        }
        const double theta = std::acos(d);
        const double s = std::sin(theta);
        const double from = std::sin((1.0 - t) * theta) / s;
        const double to = std::sin(t * theta) / s;
        return {from * w + to * end.w, from * i + to * end.i, from * j + to * end.j, from * k + to * end.k};
    }

    Quat conjugate() const { return {w, flip_sign(i), flip_sign(j), flip_sign(k)}; }

    double magnitude() const { return std::sqrt(((w * w + i * i) + j * j) + k * k); }

    Quat normalize() const {
        const double m = magnitude();
        return {w / m, i / m, j / m, k / m};
    }

    bool is_unit() const { return within_epsilon(magnitude() - 1.0); }

    // Components whose largest magnitude is 2^e with |e| > this are
    // rescaled before a result that depends only on the direction: their
    // squares would overflow or lose their digits to underflow.
    static constexpr int kModerateExponent = 400;

    // The same direction with the largest component's exponent in
    // [-kModerateExponent, kModerateExponent]: the components times a
    // power of two (exact but for parts far below the largest, which
    // underflow), unchanged when already there. Zero, NaN and infinite
    // components are returned unchanged.
    Quat moderately_scaled() const {
        const double largest = std::fmax(std::fmax(std::fabs(w), std::fabs(i)), std::fmax(std::fabs(j), std::fabs(k)));
        if (!(largest > 0.0) || !std::isfinite(largest)) return *this;
        const int e = std::ilogb(largest);
        if (e >= -kModerateExponent && e <= kModerateExponent) return *this;
        return {std::ldexp(w, -e), std::ldexp(i, -e), std::ldexp(j, -e), std::ldexp(k, -e)};
    }

    // The unit quaternion of the direction at any finite non-zero
    // magnitude: normalize after moderately_scaled, so that the same bits
    // as normalize where its squares neither overflow nor underflow.
    Quat direction() const { return moderately_scaled().normalize(); }

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

    // The rotation by |v| radians about v's direction (right-hand rule),
    // as rotate applies it: (cos(|v|/2), -(sin(|v|/2) / |v|) v), the form
    // from_axis_angle gives for the axis v / |v|. The ratio needs no
    // series near 0: h = |v| * 0.5 is exact and sin(h) and the division
    // are each correctly rounded, so nothing cancels; only |v| = 0 (or a
    // square that underflows to 0) takes the limit 1/2 in place of 0/0.
    static Quat from_rotation_vector(const Vec3d& v) {
        const double theta = v.magnitude();
        const double h = theta * 0.5;
        const double sine = std::sin(h);
        const double c = std::cos(h);
        const double minus_s = flip_sign(theta == 0.0 ? 0.5 : sine / theta);
        return {c, minus_s * v.x, minus_s * v.y, minus_s * v.z};
    }

    // The rotation vector of the rotation that rotate applies: its angle,
    // in [0, pi], times its unit axis; a non-unit quaternion gives the
    // vector of its direction (the scaling is dropped). In the textbook
    // form (w, x, y, z) = (w, -i, -j, -k), made canonical as scipy makes it
    // (w > 0, or w == 0 and the first non-zero of x, y, z positive), the
    // angle is 2 atan2(n, w) with n = |(x, y, z)|, and the vector is
    // (x, y, z) * (angle / n). That ratio keeps its digits as n goes to 0
    // (atan2(n, w) is n / w to within rounding, whatever the digits n
    // lost to underflow), so only n = 0 takes the limit 2 / w in place of
    // 0 / 0. Extreme magnitudes are brought to a moderate one first
    // (moderately_scaled), which changes no direction.
    Vec3d to_rotation_vector() const {
        const Quat q = moderately_scaled();
        const double x = flip_sign(q.i), y = flip_sign(q.j), z = flip_sign(q.k);
        const bool negate =
            q.w < 0.0 || (q.w == 0.0 && (x < 0.0 || (x == 0.0 && (y < 0.0 || (y == 0.0 && z < 0.0)))));
        const Vec3d axis = negate ? Vec3d{q.i, q.j, q.k} : Vec3d{x, y, z};
        const double scalar = negate ? flip_sign(q.w) : q.w;
        const double n = axis.magnitude();
        const double angle = 2.0 * std::atan2(n, scalar);
        const double scale = n == 0.0 ? 2.0 / scalar : angle / n;
        return axis.mul(scale);
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
    Matrix3 to_rotation_matrix() const {
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
