// Python class Plane. Without comparison or hash slots, planes compare and
// hash by identity.
#include <optional>
#include <string>

#include "../classes.hpp"
#include "../vec_list/plane_detection.hpp"
#include "../vec_list/points_argument.hpp"
#include "../vec_list/statistics.hpp"
#include "fit.hpp"
#include "geometry/plane.hpp"
#include "stub_docs.hpp"

namespace {

using tessary::Plane;
using M = bind::Members<Plane>;

// The least-squares plane of points: ValueError for fewer than three, or
// for points on one line.
Plane fit(const tessary_py::PointsArgument& points) {
    const std::size_t n = points.size();
    if (n < 3) bind::raise_bad_value("points", "a plane needs at least 3 points, got " + std::to_string(n));
    const std::optional<Plane> plane =
        tessary::least_squares_plane(tessary_py::statistics::moments(points.view(), true));
    if (!plane) bind::raise_bad_value("points", "the points lie on one line (or are one point), so no single plane fits them");
    return *plane;
}

using New = M::Constructor<"Plane(normal, distance)", &Plane::make>;

PyMethodDef methods[] = {
    M::static_method<"from_point(normal, point)", &Plane::from_point>(),
    M::static_method<"from_points(point1, point2, point3)", &Plane::from_points>(),
    M::static_method<"xy()", &Plane::xy>(),
    M::static_method<"xz()", &Plane::xz>(),
    M::static_method<"yz()", &Plane::yz>(),
    M::method<"contains_point($self, point)", &Plane::contains_point>(),
    M::method<"distance_to_point($self, point)", &Plane::distance_to_point>(),
    M::static_method<"fit(points)", &fit, stub_docs::geometry::Plane::fit>(),
    M::static_method<"segment(points, distance, *, iterations=None, seed=None, confidence=None)",
                     &tessary_py::segment_points, stub_docs::geometry::Plane::segment>(),
    M::static_method<"segment_all(points, distance, *, count=None, min_inliers=None, iterations=None, seed=None, "
                     "confidence=None)",
                     &tessary_py::segment_all_points, stub_docs::geometry::Plane::segment_all>(),
    {},
};

// The setters store what they are given; `distance` is the offset of
// normal·p + distance = 0, so it is not negated like the constructor's.
PyGetSetDef properties[] = {
    M::field<&Plane::normal>("normal"),
    M::field<&Plane::distance>("distance"),
    {},
};

PyType_Slot slots[] = {
    New::doc_slot(),
    New::new_slot(),
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<Plane>::build() { return bind::make_type<Plane>(slots, &New::vectorcall); }
