// Python class Quat.
#include <string>

#include "../../tessary/src/text.hpp"
#include "classes.hpp"

namespace {

using tessary::Quat;
using M = bind::Members<Quat>;

Quat make(double w, double i, double j, double k) { return {w, i, j, k}; }

std::string text(const Quat& q) {
    std::string out;
    tessary::append_fields(out, "Quat", {q.w, q.i, q.j, q.k});
    return out;
}

using New = M::Constructor<"Quat(w, i, j, k)", &make>;

PyMethodDef methods[] = {
    M::static_method<"identity()", &Quat::identity>(),
    M::static_method<"from_axis_angle(axis, angle)", &Quat::from_axis_angle>(),
    M::method<"conjugate($self)", &Quat::conjugate>(),
    M::method<"magnitude($self)", &Quat::magnitude>(),
    M::method<"normalize($self)", &Quat::normalize>(),
    M::method<"is_unit($self)", &Quat::is_unit>(),
    M::method<"rotate($self, v)", &Quat::rotate>(),
    M::method<"to_axis_angle($self)", &Quat::to_axis_angle>(),
    M::method<"to_rotation_matrix($self)", &Quat::to_rotation_matrix>(),
    M::method<"to_vec3d($self)", &Quat::to_vec3d>(),
    {},
};

PyGetSetDef properties[] = {
    M::field<&Quat::w>("w"),
    M::field<&Quat::i>("i"),
    M::field<&Quat::j>("j"),
    M::field<&Quat::k>("k"),
    {},
};

PyType_Slot slots[] = {
    New::doc_slot(),
    New::new_slot(),
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    bind::slot(Py_tp_repr, &M::repr<&text>),
    bind::slot(Py_tp_richcompare, &M::equality<&Quat::approx_eq>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<Quat>::build() { return bind::make_type<Quat>(slots, &New::vectorcall); }
