#include "bulk.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "../binding/buffer.hpp"
#include "../binding/sequence.hpp"
#include "../classes.hpp"
#include "kernels.hpp"
#include "memory.hpp"

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

// Replaces the elements by what step(in, out, begin, end) writes for
// elements [begin, end) of `in` to the same positions of `out`, in ranges
// shared out over the pool. An array that nothing else holds is changed
// where it is (`out` is `in`, each element read before its own slot is
// written); one pinned by an iterator, an export or another list is left as
// it was, and the results go to a new array.
template <class Step>
void replace_ranges(VecList& list, std::size_t grain, const Step& step) {
    if (const std::span<Vec3d> own = list.unshared(); !own.empty()) {
        pool::parallel_for(own.size(), grain, [&](std::size_t begin, std::size_t end) {
            step(own.data(), own.data(), begin, end);
        });
    } else if (const std::span<const Vec3d> in = list.view(); !in.empty()) {
        auto out = std::make_shared<ElementArray>(in.size());
        pool::parallel_for(in.size(), grain, [&](std::size_t begin, std::size_t end) {
            step(in.data(), out->slots(), begin, end);
        });
        out->set_size(in.size());
        list = VecList(std::move(out));
    }
}

// Replaces element i by f(element i, with[i]...).
template <class F, class... With>
void replace_each(VecList& list, std::size_t grain, F f, const With*... with) {
    replace_ranges(list, grain, [&](const Vec3d* in, Vec3d* out, std::size_t begin, std::size_t end) {
        kernels::map_range(in + begin, out + begin, end - begin, f, (with + begin)...);
    });
}

// Rows that each worker gathers at a time: a few pages of values on its
// stack, so that the rows are read once and never copied whole.
constexpr std::size_t kRowBlock = 256;

// Replaces element i by f(element i, parts of row i...): each of Parts
// (Quat, Vec3d, ...) takes as many consecutive columns as it has doubles,
// from the first column on. Each part goes to a block of its own: a block
// of 32-byte Quat next to one of 24-byte Vec3d keeps the vectorised loop to
// plain loads, where one of 56-byte rows would not.
template <class... Parts, class F>
void replace_each_row(VecList& list, const bind::FloatRows& rows, std::size_t grain, F f) {
    replace_ranges(list, grain, [&](const Vec3d* in, Vec3d* out, std::size_t begin, std::size_t end) {
        std::tuple<std::array<Parts, kRowBlock>...> blocks;
        for (std::size_t at = begin; at < end; at += kRowBlock) {
            const std::size_t count = std::min(kRowBlock, end - at);
            std::apply(
                [&](auto&... block) {
                    kernels::gather_rows(rows, at, count, block.data()...);
                    kernels::map_range(in + at, out + at, count, f,
                                       static_cast<const std::remove_cvref_t<decltype(block[0])>*>(block.data())...);
                },
                blocks);
        }
    });
}

// Memory for values read from a sequence: the element arrays' own
// (memory.hpp), so that a large one reuses a kept mapping instead of
// faulting in fresh pages on every call.
template <class T>
struct StagingAllocator {
    using value_type = T;
    StagingAllocator() = default;
    template <class U>
    explicit StagingAllocator(const StagingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(allocate_elements(n * sizeof(T))); }
    void deallocate(T* memory, std::size_t n) noexcept { release_elements(memory, n * sizeof(T), n * sizeof(T)); }
    friend bool operator==(const StagingAllocator&, const StagingAllocator&) = default;
};

template <class T>
using Staged = std::vector<T, StagingAllocator<T>>;

// The per-element arguments of rotate_each and transform_each given as a
// sequence of T. Checking and copying an item runs no Python code.
template <class T>
Staged<T> read_values(PyObject* source, std::string_view argument) {
    Staged<T> values;
    if (PyList_CheckExact(source) || PyTuple_CheckExact(source)) {
        values.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(source)));
    }
    bind::for_each_item(source, argument, bind::Taking::kRunsNoPython, [&](PyObject* item) {
        if (!bind::is_instance<T>(item)) bind::raise_wrong_class(argument, item, bind::class_name<T>);
        values.push_back(bind::read<T>(item));
    });
    return values;
}

// ValueError, before anything changes, unless there is one value per
// element: "argument 'quats': expected one rotation per element, 3 for
// this list, got 2".
void check_one_per_element(const VecList& list, std::size_t count, std::string_view argument,
                           std::string_view what) {
    if (count == list.size()) return;
    std::string message = "argument '";
    message.append(argument).append("': expected one ").append(what).append(" per element, ");
    message.append(std::to_string(list.size())).append(" for this list, got ").append(std::to_string(count));
    bind::raise(PyExc_ValueError, message);
}

// Replaces element i by f(element i, value i) for one T per element from
// `source`: real numbers in rows of T's doubles in order (a
// Quat's w, i, j, k; a Transform's rotation, then its translation), read
// where they are as the parts Parts... that make up T, or a sequence of T.
template <class T, class... Parts, class F, class ByParts>
void replace_by_each(VecList& list, PyObject* source, std::string_view argument, std::string_view what, F f,
                     ByParts by_parts) {
    static_assert((sizeof(Parts) + ...) == sizeof(T));
    bind::BufferView held;
    if (const std::optional<bind::FloatRows> rows =
            bind::import_float_rows(source, held, argument, sizeof(T) / sizeof(double))) {
        // A buffer over the list's own elements pins them, so the results
        // then go to a new array and never overwrite rows still to be read.
        check_one_per_element(list, rows->rows, argument, what);
        replace_each_row<Parts...>(list, *rows, kGrainRotate, by_parts);
        return;
    }
    const Staged<T> values = read_values<T>(source, argument);
    check_one_per_element(list, values.size(), argument, what);
    replace_each(list, kGrainRotate, f, values.data());
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
    auto rotated = [](const Vec3d& e, const tessary::Quat& q) { return q.rotate(e); };
    replace_by_each<tessary::Quat, tessary::Quat>(list, quats, "quats", "rotation", rotated, rotated);
}

void transform(VecList& list, const tessary::Transform& transform) {
    replace_each(list, kGrainRotate, [t = transform](const Vec3d& e) { return t.apply(e); });
}

void transform_each(VecList& list, PyObject* transforms) {
    replace_by_each<tessary::Transform, tessary::Quat, Vec3d>(
        list, transforms, "transforms", "transform",
        [](const Vec3d& e, const tessary::Transform& t) { return t.apply(e); },
        [](const Vec3d& e, const tessary::Quat& q, const Vec3d& t) { return tessary::Transform{q, t}.apply(e); });
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
