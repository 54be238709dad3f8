// Statistics and fits of point sets, the binding side: reading the points
// (a VecList or any (n, 3) float buffer), the checks of the arguments, and
// the reductions over the worker pool. The formulas are in the core
// (tessary/src/fit.hpp, exact_sum.hpp).
#pragma once

#include <array>
#include <utility>

#include "../../../tessary/src/fit.hpp"
#include "../binding/convert.hpp"
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

// The least-squares plane of a VecList or (n, 3) buffer of points.
tessary::Plane fit_plane(PyObject* points);

// (rotation, residual): the rotation that best maps the vectors `a` onto
// the vectors `b`, with the root of the weighted sum of squared distances.
std::pair<tessary::Quat, double> align(PyObject* a, PyObject* b, PyObject* weights);

}  // namespace tessary_py::statistics
