#include "buffer.hpp"

namespace bind {
namespace detail {
namespace {

// Where an empty export points: consumers may read a pointer even for no
// bytes, so it is never null.
const double empty_data[1] = {0.0};

bool fortran_contiguous(int ndim, const Py_ssize_t* shape) {
    // C order is also Fortran order when at most one dimension exceeds 1.
    int longer = 0;
    for (int i = 0; i < ndim; ++i) longer += shape[i] > 1;
    return longer <= 1;
}

}  // namespace

bool refuse_request(const char* type_name, int ndim, const Py_ssize_t* shape, int flags) {
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "Object is not writable.");
        return true;
    }
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !fortran_contiguous(ndim, shape)) {
        PyErr_Format(PyExc_BufferError, "%s is not Fortran contiguous", type_name);
        return true;
    }
    return false;
}

void describe(Py_buffer* view, const double* data, int ndim, Py_ssize_t* shape, Py_ssize_t* strides, int flags) {
    Py_ssize_t count = 1;
    for (int i = 0; i < ndim; ++i) count *= shape[i];
    strides[ndim - 1] = sizeof(double);
    if (ndim == 2) strides[0] = shape[1] * static_cast<Py_ssize_t>(sizeof(double));
    const bool with_format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
    const bool with_shape = (flags & PyBUF_ND) == PyBUF_ND;
    view->buf = const_cast<double*>(data != nullptr ? data : empty_data);
    view->len = count * static_cast<Py_ssize_t>(sizeof(double));
    // Without a shape the consumer sees one flat run of len bytes (or of
    // doubles, when it asked for the format), as PyBuffer_FillInfo gives:
    // memoryview reads shape[i] for every dimension that ndim claims.
    view->itemsize = with_format || with_shape ? sizeof(double) : 1;
    view->readonly = 1;
    view->ndim = with_shape ? ndim : 1;
    view->format = with_format ? const_cast<char*>("d") : nullptr;
    view->shape = with_shape ? shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? strides : nullptr;
    view->suboffsets = nullptr;
}

}  // namespace detail
}  // namespace bind
