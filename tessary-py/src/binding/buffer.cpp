#include "buffer.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <string>

namespace bind {
namespace detail {
namespace {

// Where an empty export points: consumers may read a pointer even for no
// bytes, so it is never null.
double empty_data[1] = {0.0};

bool fortran_contiguous(int ndim, const Py_ssize_t* shape) {
    // C order is also Fortran order when at most one dimension exceeds 1.
    int longer = 0;
    for (int i = 0; i < ndim; ++i) longer += shape[i] > 1;
    return longer <= 1;
}

}  // namespace

bool refuse_request(const char* type_name, int ndim, const Py_ssize_t* shape, bool writable, int flags) {
    if (!writable && (flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "Object is not writable.");
        return true;
    }
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !fortran_contiguous(ndim, shape)) {
        PyErr_Format(PyExc_BufferError, "%s is not Fortran contiguous", type_name);
        return true;
    }
    return false;
}

const char* format_text(char format) {
    switch (format) {
        case 'l': return "l";
        case '?': return "?";
        default: return "d";
    }
}

void describe(Py_buffer* view, const void* data, int ndim, Py_ssize_t* shape, Py_ssize_t* strides,
              const char* format, Py_ssize_t itemsize, bool writable, int flags) {
    Py_ssize_t count = 1;
    for (int i = 0; i < ndim; ++i) count *= shape[i];
    strides[ndim - 1] = itemsize;
    if (ndim == 2) strides[0] = shape[1] * itemsize;
    const bool with_format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
    const bool with_shape = (flags & PyBUF_ND) == PyBUF_ND;
    view->buf = data != nullptr ? const_cast<void*>(data) : empty_data;
    view->len = count * itemsize;
    // Without a shape the consumer sees one flat run of len bytes (or of
    // items, when it asked for the format), as PyBuffer_FillInfo gives:
    // memoryview reads shape[i] for every dimension that ndim claims.
    view->itemsize = with_format || with_shape ? itemsize : 1;
    view->readonly = writable ? 0 : 1;
    view->ndim = with_shape ? ndim : 1;
    view->format = with_format ? const_cast<char*>(format) : nullptr;
    view->shape = with_shape ? shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? strides : nullptr;
    view->suboffsets = nullptr;
}

std::string shape_text(int ndim, const Py_ssize_t* shape) {
    std::string text = "(";
    for (int i = 0; i < ndim; ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(shape[i]);
    }
    return text + (ndim == 1 ? ",)" : ")");
}

std::string layout_text(bool writable, bool contiguous, const std::string& shape, std::string_view format) {
    std::string text = writable ? "a writable " : "a read-only ";
    text.append(contiguous ? "C-contiguous" : "non-contiguous").append(" buffer of shape ").append(shape);
    return text.append(" and format '").append(format).append("'");
}

using Scalar = FloatRows::Scalar;

// The numbers a buffer holds, by its format: signed and unsigned integers
// of every width, float16 to long double, and bool, in either byte order.
// nullopt for anything else (complex, objects, strings, structures).
struct Layout {
    Scalar scalar;
    bool swapped;
};

std::optional<Layout> layout_of(const Py_buffer& view) {
    std::string_view format = view.format != nullptr ? view.format : "B";
    // '@' (or nothing): native order and sizes; '=', '<', '>', '!': the
    // struct module's standard sizes, in the order named.
    char order = '@';
    if (!format.empty() && std::string_view("@=<>!").find(format[0]) != std::string_view::npos) {
        order = format[0];
        format.remove_prefix(1);
    }
    if (format.size() != 1) return std::nullopt;
    constexpr char other_order = std::endian::native == std::endian::little ? '>' : '<';
    const bool swapped = order == other_order || (order == '!' && std::endian::native == std::endian::little);
    enum Kind { Signed, Unsigned, Exact };
    struct Letter {
        char letter;
        Kind kind;
        std::size_t native_size;
        std::size_t standard_size;  // 0: native only
        Scalar exact = Scalar::Double;
    };
    static constexpr Letter letters[] = {
        {'b', Signed, sizeof(signed char), 1},
        {'B', Unsigned, sizeof(unsigned char), 1},
        {'h', Signed, sizeof(short), 2},
        {'H', Unsigned, sizeof(unsigned short), 2},
        {'i', Signed, sizeof(int), 4},
        {'I', Unsigned, sizeof(unsigned int), 4},
        {'l', Signed, sizeof(long), 4},
        {'L', Unsigned, sizeof(unsigned long), 4},
        {'q', Signed, sizeof(long long), 8},
        {'Q', Unsigned, sizeof(unsigned long long), 8},
        {'n', Signed, sizeof(Py_ssize_t), 0},
        {'N', Unsigned, sizeof(std::size_t), 0},
        {'?', Exact, sizeof(bool), 1, Scalar::Bool},
        {'e', Exact, 2, 2, Scalar::Half},
        {'f', Exact, sizeof(float), 4, Scalar::Float},
        {'d', Exact, sizeof(double), 8, Scalar::Double},
        {'g', Exact, sizeof(long double), 0, Scalar::LongDouble},
    };
    for (const Letter& entry : letters) {
        if (entry.letter != format[0]) continue;
        const std::size_t size = order == '@' ? entry.native_size : entry.standard_size;
        if (size == 0 || static_cast<std::size_t>(view.itemsize) != size) return std::nullopt;
        if (entry.kind == Exact) return Layout{entry.exact, swapped};
        constexpr Scalar by_size[2][4] = {{Scalar::Int8, Scalar::Int16, Scalar::Int32, Scalar::Int64},
                                          {Scalar::UInt8, Scalar::UInt16, Scalar::UInt32, Scalar::UInt64}};
        const int width = std::countr_zero(size);
        if (!std::has_single_bit(size) || width > 3) return std::nullopt;
        return Layout{by_size[entry.kind == Unsigned][width], swapped};
    }
    return std::nullopt;
}

// What a refused format holds, in words, or "" when there is nothing
// useful to say: "Zd" is complex, "5s" bytes, "T{...}" a structure.
std::string_view format_kind(std::string_view format) {
    while (!format.empty() && (std::string_view("@=<>!").find(format[0]) != std::string_view::npos ||
                               (format[0] >= '0' && format[0] <= '9'))) {
        format.remove_prefix(1);
    }
    if (format.empty()) return "";
    switch (format[0]) {
        case 'O': return "object";
        case 'Z': return "complex";
        case 's':
        case 'p':
        case 'c': return "bytes";
        case 'w':
        case 'u': return "str";
        case 'x': return "void";
        case 'T': return "structured";
        case 'P': return "pointer";
        default: return "";
    }
}

// "argument 'list': expected real numbers in rows of 3, got ", or "in 3
// rows of 3" when the number of rows is fixed.
std::string expected_numbers(std::string_view argument, std::size_t width, std::optional<std::size_t> rows) {
    std::string message = "argument '";
    message.append(argument).append("': expected real numbers in ");
    if (rows) message.append(std::to_string(*rows)).append(" ");
    return message.append("rows of ").append(std::to_string(width)).append(", got ");
}

}  // namespace detail

std::string_view native_format(const Py_buffer& view) {
    std::string_view format = view.format != nullptr ? view.format : "B";
    constexpr char native_order = std::endian::native == std::endian::little ? '<' : '>';
    if (format.size() == 2 && (format[0] == '@' || format[0] == '=' || format[0] == native_order)) {
        format.remove_prefix(1);
    }
    return format;
}

namespace detail {

namespace {

// Whether a view's items are those of `format`: the same character, or for
// the index format any native signed integer of the same size.
bool same_items(const Py_buffer& view, char format, std::size_t itemsize) {
    const std::string_view given = native_format(view);
    if (given.size() != 1 || static_cast<std::size_t>(view.itemsize) != itemsize) return false;
    if (format == 'l') return given == "n" || given == "l" || given == "q" || given == "i";
    return given[0] == format;
}

}  // namespace

void acquire_output(BufferView& held, PyObject* object, std::string_view name, std::span<const std::size_t> shape,
                    char format, std::size_t itemsize, std::span<const std::byte> inputs) {
    Py_buffer& view = held.view;
    const int ndim = static_cast<int>(shape.size());
    Py_ssize_t expected_shape[2] = {0, 0};
    for (int i = 0; i < ndim; ++i) expected_shape[i] = static_cast<Py_ssize_t>(shape[static_cast<std::size_t>(i)]);
    std::string message = "argument '";
    message.append(name).append("': expected ");
    message.append(layout_text(true, true, shape_text(ndim, expected_shape), std::string_view(&format, 1)));
    message.append(", got ");
    if (!PyObject_CheckBuffer(object)) {
        message.append("'").append(type_name(Py_TYPE(object))).append("' object, which exports no buffer");
        raise(PyExc_TypeError, message);
    }
    bool writable = PyObject_GetBuffer(object, &view, PyBUF_RECORDS) == 0;
    if (!writable) {
        // A read-only exporter refuses the writable request (with a
        // BufferError, or numpy's ValueError); a second, read-only request
        // describes what it holds.
        PyErr_Clear();
        if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) < 0) reraise_for_argument(name);
    }
    writable = writable && view.readonly == 0;
    const bool contiguous = PyBuffer_IsContiguous(&view, 'C') != 0;
    const char* raw_format = view.format != nullptr ? view.format : "B";
    message.append(layout_text(writable, contiguous, shape_text(view.ndim, view.shape), raw_format));
    if (!same_items(view, format, itemsize) || !writable) raise(PyExc_TypeError, message);
    bool same_shape = view.ndim == ndim;
    for (int i = 0; same_shape && i < ndim; ++i) same_shape = view.shape[i] == expected_shape[i];
    if (!same_shape || !contiguous) raise(PyExc_ValueError, message);
    const auto* begin = static_cast<const std::byte*>(view.buf);
    const auto* end = begin + view.len;
    if (view.len != 0 && !inputs.empty() && begin < inputs.data() + inputs.size() && inputs.data() < end) {
        std::string overlap = "argument '";
        overlap.append(name).append("': the buffer overlaps the elements the results are computed from");
        raise(PyExc_ValueError, overlap);
    }
}

}  // namespace detail

void raise_wrong_shape(std::string_view argument, std::size_t width, std::optional<std::size_t> rows,
                       std::string_view got) {
    std::string message = "argument '";
    message.append(argument).append("': expected an array of shape (");
    message.append(rows ? std::to_string(*rows) : std::string("n")).append(", ").append(std::to_string(width));
    message.append("), got ").append(got);
    raise(PyExc_TypeError, message);
}

void raise_wrong_matrix_shape(std::string_view argument, std::span<const std::size_t> heights, std::size_t width,
                              std::string_view got) {
    std::string message = "argument '";
    message.append(argument).append("': expected an array of shape ");
    for (std::size_t k = 0; k < heights.size(); ++k) {
        if (k > 0) message.append(" or ");
        message.append("(").append(std::to_string(heights[k])).append(", ").append(std::to_string(width)).append(")");
    }
    message.append(", got ").append(got);
    raise(PyExc_TypeError, message);
}

namespace {

// The layout of the real numbers that `source` exports, held in `held`;
// nullopt when it exports no buffer, is bytes or bytearray, or exports one
// dimension of Python objects, so that the caller reads it as a sequence.
// Any other buffer is a TypeError: `expected` ("argument 'list': expected
// real numbers in rows of 3, got ") and what it holds.
std::optional<detail::Layout> real_numbers(PyObject* source, BufferView& held, const std::string& expected) {
    // bytes and bytearray are sequences of small integers first: they are
    // read as sequences, whose items are not rows.
    if (!PyObject_CheckBuffer(source) || PyBytes_Check(source) || PyByteArray_Check(source)) return std::nullopt;
    if (PyObject_GetBuffer(source, &held.view, PyBUF_RECORDS_RO) < 0) {
        // An exporter that cannot describe what it holds (numpy's
        // datetimes): its own words say what it is.
        if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_TypeError)) {
            throw PythonError{};
        }
        reraise_as_type_error(expected + "a buffer that cannot be read: ");
    }
    const Py_buffer& view = held.view;
    const std::optional<detail::Layout> layout = detail::layout_of(view);
    if (!layout) {
        const std::string_view format = view.format != nullptr ? view.format : "B";
        if (view.ndim == 1 && native_format(view) == "O") {
            // One dimension of Python objects (a numpy array of Quat, say)
            // is a sequence of them.
            PyBuffer_Release(&held.view);
            return std::nullopt;
        }
        std::string message = expected;
        message.append("an array of format '").append(format).append("'");
        if (const std::string_view kind = detail::format_kind(format); !kind.empty()) {
            message.append(" (").append(kind).append(")");
        }
        raise(PyExc_TypeError, message);
    }
    return layout;
}

// The rows of a two-dimensional view of real numbers.
FloatRows rows_of(const Py_buffer& view, const detail::Layout& layout) {
    // A request with strides always gets them, except from exporters that
    // are C-contiguous and leave them out.
    const Py_ssize_t row = view.strides != nullptr ? view.strides[0] : view.shape[1] * view.itemsize;
    const Py_ssize_t column = view.strides != nullptr ? view.strides[1] : view.itemsize;
    return FloatRows{static_cast<const std::byte*>(view.buf), row, column, static_cast<std::size_t>(view.shape[0]),
                     layout.scalar, layout.swapped};
}

}  // namespace

std::optional<FloatRows> import_float_rows(PyObject* source, BufferView& held, std::string_view argument,
                                           std::size_t width, std::optional<std::size_t> rows) {
    const std::optional<detail::Layout> layout =
        real_numbers(source, held, detail::expected_numbers(argument, width, rows));
    if (!layout) return std::nullopt;
    const Py_buffer& view = held.view;
    if (view.ndim != 2 || view.shape[1] != static_cast<Py_ssize_t>(width) ||
        (rows && view.shape[0] != static_cast<Py_ssize_t>(*rows))) {
        raise_wrong_shape(argument, width, rows, detail::shape_text(view.ndim, view.shape));
    }
    return rows_of(view, *layout);
}

std::optional<FloatRows> import_float_matrix(PyObject* source, BufferView& held, std::string_view argument,
                                             std::span<const std::size_t> heights, std::size_t width) {
    const std::optional<std::size_t> rows = heights.size() == 1 ? std::optional(heights[0]) : std::nullopt;
    const std::optional<detail::Layout> layout =
        real_numbers(source, held, detail::expected_numbers(argument, width, rows));
    if (!layout) return std::nullopt;
    const Py_buffer& view = held.view;
    if (view.ndim != 2 || view.shape[1] != static_cast<Py_ssize_t>(width) ||
        std::find(heights.begin(), heights.end(), static_cast<std::size_t>(view.shape[0])) == heights.end()) {
        raise_wrong_matrix_shape(argument, heights, width, detail::shape_text(view.ndim, view.shape));
    }
    return rows_of(view, *layout);
}

std::optional<FloatRows> import_float_column(PyObject* source, BufferView& held, std::string_view argument) {
    std::string expected = "argument '";
    expected.append(argument).append("': expected real numbers, got ");
    const std::optional<detail::Layout> layout = real_numbers(source, held, expected);
    if (!layout) return std::nullopt;
    const Py_buffer& view = held.view;
    if (view.ndim != 1) {
        std::string message = "argument '";
        message.append(argument).append("': expected an array of shape (n,), got ");
        raise(PyExc_TypeError, message.append(detail::shape_text(view.ndim, view.shape)));
    }
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    return FloatRows{static_cast<const std::byte*>(view.buf), stride, 0, static_cast<std::size_t>(view.shape[0]),
                     layout->scalar, layout->swapped};
}

}  // namespace bind
