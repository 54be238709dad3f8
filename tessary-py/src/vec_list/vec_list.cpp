// Python classes VecList and VecListIterator.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "../classes.hpp"
#include "stub_docs.hpp"
#include "../pool/pool.hpp"
#include "bulk.hpp"
#include "downsampling.hpp"
#include "plane_detection.hpp"
#include "points_argument.hpp"
#include "statistics.hpp"
#include "vec3d.hpp"
#include "vec_list.hpp"

namespace {

using bind::Index;
using tessary_py::Vec3d;
using tessary_py::VecList;
using tessary_py::VecListIterator;
using M = bind::Members<VecList>;
using I = bind::Members<VecListIterator>;

// Rendering one element takes about 0.3 microseconds, so a few hundred
// elements are already worth sharing out.
constexpr std::size_t kGrainRepr = 256;
constexpr std::size_t kReprBlock = 8192;

VecList make(PyObject* sequence) { return tessary_py::vec_list_from(sequence, "list"); }

VecList empty() { return {}; }

void append(VecList& self, const Vec3d& vec) { self.append(vec); }

void extend(VecList& self, const VecList& other) {
    // The pin keeps other's array in place even when it is also self's and
    // self moves to a new one.
    const tessary_py::PinnedElements pinned = other.pin();
    self.extend(other.view());
}

// The elements as a read-only (n, 3) array of doubles, without a copy. The
// export pins the array: later changes to the list go to a new one.
using ExportedElements = bind::Exported<tessary_py::PinnedElements>;

std::unique_ptr<ExportedElements> exported(const VecList& self) {
    static_assert(sizeof(Vec3d) == 3 * sizeof(double) && std::is_standard_layout_v<Vec3d>);
    auto exported = std::make_unique<ExportedElements>();
    exported->keep = self.pin();
    exported->data = reinterpret_cast<const double*>(self.view().data());
    exported->ndim = 2;
    exported->shape[0] = static_cast<Py_ssize_t>(self.size());
    exported->shape[1] = 3;
    return exported;
}

std::size_t length(const VecList& self) { return self.size(); }

bind::Failable<Vec3d> item(const VecList& self, Index index) {
    if (index.value >= self.size()) return bind::Error{PyExc_IndexError, "Index out of bounds"};
    return self.view()[index.value];
}

bind::Ref as_list(const VecList& self) {
    const std::span<const Vec3d> elements = self.view();
    bind::Ref result = bind::check(PyList_New(static_cast<Py_ssize_t>(elements.size())));
    for (std::size_t i = 0; i < elements.size(); ++i) {
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), bind::new_instance<Vec3d>(elements[i]));
    }
    return result;
}

bind::Ref to_array(const VecList& self) {
    const std::span<const Vec3d> elements = self.view();
    bind::Ref result = bind::check(PyList_New(static_cast<Py_ssize_t>(elements.size())));
    for (std::size_t i = 0; i < elements.size(); ++i) {
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), bind::to_python(elements[i].to_array()));
    }
    return result;
}

VecListIterator iterate(const VecList& self) { return {self.pin(), 0}; }

// An ASCII str written in place and grown as needed. A large str lives in
// its own mapping, which the allocator grows and shrinks without copying,
// so the text is never held twice.
class GrowingText {
public:
    explicit GrowingText(std::size_t capacity)
        : text_(bind::check(PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127))), capacity_(capacity) {}

    void append(std::string_view piece) {
        if (size_ + piece.size() > capacity_) resize(std::max(capacity_ + capacity_ / 2, size_ + piece.size()));
        std::memcpy(PyUnicode_1BYTE_DATA(text_.get()) + size_, piece.data(), piece.size());
        size_ += piece.size();
    }

    bind::Ref finish() {
        resize(size_);
        return std::move(text_);
    }

private:
    // Allowed on a str nobody else has seen yet; on failure it is unchanged.
    void resize(std::size_t capacity) {
        PyObject* text = text_.get();
        if (PyUnicode_Resize(&text, static_cast<Py_ssize_t>(capacity)) < 0) throw bind::PythonError{};
        (void)text_.release();
        text_ = bind::Ref(text);
        capacity_ = capacity;
    }

    bind::Ref text_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

// "[" + the elements' reprs joined by line feeds + "]". Each block of
// elements is rendered in parallel ranges, joined in list order and copied
// into the result, so besides the result only one block of text exists.
bind::Ref text(const VecList& self) {
    const std::span<const Vec3d> elements = self.view();
    const std::size_t n = elements.size();
    // "[Vec3d(1, 0, 0)]" and most short values fit; longer text grows it.
    GrowingText out(2 + 16 * n);
    out.append("[");
    for (std::size_t start = 0; start < n; start += kReprBlock) {
        const std::size_t count = std::min(kReprBlock, n - start);
        const std::string block = pool::parallel_reduce(
            count, kGrainRepr,
            [&](std::size_t begin, std::size_t end) {
                std::string part;
                for (std::size_t i = start + begin; i < start + end; ++i) {
                    if (i != 0) part += '\n';
                    append_vec3d_repr(part, elements[i]);
                }
                return part;
            },
            [](std::string left, const std::string& right) {
                left += right;
                return left;
            });
        out.append(block);
    }
    out.append("]");
    return out.finish();
}

std::optional<Vec3d> next(VecListIterator& self) {
    if (!self.snapshot || self.cursor >= self.snapshot->size()) return std::nullopt;
    return self.snapshot->view()[self.cursor++];
}

using New = M::Constructor<"VecList(list)", &make>;

namespace bulk = tessary_py::bulk;

PyMethodDef methods[] = {
    M::static_method<"empty()", &empty>(),
    M::method<"append($self, vec)", &append>(),
    M::method<"extend($self, other)", &extend>(),
    M::method<"to_array($self)", &to_array>(),
    M::method<"dot($self, other, *, out=None)", &bulk::dot>(),
    M::method<"cross($self, other)", &bulk::cross>(),
    M::method<"magnitude($self, *, out=None)", &bulk::magnitude>(),
    M::method<"normalize($self)", &bulk::normalize>(),
    M::method<"is_unit($self, *, out=None)", &bulk::is_unit>(),
    M::method<"distance_to($self, other, *, out=None)", &bulk::distance_to>(),
    M::method<"distance_squared($self, other, *, out=None)", &bulk::distance_squared>(),
    M::method<"collapse($self, axis)", &bulk::collapse>(),
    M::method<"minimum_distance_to($self, other, stride)", &bulk::minimum_distance_to>(),
    M::method<"rotate($self, quat)", &bulk::rotate>(),
    M::method<"rotate_each($self, quats)", &bulk::rotate_each, stub_docs::VecList::rotate_each>(),
    M::method<"transform($self, transform)", &bulk::transform, stub_docs::VecList::transform>(),
    M::method<"transform_each($self, transforms)", &bulk::transform_each, stub_docs::VecList::transform_each>(),
    M::method<"centroid($self)", &tessary_py::statistics::centroid, stub_docs::VecList::centroid>(),
    M::method<"bounds($self)", &tessary_py::statistics::bounds, stub_docs::VecList::bounds>(),
    M::method<"covariance($self, *, ddof=None)", &tessary_py::statistics::covariance, stub_docs::VecList::covariance>(),
    M::method<"principal_axes($self)", &tessary_py::statistics::principal_axes, stub_docs::VecList::principal_axes>(),
    M::method<"voxel_down_sample($self, voxel_size, *, origin=None)", &tessary_py::voxel_down_sample, stub_docs::VecList::voxel_down_sample>(),
    M::method<"farthest_point_sample($self, k, *, start=None, out=None)", &tessary_py::farthest_point_sample, stub_docs::VecList::farthest_point_sample>(),
    M::method<"segment_plane($self, distance, *, iterations=None, seed=None, confidence=None)",
              &tessary_py::segment_plane, stub_docs::VecList::segment_plane>(),
    M::method<"segment_planes($self, distance, *, count=None, min_inliers=None, iterations=None, seed=None, "
              "confidence=None)",
              &tessary_py::segment_planes, stub_docs::VecList::segment_planes>(),
    {},
};

PyGetSetDef properties[] = {
    M::getter<&as_list>("list"),
    {},
};

PyType_Slot slots[] = {
    New::doc_slot(),
    New::new_slot(),
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    bind::slot(Py_tp_repr, &M::repr<&text>),
    bind::slot(Py_tp_iter, &M::unary<&iterate>),
    bind::slot(Py_mp_length, &M::length<&length>),
    bind::slot(Py_mp_subscript, &M::subscript<&item>),
    bind::slot(Py_sq_item, &M::sequence_item<&item>),
    bind::slot(Py_nb_add, &M::binary<&bulk::add>),
    bind::slot(Py_nb_subtract, &M::binary<&bulk::sub>),
    bind::slot(Py_nb_multiply, &M::binary_reflected<&bulk::mul, &bulk::mul>),
    bind::slot(Py_nb_true_divide, &M::binary<&bulk::div>),
    bind::slot(Py_bf_getbuffer, &M::get_buffer<&exported>),
    bind::slot(Py_bf_releasebuffer, &M::release_buffer<&exported>),
    {0, nullptr},
};

PyType_Slot iterator_slots[] = {
    bind::slot(Py_tp_iter, &PyObject_SelfIter),
    bind::slot(Py_tp_iternext, &I::next<&next>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<VecList>::build() { return bind::make_type<VecList>(slots, &New::vectorcall); }

PyTypeObject* bind::Class<VecListIterator>::build() { return bind::make_type<VecListIterator>(iterator_slots); }
