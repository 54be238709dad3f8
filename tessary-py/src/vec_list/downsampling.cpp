#include "downsampling.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "../binding/result_array.hpp"
#include "../classes.hpp"
#include "element_array.hpp"
#include "farthest_points.hpp"

namespace tessary_py {
namespace {

// An integer from 0 to `most`, else ValueError "argument 'k': expected an
// integer from 0 to 5 (the number of points), got 6" (with `what` in the
// parentheses); a non-integer is the TypeError naming the argument.
std::size_t integer_up_to(PyObject* object, std::string_view name, std::size_t most, std::string_view what) {
    bind::Ref integer = PyLong_CheckExact(object) ? bind::Ref::borrowed(object) : bind::Ref(PyNumber_Index(object));
    if (!integer) bind::reraise_for_argument(name);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) bind::reraise_for_argument(name);
    if (overflow != 0 || value < 0 || static_cast<unsigned long long>(value) > most) {
        std::string expected = "from 0 to ";
        expected.append(std::to_string(most)).append(" (").append(what).append(")");
        bind::raise_integer_out_of_range(name, expected, integer.get());
    }
    return static_cast<std::size_t>(value);
}

}  // namespace

void raise_voxel_overflow(const tessary::VoxelOverflow& overflow) {
    static constexpr const char* kAxes[] = {"x", "y", "z"};
    std::string what = "the voxel of ";
    what.append(kAxes[overflow.axis]).append(" = ").append(bind::float_text(overflow.coordinate));
    what.append(" is 2**63 voxels or more from the origin's; voxel indices are 64-bit integers");
    bind::raise_bad_value("voxel_size", what);
}

VecList voxel_down_sample(const VecList& list, VoxelSize voxel_size, GridOrigin origin) {
    const std::span<const Vec3d> points = list.view();
    // The places of the points are the grouping's scratch here.
    const std::unique_ptr<Py_ssize_t[]> inverse(new Py_ssize_t[points.size()]);
    Elements centroids;
    voxelize(points, voxel_size, origin, inverse.get(), [&](std::size_t voxels) {
        tessary::VoxelResults<Py_ssize_t> results;
        if (voxels == 0) return results;
        centroids = std::make_shared<ElementArray>(voxels);
        centroids->set_size(voxels);
        results.centroids = centroids->slots();
        return results;
    });
    return VecList(std::move(centroids));
}

bind::Ref farthest_point_sample(const VecList& list, PyObject* k, PyObject* start, bind::Output<Py_ssize_t> out) {
    const std::span<const Vec3d> points = list.view();
    const std::size_t count = integer_up_to(k, "k", points.size(), "the number of points");
    std::size_t first = 0;
    if (start != Py_None) {
        // Checked against the list when there is a first point to choose.
        first = count == 0 ? integer_up_to(start, "start", PY_SSIZE_T_MAX, "an index")
                           : integer_up_to(start, "start", points.size() - 1, "an index of the list");
    }
    auto sample = [&](Py_ssize_t* indices) {
        tessary::farthest_points(points, count, first, indices, PoolRanges{});
    };
    if (!out.given()) {
        bind::ResultArray indices = bind::ResultArray::of<Py_ssize_t>(std::span<const std::size_t>(&count, 1));
        sample(indices.data<Py_ssize_t>());
        return bind::Ref(bind::to_python(std::move(indices)));
    }
    const bind::OutputBuffer<Py_ssize_t> buffer(out, count, std::as_bytes(points));
    sample(buffer.data());
    return buffer.result();
}

}  // namespace tessary_py

bind::Arg<tessary_py::VoxelSize>::Held bind::Arg<tessary_py::VoxelSize>::convert(PyObject* object,
                                                                                 std::string_view name) {
    return {bind::Arg<bind::PositiveFinite>::convert(object, name).value};
}

bind::Arg<tessary_py::GridOrigin>::Held bind::Arg<tessary_py::GridOrigin>::convert(PyObject* object,
                                                                                   std::string_view name) {
    if (object == Py_None) return {tessary::Vec3d::zero()};
    const tessary::Vec3d origin = bind::Arg<tessary::Vec3d>::convert(object, name);
    if (!tessary::is_finite(origin)) {
        std::string what = "expected finite coordinates, got ";
        append_vec3d_repr(what, origin);
        bind::raise_bad_value(name, what);
    }
    return {origin};
}
