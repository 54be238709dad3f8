// An argument that holds points: whatever VecList(...) takes. A VecList's
// elements and the rows of a buffer of real numbers are read where they
// are (each number as numpy's astype(float64) gives it); anything else
// VecList() takes (a sequence of Vec3d) is copied once. The points stay
// valid and unchanged for as long as the argument lives.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "../binding/buffer.hpp"
#include "../binding/convert.hpp"
#include "vec_list.hpp"

namespace tessary_py {

// What VecList(list) accepts, as a list (sharing a VecList's array), with
// the messages naming `argument`.
VecList vec_list_from(PyObject* sequence, std::string_view argument);

class PointsArgument {
public:
    PointsArgument(PyObject* source, std::string_view argument);

    std::size_t size() const noexcept { return rows_ ? rows_->rows : list_.size(); }

    // The bytes the points are read from, which results must not overwrite.
    std::span<const std::byte> bytes() const noexcept;

    // f(point) with point(i) the i-th point as a Vec3d, read in place.
    template <class F>
    void visit(const F& f) const {
        if (!rows_ || rows_->packed_doubles(3)) {
            const Vec3d* points = rows_ ? reinterpret_cast<const Vec3d*>(rows_->first) : list_.view().data();
            f([points](std::size_t i) { return points[i]; });
        } else {
            f([rows = *rows_](std::size_t i) { return Vec3d{rows.at(i, 0), rows.at(i, 1), rows.at(i, 2)}; });
        }
    }

    // The points as contiguous Vec3d: in place where they are packed
    // doubles, else converted once into a copy this argument keeps.
    std::span<const Vec3d> view() const;

private:
    std::unique_ptr<bind::BufferView> held_;
    std::optional<bind::FloatRows> rows_;
    VecList list_;
    mutable std::vector<Vec3d> copy_;
};

}  // namespace tessary_py

template <>
struct bind::Arg<tessary_py::PointsArgument> {
    using Held = tessary_py::PointsArgument;
    static Held convert(PyObject* object, std::string_view name) { return Held(object, name); }
};
