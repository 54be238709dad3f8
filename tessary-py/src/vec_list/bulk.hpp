// Bulk operations of VecList, the binding side: argument checks and the
// conversion of results. The loops themselves are in kernels.hpp.
#pragma once

#include <cstddef>
#include <utility>

#include "../binding/convert.hpp"
#include "../binding/ref.hpp"
#include "quat.hpp"
#include "transform.hpp"
#include "vec_list.hpp"

namespace tessary_py::bulk {

VecList add(const VecList& list, const Vec3d& other);
VecList sub(const VecList& list, const Vec3d& other);
VecList mul(const VecList& list, double s);
VecList div(const VecList& list, double s);
VecList cross(const VecList& list, const Vec3d& other);
VecList normalize(const VecList& list);
VecList collapse(const VecList& list, bind::Index axis);

// Replaces every element by its rotation. An array pinned by an iterator,
// an export or another list is left as it was: the rotated elements go to
// a new array.
void rotate(VecList& list, const tessary::Quat& quat);

// Rotates element i by rotation i of `quats`, a sequence of Quat or an
// (n, 4) array of floating-point (w, i, j, k), the same way. ValueError,
// with the list unchanged, when the counts differ.
void rotate_each(VecList& list, PyObject* quats);

// The same for rigid transforms: every element replaced by
// transform.apply(element), or element i by transforms[i].apply(element i)
// where `transforms` is a sequence of Transform or an (n, 7) array of
// floating-point (qw, qi, qj, qk, tx, ty, tz).
void transform(VecList& list, const tessary::Transform& transform);
void transform_each(VecList& list, PyObject* transforms);

// Python lists of float (or bool for is_unit), in element order; or, when
// `out` is given, the results written into its buffer of one double (or
// bool) per element, and `out` itself returned.
using Floats = bind::Output<double>;
using Flags = bind::Output<bool>;
bind::Ref dot(const VecList& list, const Vec3d& other, Floats out);
bind::Ref magnitude(const VecList& list, Floats out);
bind::Ref is_unit(const VecList& list, Flags out);
bind::Ref distance_to(const VecList& list, const Vec3d& other, Floats out);
bind::Ref distance_squared(const VecList& list, const Vec3d& other, Floats out);

// (position, distance) of the element nearest to `other` found by a coarse
// pass over every stride-th element and a full pass over the window around
// the coarse winner.
std::pair<std::size_t, double> minimum_distance_to(const VecList& list, const Vec3d& other, bind::Index stride);

}  // namespace tessary_py::bulk
