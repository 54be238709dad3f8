// Statistics and fits of point sets, from their exact sums: the centroid,
// the covariance about the exact mean, the principal axes, the
// least-squares plane, and the rotation that best maps one set of vectors
// onto another (Wahba's problem, by Horn's quaternion method).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "exact_sum.hpp"
#include "geometry/plane.hpp"
#include "quat.hpp"
#include "symmetric_eigen.hpp"
#include "vec3d.hpp"

namespace tessary {

using Matrix3 = SquareMatrix<3>;

// The exact first and second moments of n points: the sums of x, y, z and
// of the six products xx, xy, xz, yy, yz, zz. Merging two is exact.
struct Moments {
    std::uint64_t count = 0;
    std::array<ExactSum, 3> sums{};
    std::array<ExactSum, 6> products{};

    static constexpr std::size_t product_index(std::size_t j, std::size_t k) {
        // (0,0) (0,1) (0,2) (1,1) (1,2) (2,2)
        return j <= k ? (j == 0 ? k : j == 1 ? 2 + k : 5) : product_index(k, j);
    }

    // Adds one point; its products only when `with_products`.
    void add(const Vec3d& p, bool with_products = true) {
        const std::array<double, 3> c = p.to_array();
        for (std::size_t j = 0; j < 3; ++j) sums[j].add(c[j]);
        ++count;
        if (!with_products) return;
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t k = j; k < 3; ++k) products[product_index(j, k)].add_product(c[j], c[k]);
        }
    }

    void merge(const Moments& other) {
        count += other.count;
        for (std::size_t j = 0; j < 3; ++j) sums[j].merge(other.sums[j]);
        for (std::size_t j = 0; j < 6; ++j) products[j].merge(other.products[j]);
    }
};

// Each component's exact sum rounded once to a double, then divided by n:
// within one rounding of the exact mean. NaN components for n = 0.
inline Vec3d centroid_of(const std::array<ExactSum, 3>& sums, std::uint64_t n) {
    const double count = static_cast<double>(n);
    return {sums[0].round() / count, sums[1].round() / count, sums[2].round() / count};
}

// The covariance about the exact mean, each entry the exact value
// (n * sum(xy) - sum(x) * sum(y)) / (n * (n - ddof)) rounded once to the
// nearest double: the population covariance for ddof 0, the sample one for
// ddof 1. NaN where n <= ddof, and where a column holds a NaN or an
// infinity.
inline Matrix3 covariance_of(const Moments& m, std::uint64_t ddof) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    Matrix3 out{};
    const std::uint64_t n = m.count;
    std::array<ExactValue, 3> sums;
    for (std::size_t j = 0; j < 3; ++j) sums[j] = m.sums[j].value();
    for (std::size_t j = 0; j < 3; ++j) {
        for (std::size_t k = j; k < 3; ++k) {
            double entry;
            if (n <= ddof || m.sums[j].has_special() || m.sums[k].has_special()) {
                entry = nan;
            } else {
                const ExactValue scaled = m.products[Moments::product_index(j, k)].value().times(n);
                entry = scaled.minus(sums[j].times(sums[k])).divided_rounded(n, n - ddof);
            }
            out[j][k] = entry;
            out[k][j] = entry;
        }
    }
    return out;
}

// The principal axes of a covariance: eigenvalues ascending, and each axis
// a unit vector with its largest component positive.
struct PrincipalAxes {
    std::array<double, 3> variances;
    std::array<Vec3d, 3> axes;
};

template <std::size_t N>
bool all_finite(const SquareMatrix<N>& m) {
    for (const auto& row : m) {
        for (double x : row) {
            if (!std::isfinite(x)) return false;
        }
    }
    return true;
}

// A covariance with a NaN entry (from a NaN or infinite coordinate) gives
// NaN variances and axes.
inline PrincipalAxes principal_axes_of(const Matrix3& covariance) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (!all_finite(covariance)) return {{nan, nan, nan}, {Vec3d{nan, nan, nan}, {nan, nan, nan}, {nan, nan, nan}}};
    const Eigensystem<3> e = symmetric_eigen<3>(covariance);
    PrincipalAxes out{e.values, {}};
    for (std::size_t k = 0; k < 3; ++k) {
        const std::array<double, 3> u = with_positive_lead(e.vectors[k]);
        out.axes[k] = Vec3d{u[0], u[1], u[2]};
    }
    return out;
}

// Points count as lying on one line when the middle variance is at most
// this share of the largest (exactly coincident points: both zero).
inline constexpr double kCollinearShare = 0x1p-40;

inline bool spans_a_plane(const PrincipalAxes& axes) {
    return !(axes.variances[1] <= kCollinearShare * axes.variances[2]);
}

// The least-squares plane through `centroid`: the normal is the axis of
// least variance, as from_point builds it.
inline Plane plane_fit(const PrincipalAxes& axes, const Vec3d& centroid) {
    return Plane::from_point(axes.axes[0], centroid);
}

// Eigenvalues of Horn's matrix within this share of the largest magnitude
// of the top one count as that eigenvalue repeated: the optimum is then a
// family of rotations.
inline constexpr double kRepeatedShare = 0x1p-36;

// The rotation q, in the module's convention (q.rotate(v) = conj(q) v q),
// that maximises sum w (q.rotate(a) . b), given the correlation
// h[j][k] = sum w a_j b_k. Horn's symmetric 4x4 matrix holds the textbook
// quaternion of the optimum as the eigenvector of its largest eigenvalue;
// the module's quaternion is its conjugate. Where that eigenvalue repeats
// (all vectors on one line, a single pair), the optimum is a family of
// rotations and the one with the largest w, the smallest angle, is taken;
// where every member has w = 0 (opposite directions), the half turn nearest
// to the first of i, j, k with the largest share. h = 0 gives the identity,
// and a NaN or infinite entry of h NaN components.
// The result is a unit quaternion with w >= 0 (the first non-zero of i, j,
// k positive when w = 0), without negative zeros.
inline Quat wahba_rotation(const Matrix3& h) {
    // A NaN or infinite vector component: no rotation is best.
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (!all_finite(h)) return {nan, nan, nan, nan};
    const double xx = h[0][0], xy = h[0][1], xz = h[0][2];
    const double yx = h[1][0], yy = h[1][1], yz = h[1][2];
    const double zx = h[2][0], zy = h[2][1], zz = h[2][2];
    const SquareMatrix<4> horn{{
        {(xx + yy) + zz, yz - zy, zx - xz, xy - yx},
        {yz - zy, (xx - yy) - zz, xy + yx, zx + xz},
        {zx - xz, xy + yx, (yy - xx) - zz, yz + zy},
        {xy - yx, zx + xz, yz + zy, (zz - xx) - yy},
    }};
    const Eigensystem<4> e = symmetric_eigen<4>(horn);
    double scale = 0.0;
    for (double value : e.values) scale = std::fmax(scale, std::fabs(value));
    std::array<double, 4> q{};
    if (scale == 0.0) {
        q = {1.0, 0.0, 0.0, 0.0};
    } else {
        std::size_t first = 3;  // the repeated top eigenvalue's first index
        while (first > 0 && e.values[3] - e.values[first - 1] <= kRepeatedShare * scale) --first;
        if (first == 3) {
            q = e.vectors[3];
        } else {
            // Projections of the unit quaternions 1, i, j, k onto the
            // eigenspace of the top eigenvalue.
            auto project = [&](std::size_t axis) {
                std::array<double, 4> p{};
                for (std::size_t k = first; k < 4; ++k) {
                    const double weight = e.vectors[k][axis];
                    for (std::size_t r = 0; r < 4; ++r) p[r] = p[r] + weight * e.vectors[k][r];
                }
                return p;
            };
            auto norm2 = [](const std::array<double, 4>& p) { return ((p[0] * p[0] + p[1] * p[1]) + p[2] * p[2]) + p[3] * p[3]; };
            q = project(0);
            if (!(norm2(q) > 0x1p-40)) {
                q = project(1);
                for (std::size_t axis = 2; axis < 4; ++axis) {
                    const std::array<double, 4> p = project(axis);
                    if (norm2(p) > norm2(q)) q = p;
                }
            }
        }
    }
    // The module's quaternion is the conjugate of the textbook one; unit
    // length, w >= 0 (the first non-zero of i, j, k positive when w = 0).
    const double m = std::sqrt(((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3]);
    std::array<double, 4> r{q[0] / m, -(q[1] / m), -(q[2] / m), -(q[3] / m)};
    std::size_t lead = 0;
    while (lead < 3 && r[lead] == 0.0) ++lead;
    const bool negate = r[lead] < 0.0;
    for (double& x : r) x = (negate ? -x : x) + 0.0;
    return {r[0], r[1], r[2], r[3]};
}

}  // namespace tessary
