// Euler angles: a rotation as three turns about coordinate axes, in the
// twelve axis sequences and the two readings that scipy's Rotation spells:
//   extrinsic, lower case ("xyz"): about the fixed axes, the first letter's
//     turn applied first;
//   intrinsic, capitals ("XYZ"): about the axes as the turns before have
//     moved them, which is the extrinsic sequence read backwards with its
//     angles backwards ("XYZ" with a, b, c is "zyx" with c, b, a).
// Six sequences use three different axes (Tait-Bryan, "xyz"), six repeat
// the first axis last (proper Euler, "zxz").
#pragma once

#include <array>
#include <cmath>
#include <optional>
#include <string_view>

#include "angle.hpp"
#include "quat.hpp"
#include "vec3d.hpp"

namespace tessary {

struct EulerSequence {
    // The axes (0 x, 1 y, 2 z) in the order their turns are applied: the
    // extrinsic reading. An intrinsic sequence is stored reversed.
    std::array<int, 3> axes;
    // Whether the angles were given in the intrinsic order, the reverse of
    // `axes`.
    bool intrinsic;

    // Three letters, all of "xyz" or all of "XYZ", none the same as the
    // one before it ("xyx" is a sequence, "xxy" is not).
    static constexpr std::optional<EulerSequence> parse(std::string_view text) {
        if (text.size() != 3) return std::nullopt;
        const bool extrinsic = text[0] >= 'x' && text[0] <= 'z';
        const int base = extrinsic ? 'x' : 'X';
        const int a = text[0] - base, b = text[1] - base, c = text[2] - base;
        const bool axes = a >= 0 && a <= 2 && b >= 0 && b <= 2 && c >= 0 && c <= 2;
        if (!axes || a == b || b == c) return std::nullopt;
        if (extrinsic) return EulerSequence{{a, b, c}, false};
        return EulerSequence{{c, b, a}, true};
    }
};

// The unit vector of axis 0, 1 or 2.
inline constexpr Vec3d unit_axis(int axis) { return axis == 0 ? Vec3d::i() : axis == 1 ? Vec3d::j() : Vec3d::k(); }

// The rotation that turns by a, b and c about the sequence's axes, in the
// module's convention: each turn is from_axis_angle's quaternion, and they
// are composed in the order applied, the first two first:
// third * (second * first), each product Quat::mul's.
inline Quat quat_from_euler(const EulerSequence& sequence, const AngleRadians& a, const AngleRadians& b,
                            const AngleRadians& c) {
    const AngleRadians& applied_first = sequence.intrinsic ? c : a;
    const AngleRadians& applied_last = sequence.intrinsic ? a : c;
    const Quat first = Quat::from_axis_angle(unit_axis(sequence.axes[0]), applied_first);
    const Quat second = Quat::from_axis_angle(unit_axis(sequence.axes[1]), b);
    const Quat third = Quat::from_axis_angle(unit_axis(sequence.axes[2]), applied_last);
    return third.mul(second.mul(first));
}

// Within this many radians of its limits the middle angle leaves the two
// outer turns about one line, and only their sum (or difference) is fixed:
// the third angle (in the caller's order) is then 0, as scipy has it.
inline constexpr double GIMBAL_LOCK_WITHIN = 1e-7;

// An angle moved into [-pi, pi] by one turn, as scipy's as_euler does.
inline double wrap_angle(double angle) {
    if (angle < -PI) return angle + 2.0 * PI;
    if (angle > PI) return angle - 2.0 * PI;
    return angle;
}

// The angles (a, b, c) in the caller's order for which quat_from_euler
// gives this rotation, by the direct method of Bernardes and Viollet (2022)
// on the textbook quaternion (w, x, y, z) = (w, -i, -j, -k). The outer
// angles are in [-pi, pi]; the middle one in [0, pi] for proper Euler
// sequences and in [-pi/2, pi/2] for Tait-Bryan ones. The quaternion's
// magnitude does not matter (every step is a ratio of its components).
inline std::array<AngleRadians, 3> quat_to_euler(const Quat& q, const EulerSequence& sequence) {
    const std::array<double, 3> v{flip_sign(q.i), flip_sign(q.j), flip_sign(q.k)};
    const int p = sequence.axes[0];
    const int m = sequence.axes[1];
    const bool proper = p == sequence.axes[2];
    // A Tait-Bryan sequence is first turned into a proper one about the
    // third axis r; the sign is that of the permutation (p, m, r).
    const int r = proper ? 3 - p - m : sequence.axes[2];
    const double sign = (p - m) * (m - r) * (r - p) > 0 ? 1.0 : -1.0;
    double a, b, c, d;
    if (proper) {
        a = q.w;
        b = v[p];
        c = v[m];
        d = v[r] * sign;
    } else {
        a = q.w - v[m];
        b = v[p] + v[r] * sign;
        c = v[m] + q.w;
        d = v[r] * sign - v[p];
    }
    const double middle = 2.0 * std::atan2(std::hypot(c, d), std::hypot(a, b));
    const double half_sum = std::atan2(b, a);
    const double half_diff = std::atan2(d, c);
    const bool near_zero = std::fabs(middle) <= GIMBAL_LOCK_WITHIN;
    const bool near_pi = std::fabs(middle - PI) <= GIMBAL_LOCK_WITHIN;
    // The outer angles in the order applied.
    double first, last;
    if (!near_zero && !near_pi) {
        first = half_sum - half_diff;
        last = half_sum + half_diff;
        if (!proper) last = last * sign;
    } else if (!sequence.intrinsic) {
        first = near_zero ? 2.0 * half_sum : -(2.0 * half_diff);
        last = 0.0;
    } else {
        first = 0.0;
        last = near_zero ? 2.0 * half_sum : 2.0 * half_diff;
        if (!proper) last = last * sign;
    }
    const AngleRadians outer_first{wrap_angle(first)};
    const AngleRadians inner{wrap_angle(proper ? middle : middle - PI / 2.0)};
    const AngleRadians outer_last{wrap_angle(last)};
    if (sequence.intrinsic) return {outer_last, inner, outer_first};
    return {outer_first, inner, outer_last};
}

}  // namespace tessary
