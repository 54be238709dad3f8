// Python class Circle.
#include "../classes.hpp"
#include "geometry/circle.hpp"
#include "geometry/plane.hpp"
#include "vec3d.hpp"

namespace {

using tessary::Circle;
using tessary::Vec3d;
using M = bind::Members<Circle>;

using New = M::Constructor<"Circle(center, radius, normal)", &Circle::make>;

PyMethodDef methods[] = {
    M::static_method<"none()", &Circle::none>(),
    M::method<"get_plane($self)", &Circle::get_plane>(),
    M::method<"in_same_plane($self, other)", &Circle::in_same_plane>(),
    M::method<"is_degenerate($self)", &Circle::is_degenerate>(),
    {},
};

// The setters store what they are given: no normalising, no absolute value.
PyGetSetDef properties[] = {
    M::field<&Circle::center>("center"),
    M::field<&Circle::radius>("radius"),
    M::field<&Circle::normal>("normal"),
    M::getter<&Circle::area>("area"),
    {},
};

// Equality without a hash makes instances unhashable; no repr slot leaves
// the interpreter's default.
PyType_Slot slots[] = {
    New::doc_slot(),
    New::new_slot(),
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    bind::slot(Py_tp_richcompare, &M::equality_negated_ne<&Circle::approx_eq>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<Circle>::build() { return bind::make_type<Circle>(slots, &New::vectorcall); }
