#include "points_argument.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "../binding/sequence.hpp"
#include "../classes.hpp"
#include "element_array.hpp"
#include "kernels.hpp"
#include "vec3d.hpp"

namespace tessary_py {
namespace {

// A list copied from an exporter of real numbers in rows of three, in any
// layout; nullopt when `source` exports no buffer (or one of Python
// objects), so that it takes the sequence path.
std::optional<VecList> from_buffer(PyObject* source, std::string_view argument) {
    bind::BufferView held;
    const std::optional<bind::FloatRows> rows = bind::import_float_rows(source, held, argument, 3);
    if (!rows) return std::nullopt;
    const std::size_t n = rows->rows;
    if (n == 0) return VecList();
    auto elements = std::make_shared<ElementArray>(n);
    if (rows->packed_doubles(3)) {
        copy_elements({reinterpret_cast<const Vec3d*>(rows->first), n}, elements->slots());
    } else {
        kernels::gather_rows(*rows, elements->slots());
    }
    elements->set_size(n);
    return VecList(std::move(elements));
}

}  // namespace

VecList vec_list_from(PyObject* sequence, std::string_view argument) {
    if (PyUnicode_Check(sequence)) {
        std::string message = "argument '";
        message.append(argument).append("': Can't extract `str` to `Vec`");
        bind::raise(PyExc_TypeError, message);
    }
    if (bind::is_instance<VecList>(sequence)) {
        // Shares the array copy-on-write, like an iterator would.
        return bind::Shared<VecList>(sequence).get();
    }
    if (std::optional<VecList> copied = from_buffer(sequence, argument)) return std::move(*copied);
    if (!PySequence_Check(sequence)) bind::raise_wrong_class(argument, sequence, "Sequence");
    VecList list;
    // The length only sizes the array; a failing or absurd one is ignored.
    const Py_ssize_t hint = PyObject_Size(sequence);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        try {
            list.reserve(static_cast<std::size_t>(hint));
        } catch (const std::bad_alloc&) {
        }
    }
    // Checking and copying an item runs no Python code.
    bind::for_each_item(sequence, argument, bind::Taking::kRunsNoPython, [&](PyObject* item) {
        if (!bind::is_instance<Vec3d>(item)) bind::raise_wrong_class(argument, item, bind::class_name<Vec3d>);
        list.append(bind::read<Vec3d>(item));
    });
    // A length that overstated the items would leave its whole reservation
    // with the list.
    list.shrink_to_fit();
    return list;
}

PointsArgument::PointsArgument(PyObject* source, std::string_view argument)
    : held_(std::make_unique<bind::BufferView>()) {
    if (!bind::is_instance<VecList>(source)) rows_ = bind::import_float_rows(source, *held_, argument, 3);
    if (!rows_) list_ = vec_list_from(source, argument);
}

std::span<const std::byte> PointsArgument::bytes() const noexcept {
    if (!rows_) return std::as_bytes(list_.view());
    if (rows_->rows == 0) return {};
    std::ptrdiff_t low = 0, high = 0;
    for (const std::ptrdiff_t corner :
         {(static_cast<std::ptrdiff_t>(rows_->rows) - 1) * rows_->row_stride, 2 * rows_->column_stride}) {
        low += std::min<std::ptrdiff_t>(corner, 0);
        high += std::max<std::ptrdiff_t>(corner, 0);
    }
    const auto item = static_cast<std::size_t>(held_->view.itemsize);
    return {rows_->first + low, static_cast<std::size_t>(high - low) + item};
}

std::span<const Vec3d> PointsArgument::view() const {
    if (!rows_) return list_.view();
    if (rows_->packed_doubles(3)) return {reinterpret_cast<const Vec3d*>(rows_->first), rows_->rows};
    if (copy_.size() != rows_->rows) {
        copy_.resize(rows_->rows);
        kernels::gather_rows(*rows_, copy_.data());
    }
    return copy_;
}

}  // namespace tessary_py
