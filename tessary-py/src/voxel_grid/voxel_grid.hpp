// The native value of the Python class VoxelGrid: the grid, and what it
// found for each voxel and each point.
#pragma once

#include <cstddef>
#include <memory>

#include "../binding/python.hpp"
#include "../vec_list/vec_list.hpp"

namespace tessary_py {

struct VoxelGrid {
    double voxel_size = 1.0;
    Vec3d origin{};
    std::size_t points = 0;
    std::size_t voxels = 0;
    std::size_t non_finite = 0;
    // Each voxel's centroid (null when there is none), count and the
    // index of the point nearest its centroid; each point's voxel.
    Elements centroids;
    std::shared_ptr<const Py_ssize_t[]> counts;
    std::shared_ptr<const Py_ssize_t[]> nearest;
    std::shared_ptr<const Py_ssize_t[]> inverse;
};

}  // namespace tessary_py
