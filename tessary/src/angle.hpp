// Plane angles in radians and in degrees. Values are stored and used as
// given: no wrapping, no range checks; IEEE arithmetic throughout.
#pragma once

#include <cmath>
#include <string>

#include "text.hpp"
#include "vec3d.hpp"

namespace tessary {

inline constexpr double kPi = 3.141592653589793;

struct AngleDegrees;

struct AngleRadians {
    double angle;

    // Each constant is the double pi multiplied or divided in double
    // arithmetic, so third_pi and sixth_pi sit one ulp below the double
    // nearest the exact value.
    static constexpr AngleRadians zero() { return {0.0}; }
    static constexpr AngleRadians pi() { return {kPi}; }
    static constexpr AngleRadians two_pi() { return {kPi * 2.0}; }
    static constexpr AngleRadians half_pi() { return {kPi / 2.0}; }
    static constexpr AngleRadians quarter_pi() { return {kPi / 4.0}; }
    static constexpr AngleRadians third_pi() { return {kPi / 3.0}; }
    static constexpr AngleRadians sixth_pi() { return {kPi / 6.0}; }

    // Multiply first, divide second: a precomputed 180/pi rounds differently.
    constexpr AngleDegrees to_degrees() const;

    double sin() const { return std::sin(angle); }
    double cos() const { return std::cos(angle); }
    double tan() const { return std::tan(angle); }
    // One division of the single result (cot is not cos/sin).
    double sec() const { return 1.0 / std::cos(angle); }
    double csc() const { return 1.0 / std::sin(angle); }
    double cot() const { return 1.0 / std::tan(angle); }

    AngleRadians neg() const { return {flip_sign(angle)}; }
    constexpr AngleRadians add(const AngleRadians& other) const { return {angle + other.angle}; }
    constexpr AngleRadians sub(const AngleRadians& other) const { return {angle - other.angle}; }
    constexpr AngleRadians mul(double s) const { return {s * angle}; }
    constexpr AngleRadians div(double s) const { return {angle / s}; }

    std::string text() const { return shortest(angle) + " radians"; }
};

struct AngleDegrees {
    double angle;

    constexpr AngleRadians to_radians() const { return {(angle * kPi) / 180.0}; }
    AngleDegrees neg() const { return {flip_sign(angle)}; }

    std::string text() const { return shortest(angle) + "\u00b0"; }
};

constexpr AngleDegrees AngleRadians::to_degrees() const { return {(angle * 180.0) / kPi}; }

// The angle between two vectors, in [0, pi]. The cosine is clamped to
// [-1, 1] first: rounding can push it just past 1 for parallel vectors
// (for example (1, 1, 1) with itself), where acos would give NaN instead of
// 0. A NaN cosine (a zero vector) stays NaN.
inline AngleRadians angle_to(const Vec3d& v, const Vec3d& other) {
    const double n = v.dot(other);
    const double mv = std::sqrt(v.len2());
    const double mo = std::sqrt(other.len2());
    const double q = n / (mv * mo);
    const double clamped = q > 1.0 ? 1.0 : q < -1.0 ? -1.0 : q;
    return {std::acos(clamped)};
}

}  // namespace tessary
