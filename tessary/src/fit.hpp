// Fits of point sets from their exact moments (moments.hpp): the
// principal axes of a covariance and the least-squares plane.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>

#include "geometry/plane.hpp"
#include "matrix.hpp"
#include "moments.hpp"
#include "symmetric_eigen.hpp"
#include "vec3d.hpp"

namespace tessary {

// The principal axes of a covariance: eigenvalues ascending, and each axis
// a unit vector with its largest component positive.
struct PrincipalAxes {
    std::array<double, 3> variances;
    std::array<Vec3d, 3> axes;
};

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

// The least-squares plane of points (at least three) from their exact
// moments: through the centroid, with the axis of least variance as its
// normal. A NaN or an infinite coordinate gives the plane of NaNs that
// Plane::from_points gives for degenerate input; points on one line (or
// one point) have no single plane: nullopt.
inline std::optional<Plane> least_squares_plane(const Moments& m) {
    const Matrix3 covariance = covariance_of(m, 0);
    if (!all_finite(covariance)) return Plane::from_point(Vec3d::zero(), Vec3d::zero());
    const PrincipalAxes axes = principal_axes_of(covariance);
    if (!spans_a_plane(axes)) return std::nullopt;
    return plane_fit(axes, centroid_of(m.sums, m.count));
}

}  // namespace tessary
