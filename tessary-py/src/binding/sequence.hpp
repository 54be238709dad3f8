// Reading the items of a sequence argument, the one way the module does it.
#pragma once

#include <string_view>

#include "errors.hpp"
#include "python.hpp"
#include "ref.hpp"

namespace bind {

// Whether taking an item may run Python code (a number's __float__, which
// could change the sequence being read).
enum class Taking { kRunsNoPython, kMayRunPython };

// take(item) for each item of `sequence` in order. Items are read by
// iteration, each held while it is taken, so that a length (a hint only) is
// never trusted; where taking runs no Python code, the items of a list or
// a tuple are read where they are, since nothing can change the container
// meanwhile. Not a sequence: TypeError "argument 'NAME': 'X' object cannot
// be cast as 'Sequence'".
template <class Take>
void for_each_item(PyObject* sequence, std::string_view argument, Taking taking, const Take& take) {
    if (!PySequence_Check(sequence)) raise_wrong_class(argument, sequence, "Sequence");
    if (taking == Taking::kRunsNoPython && (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence))) {
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
        PyObject* const* items = PySequence_Fast_ITEMS(sequence);
        for (Py_ssize_t i = 0; i < count; ++i) take(items[i]);
        return;
    }
    Ref iterator(PyObject_GetIter(sequence));
    if (!iterator) reraise_for_argument(argument);
    while (Ref item{PyIter_Next(iterator.get())}) take(item.get());
    if (PyErr_Occurred()) reraise_for_argument(argument);
}

}  // namespace bind
