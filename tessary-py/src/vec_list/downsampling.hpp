// Downsampling, the binding side: the voxel size and origin arguments, a
// voxel grid over points with its refusal of voxels beyond 64 bits, and
// VecList's voxel_down_sample and farthest_point_sample. The work is the
// core's (voxel_grid.hpp, farthest_points.hpp).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "../binding/buffer.hpp"
#include "../binding/convert.hpp"
#include "../binding/ref.hpp"
#include "../pool/ranges.hpp"
#include "vec_list.hpp"
#include "voxel_grid.hpp"

namespace tessary_py {

// voxel_size: a finite number greater than 0.
struct VoxelSize {
    double value;
};

// origin: a Vec3d with finite coordinates, or None for (0, 0, 0).
struct GridOrigin {
    Vec3d value;
};

// ValueError "argument 'voxel_size': the voxel of y = -1e+300 is 2**63
// voxels or more from the origin's; voxel indices are 64-bit integers".
[[noreturn]] void raise_voxel_overflow(const tessary::VoxelOverflow& overflow);

// The voxels of `points` (tessary::voxelize on the pool): the places of
// their points written to inverse[0, n), the results per voxel where
// room(m) says; a voxel index beyond 64 bits is raise_voxel_overflow's,
// before anything is written.
template <class Room>
tessary::VoxelCount voxelize(std::span<const Vec3d> points, VoxelSize size, GridOrigin origin, Py_ssize_t* inverse,
                             const Room& room) {
    const tessary::VoxelCount found = tessary::voxelize(points, origin.value, size.value, inverse, room, PoolRanges{});
    if (found.overflow) raise_voxel_overflow(*found.overflow);
    return found;
}

// The centroids of the occupied voxels, in the order of their first points.
VecList voxel_down_sample(const VecList& list, VoxelSize voxel_size, GridOrigin origin);

// The indices of k points chosen by farthest-point sampling from `start`
// (None: 0), as a new array of k indices or into `out`.
bind::Ref farthest_point_sample(const VecList& list, PyObject* k, PyObject* start, bind::Output<Py_ssize_t> out);

}  // namespace tessary_py

template <>
struct bind::Arg<tessary_py::VoxelSize> {
    using Held = tessary_py::VoxelSize;
    static Held convert(PyObject* object, std::string_view name);
};

template <>
struct bind::Arg<tessary_py::GridOrigin> {
    using Held = tessary_py::GridOrigin;
    static Held convert(PyObject* object, std::string_view name);
};
