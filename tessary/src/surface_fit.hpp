// The fit of a surface to a point's neighbourhood: the covariance of the
// neighbours about their own mean, its eigen-solution, the normal (the
// axis of least variance) and the surface variation.
//
// The covariance is formed from the neighbours' offsets from the nearest
// of them, which are exact wherever the neighbourhood lies within a
// factor of two of that point (Sterbenz's lemma: every neighbourhood that
// does not straddle a coordinate's zero, so always at map coordinates):
// the fit depends on the points' differences alone, so a cloud moved by
// an offset that is exact in doubles gets the same fit, bit for bit, as
// the cloud where it was. The mean of the offsets and the sums of their
// products are rounded in the neighbours' order (nearest first): the
// rounding of the mean only adds its own square to the covariance (far
// below the rounding of the sums), and each entry's error is below about
// k * 2^-53 of the trace for k neighbours.
//
// The eigen-solution is the module's Jacobi method (symmetric_eigen.hpp),
// the same bits on every platform; an axis's sign follows principal_axes'
// rule (its component of largest magnitude positive, the first of equals).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "fit.hpp"
#include "kd_results.hpp"
#include "matrix.hpp"
#include "symmetric_eigen.hpp"
#include "vec3d.hpp"

namespace tessary {

struct SurfaceFit {
    // Unit; NaN components where no plane is defined (fewer than three
    // neighbours, all of them on one line or one point, or a NaN or
    // infinite coordinate among them).
    Vec3d normal;
    // The least eigenvalue over the sum of the three (0 for a plane, 1/3
    // for points spread evenly in space); NaN for fewer than three
    // neighbours, a zero sum (one point) or a non-finite coordinate.
    double variation;
    // The covariance about the mean, divided by the number of neighbours:
    // xx, xy, xz, yy, yz, zz; NaN for none, or a non-finite coordinate.
    std::array<double, 6> covariance;
};

inline SurfaceFit fit_surface(std::span<const NeighbourhoodResult::Member> members) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const SurfaceFit none{{nan, nan, nan}, nan, {nan, nan, nan, nan, nan, nan}};
    const std::size_t n = members.size();
    if (n == 0) return none;
    const Vec3d origin = members[0].point;
    Vec3d sum = Vec3d::zero();
    for (const auto& m : members) sum = sum.add(m.point.sub(origin));
    const Vec3d mean = sum.div(static_cast<double>(n));
    double xx = 0.0, xy = 0.0, xz = 0.0, yy = 0.0, yz = 0.0, zz = 0.0;
    for (const auto& m : members) {
        const Vec3d e = m.point.sub(origin).sub(mean);
        xx = xx + e.x * e.x;
        xy = xy + e.x * e.y;
        xz = xz + e.x * e.z;
        yy = yy + e.y * e.y;
        yz = yz + e.y * e.z;
        zz = zz + e.z * e.z;
    }
    const double count = static_cast<double>(n);
    SurfaceFit fit{{nan, nan, nan}, nan, {xx / count, xy / count, xz / count, yy / count, yz / count, zz / count}};
    const Matrix3 covariance{{{fit.covariance[0], fit.covariance[1], fit.covariance[2]},
                              {fit.covariance[1], fit.covariance[3], fit.covariance[4]},
                              {fit.covariance[2], fit.covariance[4], fit.covariance[5]}}};
    if (!all_finite(covariance)) return none;
    if (n < 3) return fit;
    const PrincipalAxes axes = principal_axes_of(covariance);
    const double total = (axes.variances[0] + axes.variances[1]) + axes.variances[2];
    if (total > 0.0) fit.variation = axes.variances[0] / total;
    if (spans_a_plane(axes)) fit.normal = axes.axes[0];
    return fit;
}

}  // namespace tessary
