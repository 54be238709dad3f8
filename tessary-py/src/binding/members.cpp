#include "members.hpp"

#include <cstring>
#include <vector>

namespace bind {
namespace {

// For classes without a constructor. The message names the class with the
// module it is reported under, as the interpreter's own refusal does.
PyObject* refuse_instances(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
    if (module == nullptr) return nullptr;
    PyErr_Format(PyExc_TypeError, "cannot create '%S.%s' instances", module, type->tp_name);
    Py_DECREF(module);
    return nullptr;
}

}  // namespace

PyTypeObject* make_type(const char* qualified, std::size_t basicsize, destructor dealloc,
                        const PyType_Slot* slots, vectorcallfunc vectorcall) {
    std::vector<PyType_Slot> all{{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)}};
    bool constructible = vectorcall != nullptr;
    for (const PyType_Slot* slot = slots; slot->slot != 0; ++slot) {
        constructible = constructible || slot->slot == Py_tp_new;
        all.push_back(*slot);
    }
    if (!constructible) all.push_back({Py_tp_new, reinterpret_cast<void*>(&refuse_instances)});
    all.push_back({0, nullptr});
    PyType_Spec spec{
        .name = qualified,
        .basicsize = static_cast<int>(basicsize),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        .slots = all.data(),
    };
    // The dotted name sets __module__ ("builtins", "tessary_py"); afterwards the type goes
    // by its bare name, which is what the interpreter's own messages print
    // ("'<' not supported between instances of 'Vec3d' and 'Vec3d'").
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) return nullptr;
    const char* dot = std::strrchr(qualified, '.');
    type->tp_name = dot != nullptr ? dot + 1 : qualified;
    if (vectorcall != nullptr) type->tp_vectorcall = vectorcall;
    return type;
}

void add_to_module(PyObject* module, const char* name, PyObject* object) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    check_status(PyObject_SetAttrString(module, name, object));
    Ref text = check(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), text.get()));
}

}  // namespace bind
