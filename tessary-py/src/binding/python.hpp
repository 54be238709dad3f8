// The one place that includes Python.h, so every file sees the same
// configuration of the C API, and the one place that bridges what differs
// between the supported CPython versions: the module is written against the
// newest API, and older versions get it here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// From 3.12 on the raised exception is one object, its traceback attached;
// PyErr_Fetch and PyErr_NormalizeException, which 3.11 needs, are
// deprecated there.
inline PyObject* PyErr_GetRaisedException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
        Py_DECREF(traceback);
    }
    Py_DECREF(type);
    return value;
}
#endif
