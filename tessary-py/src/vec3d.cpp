// Python class Vec3d.
#include <array>
#include <memory>
#include <string>

#include "angle.hpp"
#include "quat.hpp"
#include "text.hpp"
#include "vec3d.hpp"
#include "binding/siphash.hpp"
#include "classes.hpp"

namespace {

using bind::Index;
using tessary::Vec3d;
using M = bind::Members<Vec3d>;

Vec3d make(double x, double y, double z) { return {x, y, z}; }

bind::Failable<double> item(const Vec3d& v, Index index) {
    if (index.value >= 3) return bind::Error{PyExc_IndexError, "Index out of bounds"};
    return v.index(index.value);
}

std::string text(const Vec3d& v) {
    std::string out;
    append_vec3d_repr(out, v);
    return out;
}

std::uint64_t digest(const Vec3d& v) {
    const std::array<std::uint64_t, 3> key = v.hash_key();
    return bind::siphash13(0, 0, key);
}

Vec3d scaled(const Vec3d& v, double s) { return v.mul(s); }

// A buffer of the three components as they are now: later writes to the
// vector do not reach it.
std::unique_ptr<bind::Exported<std::array<double, 3>>> exported(const Vec3d& v) {
    auto exported = std::make_unique<bind::Exported<std::array<double, 3>>>();
    exported->keep = v.to_array();
    exported->data = exported->keep.data();
    exported->shape[0] = 3;
    return exported;
}

using New = M::Constructor<"Vec3d(x, y, z)", &make>;

PyMethodDef methods[] = {
    M::static_method<"zero()", &Vec3d::zero>(),
    M::static_method<"i()", &Vec3d::i>(),
    M::static_method<"j()", &Vec3d::j>(),
    M::static_method<"k()", &Vec3d::k>(),
    M::static_method<"new_from_to(from, to)", &Vec3d::new_from_to>(),
    M::method<"dot($self, other)", &Vec3d::dot>(),
    M::method<"cross($self, other)", &Vec3d::cross>(),
    M::method<"magnitude($self)", &Vec3d::magnitude>(),
    M::method<"normalize($self)", &Vec3d::normalize>(),
    M::method<"is_unit($self)", &Vec3d::is_unit>(),
    M::method<"distance_to($self, other)", &Vec3d::distance_to>(),
    M::method<"distance_squared($self, other)", &Vec3d::distance_squared>(),
    M::method<"distance_to_line($self, a, b)", &Vec3d::distance_to_line>(),
    M::method<"project_onto_line($self, line_r, line_q)", &Vec3d::project_onto_line>(),
    M::method<"project_onto_plane($self, normal)", &Vec3d::project_onto_plane>(),
    M::method<"scalar_triple_product($self, b, c)", &Vec3d::scalar_triple_product>(),
    M::method<"angle_to($self, other)", &tessary::angle_to>(),
    M::method<"to_quat($self)", &tessary::to_quat>(),
    M::method<"to_array($self)", &Vec3d::to_array>(),
    {},
};

PyGetSetDef properties[] = {
    M::field<&Vec3d::x>("x"),
    M::field<&Vec3d::y>("y"),
    M::field<&Vec3d::z>("z"),
    {},
};

PyType_Slot slots[] = {
    New::doc_slot(),
    New::new_slot(),
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    bind::slot(Py_tp_repr, &M::repr<&text>),
    bind::slot(Py_tp_hash, &M::hash<&digest>),
    bind::slot(Py_tp_richcompare, &M::equality<&Vec3d::approx_eq>),
    bind::slot(Py_mp_subscript, &M::subscript<&item>),
    bind::slot(Py_sq_item, &M::sequence_item<&item>),
    bind::slot(Py_nb_add, &M::binary<&Vec3d::add>),
    bind::slot(Py_nb_subtract, &M::binary<&Vec3d::sub>),
    bind::slot(Py_nb_multiply, &M::binary_reflected<&scaled, &scaled>),
    bind::slot(Py_nb_true_divide, &M::binary<&Vec3d::div>),
    bind::slot(Py_nb_negative, &M::unary<&Vec3d::neg>),
    bind::slot(Py_bf_getbuffer, &M::get_buffer<&exported>),
    bind::slot(Py_bf_releasebuffer, &M::release_buffer<&exported>),
    {0, nullptr},
};

}  // namespace

void append_vec3d_repr(std::string& out, const Vec3d& v) { tessary::append_fields(out, "Vec3d", {v.x, v.y, v.z}); }

PyTypeObject* bind::Class<Vec3d>::build() { return bind::make_type<Vec3d>(slots, &New::vectorcall); }
