#include "convert.hpp"

#include <string>

namespace bind {
namespace {

// The attribute's text; empty when it is missing or not a string.
std::string attribute_text(PyObject* object, const char* attribute) {
    Ref value(PyObject_GetAttrString(object, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        return {};
    }
    if (!PyUnicode_Check(value.get())) return {};
    const char* utf8 = PyUnicode_AsUTF8(value.get());
    if (utf8 == nullptr) throw PythonError{};
    return utf8;
}

// NumPy's boolean scalar, recognised by name so that NumPy need not be
// imported: `numpy.bool_` (`numpy.bool` since NumPy 2).
bool is_numpy_bool(PyTypeObject* type) {
    PyObject* object = reinterpret_cast<PyObject*>(type);
    const std::string name = attribute_text(object, "__name__");
    return (name == "bool" || name == "bool_") && attribute_text(object, "__module__") == "numpy";
}

}  // namespace

Seed Arg<Seed>::convert(PyObject* object, std::string_view name) {
    if (object == Py_None) return {0};
    Ref integer = PyLong_CheckExact(object) ? Ref::borrowed(object) : Ref(PyNumber_Index(object));
    if (!integer) reraise_for_argument(name);
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        raise_integer_out_of_range(name, "from 0 to 2**64 - 1", integer.get());
    }
    return {value};
}

bool Arg<bool>::convert(PyObject* object, std::string_view name) {
    if (object == Py_True) [[likely]] return true;
    if (object == Py_False) return false;
    // The name lookups may run a metaclass's Python code, which can reassign
    // the object's __class__; the type used below is kept alive meanwhile.
    PyTypeObject* type = Py_TYPE(object);
    const Ref type_reference = Ref::borrowed(reinterpret_cast<PyObject*>(type));
    if (!is_numpy_bool(type)) raise_wrong_class(name, object, "bool");
    inquiry to_bool = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (to_bool == nullptr) {
        std::string message = "argument '";
        message.append(name).append("': object of type '").append(type_name(type));
        message.append(" (numpy)' does not define a '__bool__' conversion");
        raise(PyExc_TypeError, message);
    }
    const int truth = to_bool(object);
    if (truth < 0) throw PythonError{};
    return truth != 0;
}

}  // namespace bind
