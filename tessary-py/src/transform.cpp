// Python class Transform.
#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "align.hpp"
#include "binding/matrix.hpp"
#include "binding/siphash.hpp"
#include "classes.hpp"
#include "stub_docs.hpp"
#include "pool/ranges.hpp"
#include "registration/icp.hpp"
#include "text.hpp"
#include "transform.hpp"
#include "vec_list/paired_points.hpp"
#include "vec_list/points_argument.hpp"

void append_transform_repr(std::string& out, const tessary::Transform& t) {
    out += "Transform(";
    append_quat_repr(out, t.rotation);
    out += ", ";
    append_vec3d_repr(out, t.translation);
    out += ')';
}

namespace {

using tessary::Matrix3;
using tessary::Matrix4;
using tessary::Quat;
using tessary::RotationDefect;
using tessary::Transform;
using tessary::Vec3d;
using M = bind::Members<Transform>;

// How far from a rotation the 3x3 block of a matrix may be: the largest
// entry of |R^T R - I|. Wide enough for a rotation stored in float32 (whose
// entries are off by up to 6e-8), narrow enough to refuse a scaled or
// sheared block.
constexpr double kRotationTolerance = 1e-6;

Transform make(std::optional<Quat> rotation, std::optional<Vec3d> translation) {
    return {rotation.value_or(Quat::identity()), translation.value_or(Vec3d::zero())};
}

Quat rotation_of(const Transform& t) { return t.rotation; }
Vec3d translation_of(const Transform& t) { return t.translation; }

std::string text(const Transform& t) {
    std::string out;
    append_transform_repr(out, t);
    return out;
}

std::uint64_t digest(const Transform& t) {
    const std::array<std::uint64_t, 7> key = t.hash_key();
    return bind::siphash13(0, 0, key);
}

std::string rounded(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", value);
    return buffer;
}

// A 4x4 matrix with the last row (0, 0, 0, 1), or a 3x4 one, whose 3x3
// block is a rotation to within kRotationTolerance.
Transform from_matrix(PyObject* m) {
    static constexpr std::size_t heights[] = {4, 3};
    std::array<double, 16> read;
    const std::size_t rows = bind::read_matrix(m, "m", heights, 4, read.data());
    if (rows == 4 && !(read[12] == 0.0 && read[13] == 0.0 && read[14] == 0.0 && read[15] == 1.0)) {
        std::string message = "argument 'm': expected the last row (0, 0, 0, 1), got ";
        tessary::append_fields(message, "", {read[12], read[13], read[14], read[15]});
        bind::raise(PyExc_ValueError, message);
    }
    const Matrix3 map{{{read[0], read[1], read[2]}, {read[4], read[5], read[6]}, {read[8], read[9], read[10]}}};
    const RotationDefect defect = RotationDefect::of(map);
    if (!(defect.orthogonality <= kRotationTolerance) || !(defect.determinant > 0.0)) {
        std::string message = "argument 'm': expected a rotation in the upper-left 3x3 block (every entry of ";
        message += "|R^T R - I| at most " + rounded(kRotationTolerance) + ", determinant positive), got ";
        message += "entries up to " + rounded(defect.orthogonality) + " and determinant " +
                   rounded(defect.determinant);
        bind::raise(PyExc_ValueError, message);
    }
    return Transform::from_map(map, {read[3], read[7], read[11]});
}

// A buffer of the 4x4 matrix as it is now: the transform is immutable, and
// the copy is 128 bytes.
std::unique_ptr<bind::Exported<std::array<double, 16>>> exported(const Transform& t) {
    auto exported = std::make_unique<bind::Exported<std::array<double, 16>>>();
    const Matrix4 rows = t.to_matrix();
    for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t c = 0; c < 4; ++c) exported->keep[r * 4 + c] = rows[r][c];
    }
    exported->data = exported->keep.data();
    exported->ndim = 2;
    exported->shape[0] = 4;
    exported->shape[1] = 4;
    return exported;
}

// (transform, residual): the rigid transform that best maps the points
// `source` onto the points `target`, with the residual of the fit.
std::pair<Transform, double> align(const tessary_py::PointsArgument& source, const tessary_py::PointsArgument& target,
                                   PyObject* weights) {
    const tessary_py::PairedPoints paired(source, target, "source", "target", weights, "points");
    const std::size_t n = paired.size();
    const tessary_py::PoolRanges ranges;
    if (paired.weighted()) {
        const tessary::RigidFit fit = tessary::rigid_align<true>(n, paired.pairs(), ranges);
        return {fit.transform, tessary::rigid_residual<true>(n, paired.pairs(), fit, ranges)};
    }
    const tessary::RigidFit fit = tessary::rigid_align<false>(n, paired.pairs(), ranges);
    return {fit.transform, tessary::rigid_residual<false>(n, paired.pairs(), fit, ranges)};
}

using New = M::Constructor<"Transform(rotation=None, translation=None)", &make, stub_docs::Transform::class_>;

PyMethodDef methods[] = {
    M::static_method<"identity()", &Transform::identity, stub_docs::Transform::identity>(),
    M::static_method<"from_matrix(m)", &from_matrix, stub_docs::Transform::from_matrix>(),
    M::method<"apply($self, v)", &Transform::apply, stub_docs::Transform::apply>(),
    M::method<"apply_direction($self, v)", &Transform::apply_direction, stub_docs::Transform::apply_direction>(),
    M::method<"inverse($self)", &Transform::inverse, stub_docs::Transform::inverse>(),
    M::method<"interpolate($self, other, t)", &Transform::interpolate, stub_docs::Transform::interpolate>(),
    M::method<"to_matrix($self)", &Transform::to_matrix, stub_docs::Transform::to_matrix>(),
    M::static_method<"align(source, target, weights=None)", &align, stub_docs::Transform::align>(),
    M::static_method<"icp(source, target, max_distance, *, initial=None, max_iterations=None, relative_fitness=None, "
                     "relative_rmse=None, method=None, kernel=None, kernel_scale=None, target_normals=None, "
                     "source_covariances=None, target_covariances=None)",
                     &tessary_py::icp, stub_docs::Transform::icp>(),
    M::static_method<"ransac(source, target, source_features, target_features, distance, *, max_iterations=None, "
                     "confidence=None, seed=None, mutual=False, edge_ratio=None)",
                     &tessary_py::ransac, stub_docs::Transform::ransac>(),
    {},
};

PyGetSetDef properties[] = {
    M::getter<&rotation_of, stub_docs::Transform::rotation>("rotation"),
    M::getter<&translation_of, stub_docs::Transform::translation>("translation"),
    {},
};

PyType_Slot slots[] = {
    New::doc_slot(),
    New::new_slot(),
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    bind::slot(Py_tp_repr, &M::repr<&text>),
    bind::slot(Py_tp_hash, &M::hash<&digest>),
    bind::slot(Py_tp_richcompare, &M::equality<&Transform::approx_eq>),
    bind::slot(Py_nb_multiply, &M::binary<&Transform::mul>),
    bind::slot(Py_bf_getbuffer, &M::get_buffer<&exported>),
    bind::slot(Py_bf_releasebuffer, &M::release_buffer<&exported>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<Transform>::build() { return bind::make_type<Transform>(slots, &New::vectorcall); }
