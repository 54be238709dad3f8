// Read-only exports of doubles through the buffer protocol (PEP 3118).
// A view is filled completely or not at all, and what it keeps alive is
// released exactly once, by the view's own release.
#pragma once

#include <memory>

#include "errors.hpp"
#include "python.hpp"

namespace bind {

// One export: a C-contiguous array of doubles of `ndim` (1 or 2)
// dimensions at `data`, whose memory `keep` holds for as long as the view
// lives. The view points at its shape and strides.
template <class Keep>
struct Exported {
    Keep keep;
    const double* data = nullptr;
    int ndim = 1;
    Py_ssize_t shape[2] = {0, 0};
    Py_ssize_t strides[2] = {0, 0};
};

namespace detail {

// Fails a request the export cannot meet, with the view left untouched.
bool refuse_request(const char* type_name, int ndim, const Py_ssize_t* shape, int flags);

// Fills everything but `obj` and `internal`.
void describe(Py_buffer* view, const double* data, int ndim, Py_ssize_t* shape, Py_ssize_t* strides, int flags);

}  // namespace detail

// bf_getbuffer's work once the export is made: checks the request, then
// hands `exported` to the view.
template <class Keep>
int fill_view(PyObject* exporter, Py_buffer* view, int flags, std::unique_ptr<Exported<Keep>> exported) {
    if (detail::refuse_request(Py_TYPE(exporter)->tp_name, exported->ndim, exported->shape, flags)) {
        view->obj = nullptr;
        return -1;
    }
    detail::describe(view, exported->data, exported->ndim, exported->shape, exported->strides, flags);
    view->obj = Py_NewRef(exporter);
    view->internal = exported.release();
    return 0;
}

}  // namespace bind
