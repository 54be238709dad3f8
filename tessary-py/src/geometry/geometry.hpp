// The `geometry` submodule of tessary_py.
#pragma once

#include "../binding/python.hpp"

namespace geometry {

// Builds the submodule on first use (once per process), sets it as an
// attribute of `parent` under its own name and appends that name to the
// parent's __all__. It is not entered in sys.modules.
void add_submodule(PyObject* parent);

}  // namespace geometry
