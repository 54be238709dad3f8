// The exact statistics of VecList, the binding side: the arguments and
// the choice of the AVX2 twin of each scan. The formulas are in the core
// (moments.hpp, moment_blocks.hpp, bounds.hpp, fit.hpp).
#pragma once

#include <array>
#include <span>
#include <utility>

#include "../binding/python.hpp"
#include "matrix.hpp"
#include "moments.hpp"
#include "vec3d.hpp"
#include "vec_list.hpp"

namespace tessary_py::statistics {

// The exact moments of points on the pool (with Products, the sums of
// their products too).
tessary::Moments moments(std::span<const Vec3d> points, bool products);

// Each component's exact sum rounded once, divided by n; NaN when empty.
Vec3d centroid(const VecList& list);

// (smallest, largest) components; NaN components ignored unless a
// component is NaN throughout; -0.0 below +0.0; NaN when empty.
std::pair<Vec3d, Vec3d> bounds(const VecList& list);

// The covariance about the exact mean, each entry rounded once; `ddof`
// None or a non-negative integer (the divisor is n - ddof).
tessary::Matrix3 covariance(const VecList& list, PyObject* ddof);

// (variances ascending, unit axes) of the population covariance.
std::pair<std::array<double, 3>, std::array<Vec3d, 3>> principal_axes(const VecList& list);

}  // namespace tessary_py::statistics
