// Python classes AngleRadians and AngleDegrees.
#include "classes.hpp"
#include "angle.hpp"
#include "text.hpp"
#include "vec3d.hpp"

namespace {

using tessary::AngleDegrees;
using tessary::AngleRadians;
using tessary::Vec3d;

// --- AngleRadians -------------------------------------------------------

using R = bind::Members<AngleRadians>;

AngleRadians make_radians(double angle) { return {angle}; }

// Python's `angle * s`; the core multiplies s by the angle.
AngleRadians scaled(const AngleRadians& a, double s) { return a.mul(s); }

using NewRadians = R::Constructor<"AngleRadians(angle)", &make_radians>;

PyMethodDef radians_methods[] = {
    R::static_method<"zero()", &AngleRadians::zero>(),
    R::static_method<"pi()", &AngleRadians::pi>(),
    R::static_method<"two_pi()", &AngleRadians::two_pi>(),
    R::static_method<"half_pi()", &AngleRadians::half_pi>(),
    R::static_method<"quarter_pi()", &AngleRadians::quarter_pi>(),
    R::static_method<"third_pi()", &AngleRadians::third_pi>(),
    R::static_method<"sixth_pi()", &AngleRadians::sixth_pi>(),
    R::method<"to_degrees($self)", &AngleRadians::to_degrees>(),
    R::method<"sin($self)", &AngleRadians::sin>(),
    R::method<"cos($self)", &AngleRadians::cos>(),
    R::method<"tan($self)", &AngleRadians::tan>(),
    R::method<"sec($self)", &AngleRadians::sec>(),
    R::method<"csc($self)", &AngleRadians::csc>(),
    R::method<"cot($self)", &AngleRadians::cot>(),
    {},
};

PyGetSetDef radians_properties[] = {
    R::field<&AngleRadians::angle>("angle"),
    {},
};

PyType_Slot radians_slots[] = {
    NewRadians::doc_slot(),
    NewRadians::new_slot(),
    {Py_tp_methods, radians_methods},
    {Py_tp_getset, radians_properties},
    bind::slot(Py_tp_repr, &R::repr<&AngleRadians::text>),
    bind::slot(Py_tp_richcompare, &R::ordering<&AngleRadians::angle>),
    bind::slot(Py_nb_add, &R::binary<&AngleRadians::add>),
    bind::slot(Py_nb_subtract, &R::binary<&AngleRadians::sub>),
    bind::slot(Py_nb_multiply, &R::binary<&scaled>),
    bind::slot(Py_nb_true_divide, &R::binary<&AngleRadians::div>),
    bind::slot(Py_nb_negative, &R::unary<&AngleRadians::neg>),
    {0, nullptr},
};

// --- AngleDegrees -------------------------------------------------------

using D = bind::Members<AngleDegrees>;

AngleDegrees make_degrees(double angle) { return {angle}; }

using NewDegrees = D::Constructor<"AngleDegrees(angle)", &make_degrees>;

PyMethodDef degrees_methods[] = {
    D::method<"to_radians($self)", &AngleDegrees::to_radians>(),
    {},
};

PyGetSetDef degrees_properties[] = {
    D::field<&AngleDegrees::angle>("angle"),
    {},
};

PyType_Slot degrees_slots[] = {
    NewDegrees::doc_slot(),
    NewDegrees::new_slot(),
    {Py_tp_methods, degrees_methods},
    {Py_tp_getset, degrees_properties},
    bind::slot(Py_tp_repr, &D::repr<&AngleDegrees::text>),
    bind::slot(Py_tp_richcompare, &D::ordering<&AngleDegrees::angle>),
    bind::slot(Py_nb_negative, &D::unary<&AngleDegrees::neg>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<AngleRadians>::build() {
    return bind::make_type<AngleRadians>(radians_slots, &NewRadians::vectorcall);
}

PyTypeObject* bind::Class<AngleDegrees>::build() {
    return bind::make_type<AngleDegrees>(degrees_slots, &NewDegrees::vectorcall);
}
