// Statistics and fits of point sets, the binding side: reading the points
// (whatever VecList() takes), the checks of the arguments, and the
// reductions over the worker pool. The formulas are in the core
// (tessary/src/fit.hpp, exact_sum.hpp, registration.hpp).
#pragma once

#include <array>
#include <utility>

#include "../../../tessary/src/fit.hpp"
#include "../../../tessary/src/transform.hpp"
#include "../binding/convert.hpp"
#include "points_argument.hpp"
#include "vec_list.hpp"

namespace tessary_py::statistics {

// Each component's exact sum rounded once, divided by n; NaN when empty.
Vec3d centroid(const VecList& list);

// (smallest, largest) components; NaN components ignored unless a
// component is NaN throughout; -0.0 below +0.0; (inf, -inf) when empty.
std::pair<Vec3d, Vec3d> bounds(const VecList& list);

// The covariance about the exact mean, each entry rounded once; `ddof`
// None or a non-negative integer (the divisor is n - ddof).
tessary::Matrix3 covariance(const VecList& list, PyObject* ddof);

// (variances ascending, unit axes) of the population covariance.
std::pair<std::array<double, 3>, std::array<Vec3d, 3>> principal_axes(const VecList& list);

// The least-squares plane of points.
tessary::Plane fit_plane(const PointsArgument& points);

// (rotation, residual): the rotation that best maps the vectors `a` onto
// the vectors `b`, with the root of the weighted sum of squared distances.
std::pair<tessary::Quat, double> align(const PointsArgument& a, const PointsArgument& b, PyObject* weights);

// (transform, residual): the rigid transform that best maps the points
// `source` onto the points `target` (tessary::rigid_align), with the
// residual of the fit (tessary::rigid_residual).
std::pair<tessary::Transform, double> align_rigid(const PointsArgument& source, const PointsArgument& target,
                                                  PyObject* weights);

}  // namespace tessary_py::statistics
