// Three-dimensional vector of doubles.
//
// Every formula is written in the evaluation order that callers rely on for
// bit-identical results: sums of three terms are ((x-term + y-term) + z-term),
// and each product is rounded on its own (the build forbids contraction into
// fused multiply-adds).
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tessary {

// Absolute tolerance of every approximate test: the spacing of doubles just
// above 1.0. Always compared strictly, so NaN fails every such test.
inline constexpr double EPSILON = 0x1p-52;

// Hash key standing in for any NaN component, whatever its sign or payload.
inline constexpr std::uint64_t CANONICAL_NAN_BITS = 0x7FF8000000000000;

inline constexpr bool within_epsilon(double difference) { return std::fabs(difference) < EPSILON; }

// The bit pattern a component hashes as: -0.0 folds into 0.0 (by adding
// +0.0) and every NaN into one canonical pattern, so values that print
// alike hash alike.
inline std::uint64_t hash_bits(double v) {
    return std::isnan(v) ? CANONICAL_NAN_BITS : std::bit_cast<std::uint64_t>(v + 0.0);
}

// Flips the sign bit only; unlike 0.0 - v this turns 0.0 into -0.0 and keeps
// a NaN's payload.
inline double flip_sign(double v) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) ^ 0x8000000000000000);
}

struct Vec3d {
    double x;
    double y;
    double z;

    static constexpr Vec3d zero() { return {0.0, 0.0, 0.0}; }
    static constexpr Vec3d i() { return {1.0, 0.0, 0.0}; }
    static constexpr Vec3d j() { return {0.0, 1.0, 0.0}; }
    static constexpr Vec3d k() { return {0.0, 0.0, 1.0}; }

    // The vector from point `from` to point `to`.
    static constexpr Vec3d new_from_to(const Vec3d& from, const Vec3d& to) {
        return {to.x - from.x, to.y - from.y, to.z - from.z};
    }

    constexpr Vec3d add(const Vec3d& other) const { return {x + other.x, y + other.y, z + other.z}; }
    constexpr Vec3d sub(const Vec3d& other) const { return {x - other.x, y - other.y, z - other.z}; }
    Vec3d neg() const { return {flip_sign(x), flip_sign(y), flip_sign(z)}; }
    constexpr Vec3d mul(double s) const { return {x * s, y * s, z * s}; }
    // Three true divisions: multiplying by 1/s would round differently.
    constexpr Vec3d div(double s) const { return {x / s, y / s, z / s}; }

    constexpr double dot(const Vec3d& other) const { return (x * other.x + y * other.y) + z * other.z; }
    constexpr double len2() const { return (x * x + y * y) + z * z; }

    constexpr Vec3d cross(const Vec3d& other) const {
        return {y * other.z - z * other.y, z * other.x - x * other.z, x * other.y - y * other.x};
    }

    double magnitude() const { return std::sqrt(len2()); }

    // No guard against the zero vector: it gives 0/0 = NaN components.
    Vec3d normalize() const {
        const double m = magnitude();
        return {x / m, y / m, z / m};
    }

    bool is_unit() const { return within_epsilon(magnitude() - 1.0); }

    constexpr double distance_squared(const Vec3d& other) const {
        const double dx = x - other.x;
        const double dy = y - other.y;
        const double dz = z - other.z;
        return (dx * dx + dy * dy) + dz * dz;
    }

    double distance_to(const Vec3d& other) const { return std::sqrt(distance_squared(other)); }

    // Distance to the infinite line through a and b; NaN when a == b.
    double distance_to_line(const Vec3d& a, const Vec3d& b) const {
        const Vec3d d = b.sub(a);
        const double t = (((x - a.x) * d.x + (y - a.y) * d.y) + (z - a.z) * d.z) / d.len2();
        const Vec3d e{x - (a.x + d.x * t), y - (a.y + d.y * t), z - (a.z + d.z * t)};
        return std::sqrt(e.len2());
    }

    // Foot of the perpendicular on the line through line_q and line_r. The
    // parameter is measured from line_q towards v with the sign folded into
    // the final subtraction, which rounds differently from the textbook form.
    Vec3d project_onto_line(const Vec3d& line_r, const Vec3d& line_q) const {
        const Vec3d d = line_r.sub(line_q);
        const double t = (((line_q.x - x) * d.x + (line_q.y - y) * d.y) + (line_q.z - z) * d.z) / d.len2();
        return {line_q.x - d.x * t, line_q.y - d.y * t, line_q.z - d.z * t};
    }

    // `normal` is used as given: a non-unit normal scales the removed part.
    constexpr Vec3d project_onto_plane(const Vec3d& normal) const {
        const double s = dot(normal);
        return {x - normal.x * s, y - normal.y * s, z - normal.z * s};
    }

    constexpr double scalar_triple_product(const Vec3d& b, const Vec3d& c) const { return dot(b.cross(c)); }

    // Precondition: index < 3 (callers check the range and report it).
    constexpr double index(std::size_t index) const { return index == 0 ? x : index == 1 ? y : z; }

    constexpr std::array<double, 3> to_array() const { return {x, y, z}; }

    // Tolerance equality, component by component; NaN is unequal to all.
    constexpr bool approx_eq(const Vec3d& other) const {
        return within_epsilon(x - other.x) && within_epsilon(y - other.y) && within_epsilon(z - other.z);
    }

    std::array<std::uint64_t, 3> hash_key() const { return {hash_bits(x), hash_bits(y), hash_bits(z)}; }
};

// Whether no component is NaN or infinite.
inline bool is_finite(const Vec3d& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

}  // namespace tessary
