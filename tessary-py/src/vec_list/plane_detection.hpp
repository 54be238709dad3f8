// RANSAC plane detection for Python: the arguments of
// VecList.segment_plane and segment_planes (and of Plane.segment and
// segment_all, which take any points), and the class of their result,
// PlaneResult. The sampler, the scoring and the stopping rule are the
// core's (plane_ransac.hpp); the plane is refitted here with the exact
// least squares of Plane.fit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../binding/python.hpp"
#include "../classes.hpp"
#include "points_argument.hpp"
#include "geometry/plane.hpp"
#include "vec3d.hpp"

namespace tessary_py {

struct PlaneResult {
    bool found = false;
    tessary::Plane plane{};
    std::vector<Py_ssize_t> inliers;  // ascending indices into the cloud
    std::array<Py_ssize_t, 3> sample{};  // the best trial's three points
    std::size_t points = 0;           // the size of the cloud, for the mask
    double inlier_rmse = 0.0;
    std::uint64_t iterations = 0;
    std::uint64_t degenerate = 0;
};

PlaneResult segment_plane(const VecList& self, PyObject* distance, PyObject* iterations, PyObject* seed,
                          PyObject* confidence);
std::vector<PlaneResult> segment_planes(const VecList& self, PyObject* distance, PyObject* count,
                                        PyObject* min_inliers, PyObject* iterations, PyObject* seed,
                                        PyObject* confidence);
PlaneResult segment_points(const PointsArgument& points, PyObject* distance, PyObject* iterations, PyObject* seed,
                           PyObject* confidence);
std::vector<PlaneResult> segment_all_points(const PointsArgument& points, PyObject* distance, PyObject* count,
                                            PyObject* min_inliers, PyObject* iterations, PyObject* seed,
                                            PyObject* confidence);

}  // namespace tessary_py
