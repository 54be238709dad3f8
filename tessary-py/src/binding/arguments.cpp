#include "arguments.hpp"

#include <string>

#include "errors.hpp"

namespace bind {
namespace {

std::string full_name(const Callee& callee) {
    std::string name;
    if (!callee.owner.empty()) name.append(callee.owner).append(".");
    name.append(callee.name).append("()");
    return name;
}

void check_positional_count(const Callee& callee, Py_ssize_t nargs) {
    if (static_cast<std::size_t>(nargs) <= callee.positional) return;
    std::string message = full_name(callee);
    if (callee.positional == 0) {
        // A method whose only parameters are keyword-only (`out=`) keeps the
        // message it had as a no-argument callable.
        message.append(" takes no arguments (").append(std::to_string(nargs)).append(" given)");
        raise(PyExc_TypeError, message);
    }
    message.append(" takes ").append(std::to_string(callee.positional));
    message.append(" positional arguments but ").append(std::to_string(nargs));
    message.append(nargs == 1 ? " was given" : " were given");
    raise(PyExc_TypeError, message);
}

void bind_keyword(const Callee& callee, Py_ssize_t nargs, PyObject* keyword, PyObject* value,
                  PyObject** bound) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(keyword, &size);
    // A name without a UTF-8 form (a lone surrogate) matches no parameter.
    if (data == nullptr) PyErr_Clear();
    const std::string_view name =
        data != nullptr ? std::string_view{data, static_cast<std::size_t>(size)} : std::string_view{};
    for (std::size_t i = 0; data != nullptr && i < callee.params.size(); ++i) {
        if (callee.params[i] != name) continue;
        if (i < static_cast<std::size_t>(nargs) || bound[i] != nullptr) {
            raise(PyExc_TypeError,
                  full_name(callee).append(" got multiple values for argument '").append(name).append("'"));
        }
        bound[i] = value;
        return;
    }
    // Formatted from the name object itself, which may hold any character.
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", full_name(callee).c_str(), keyword);
    throw PythonError{};
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists the
// missing parameters among [from, to), with `kind` "positional" or
// "keyword-only".
void check_bound(const Callee& callee, PyObject** bound, std::size_t from, std::size_t to, const char* kind) {
    std::size_t missing = 0;
    for (std::size_t i = from; i < to; ++i) missing += bound[i] == nullptr;
    if (missing == 0) return;
    std::string message = full_name(callee);
    message.append(" missing ").append(std::to_string(missing)).append(" required ").append(kind);
    message.append(missing == 1 ? " argument: " : " arguments: ");
    std::size_t listed = 0;
    for (std::size_t i = from; i < to; ++i) {
        if (bound[i] != nullptr) continue;
        if (listed > 0) {
            if (missing > 2) message.append(",");
            message.append(listed + 1 == missing ? " and " : " ");
        }
        message.append("'").append(callee.params[i]).append("'");
        ++listed;
    }
    raise(PyExc_TypeError, message);
}

void check_all_bound(const Callee& callee, PyObject** bound) {
    for (std::size_t i = 0; i < callee.params.size(); ++i) {
        if (bound[i] != nullptr) continue;
        switch (callee.defaults[i]) {
            case Default::kRequired: break;
            case Default::kNone: bound[i] = Py_None; break;
            case Default::kTrue: bound[i] = Py_True; break;
            case Default::kFalse: bound[i] = Py_False; break;
        }
    }
    check_bound(callee, bound, 0, callee.positional, "positional");
    check_bound(callee, bound, callee.positional, callee.params.size(), "keyword-only");
}

}  // namespace

void bind_vector(const Callee& callee, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** bound) {
    check_positional_count(callee, nargs);
    for (std::size_t i = 0; i < callee.params.size(); ++i) {
        bound[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        bind_keyword(callee, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound);
    }
    check_all_bound(callee, bound);
}

void bind_tuple(const Callee& callee, PyObject* args, PyObject* kwargs, PyObject** bound) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    check_positional_count(callee, nargs);
    for (std::size_t i = 0; i < callee.params.size(); ++i) {
        bound[i] = i < static_cast<std::size_t>(nargs) ? PyTuple_GET_ITEM(args, i) : nullptr;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *keyword, *value;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!PyUnicode_Check(keyword)) raise(PyExc_TypeError, "keywords must be strings");
            bind_keyword(callee, nargs, keyword, value, bound);
        }
    }
    check_all_bound(callee, bound);
}

}  // namespace bind
