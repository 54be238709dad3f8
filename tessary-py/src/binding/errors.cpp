#include "errors.hpp"

namespace bind {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

void raise(PyObject* type, const std::string& message) { raise(type, message.c_str()); }

std::string type_name(PyTypeObject* type) {
    Ref name(PyType_GetQualName(type));
    const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (utf8 == nullptr) {
        // Only reachable under memory exhaustion; the message still names
        // something useful.
        PyErr_Clear();
        return type->tp_name;
    }
    return utf8;
}

void raise_wrong_class(std::string_view argument, PyObject* given, std::string_view expected) {
    std::string message = "argument '";
    message.append(argument).append("': '").append(type_name(Py_TYPE(given)));
    message.append("' object cannot be cast as '").append(expected).append("'");
    raise(PyExc_TypeError, message);
}

void raise_bad_value(std::string_view argument, std::string_view what) {
    std::string message = "argument '";
    message.append(argument).append("': ").append(what);
    raise(PyExc_ValueError, message);
}

std::string float_text(double value) {
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) throw PythonError{};
    std::string copy(text);
    PyMem_Free(text);
    return copy;
}

void raise_number_out_of_range(std::string_view argument, std::string_view expected, double value) {
    std::string what = "expected a number ";
    what.append(expected).append(", got ").append(float_text(value));
    raise_bad_value(argument, what);
}

void raise_integer_out_of_range(std::string_view argument, std::string_view expected, PyObject* integer) {
    Ref text = check(PyObject_Str(integer));
    const char* shown = PyUnicode_AsUTF8(text.get());
    if (shown == nullptr) throw PythonError{};
    std::string what = "expected an integer ";
    what.append(expected).append(", got ").append(shown);
    raise_bad_value(argument, what);
}

void reraise_for_argument(std::string_view argument) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
    std::string prefix = "argument '";
    prefix.append(argument).append("': ");
    reraise_as_type_error(prefix);
}

void reraise_as_type_error(std::string_view prefix) {
    Ref cause(PyErr_GetRaisedException());
    Ref text(PyObject_Str(cause.get()));
    if (!text) throw PythonError{};
    Ref message(PyUnicode_FromFormat("%s%U", std::string(prefix).c_str(), text.get()));
    if (!message) throw PythonError{};
    Ref error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) throw PythonError{};
    PyException_SetContext(error.get(), Py_NewRef(cause.get()));
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, error.get());
    throw PythonError{};
}

namespace {

// Derived from BaseException so that `except Exception` does not swallow a
// broken internal invariant. Created on first need and kept for the process.
PyObject* panic_type() noexcept {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("tessary_py.PanicException",
                                         "An internal assertion of tessary_py failed.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

// Creating the type or the instance can only fail for want of memory, and
// then that is what the caller learns: MemoryError, not the panic. The type
// is tried again at the next panic.
void set_panic(const char* message) noexcept {
    PyObject* type = panic_type();
    Ref text(type ? PyUnicode_FromString(message) : nullptr);
    Ref error(text ? PyObject_CallOneArg(type, text.get()) : nullptr);
    if (!error) {
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            PyErr_NoMemory();
        }
        return;
    }
    PyErr_SetObject(type, error.get());
}

}  // namespace bind
