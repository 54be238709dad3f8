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
#include <utility>

#include "angle.hpp"
#include "quat.hpp"

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

// The sign of the permutation (p, q, r) of (0, 1, 2): +1.0 or -1.0.
inline constexpr double permutation_sign(int p, int q, int r) { return (p - q) * (q - r) * (r - p) > 0 ? 1.0 : -1.0; }

// third * (second * first), as Quat::mul composes, for turns (c[n], s[n]
// e_axis) about axes P, Q (not P) and D (not Q), in the order applied. The
// products with the turns' zero components are left out: each component
// keeps the one or two products that are not zero, so every value is the
// whole products' (a zero result may differ in sign).
template <int P, int Q, int D>
Quat compose_turns(const std::array<double, 3>& s, const std::array<double, 3>& c) {
    constexpr int R = 3 - P - Q;
    // second * first.
    const double w = c[0] * c[1];
    std::array<double, 3> v{};
    v[P] = s[0] * c[1];
    v[Q] = c[0] * s[1];
    v[R] = permutation_sign(P, Q, R) * (s[0] * s[1]);
    // third * (second * first).
    auto component = [&]<int M>() {
        if constexpr (M == D) {
            return w * s[2] + v[M] * c[2];
        } else {
            constexpr int N = 3 - M - D;
            return v[M] * c[2] + permutation_sign(M, N, D) * (v[N] * s[2]);
        }
    };
    return {w * c[2] - v[D] * s[2], component.template operator()<0>(), component.template operator()<1>(),
            component.template operator()<2>()};
}

using TurnComposer = Quat (*)(const std::array<double, 3>&, const std::array<double, 3>&);

// compose_turns for each sequence of applied axes, at 9 P + 3 Q + D.
inline constexpr std::array<TurnComposer, 27> TURN_COMPOSERS = []<int... I>(std::integer_sequence<int, I...>) {
    return std::array<TurnComposer, 27>{[] {
        constexpr int p = I / 9, q = I / 3 % 3, d = I % 3;
        if constexpr (p != q && q != d) {
            return &compose_turns<p, q, d>;
        } else {
            return TurnComposer{nullptr};
        }
    }()...};
}(std::make_integer_sequence<int, 27>{});

// The rotation that turns by a, b and c about the sequence's axes, in the
// module's convention: each turn is from_axis_angle's quaternion
// (cos(h), sin(h) e_axis) with h = angle * -0.5, and they are composed in
// the order applied, third * (second * first) (compose_turns).
inline Quat quat_from_euler(const EulerSequence& sequence, const AngleRadians& a, const AngleRadians& b,
                            const AngleRadians& c) {
    const double first = (sequence.intrinsic ? c : a).angle * -0.5;
    const double second = b.angle * -0.5;
    const double third = (sequence.intrinsic ? a : c).angle * -0.5;
    const std::array<double, 3> sines{std::sin(first), std::sin(second), std::sin(third)};
    const std::array<double, 3> cosines{std::cos(first), std::cos(second), std::cos(third)};
    const auto [p, q, d] = sequence.axes;
    return TURN_COMPOSERS[static_cast<std::size_t>(9 * p + 3 * q + d)](sines, cosines);
}

// Within this many radians of its limits the middle angle leaves the two
// outer turns about one line, and only their sum (or difference) is fixed:
// the third angle (in the caller's order) is then 0, as scipy has it.
inline constexpr double kGimbalLockWithin = 1e-7;

// An angle moved into [-pi, pi] by one turn, as scipy's as_euler does.
inline double wrap_angle(double angle) {
    if (angle < -kPi) return angle + 2.0 * kPi;
    if (angle > kPi) return angle - 2.0 * kPi;
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
    const double sign = permutation_sign(p, m, r);
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
    const bool near_zero = std::fabs(middle) <= kGimbalLockWithin;
    const bool near_pi = std::fabs(middle - kPi) <= kGimbalLockWithin;
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
    const AngleRadians inner{wrap_angle(proper ? middle : middle - kPi / 2.0)};
    const AngleRadians outer_last{wrap_angle(last)};
    if (sequence.intrinsic) return {outer_last, inner, outer_first};
    return {outer_first, inner, outer_last};
}

}  // namespace tessary
