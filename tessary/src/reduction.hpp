// Work shared out over ranges, and sums whose bits do not depend on how
// it was shared.
//
// The core has no threads of its own: functions that can share work take a
// `for_ranges(n, grain, body)` that runs body(begin, end) over ranges
// covering [0, n) once each (the module's worker pool, or SerialRanges).
// A sum of floating-point numbers is taken in fixed chunks of its terms,
// each chunk in term order, and the chunks' totals added in chunk order, so
// that it is the same at any number of threads; exact sums (exact_sum.hpp)
// merge exactly, so their chunks may be cut anyhow.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace tessary {

// for_ranges for a single thread.
struct SerialRanges {
    template <class Body>
    void operator()(std::size_t n, std::size_t, Body&& body) const {
        if (n != 0) body(std::size_t{0}, n);
    }
};

// Chunks handed to one range at a time.
inline constexpr std::size_t kChunksPerRange = 4;

// partial(begin, end) -> T for each chunk [c * chunk, (c + 1) * chunk) of
// [0, n), in chunk order; `per_range` chunks are the least handed to one
// range.
template <class T, class Partial, class ForRanges>
std::vector<T> chunk_parts(std::size_t n, std::size_t chunk, const Partial& partial, const ForRanges& for_ranges,
                           std::size_t per_range) {
    const std::size_t chunks = (n + chunk - 1) / chunk;
    std::vector<T> parts(chunks);
    for_ranges(chunks, per_range, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) parts[c] = partial(c * chunk, std::min(n, (c + 1) * chunk));
    });
    return parts;
}

// The sum of the chunks' partial sums, added in chunk order with T's
// operator+, from T{}.
template <class T, class Partial, class ForRanges>
T sum_in_chunks(std::size_t n, std::size_t chunk, const Partial& partial, const ForRanges& for_ranges) {
    T total{};
    for (const T& part : chunk_parts<T>(n, chunk, partial, for_ranges, kChunksPerRange)) total = total + part;
    return total;
}

// The chunks' partial results of n > 0 items folded in chunk order:
// combine(combine(p0, p1), p2)...
template <class T, class Partial, class Combine, class ForRanges>
T combine_in_chunks(std::size_t n, std::size_t chunk, const Partial& partial, const Combine& combine,
                    const ForRanges& for_ranges, std::size_t per_range = kChunksPerRange) {
    std::vector<T> parts = chunk_parts<T>(n, chunk, partial, for_ranges, per_range);
    T total = std::move(parts[0]);
    for (std::size_t c = 1; c < parts.size(); ++c) total = combine(std::move(total), parts[c]);
    return total;
}

}  // namespace tessary
