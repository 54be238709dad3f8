// Python class VoxelGrid.
#include "voxel_grid.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "../binding/result_array.hpp"
#include "../classes.hpp"
#include "stub_docs.hpp"
#include "../pool/pool.hpp"
#include "../vec_list/downsampling.hpp"
#include "../vec_list/element_array.hpp"
#include "../vec_list/points_argument.hpp"
#include "text.hpp"

namespace {

using tessary_py::VoxelGrid;
using M = bind::Members<VoxelGrid>;
using Indices = bind::Output<Py_ssize_t>;

// Indices copied a megabyte at a time per range.
constexpr std::size_t kCopyGrain = std::size_t{1} << 17;

VoxelGrid make(const tessary_py::PointsArgument& points, tessary_py::VoxelSize voxel_size,
               tessary_py::GridOrigin origin) {
    const std::span<const tessary_py::Vec3d> view = points.view();
    VoxelGrid grid{voxel_size.value, origin.value, view.size()};
    std::shared_ptr<Py_ssize_t[]> inverse(new Py_ssize_t[view.size()]);
    std::shared_ptr<Py_ssize_t[]> counts, nearest;
    const tessary::VoxelCount found =
        tessary_py::voxelize(view, voxel_size, origin, inverse.get(), [&](std::size_t voxels) {
            tessary::VoxelResults<Py_ssize_t> results;
            counts.reset(new Py_ssize_t[voxels]);
            nearest.reset(new Py_ssize_t[voxels]);
            results.counts = counts.get();
            results.nearest = nearest.get();
            if (voxels != 0) {
                grid.centroids = std::make_shared<tessary_py::ElementArray>(voxels);
                grid.centroids->set_size(voxels);
                results.centroids = grid.centroids->slots();
            }
            return results;
        });
    grid.voxels = found.voxels;
    grid.non_finite = found.non_finite;
    grid.counts = std::move(counts);
    grid.nearest = std::move(nearest);
    grid.inverse = std::move(inverse);
    return grid;
}

// `size` indices from `from`, as a new array or into the buffer of `out`.
bind::Ref indices(const Py_ssize_t* from, std::size_t size, Indices out) {
    auto copy = [&](Py_ssize_t* to) {
        pool::parallel_for(size, kCopyGrain, [&](std::size_t begin, std::size_t end) {
            std::memcpy(to + begin, from + begin, (end - begin) * sizeof(Py_ssize_t));
        });
    };
    if (!out.given()) {
        bind::ResultArray result = bind::ResultArray::of<Py_ssize_t>(std::span<const std::size_t>(&size, 1));
        copy(result.data<Py_ssize_t>());
        return bind::Ref(bind::to_python(std::move(result)));
    }
    const bind::OutputBuffer<Py_ssize_t> buffer(out, size, {});
    copy(buffer.data());
    return buffer.result();
}

bind::Ref counts(const VoxelGrid& self, Indices out) { return indices(self.counts.get(), self.voxels, out); }
bind::Ref nearest(const VoxelGrid& self, Indices out) { return indices(self.nearest.get(), self.voxels, out); }
bind::Ref inverse(const VoxelGrid& self, Indices out) { return indices(self.inverse.get(), self.points, out); }

// Shared copy-on-write, as KdTree.points is.
tessary_py::VecList centroids(const VoxelGrid& self) { return tessary_py::VecList(self.centroids); }
double voxel_size(const VoxelGrid& self) { return self.voxel_size; }
tessary::Vec3d origin(const VoxelGrid& self) { return self.origin; }

std::size_t length(const VoxelGrid& self) { return self.voxels; }

std::string text(const VoxelGrid& self) {
    std::string out = "VoxelGrid(" + std::to_string(self.voxels) + " voxels of ";
    tessary::append_shortest(out, self.voxel_size);
    out += " from " + std::to_string(self.points) + " points";
    if (self.non_finite != 0) out += ", " + std::to_string(self.non_finite) + " not finite";
    return out + ")";
}

using New = M::Constructor<"VoxelGrid(points, voxel_size, *, origin=None)", &make, stub_docs::VoxelGrid::class_>;

PyMethodDef methods[] = {
    M::method<"counts($self, *, out=None)", &counts, stub_docs::VoxelGrid::counts>(),
    M::method<"inverse($self, *, out=None)", &inverse, stub_docs::VoxelGrid::inverse>(),
    M::method<"nearest($self, *, out=None)", &nearest, stub_docs::VoxelGrid::nearest>(),
    {},
};

PyGetSetDef properties[] = {
    M::getter<&centroids, stub_docs::VoxelGrid::centroids>("centroids"),
    M::getter<&voxel_size, stub_docs::VoxelGrid::voxel_size>("voxel_size"),
    M::getter<&origin, stub_docs::VoxelGrid::origin>("origin"),
    {},
};

PyType_Slot slots[] = {
    New::doc_slot(),
    New::new_slot(),
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    bind::slot(Py_tp_repr, &M::repr<&text>),
    bind::slot(Py_mp_length, &M::length<&length>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<VoxelGrid>::build() { return bind::make_type<VoxelGrid>(slots, &New::vectorcall); }
