// The buffer protocol (PEP 3118) both ways: read-only exports of doubles,
// and imports of floating-point rows from any exporter. An exported view is
// filled completely or not at all, and what it keeps alive is released
// exactly once, by the view's own release.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "errors.hpp"
#include "python.hpp"
#include "rows.hpp"

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

// An imported view, released when the import is done with.
class ImportedBuffer {
public:
    ImportedBuffer() = default;
    ImportedBuffer(const ImportedBuffer&) = delete;
    ImportedBuffer& operator=(const ImportedBuffer&) = delete;
    ~ImportedBuffer() { PyBuffer_Release(&view); }

    Py_buffer view{};
};

// The rows of `source` when it exports float64 or float32 numbers of shape
// (n, width), or (rows, width) when `rows` is given; they stay valid while
// `held` lives. nullopt when it exports no buffer of floating-point numbers
// (or one that cannot describe its layout), so that the caller reads it as
// a sequence. Floating-point numbers of another shape are a TypeError:
// "argument 'list': expected an array of shape (n, 3), got (5, 4)".
std::optional<FloatRows> import_float_rows(PyObject* source, ImportedBuffer& held, std::string_view argument,
                                           std::size_t width, std::optional<std::size_t> rows = std::nullopt);

// TypeError "argument 'NAME': expected an array of shape (n, 3), got " and
// then `got` (a shape such as "(5, 4)").
[[noreturn]] void raise_wrong_shape(std::string_view argument, std::size_t width, std::optional<std::size_t> rows,
                                    std::string_view got);

}  // namespace bind
