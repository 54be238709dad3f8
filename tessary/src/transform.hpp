// A rigid transform (a pose): a rotation, applied as Quat::rotate applies
// it, then a translation.
//
// The rotation is used as stored, never normalised: a quaternion of
// magnitude m turns and scales by m*m (as rotate does), so a transform
// with a non-unit rotation is a similarity, and every operation here
// (composition, inverse, matrices) keeps that meaning. A unit rotation
// gives the rigid motion.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "matrix.hpp"
#include "quat.hpp"
#include "vec3d.hpp"

namespace tessary {

// How far the 3x3 map `m` (rows; m applied to column vectors) is from a
// rotation: the largest absolute entry of m^T m - I (NaN if any entry is),
// and the determinant.
struct RotationDefect {
    double orthogonality;
    double determinant;

    static RotationDefect of(const Matrix3& m) {
        const std::array<Vec3d, 3> columns{Vec3d{m[0][0], m[1][0], m[2][0]}, Vec3d{m[0][1], m[1][1], m[2][1]},
                                           Vec3d{m[0][2], m[1][2], m[2][2]}};
        double largest = 0.0;
        for (std::size_t r = 0; r < 3; ++r) {
            for (std::size_t c = r; c < 3; ++c) {
                const double entry = std::fabs(columns[r].dot(columns[c]) - (r == c ? 1.0 : 0.0));
                if (std::isnan(entry) || entry > largest) largest = entry;  // a NaN stays
            }
        }
        return {largest, columns[0].scalar_triple_product(columns[1], columns[2])};
    }
};

struct Transform {
    Quat rotation;
    Vec3d translation;

    static constexpr Transform identity() { return {Quat::identity(), Vec3d::zero()}; }

    // The transform whose map is the 3x3 `m` (rows, applied to column
    // vectors) and whose translation is `t`: the rotation is the unit
    // quaternion that Quat::from_rotation_matrix reads from the transpose
    // (its convention), so a matrix that is nearly a rotation gives the
    // rotation close to it. Callers check RotationDefect first.
    static Transform from_map(const Matrix3& m, const Vec3d& t) {
        const Matrix3 transposed{{{m[0][0], m[1][0], m[2][0]}, {m[0][1], m[1][1], m[2][1]},
                                  {m[0][2], m[1][2], m[2][2]}}};
        return {Quat::from_rotation_matrix(transposed), t};
    }

    Vec3d apply(const Vec3d& v) const { return rotation.rotate(v).add(translation); }

    Vec3d apply_direction(const Vec3d& v) const { return rotation.rotate(v); }

    // The transform that applies `first`, then this one, as Quat::mul:
    // rotation * first.rotation, and first's translation carried by this
    // transform.
    Transform mul(const Transform& first) const { return {rotation.mul(first.rotation), apply(first.translation)}; }

    // The rotation's inverse (conj(q) / |q|^2, which also undoes a
    // non-unit rotation's scaling), and minus the translation carried back
    // by it. The zero rotation gives NaN.
    Transform inverse() const {
        const Quat back = rotation.inverse();
        return {back, back.rotate(translation).neg()};
    }

    // This transform at t = 0 and `other` at t = 1, both exactly; between
    // them the rotations' slerp (the shorter arc) and the translations'
    // straight line a + t (b - a). Any other t extrapolates both.
    Transform interpolate(const Transform& other, double t) const {
        if (t == 0.0) return *this;
        if (t == 1.0) return other;
        const Vec3d& a = translation;
        const Vec3d& b = other.translation;
        return {rotation.slerp(other.rotation, t),
                Vec3d{a.x + t * (b.x - a.x), a.y + t * (b.y - a.y), a.z + t * (b.z - a.z)}};
    }

    // The homogeneous 4x4 M with M (v, 1) = (apply(v), 1), as rows: column
    // c of the 3x3 block is rotate(e_c) itself (so it carries a non-unit
    // rotation's scaling), column 3 the translation, the last row
    // (0, 0, 0, 1). For a unit rotation the 3x3 block is the transpose of
    // Quat::to_rotation_matrix to within rounding.
    Matrix4 to_matrix() const {
        const Vec3d x = rotation.rotate(Vec3d::i());
        const Vec3d y = rotation.rotate(Vec3d::j());
        const Vec3d z = rotation.rotate(Vec3d::k());
        const Vec3d& t = translation;
        return {{{x.x, y.x, z.x, t.x}, {x.y, y.y, z.y, t.y}, {x.z, y.z, z.z, t.z}, {0.0, 0.0, 0.0, 1.0}}};
    }

    // Tolerance equality of all seven components, as Quat's and Vec3d's.
    bool approx_eq(const Transform& other) const {
        return rotation.approx_eq(other.rotation) && translation.approx_eq(other.translation);
    }

    // The hash bits of the seven components in the order w, i, j, k, x, y, z.
    std::array<std::uint64_t, 7> hash_key() const {
        return {hash_bits(rotation.w),    hash_bits(rotation.i),    hash_bits(rotation.j), hash_bits(rotation.k),
                hash_bits(translation.x), hash_bits(translation.y), hash_bits(translation.z)};
    }
};

}  // namespace tessary
