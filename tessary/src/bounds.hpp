// The bounding box of points: each component's least and greatest value,
// where a NaN gives way to any number (a component that is NaN throughout
// stays NaN) and -0.0 lies below +0.0.
//
// The scan comes twice where the compiler can target AVX2: as it is, and
// compiled for AVX2 (bounds_avx2), for callers that choose by the
// processor they run on; comparisons and selections only, so both give
// the same bits.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "avx2.hpp"
#include "reduction.hpp"
#include "vec3d.hpp"

namespace tessary {

struct Bounds {
    Vec3d low;
    Vec3d high;
};

// The smaller of two components by the rule above. Equal values have
// equal bits except for the two zeros, whose OR is -0.0 (AND, +0.0, for the
// larger), so the rule needs no branch and the loops below are vectorised.
inline double lower(double a, double b) {
    const double equal = std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) | std::bit_cast<std::uint64_t>(b));
    return (b < a || a != a) ? b : (b == a ? equal : a);
}

inline double upper(double a, double b) {
    const double equal = std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) & std::bit_cast<std::uint64_t>(b));
    return (b > a || a != a) ? b : (b == a ? equal : a);
}

// The box holding both; in any order and grouping the same.
inline Bounds widen(const Bounds& box, const Bounds& other) {
    return {{lower(box.low.x, other.low.x), lower(box.low.y, other.low.y), lower(box.low.z, other.low.z)},
            {upper(box.high.x, other.high.x), upper(box.high.y, other.high.y), upper(box.high.z, other.high.z)}};
}

// The box of points, four at a time in twelve independent lanes
// (x y z x | y z x y | z x y z), so that the loop is vectorised.
inline Bounds bounds_in_lanes(const Vec3d* points, std::size_t count) {
    constexpr std::size_t kLanes = 12;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const double* flat = reinterpret_cast<const double*>(points);
    double low[kLanes], high[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) low[l] = high[l] = nan;
    const std::size_t whole = count / 4 * 4;
    for (std::size_t i = 0; i < 3 * whole; i += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            low[l] = lower(low[l], flat[i + l]);
            high[l] = upper(high[l], flat[i + l]);
        }
    }
    Bounds box{{nan, nan, nan}, {nan, nan, nan}};
    for (std::size_t l = 0; l < kLanes; l += 3) {
        box = widen(box, {{low[l], low[l + 1], low[l + 2]}, {high[l], high[l + 1], high[l + 2]}});
    }
    for (std::size_t i = whole; i < count; ++i) box = widen(box, {points[i], points[i]});
    return box;
}

using BoundsScan = Bounds (*)(const Vec3d*, std::size_t);

inline Bounds bounds_plain(const Vec3d* points, std::size_t count) { return bounds_in_lanes(points, count); }

#if TESSARY_HAVE_AVX2_TWINS
[[gnu::target("avx2")]] inline Bounds bounds_avx2(const Vec3d* points, std::size_t count) {
    return bounds_in_lanes(points, count);
}
#endif

// Points per chunk of the scan.
inline constexpr std::size_t kBoundsChunk = 32768;

// The box of every point (NaN components for none), scanned by `scan` in
// chunks shared out by for_ranges.
template <class ForRanges>
Bounds bounds_of(std::span<const Vec3d> points, BoundsScan scan, const ForRanges& for_ranges) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (points.empty()) return {{nan, nan, nan}, {nan, nan, nan}};
    return combine_in_chunks<Bounds>(
        points.size(), kBoundsChunk,
        [&](std::size_t begin, std::size_t end) { return scan(points.data() + begin, end - begin); }, widen,
        for_ranges, 1);
}

}  // namespace tessary
