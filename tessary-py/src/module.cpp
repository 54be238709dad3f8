// Module initialisation: one module object per process, classes registered
// in a fixed order, each name appended to __all__.
#include <atomic>
#include <cstdint>

#include "classes.hpp"
#include "binding/result_array.hpp"
#include "geometry/geometry.hpp"
#include "vec_list/plane_detection.hpp"

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tessary_py",
    .m_doc = "",
    // Zero (not -1): on a second import CPython calls the init function again
    // instead of copying the first module's dict into a new module object,
    // so the same object comes back.
    .m_size = 0,
};

PyObject* module_object = nullptr;
std::int64_t owning_interpreter = -1;

PyObject* build_module() {
    bind::Ref module = bind::check(PyModule_Create(&module_def));
    bind::add_class<tessary::AngleDegrees>(module.get());
    bind::add_class<tessary::AngleRadians>(module.get());
    bind::add_class<tessary::Quat>(module.get());
    bind::add_class<tessary_py::VecList>(module.get());
    bind::add_class<tessary::Vec3d>(module.get());
    geometry::add_submodule(module.get());
    // Names added after the first release follow, so that the order of the
    // names above stays as it was.
    bind::add_class<tessary::Transform>(module.get());
    bind::add_class<tessary_py::KdTree>(module.get());
    bind::add_class<tessary::IcpResult>(module.get());
    bind::add_class<tessary_py::VoxelGrid>(module.get());
    // The type of the bulk queries' results, for isinstance and annotations
    // at run time; it still cannot be instantiated.
    bind::add_class<bind::ResultArray>(module.get());
    bind::add_class<tessary_py::PlaneResult>(module.get());
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_tessary_py() {
    return bind::guarded<PyObject*>([]() -> PyObject* {
        // Type objects and the module are shared by the whole process; a
        // second interpreter would see objects of the first.
        const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (interpreter < 0) throw bind::PythonError{};
        if (owning_interpreter >= 0 && owning_interpreter != interpreter) {
            bind::raise(PyExc_ImportError, "tessary_py does not support subinterpreters");
        }
        if (module_object == nullptr) {
            module_object = build_module();
            owning_interpreter = interpreter;
        }
        return Py_NewRef(module_object);
    });
}
