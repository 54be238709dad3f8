// The per-element loops of VecList's bulk operations, free of Python: they
// know the core types, spans and the worker pool, nothing else. Every
// element's result is the core operation's result, bit for bit, whatever
// the number of threads.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "../../../tessary/src/vec3d.hpp"
#include "../platform.hpp"
#include "../pool/pool.hpp"

namespace tessary_py::kernels {

using tessary::Vec3d;

// Elements per range. Less than two ranges of work runs inline on the
// calling thread: below about 100 microseconds of work, waking a worker
// gains little even with an idle core, and on a busy machine the worker can
// take the caller's core and make the call slower than a plain loop.
// Measured on a two-core machine, serial against shared, per operation.
inline constexpr std::size_t kGrainLight = 32768;   // a few adds, products or divisions (~1.3 ns each)
inline constexpr std::size_t kGrainRoot = 16384;    // a square root and divisions (~3 ns)
inline constexpr std::size_t kGrainRotate = 16384;  // some thirty products and sums (~2.6 ns)
inline constexpr std::size_t kGrainNearest = 32768;
inline constexpr std::size_t kGrainGather = 65536;  // a strided read and a store

// out[i] = f(in[i]) for i in [0, count), or data[i] = f(data[i]). Where the
// processor has AVX2 the loop is compiled for it as well: the vectorised
// loop works four elements at a time, and each lane rounds exactly like
// the scalar instruction, so the results are the same bit for bit (the
// build never contracts or reassociates).
template <class In, class Out, class F>
void transform_plain(const In* in, Out* out, std::size_t count, const F& f) {
    for (std::size_t i = 0; i < count; ++i) out[i] = f(in[i]);
}

// In place, one pointer: two pointers that may alias would make the
// vectorised loop test for overlap and fall back to the scalar one.
template <class T, class F>
void update_plain(T* data, std::size_t count, const F& f) {
    for (std::size_t i = 0; i < count; ++i) data[i] = f(data[i]);
}

#if TESSARY_HAVE_AVX2_TWINS
template <class In, class Out, class F>
[[gnu::target("avx2")]] void transform_avx2(const In* in, Out* out, std::size_t count, const F& f) {
    for (std::size_t i = 0; i < count; ++i) out[i] = f(in[i]);
}

template <class T, class F>
[[gnu::target("avx2")]] void update_avx2(T* data, std::size_t count, const F& f) {
    for (std::size_t i = 0; i < count; ++i) data[i] = f(data[i]);
}

// Set while the module's static objects are built, which may run before the
// compiler's own processor detection has.
inline const bool has_avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();

template <class In, class Out, class F>
void transform(const In* in, Out* out, std::size_t count, const F& f) {
    if (has_avx2) {
        transform_avx2(in, out, count, f);
    } else {
        transform_plain(in, out, count, f);
    }
}

template <class T, class F>
void update(T* data, std::size_t count, const F& f) {
    if (has_avx2) {
        update_avx2(data, count, f);
    } else {
        update_plain(data, count, f);
    }
}
#else
template <class In, class Out, class F>
void transform(const In* in, Out* out, std::size_t count, const F& f) {
    transform_plain(in, out, count, f);
}

template <class T, class F>
void update(T* data, std::size_t count, const F& f) {
    update_plain(data, count, f);
}
#endif

// out[i] = f(in[i]) for every element, shared out over the pool; `out`
// has room for in.size() results and does not overlap `in`.
template <class Out, class F>
void map(std::span<const Vec3d> in, Out* out, std::size_t grain, const F& f) {
    pool::parallel_for(in.size(), grain, [&](std::size_t begin, std::size_t end) {
        transform(in.data() + begin, out + begin, end - begin, f);
    });
}

// e = f(e) for every element, shared out over the pool.
template <class F>
void map_in_place(std::span<Vec3d> elements, std::size_t grain, const F& f) {
    pool::parallel_for(elements.size(), grain, [&](std::size_t begin, std::size_t end) {
        update(elements.data() + begin, end - begin, f);
    });
}

// IEEE 754 totalOrder as an integer key: -NaN < -inf < ... < -0 < +0 < ...
// < +inf < +NaN.
inline std::int64_t order_key(double value) {
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
inline Nearest nearer(const Nearest& left, const Nearest& right) { return right.key < left.key ? right : left; }

// The nearest to `other` among positions first + j * step, j in [0, count),
// count > 0, by squared distance in total order.
inline Nearest nearest_of(std::span<const Vec3d> in, const Vec3d& other, std::size_t first, std::size_t step,
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

// The two-pass search: the nearest of every stride-th element, then the
// nearest in [b - stride, b + stride) around that winner b, clipped to the
// list. Needs a non-empty list and stride > 0. Returns (position, squared
// distance).
inline std::pair<std::size_t, double> minimum_distance(std::span<const Vec3d> in, const Vec3d& other,
                                                       std::size_t stride) {
    const std::size_t n = in.size();
    const std::size_t b = nearest_of(in, other, 0, stride, (n - 1) / stride + 1).position;
    // Written so that a huge stride cannot overflow.
    const std::size_t start = b >= stride ? b - stride : 0;
    const std::size_t end = stride >= n - b ? n : b + stride;
    const Nearest best = nearest_of(in, other, start, 1, end - start);
    return {best.position, best.squared};
}

// Rows of three numbers laid out at any byte strides (negative, unaligned
// or zero included), widened to double where they are narrower, into `out`.
template <class Scalar>
void gather_rows(const std::byte* first, std::ptrdiff_t row_stride, std::ptrdiff_t column_stride, std::size_t n,
                 Vec3d* out) {
    auto read = [&](std::size_t row, std::ptrdiff_t column) {
        Scalar value;
        std::memcpy(&value, first + static_cast<std::ptrdiff_t>(row) * row_stride + column * column_stride,
                    sizeof value);
        return static_cast<double>(value);
    };
    pool::parallel_for(n, kGrainGather, [&](std::size_t begin, std::size_t end) {
        for (std::size_t row = begin; row < end; ++row) out[row] = {read(row, 0), read(row, 1), read(row, 2)};
    });
}

}  // namespace tessary_py::kernels
