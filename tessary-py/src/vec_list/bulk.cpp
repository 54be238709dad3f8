#include "bulk.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../binding/buffer.hpp"
#include "../classes.hpp"
#include "kernels.hpp"

namespace tessary_py::bulk {
namespace {

using kernels::kGrainLight;
using kernels::kGrainRoot;
using kernels::kGrainRotate;

// Results that become Python objects are computed a block at a time, so
// that besides the Python list they never take more than two blocks. While
// the calling thread turns one block into Python objects, the workers
// compute the next.
constexpr std::size_t kBlock = 16384;

// A new list whose element i is f(element i, with[i]...).
template <class F, class... With>
VecList map_vectors(const VecList& list, std::size_t grain, F f, const With*... with) {
    const std::span<const Vec3d> in = list.view();
    if (in.empty()) return {};
    auto out = std::make_shared<ElementArray>(in.size());
    kernels::map(in, out->slots(), grain, f, with...);
    out->set_size(in.size());
    return VecList(std::move(out));
}

// Replaces element i by f(element i, with[i]...). Each element is read
// before its own slot is written, so an array that nothing else holds is
// changed where it is; one pinned by an iterator, an export or another
// list is left as it was, and the results go to a new array.
template <class F, class... With>
void replace_each(VecList& list, std::size_t grain, F f, const With*... with) {
    if (const std::span<Vec3d> own = list.unshared(); !own.empty()) {
        kernels::map_in_place(own, grain, f, with...);
    } else if (list.size() != 0) {
        list = map_vectors(list, grain, f, with...);
    }
}

void append_quat(std::vector<tessary::Quat>& quats, PyObject* item) {
    if (!bind::is_instance<tessary::Quat>(item)) bind::raise_wrong_class("quats", item, "Quat");
    quats.push_back(bind::read<tessary::Quat>(item));
}

// rotate_each's rotations: a sequence of Quat, or real numbers in rows of
// (w, i, j, k).
std::vector<tessary::Quat> read_quats(PyObject* source) {
    std::vector<tessary::Quat> quats;
    bind::BufferView held;
    if (const std::optional<bind::FloatRows> rows = bind::import_float_rows(source, held, "quats", 4)) {
        quats.resize(rows->rows);
        kernels::gather_rows(*rows, quats.data());
        return quats;
    }
    if (!PySequence_Check(source)) bind::raise_wrong_class("quats", source, "Sequence");
    if (PyList_CheckExact(source) || PyTuple_CheckExact(source)) {
        // Reading the items runs no Python code, so the container cannot
        // change meanwhile.
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(source);
        quats.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) append_quat(quats, PySequence_Fast_ITEMS(source)[i]);
        return quats;
    }
    bind::Ref iterator(PyObject_GetIter(source));
    if (!iterator) bind::reraise_for_argument("quats");
    while (bind::Ref item{PyIter_Next(iterator.get())}) append_quat(quats, item.get());
    if (PyErr_Occurred()) bind::reraise_for_argument("quats");
    return quats;
}

// A Python list whose item i is f(element i), as float or bool.
template <class R, class F>
bind::Ref map_to_list(const VecList& list, std::size_t grain, F f) {
    const std::span<const Vec3d> in = list.view();
    const std::size_t n = in.size();
    bind::Ref result = bind::check(PyList_New(static_cast<Py_ssize_t>(n)));
    if (n == 0) return result;
    const std::size_t block = std::min(n, kBlock);
    const std::unique_ptr<R[]> buffers(new R[n > block ? 2 * block : block]);
    R* current = buffers.get();
    R* ahead = current + block;
    kernels::transform(in.data(), current, block, f);
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t count = std::min(block, n - start);
        const std::size_t next = start + count;
        auto compute_ahead = [&](std::size_t begin, std::size_t end) {
            kernels::transform(in.data() + next + begin, ahead + begin, end - begin, f);
        };
        pool::Background computing(std::min(block, n - next), grain, compute_ahead);
        // A list that is dropped half filled releases only the items set.
        for (std::size_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(start + i), bind::to_python(current[i]));
        }
        computing.join();
        std::swap(current, ahead);
    }
    return result;
}

// f(element i) for every element, as a Python list or into `out`.
template <class R, class F>
bind::Ref map_to_numbers(const VecList& list, bind::Output<R> out, std::size_t grain, F f) {
    if (!out.given()) return map_to_list<R>(list, grain, f);
    // Acquiring the buffer may run Python code, which cannot change the
    // list: the call holds it shared.
    const std::span<const Vec3d> in = list.view();
    const bind::OutputBuffer<R> buffer(out, in.size(), std::as_bytes(in));
    kernels::map(in, buffer.data(), grain, f);
    return buffer.result();
}

}  // namespace

VecList add(const VecList& list, const Vec3d& other) {
    return map_vectors(list, kGrainLight, [o = other](const Vec3d& e) { return e.add(o); });
}

VecList sub(const VecList& list, const Vec3d& other) {
    return map_vectors(list, kGrainLight, [o = other](const Vec3d& e) { return e.sub(o); });
}

VecList mul(const VecList& list, double s) {
    return map_vectors(list, kGrainLight, [s](const Vec3d& e) { return e.mul(s); });
}

VecList div(const VecList& list, double s) {
    return map_vectors(list, kGrainLight, [s](const Vec3d& e) { return e.div(s); });
}

VecList cross(const VecList& list, const Vec3d& other) {
    return map_vectors(list, kGrainLight, [o = other](const Vec3d& e) { return e.cross(o); });
}

VecList normalize(const VecList& list) {
    return map_vectors(list, kGrainRoot, [](const Vec3d& e) { return e.normalize(); });
}

void rotate(VecList& list, const tessary::Quat& quat) {
    replace_each(list, kGrainRotate, [q = quat](const Vec3d& e) { return q.rotate(e); });
}

void rotate_each(VecList& list, PyObject* quats) {
    const std::vector<tessary::Quat> rotations = read_quats(quats);
    if (rotations.size() != list.size()) {
        std::string message = "argument 'quats': expected one rotation per element, ";
        message.append(std::to_string(list.size())).append(" for this list, got ");
        message.append(std::to_string(rotations.size()));
        bind::raise(PyExc_ValueError, message);
    }
    replace_each(
        list, kGrainRotate, [](const Vec3d& e, const tessary::Quat& q) { return q.rotate(e); }, rotations.data());
}

VecList collapse(const VecList& list, bind::Index axis) {
    if (axis.value > 2) throw bind::Panic{"assertion failed: axis <= 2"};
    // +0.0 whatever the sign of the component it replaces.
    switch (axis.value) {
        case 0:
            return map_vectors(list, kGrainLight, [](const Vec3d& e) { return Vec3d{0.0, e.y, e.z}; });
        case 1:
            return map_vectors(list, kGrainLight, [](const Vec3d& e) { return Vec3d{e.x, 0.0, e.z}; });
        default:
            return map_vectors(list, kGrainLight, [](const Vec3d& e) { return Vec3d{e.x, e.y, 0.0}; });
    }
}

bind::Ref dot(const VecList& list, const Vec3d& other, Floats out) {
    return map_to_numbers(list, out, kGrainLight, [o = other](const Vec3d& e) { return e.dot(o); });
}

bind::Ref magnitude(const VecList& list, Floats out) {
    return map_to_numbers(list, out, kGrainRoot, [](const Vec3d& e) { return e.magnitude(); });
}

bind::Ref is_unit(const VecList& list, Flags out) {
    return map_to_numbers(list, out, kGrainRoot, [](const Vec3d& e) { return e.is_unit(); });
}

bind::Ref distance_to(const VecList& list, const Vec3d& other, Floats out) {
    return map_to_numbers(list, out, kGrainRoot, [o = other](const Vec3d& e) { return e.distance_to(o); });
}

bind::Ref distance_squared(const VecList& list, const Vec3d& other, Floats out) {
    return map_to_numbers(list, out, kGrainLight, [o = other](const Vec3d& e) { return e.distance_squared(o); });
}

std::pair<std::size_t, double> minimum_distance_to(const VecList& list, const Vec3d& other, bind::Index stride) {
    if (stride.value == 0) throw bind::Panic{"assertion failed: stride != 0"};
    if (list.size() == 0) throw bind::Panic{"called `Option::unwrap()` on a `None` value"};
    const auto [position, squared] = kernels::minimum_distance(list.view(), other, stride.value);
    return {position, std::sqrt(squared)};
}

}  // namespace tessary_py::bulk
