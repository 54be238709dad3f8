// The buffer protocol (PEP 3118) both ways: exports of doubles or indices,
// imports of rows of real numbers from any exporter, and writable buffers
// that callers hand in to receive results. An exported view is filled
// completely or not at all, and what it keeps alive is released exactly
// once, by the view's own release.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "errors.hpp"
#include "python.hpp"
#include "ref.hpp"
#include "rows.hpp"

namespace bind {

// The item formats of exports and of buffers for results: float64, bool,
// and the platform's signed index type (Py_ssize_t, numpy's intp).
template <class Item>
constexpr char format_of = 0;
template <>
inline constexpr char format_of<double> = 'd';
template <>
inline constexpr char format_of<bool> = '?';
// 'l', as numpy's intp exports it: numpy before 2 does not read 'n'. A
// long is a Py_ssize_t on every POSIX data model the module builds for.
static_assert(sizeof(long) == sizeof(Py_ssize_t));
template <>
inline constexpr char format_of<Py_ssize_t> = 'l';

// One export: a C-contiguous array of `ndim` (1 or 2) dimensions of items
// of `format` (a format_of) at `data`, whose memory `keep` holds for as
// long as the view lives; read-only unless `writable`. The view points at
// its shape and strides.
template <class Keep>
struct Exported {
    Keep keep;
    const void* data = nullptr;
    int ndim = 1;
    Py_ssize_t shape[2] = {0, 0};
    Py_ssize_t strides[2] = {0, 0};
    char format = 'd';
    Py_ssize_t itemsize = sizeof(double);
    bool writable = false;
};

namespace detail {

// Fails a request the export cannot meet, with the view left untouched.
bool refuse_request(const char* type_name, int ndim, const Py_ssize_t* shape, bool writable, int flags);

// Fills everything but `obj` and `internal`.
void describe(Py_buffer* view, const void* data, int ndim, Py_ssize_t* shape, Py_ssize_t* strides,
              const char* format, Py_ssize_t itemsize, bool writable, int flags);

// The text of a format character that a view points at.
const char* format_text(char format);

}  // namespace detail

// bf_getbuffer's work once the export is made: checks the request, then
// hands `exported` to the view.
template <class Keep>
int fill_view(PyObject* exporter, Py_buffer* view, int flags, std::unique_ptr<Exported<Keep>> exported) {
    if (detail::refuse_request(Py_TYPE(exporter)->tp_name, exported->ndim, exported->shape, exported->writable,
                               flags)) {
        view->obj = nullptr;
        return -1;
    }
    detail::describe(view, exported->data, exported->ndim, exported->shape, exported->strides,
                     detail::format_text(exported->format), exported->itemsize, exported->writable, flags);
    view->obj = Py_NewRef(exporter);
    view->internal = exported.release();
    return 0;
}

// A view obtained from an exporter, released with its holder (a view never
// filled releases nothing).
struct BufferView {
    Py_buffer view{};
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view); }
};

// The struct-module format of a view without a prefix that only restates
// the native layout ("@d", "=d" and, on a little-endian machine, "<d" are
// "d"); "B" for a view without a format.
std::string_view native_format(const Py_buffer& view);

// A keyword argument that receives a call's results in place, as numpy's
// `out=` does: None when not given, else an object exporting a buffer
// that the results are written to (see OutputBuffer).
template <class Item>
struct Output {
    PyObject* object;
    std::string_view name;
    bool given() const noexcept { return object != Py_None; }
};

namespace detail {

// The writable, C-contiguous buffer of `shape` (one or two dimensions)
// of items of `format` that `object` exports, not overlapping `inputs`.
// Anything else is refused, before anything is written, with a TypeError
// (no buffer, another format, read-only) or a ValueError (another shape,
// not contiguous, overlapping) naming the argument and both layouts. For
// the index format 'l', any native signed integer format of the same size
// is the same items.
void acquire_output(BufferView& held, PyObject* object, std::string_view name, std::span<const std::size_t> shape,
                    char format, std::size_t itemsize, std::span<const std::byte> inputs);

}  // namespace detail

// The buffer of a given Output, held for as long as this lives. Acquiring
// it may run Python code (an exporter written in Python).
template <class Item>
class OutputBuffer {
    static_assert(format_of<Item> != 0);

public:
    OutputBuffer(const Output<Item>& output, std::size_t count, std::span<const std::byte> inputs)
        : OutputBuffer(output, std::span<const std::size_t>(&count, 1), inputs) {}

    OutputBuffer(const Output<Item>& output, std::span<const std::size_t> shape, std::span<const std::byte> inputs)
        : object_(output.object) {
        detail::acquire_output(held_, output.object, output.name, shape, format_of<Item>, sizeof(Item), inputs);
    }

    Item* data() const noexcept { return static_cast<Item*>(held_.view.buf); }
    std::span<const std::byte> bytes() const noexcept {
        return {static_cast<const std::byte*>(held_.view.buf), static_cast<std::size_t>(held_.view.len)};
    }
    // The object that was given, as the call's result.
    Ref result() const noexcept { return Ref::borrowed(object_); }

private:
    BufferView held_;
    PyObject* object_;
};

// The rows of `source` when it exports real numbers (integers of any
// width, float16 to long double, bool; either byte order) of shape
// (n, width), or (rows, width) when `rows` is given; they stay valid while
// `held` lives, and FloatRows reads each as numpy's astype(float64) would.
// nullopt when `source` exports no buffer, is bytes or bytearray, or
// exports one dimension of Python objects, so that the caller reads it as
// a sequence. Any other buffer is a
// TypeError naming what it holds: "argument 'list': expected real numbers
// in rows of 3, got an array of format 'Zd' (complex)"; and real numbers
// of another shape too: "argument 'list': expected an array of shape
// (n, 3), got (5, 4)".
std::optional<FloatRows> import_float_rows(PyObject* source, BufferView& held, std::string_view argument,
                                           std::size_t width, std::optional<std::size_t> rows = std::nullopt);

// The numbers of `source` when it exports real numbers of shape (n,), as
// rows of one column; nullopt and TypeErrors as for import_float_rows,
// the shape's reading "argument 'weights': expected an array of shape
// (n,), got (5, 4)".
std::optional<FloatRows> import_float_column(PyObject* source, BufferView& held, std::string_view argument);

// TypeError "argument 'NAME': expected an array of shape (n, 3), got " and
// then `got` (a shape such as "(5, 4)").
[[noreturn]] void raise_wrong_shape(std::string_view argument, std::size_t width, std::optional<std::size_t> rows,
                                    std::string_view got);

// The rows of a small matrix: as import_float_rows, for a buffer of shape
// (h, width) with h one of `heights`; any other shape is a TypeError that
// names each accepted one: "argument 'm': expected an array of shape
// (4, 4) or (3, 4), got (4, 3)".
std::optional<FloatRows> import_float_matrix(PyObject* source, BufferView& held, std::string_view argument,
                                             std::span<const std::size_t> heights, std::size_t width);

// TypeError "argument 'NAME': expected an array of shape (4, 4) or (3, 4),
// got " and then `got`.
[[noreturn]] void raise_wrong_matrix_shape(std::string_view argument, std::span<const std::size_t> heights,
                                           std::size_t width, std::string_view got);

}  // namespace bind
