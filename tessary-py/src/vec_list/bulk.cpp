#include "bulk.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <span>

#include "../pool/pool.hpp"

namespace tessary_py::bulk {
namespace {

// Elements per range. Less than two ranges of work runs inline on the
// calling thread: below about 100 microseconds of work, waking a worker
// gains little even with an idle core, and on a busy machine the worker can
// take the caller's core and make the call slower than a plain loop.
// Measured on a two-core machine, serial against shared, per operation.
constexpr std::size_t kGrainLight = 32768;   // a few adds, products or divisions (~1.3 ns each)
constexpr std::size_t kGrainRoot = 16384;    // a square root and divisions (~3 ns)
constexpr std::size_t kGrainRotate = 16384;  // some thirty products and sums (~2.6 ns)
constexpr std::size_t kGrainNearest = 32768;

// Results that become Python objects are computed a block at a time, so
// that besides the Python list they never take more than two blocks. While
// the calling thread turns one block into Python objects, the workers
// compute the next.
constexpr std::size_t kBlock = 16384;

// out[i] = f(in[i]) for i in [0, count). Where the processor has AVX2 the
// loop is compiled for it as well: the vectorised loop works four elements
// at a time, and each lane rounds exactly like the scalar instruction, so
// the results are the same bit for bit (the build never contracts or
// reassociates).
template <class Out, class F>
void transform_plain(const Vec3d* in, Out* out, std::size_t count, const F& f) {
    for (std::size_t i = 0; i < count; ++i) out[i] = f(in[i]);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <class Out, class F>
[[gnu::target("avx2")]] void transform_avx2(const Vec3d* in, Out* out, std::size_t count, const F& f) {
    for (std::size_t i = 0; i < count; ++i) out[i] = f(in[i]);
}

// Set while the module's static objects are built, which may run before the
// compiler's own processor detection has.
const bool has_avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();

template <class Out, class F>
void transform(const Vec3d* in, Out* out, std::size_t count, const F& f) {
    if (has_avx2) {
        transform_avx2(in, out, count, f);
    } else {
        transform_plain(in, out, count, f);
    }
}
#else
template <class Out, class F>
void transform(const Vec3d* in, Out* out, std::size_t count, const F& f) {
    transform_plain(in, out, count, f);
}
#endif

// A new list whose element i is f(element i).
template <class F>
VecList map_vectors(const VecList& list, std::size_t grain, F f) {
    const std::span<const Vec3d> in = list.view();
    Elements out(in.size());
    Vec3d* const slots = out.data();
    pool::parallel_for(in.size(), grain, [&](std::size_t begin, std::size_t end) {
        transform(in.data() + begin, slots + begin, end - begin, f);
    });
    return VecList(std::move(out));
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
    transform(in.data(), current, block, f);
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t count = std::min(block, n - start);
        const std::size_t next = start + count;
        auto compute_ahead = [&](std::size_t begin, std::size_t end) {
            transform(in.data() + next + begin, ahead + begin, end - begin, f);
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

// IEEE 754 totalOrder as an integer key: -NaN < -inf < ... < -0 < +0 < ...
// < +inf < +NaN.
std::int64_t order_key(double value) {
    const auto bits = std::bit_cast<std::int64_t>(value);
    return bits < 0 ? bits ^ INT64_MAX : bits;
}

struct Nearest {
    std::size_t position;
    std::int64_t key;
    double squared;
};

// The left candidate stays unless the right one is strictly nearer, so ties
// go to the smaller position however the work was divided.
Nearest nearer(const Nearest& left, const Nearest& right) { return right.key < left.key ? right : left; }

// The nearest among positions first + j * step for j in [0, count), count > 0.
Nearest nearest_of(std::span<const Vec3d> in, const Vec3d& other, std::size_t first, std::size_t step,
                   std::size_t count) {
    return pool::parallel_reduce(
        count, kGrainNearest,
        [&](std::size_t begin, std::size_t end) {
            std::size_t position = first + begin * step;
            double squared = in[position].distance_squared(other);
            Nearest best{position, order_key(squared), squared};
            for (std::size_t j = begin + 1; j < end; ++j) {
                position = first + j * step;
                squared = in[position].distance_squared(other);
                const std::int64_t key = order_key(squared);
                if (key < best.key) best = {position, key, squared};
            }
            return best;
        },
        nearer);
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
    if (list.size() == 0) return;
    VecList rotated = map_vectors(list, kGrainRotate, [q = quat](const Vec3d& e) { return q.rotate(e); });
    list = std::move(rotated);
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

bind::Ref dot(const VecList& list, const Vec3d& other) {
    return map_to_list<double>(list, kGrainLight, [o = other](const Vec3d& e) { return e.dot(o); });
}

bind::Ref magnitude(const VecList& list) {
    return map_to_list<double>(list, kGrainRoot, [](const Vec3d& e) { return e.magnitude(); });
}

bind::Ref is_unit(const VecList& list) {
    return map_to_list<bool>(list, kGrainRoot, [](const Vec3d& e) { return e.is_unit(); });
}

bind::Ref distance_to(const VecList& list, const Vec3d& other) {
    return map_to_list<double>(list, kGrainRoot, [o = other](const Vec3d& e) { return e.distance_to(o); });
}

bind::Ref distance_squared(const VecList& list, const Vec3d& other) {
    return map_to_list<double>(list, kGrainLight, [o = other](const Vec3d& e) { return e.distance_squared(o); });
}

std::pair<std::size_t, double> minimum_distance_to(const VecList& list, const Vec3d& other, bind::Index stride) {
    const std::size_t step = stride.value;
    if (step == 0) throw bind::Panic{"assertion failed: stride != 0"};
    const std::span<const Vec3d> in = list.view();
    const std::size_t n = in.size();
    if (n == 0) throw bind::Panic{"called `Option::unwrap()` on a `None` value"};
    const std::size_t b = nearest_of(in, other, 0, step, (n - 1) / step + 1).position;
    // [b - stride, b + stride), clipped to the list; written so that a huge
    // stride cannot overflow.
    const std::size_t start = b >= step ? b - step : 0;
    const std::size_t end = step >= n - b ? n : b + step;
    const Nearest best = nearest_of(in, other, start, 1, end - start);
    return {best.position, std::sqrt(best.squared)};
}

}  // namespace tessary_py::bulk
