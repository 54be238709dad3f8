// Results of a bulk call as one array that Python reads through the buffer
// protocol: numpy.asarray and memoryview take it without a copy, and numpy
// is not needed to make one. The array owns its memory; it exports it
// writable, so that a numpy view of a result can be changed in place like
// any array numpy makes, or handed back as a buffer for results (`out=`).
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "buffer.hpp"
#include "instance.hpp"
#include "python.hpp"

namespace bind {

class ResultArray {
public:
    // Uninitialised room for `shape` (one or two dimensions) items of
    // Item, one of the formats of format_of. Throws std::bad_alloc when the
    // size does not fit in memory or in the address space.
    template <class Item>
    static ResultArray of(std::span<const std::size_t> shape) {
        static_assert(format_of<Item> != 0);
        return ResultArray(format_of<Item>, sizeof(Item), shape);
    }

    template <class Item>
    Item* data() noexcept {
        return reinterpret_cast<Item*>(storage_.get());
    }

    int ndim() const noexcept { return ndim_; }
    std::size_t rows() const noexcept { return static_cast<std::size_t>(shape_[0]); }
    char format() const noexcept { return format_; }

    // "ResultArray(shape=(2, 3), format='l')".
    std::string repr() const;
    // The items as nested Python lists of int or float.
    PyObject* to_list() const;

    // The whole array, C-contiguous, as a view of it.
    std::unique_ptr<Exported<const ResultArray*>> exported() const;

private:
    ResultArray(char format, std::size_t itemsize, std::span<const std::size_t> shape);

    std::unique_ptr<std::byte[]> storage_;
    int ndim_;
    Py_ssize_t shape_[2] = {0, 0};
    char format_;
    Py_ssize_t itemsize_;
};

// Not registered: Python code meets it as the result of bulk queries.
template <>
struct Class<ResultArray> {
    static constexpr const char* qualified = "tessary_py.ResultArray";
    static PyTypeObject* build();
};

}  // namespace bind
