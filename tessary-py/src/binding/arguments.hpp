// Binding of positional and keyword arguments to parameter names, with the
// interpreter-style messages for every mismatch.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "python.hpp"
#include "signature.hpp"

namespace bind {

// Who is being called, for the messages: "Vec3d.dot()", "circle_point()".
struct Callee {
    std::string_view owner;  // class name, empty for a module function
    std::string_view name;
    std::span<const std::string_view> params;
    std::size_t positional;           // the parameters before '*'; the rest are keyword-only
    std::span<const Default> defaults;  // per parameter: what it is bound to when not given
};

// Binds a vectorcall argument vector; `bound` receives one borrowed object
// per parameter (its default object for one not given). Throws PythonError
// with the TypeError set on a mismatch.
void bind_vector(const Callee& callee, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** bound);

// The same for a tuple and a keyword dictionary (tp_new).
void bind_tuple(const Callee& callee, PyObject* args, PyObject* kwargs, PyObject** bound);

}  // namespace bind
