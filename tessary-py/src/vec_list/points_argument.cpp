#include "points_argument.hpp"

#include <algorithm>

#include "../classes.hpp"
#include "kernels.hpp"

namespace tessary_py {

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
