// The intersection functions and the `geometry` submodule that holds them
// with the Circle and Plane classes.
#include "geometry/intersection.hpp"
#include "geometry/circle.hpp"
#include "geometry/plane.hpp"
#include "vec3d.hpp"

#include "../classes.hpp"
#include "geometry.hpp"

namespace {

using tessary::Circle;
using tessary::Plane;

PyMethodDef plane_line = bind::function<"plane_line(plane, a, b)", &tessary::plane_line>();
PyMethodDef circle_point =
    bind::function<"circle_point(circle, point, inner)", &tessary::circle_point>();
PyMethodDef circle_point_unchecked =
    bind::function<"circle_point_unchecked(circle, point, inner)", &tessary::circle_point_unchecked>();
PyMethodDef circle_circle = bind::function<"circle_circle(circle1, circle2)", &tessary::circle_circle>();

PyModuleDef submodule_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "geometry",
    .m_doc = "",
    .m_size = -1,
};

void add_function(PyObject* module, PyMethodDef* def) {
    bind::Ref name = bind::check(PyModule_GetNameObject(module));
    bind::Ref function = bind::check(PyCMethod_New(def, module, name.get(), nullptr));
    bind::add_to_module(module, def->ml_name, function.get());
}

PyObject* build_submodule() {
    bind::Ref module = bind::check(PyModule_Create(&submodule_def));
    bind::add_class<Circle>(module.get());
    add_function(module.get(), &circle_circle);
    add_function(module.get(), &circle_point);
    add_function(module.get(), &circle_point_unchecked);
    add_function(module.get(), &plane_line);
    bind::add_class<Plane>(module.get());
    return module.release();
}

}  // namespace

void geometry::add_submodule(PyObject* parent) {
    // Kept for the process: a failed import of the parent that is retried
    // attaches the same submodule again.
    static PyObject* submodule = nullptr;
    if (submodule == nullptr) submodule = build_submodule();
    const char* name = PyModule_GetName(submodule);
    if (name == nullptr) throw bind::PythonError{};
    bind::add_to_module(parent, name, submodule);
}
