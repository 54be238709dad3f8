// The per-element loops of VecList's bulk operations, free of Python: they
// know the core types, spans and the worker pool, nothing else. Every
// element's result is the core operation's result, bit for bit, whatever
// the number of threads.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "../binding/rows.hpp"
#include "../platform.hpp"
#include "../pool/pool.hpp"
#include "neighbour.hpp"
#include "vec3d.hpp"

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

// out[i] = f(in[i], with[i]...) for i in [0, count), or data[i] =
// f(data[i], with[i]...): each element with the matching items of any
// further arrays (rotate_each's quaternions). Where the processor has AVX2
// the loop is compiled for it as well: the vectorised loop works four
// elements at a time, and each lane rounds exactly like the scalar
// instruction, so the results are the same bit for bit (the build never
// contracts or reassociates).
template <class In, class Out, class F, class... With>
void transform_plain(const In* in, Out* out, std::size_t count, const F& f, const With*... with) {
    for (std::size_t i = 0; i < count; ++i) out[i] = f(in[i], with[i]...);
}

// In place, one pointer: two pointers that may alias would make the
// vectorised loop test for overlap and fall back to the scalar one.
template <class T, class F, class... With>
void update_plain(T* data, std::size_t count, const F& f, const With*... with) {
    for (std::size_t i = 0; i < count; ++i) data[i] = f(data[i], with[i]...);
}

#if TESSARY_HAVE_AVX2_TWINS
template <class In, class Out, class F, class... With>
[[gnu::target("avx2")]] void transform_avx2(const In* in, Out* out, std::size_t count, const F& f,
                                            const With*... with) {
    for (std::size_t i = 0; i < count; ++i) out[i] = f(in[i], with[i]...);
}

template <class T, class F, class... With>
[[gnu::target("avx2")]] void update_avx2(T* data, std::size_t count, const F& f, const With*... with) {
    for (std::size_t i = 0; i < count; ++i) data[i] = f(data[i], with[i]...);
}

template <class In, class Out, class F, class... With>
void transform(const In* in, Out* out, std::size_t count, const F& f, const With*... with) {
    if (platform::has_avx2) {
        transform_avx2(in, out, count, f, with...);
    } else {
        transform_plain(in, out, count, f, with...);
    }
}

template <class T, class F, class... With>
void update(T* data, std::size_t count, const F& f, const With*... with) {
    if (platform::has_avx2) {
        update_avx2(data, count, f, with...);
    } else {
        update_plain(data, count, f, with...);
    }
}

#else
template <class In, class Out, class F, class... With>
void transform(const In* in, Out* out, std::size_t count, const F& f, const With*... with) {
    transform_plain(in, out, count, f, with...);
}

template <class T, class F, class... With>
void update(T* data, std::size_t count, const F& f, const With*... with) {
    update_plain(data, count, f, with...);
}
#endif

// out[i] = f(in[i], with[i]...) for every element, shared out over the
// pool; `out` has room for in.size() results and does not overlap `in`.
template <class Out, class F, class... With>
void map(std::span<const Vec3d> in, Out* out, std::size_t grain, const F& f, const With*... with) {
    pool::parallel_for(in.size(), grain, [&](std::size_t begin, std::size_t end) {
        transform(in.data() + begin, out + begin, end - begin, f, (with + begin)...);
    });
}

// out[i] = f(in[i], with[i]...) for i in [0, count), where `out` is either
// `in` itself (each element is read before its own slot is written) or
// memory that does not overlap it.
template <class F, class... With>
void map_range(const Vec3d* in, Vec3d* out, std::size_t count, const F& f, const With*... with) {
    if (in == out) {
        update(out, count, f, with...);
    } else {
        transform(in, out, count, f, with...);
    }
}

using tessary::Neighbour;

// The search's view of one element, the only place its squared distance is
// computed, ranked as the core ranks distances (neighbour.hpp): every NaN
// after every number, whatever sign and payload the arithmetic of each
// inlined copy of the loop gave it, so the answer depends on the data
// alone.
inline Neighbour candidate(std::span<const Vec3d> in, const Vec3d& other, std::size_t position) {
    return tessary::ranked(in[position], position, other);
}

// The left candidate stays unless the right one is strictly nearer, so ties
// go to the smaller position however the work was divided.
inline Neighbour nearer(const Neighbour& left, const Neighbour& right) { return right.key < left.key ? right : left; }

// The nearest to `other` among positions first + j * step, j in [0, count),
// count > 0, by squared distance in total order, every NaN ranked last.
inline Neighbour nearest_of(std::span<const Vec3d> in, const Vec3d& other, std::size_t first, std::size_t step,
                          std::size_t count) {
    return pool::parallel_reduce(
        count, kGrainNearest,
        [&](std::size_t begin, std::size_t end) {
            Neighbour best = candidate(in, other, first + begin * step);
            for (std::size_t j = begin + 1; j < end; ++j) {
                const Neighbour next = candidate(in, other, first + j * step);
                best = nearer(best, next);
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
    const std::size_t b = nearest_of(in, other, 0, stride, (n - 1) / stride + 1).index;
    // Written so that a huge stride cannot overflow.
    const std::size_t start = b >= stride ? b - stride : 0;
    const std::size_t end = stride >= n - b ? n : b + stride;
    const Neighbour best = nearest_of(in, other, start, 1, end - start);
    return {best.index, best.squared()};
}

// Rows [first, first + count) of numbers of any real type laid out at any
// byte strides, converted to double, into out[0, count): values of as many
// doubles (Vec3d, Quat, Transform). With several outputs each row is split
// into consecutive parts, its first columns into the first output's value,
// the next into the second's, and so on, in one pass over the rows. The
// conversion is chosen once, so that the inner loop is the plain strided
// read of one type.
template <class... Parts>
void gather_rows(const bind::FloatRows& rows, std::size_t first, std::size_t count, Parts*... out) {
    // The column where each part starts, and the row's width.
    static constexpr std::array<std::size_t, sizeof...(Parts) + 1> start = [] {
        constexpr std::size_t width[] = {sizeof(Parts) / sizeof(double)...};
        std::array<std::size_t, sizeof...(Parts) + 1> at{};
        for (std::size_t p = 1; p <= sizeof...(Parts); ++p) at[p] = at[p - 1] + width[p - 1];
        return at;
    }();
    if (rows.packed_doubles(start.back())) {
        // Native doubles one after the other: one copy of each part's bytes
        // per row.
        for (std::size_t k = 0; k < count; ++k) {
            const std::byte* row = rows.address(first + k, 0);
            [&]<std::size_t... P>(std::index_sequence<P...>) {
                (std::memcpy(&out[k], row + start[P] * sizeof(double), sizeof(Parts)), ...);
            }(std::index_sequence_for<Parts...>{});
        }
        return;
    }
    rows.with_reader([&]<class Reader>(Reader) {
        auto part = [&]<class Part, std::size_t... C>(Part* to, std::size_t column, std::index_sequence<C...>) {
            for (std::size_t k = 0; k < count; ++k) to[k] = Part{Reader::read(rows.address(first + k, column + C))...};
        };
        [&]<std::size_t... P>(std::index_sequence<P...>) {
            (part(out, start[P], std::make_index_sequence<sizeof(Parts) / sizeof(double)>{}), ...);
        }(std::index_sequence_for<Parts...>{});
    });
}

// Every row, shared out over the pool.
template <class Row>
void gather_rows(const bind::FloatRows& rows, Row* out) {
    pool::parallel_for(rows.rows, kGrainGather, [&](std::size_t begin, std::size_t end) {
        gather_rows(rows, begin, end - begin, out + begin);
    });
}

}  // namespace tessary_py::kernels
