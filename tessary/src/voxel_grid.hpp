// Points grouped by the voxel of a grid they fall in, with each voxel's
// count, exact centroid and the point nearest that centroid, and for each
// point its voxel.
//
// The grid has cubes of side `edge` with a corner at `origin`; a point's
// voxel is (floor((x - ox) / edge), ...) of the exact values
// (voxel_index.hpp), as three 64-bit integers. Points with a NaN or
// infinite coordinate belong to no voxel. The voxels come in the order of
// their first points (the lowest index among their points), so the answer
// is a function of the points alone.
//
// How: the finite points' voxels are packed into one integer key, their
// offsets from the least voxel along each axis in mixed radix, when the
// box of voxels they span has few enough cells that the key and the
// point's index fit in 64 bits together; otherwise the key is a hash of
// the voxel, and points whose hashes agree are told apart by their voxels.
// (key, index) records are radix sorted (radix_sort.hpp), so each voxel's
// points are one run, in index order. The runs' first points, marked in
// point order and counted, give each voxel its place in the output; then
// each run is summed. Every pass is shared out by a `for_ranges(n, grain,
// body)` in fixed chunks, and each result is a function of the data, so
// the bits never depend on the number of threads.
//
// A centroid is each component's exact sum rounded once to a double, then
// divided by the count: VecList.centroid()'s rule (moments.hpp's
// centroid_of). Within a voxel the components usually share an exponent or
// nearly, so the sum is taken as integers on the grid of the smallest
// one's last bit in 128 bits; where the exponents spread too far for that
// (a voxel that reaches down to tiny values near zero), in an ExactSum.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "exact_sum.hpp"
#include "int128.hpp"
#include "neighbour.hpp"
#include "radix_sort.hpp"
#include "vec3d.hpp"
#include "voxel_index.hpp"

namespace tessary {

// value * 2^lowest rounded to the nearest double, ties to even; +0.0 for
// zero. What ExactSum::round gives for the same exact value.
inline double round_scaled(const Int128& value, int lowest) {
    std::uint64_t high, low;
    value.magnitude(high, low);
    if (high == 0 && low == 0) return 0.0;
    const bool negative = value.negative();
    const double signed_infinity = negative ? -std::numeric_limits<double>::infinity()
                                            : std::numeric_limits<double>::infinity();
    const int msb = high != 0 ? 127 - std::countl_zero(high) : 63 - std::countl_zero(low);
    const long exponent = static_cast<long>(msb) + lowest;  // the leading one weighs 2^exponent
    if (exponent > 1023) return signed_infinity;
    // The weight of the last bit kept: 53 bits, fewer among the subnormals.
    const long keep_lowest = std::max(exponent - 52, -1074L);
    const long cut = keep_lowest - lowest;  // bits of the integer below the kept ones
    double magnitude;
    if (cut <= 0) {
        // Every bit kept: the integer has at most 53 bits.
        magnitude = std::ldexp(static_cast<double>(low), lowest);
    } else {
        auto bit = [&](long position) -> std::uint64_t {
            if (position >= 128) return 0;
            return position >= 64 ? (high >> (position - 64)) & 1 : (low >> position) & 1;
        };
        // Whether any bit below `position` is set.
        auto any_below = [&](long position) {
            if (position >= 128) return high != 0 || low != 0;
            if (position > 64) return low != 0 || (high & ((std::uint64_t{1} << (position - 64)) - 1)) != 0;
            if (position == 64) return low != 0;
            return position > 0 && (low & ((std::uint64_t{1} << position) - 1)) != 0;
        };
        std::uint64_t kept;
        if (cut >= 128) {
            kept = 0;
        } else if (cut >= 64) {
            kept = high >> (cut - 64);
        } else {
            kept = (low >> cut) | (high << (64 - cut));
        }
        if (bit(cut - 1) != 0 && (any_below(cut - 1) || (kept & 1) != 0)) ++kept;
        // kept may have become 2^53: still exact, or the infinity beyond.
        magnitude = std::ldexp(static_cast<double>(kept), static_cast<int>(keep_lowest));
        if (std::isinf(magnitude)) return signed_infinity;
    }
    return negative ? -magnitude : magnitude;
}

// A voxel index beyond the 64-bit integers: the axis and the coordinate
// whose voxel it is.
struct VoxelOverflow {
    int axis;
    double coordinate;
};

// What voxelize found: the number of voxels and of points left out, or
// the coordinate whose voxel cannot be represented.
struct VoxelCount {
    std::size_t voxels = 0;
    std::size_t non_finite = 0;
    std::optional<VoxelOverflow> overflow;
};

// Where the results per voxel go, each room for as many items as there are
// voxels, or null when not wanted.
template <class Index>
struct VoxelResults {
    Vec3d* centroids = nullptr;
    Index* counts = nullptr;
    Index* nearest = nullptr;
};

namespace voxel_grid_detail {

// The loops over one voxel's points run a few times each: GCC's vectorised
// forms of them, with their set-up and remainders, take longer.
#if defined(__GNUC__) && !defined(__clang__)
#define TESSARY_SHORT_LOOPS __attribute__((optimize("no-tree-vectorize")))
#else
#define TESSARY_SHORT_LOOPS
#endif

// Points, or sorted records, per chunk of the passes; and the most groups
// of sorted chunks and blocks of points whose voxels are counted apart.
inline constexpr std::size_t kChunk = std::size_t{1} << 16;
inline constexpr std::size_t kMostGroups = 64;
inline constexpr std::size_t kMostBlocks = 1024;

inline int bits_of(std::uint64_t exponent_and_mantissa_bits) {
    return static_cast<int>((exponent_and_mantissa_bits >> 52) & 0x7FF);
}

// The finalizer of splitmix64: every bit of the input moves every bit of
// the output.
inline std::uint64_t mix(std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EB;
    return x ^ (x >> 31);
}

using Cell = std::array<std::int64_t, 3>;

// The grid and how a voxel becomes a key of `key_bits` bits.
struct Grid {
    Vec3d origin;
    double edge;
    Cell least{};                           // the least voxel along each axis
    std::array<std::uint64_t, 3> sizes{};  // voxels spanned along each axis, when packed
    bool packed = true;
    int key_bits = 0;
    int index_bits = 0;

    std::array<VoxelAxis, 3> axes;

    Grid(const Vec3d& o, double e) : origin(o), edge(e), axes{VoxelAxis(o.x, e), VoxelAxis(o.y, e), VoxelAxis(o.z, e)} {}

    // A finite point's voxel; its range was checked at the extremes.
    Cell cell(const Vec3d& p) const {
        double f[3];
        // All three computed (no branch between them), then combined.
        const int quick_x = axes[0].quick(p.x, f[0]), quick_y = axes[1].quick(p.y, f[1]),
                  quick_z = axes[2].quick(p.z, f[2]);
        const bool quick = (quick_x & quick_y & quick_z) != 0;
        if (quick) [[likely]] {
            return {static_cast<std::int64_t>(f[0]), static_cast<std::int64_t>(f[1]), static_cast<std::int64_t>(f[2])};
        }
        return settled_cell(p);
    }

#if defined(__GNUC__)
    __attribute__((noinline))
#endif
    Cell settled_cell(const Vec3d& p) const {
        return {axes[0].index(p.x).value_or(0), axes[1].index(p.y).value_or(0), axes[2].index(p.z).value_or(0)};
    }

    std::uint64_t key(const Cell& c) const {
        if (packed) {
            std::uint64_t u[3];
            for (int a = 0; a < 3; ++a) u[a] = static_cast<std::uint64_t>(c[a]) - static_cast<std::uint64_t>(least[a]);
            return (u[0] * sizes[1] + u[1]) * sizes[2] + u[2];
        }
        const std::uint64_t h = mix(mix(mix(static_cast<std::uint64_t>(c[0])) ^ static_cast<std::uint64_t>(c[1])) ^
                                    static_cast<std::uint64_t>(c[2]));
        return h >> (64 - key_bits);
    }
};

// Chooses the key: packed when the voxels' box has at most 2^room cells,
// room = 64 - index_bits (or fewer, `most_key_bits`), else hashed into
// that many bits.
inline void choose_key(Grid& grid, const Cell& most, std::size_t points, int most_key_bits) {
    grid.index_bits = std::bit_width(points - 1);
    const int room = std::min(64 - grid.index_bits, most_key_bits);
    std::uint64_t cells = 1;
    bool fits = true;
    for (int a = 0; a < 3 && fits; ++a) {
        const std::uint64_t span = static_cast<std::uint64_t>(most[a]) - static_cast<std::uint64_t>(grid.least[a]);
        if (span == ~std::uint64_t{0}) {
            fits = false;
            break;
        }
        grid.sizes[a] = span + 1;
        fits = !__builtin_mul_overflow(cells, grid.sizes[a], &cells);
    }
    // cells - 1 is the largest key.
    if (fits && (room == 64 || (cells - 1) >> room == 0)) {
        grid.packed = true;
        grid.key_bits = std::bit_width(cells - 1);
    } else {
        grid.packed = false;
        grid.key_bits = room;
    }
}

// The exact sums of the components of the points of a run, each rounded
// once. Each nonzero value is mantissa * 2^(field - 1075) (subnormals
// taking field 1's weight), so on the grid of the least field's last bit
// it is the mantissa shifted by (field - least). Where the fields of a
// component spread little, the shifted mantissas of a run sum in 64 bits
// (the common case: a voxel's components share an exponent or nearly),
// converted to a double (rounded once) and scaled by a power of two
// (exactly, in the normal range); up to 2^126 in 128 bits; beyond that
// (a voxel reaching down to tiny values near zero) in an ExactSum.
template <class PointOf>
TESSARY_SHORT_LOOPS Vec3d run_sums(const PointOf& point_of, std::size_t begin, std::size_t end) {
    // The least and the greatest exponent field of each component's
    // nonzero values (a subnormal counts as field 1).
    std::int64_t least[3] = {0x7FF, 0x7FF, 0x7FF}, most[3] = {0, 0, 0};
    for (std::size_t j = begin; j < end; ++j) {
        const Vec3d& p = point_of(j);
        const std::uint64_t bits[3] = {std::bit_cast<std::uint64_t>(p.x), std::bit_cast<std::uint64_t>(p.y),
                                       std::bit_cast<std::uint64_t>(p.z)};
        for (int a = 0; a < 3; ++a) {
            const bool zero = (bits[a] << 1) == 0;
            const auto field = static_cast<std::int64_t>(std::max<std::uint64_t>((bits[a] >> 52) & 0x7FF, 1));
            least[a] = std::min(least[a], zero ? std::int64_t{0x7FF} : field);
            most[a] = std::max(most[a], zero ? std::int64_t{0} : field);
        }
    }
    const int count_bits = std::bit_width(end - begin);
    auto signed_mantissa = [](std::uint64_t bits) {
        std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
        if (((bits >> 52) & 0x7FF) != 0) mantissa |= std::uint64_t{1} << 52;
        const auto m = static_cast<std::int64_t>(mantissa);
        return (bits >> 63) != 0 ? -m : m;
    };
    auto shift_of = [](std::uint64_t bits, std::int64_t lowest_field) {
        return static_cast<int>(std::max<std::int64_t>(static_cast<std::int64_t>((bits >> 52) & 0x7FF), 1) - lowest_field);
    };
    // A component whose fields spread little, of few points, in the normal
    // range: 64-bit sums (the common case, all three in one pass).
    bool fast[3];
    for (int a = 0; a < 3; ++a) {
        const std::int64_t lowest = least[a] - 1075;
        fast[a] = most[a] == 0 ||
                  (53 + (most[a] - least[a]) + count_bits <= 63 && lowest >= -1022 + 64 && lowest <= 1023 - 64);
    }
    double sums[3];
    if (fast[0] && fast[1] && fast[2]) {
        std::int64_t total[3] = {0, 0, 0};
        for (std::size_t j = begin; j < end; ++j) {
            const Vec3d& p = point_of(j);
            const std::uint64_t bits[3] = {std::bit_cast<std::uint64_t>(p.x), std::bit_cast<std::uint64_t>(p.y),
                                           std::bit_cast<std::uint64_t>(p.z)};
            for (int a = 0; a < 3; ++a) {
                // A zero adds 0, at whatever shift.
                const int shift = (bits[a] << 1) == 0 ? 0 : shift_of(bits[a], least[a]);
                total[a] += signed_mantissa(bits[a]) << shift;
            }
        }
        for (int a = 0; a < 3; ++a) {
            const double scale =
                most[a] == 0 ? 0.0 : std::bit_cast<double>(static_cast<std::uint64_t>(least[a] - 1075 + 1023) << 52);
            sums[a] = static_cast<double>(total[a]) * scale;
        }
        return {sums[0], sums[1], sums[2]};
    }
    for (int a = 0; a < 3; ++a) {
        const auto axis = static_cast<std::size_t>(a);
        auto bits_at = [&](std::size_t j) { return std::bit_cast<std::uint64_t>(point_of(j).index(axis)); };
        const int lowest = static_cast<int>(least[a]) - 1075;
        if (most[a] == 0) {
            sums[a] = 0.0;  // every value a zero
        } else if (fast[a]) {
            std::int64_t total = 0;
            for (std::size_t j = begin; j < end; ++j) {
                const std::uint64_t bits = bits_at(j);
                if ((bits << 1) != 0) total += signed_mantissa(bits) << shift_of(bits, least[a]);
            }
            sums[a] = static_cast<double>(total) * std::bit_cast<double>(static_cast<std::uint64_t>(lowest + 1023) << 52);
        } else if (53 + (most[a] - least[a]) + count_bits <= 126) {
            Int128 total;
            for (std::size_t j = begin; j < end; ++j) {
                const std::uint64_t bits = bits_at(j);
                if ((bits << 1) != 0) total.add_shifted(signed_mantissa(bits), shift_of(bits, least[a]));
            }
            sums[a] = round_scaled(total, lowest);
        } else {
            ExactSum sum;
            for (std::size_t j = begin; j < end; ++j) sum.add(point_of(j).index(axis));
            sums[a] = sum.round();
        }
    }
    return {sums[0], sums[1], sums[2]};
}

// Points of the runs of voxels gathered at a time, and how far ahead of
// the gathering their memory is asked for.
inline constexpr std::size_t kBatch = 4096;
inline constexpr std::size_t kAhead = 16;

// The count, centroid and nearest point of the voxel at `place` whose
// points are the sorted places [begin, end) (point_of(j) the point,
// index_of(j) its index).
template <class Index, class PointOf, class IndexOf>
TESSARY_SHORT_LOOPS void summarize_run(const PointOf& point_of, const IndexOf& index_of, std::size_t begin, std::size_t end,
                   std::size_t place, const VoxelResults<Index>& results) {
    const std::size_t count = end - begin;
    if (results.counts != nullptr) results.counts[place] = static_cast<Index>(count);
    if (results.centroids == nullptr && results.nearest == nullptr) return;
    const double divisor = static_cast<double>(count);
    const Vec3d sums = run_sums(point_of, begin, end);
    const Vec3d centroid{sums.x / divisor, sums.y / divisor, sums.z / divisor};
    if (results.centroids != nullptr) results.centroids[place] = centroid;
    if (results.nearest == nullptr) return;
    // The run is in index order: a strictly nearer point replaces the
    // best, so ties keep the lower index.
    std::size_t best = begin;
    std::uint64_t best_key = distance_key(point_of(begin).distance_squared(centroid));
    for (std::size_t t = begin + 1; t < end; ++t) {
        const std::uint64_t key = distance_key(point_of(t).distance_squared(centroid));
        if (key < best_key) {
            best = t;
            best_key = key;
        }
    }
    results.nearest[place] = static_cast<Index>(index_of(best));
}

}  // namespace voxel_grid_detail

// Groups `points` by voxel of the grid of cubes of side `edge` (finite,
// > 0) with a corner at `origin` (finite). inverse[i] becomes the place of
// point i's voxel in the output, or the number of voxels for a point with
// a NaN or infinite coordinate. Once the number of voxels m is known,
// `room(m)` gives the VoxelResults to fill (called once, on the calling
// thread): centroid, count and the index of the point nearest the
// centroid, equal distances to the lower index. Besides `inverse` and the
// results, the work takes 17 bytes per finite point. A voxel index beyond
// the 64-bit integers is reported before anything is written to `inverse`
// or `room` is called. (`most_key_bits` narrows the keys, so that tests
// can make hashes collide.)
template <class Index, class Room, class ForRanges>
VoxelCount voxelize(std::span<const Vec3d> points, const Vec3d& origin, double edge, Index* inverse,
                    const Room& room, const ForRanges& for_ranges, int most_key_bits = 64) {
    using namespace voxel_grid_detail;
    const std::size_t n = points.size();
    const std::size_t chunks = (n + kChunk - 1) / kChunk;
    auto chunk_end = [&](std::size_t c, std::size_t size) { return std::min(size, (c + 1) * kChunk); };

    // The finite points of each chunk and their box.
    struct Scan {
        std::size_t finite = 0;
        Vec3d low{}, high{};
    };
    std::vector<Scan> scans(chunks);
    for_ranges(chunks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            Scan s;
            constexpr double inf = std::numeric_limits<double>::infinity();
            s.low = {inf, inf, inf};
            s.high = {-inf, -inf, -inf};
            for (std::size_t i = c * kChunk; i < chunk_end(c, n); ++i) {
                const Vec3d& p = points[i];
                if (!is_finite(p)) continue;
                ++s.finite;
                s.low = {std::min(s.low.x, p.x), std::min(s.low.y, p.y), std::min(s.low.z, p.z)};
                s.high = {std::max(s.high.x, p.x), std::max(s.high.y, p.y), std::max(s.high.z, p.z)};
            }
            scans[c] = s;
        }
    });
    std::vector<std::size_t> finite_before(chunks + 1, 0);
    Scan all;
    for (std::size_t c = 0; c < chunks; ++c) {
        finite_before[c + 1] = finite_before[c] + scans[c].finite;
        if (scans[c].finite == 0) continue;
        if (all.finite == 0) {
            all = scans[c];
        } else {
            all.low = {std::min(all.low.x, scans[c].low.x), std::min(all.low.y, scans[c].low.y),
                       std::min(all.low.z, scans[c].low.z)};
            all.high = {std::max(all.high.x, scans[c].high.x), std::max(all.high.y, scans[c].high.y),
                        std::max(all.high.z, scans[c].high.z)};
        }
        all.finite = finite_before[c + 1];
    }
    const std::size_t finite = finite_before[chunks];
    VoxelCount outcome;
    outcome.non_finite = n - finite;

    // The voxels of the box's corners bound every point's (the floor is
    // monotonic), so they alone need checking.
    Grid grid(origin, edge);
    Cell most{};
    if (finite != 0) {
        const std::array<double, 3> o = origin.to_array(), low = all.low.to_array(), high = all.high.to_array();
        for (int a = 0; a < 3; ++a) {
            const std::optional<std::int64_t> l = voxel_index(low[static_cast<std::size_t>(a)], o[static_cast<std::size_t>(a)], edge);
            if (!l) return {0, outcome.non_finite, VoxelOverflow{a, low[static_cast<std::size_t>(a)]}};
            const std::optional<std::int64_t> h = voxel_index(high[static_cast<std::size_t>(a)], o[static_cast<std::size_t>(a)], edge);
            if (!h) return {0, outcome.non_finite, VoxelOverflow{a, high[static_cast<std::size_t>(a)]}};
            grid.least[static_cast<std::size_t>(a)] = *l;
            most[static_cast<std::size_t>(a)] = *h;
        }
        choose_key(grid, most, n, most_key_bits);
    }
    if (finite == 0) {
        for_ranges(n, kChunk, [&](std::size_t begin, std::size_t end) {
            std::fill(inverse + begin, inverse + end, Index{0});
        });
        room(0);
        return outcome;
    }

    // Records key << index_bits | index, in index order; inverse marks
    // the points left out with -1 and the others with 0.
    const int shift = grid.index_bits;
    const std::uint64_t index_mask = shift == 0 ? 0 : ~std::uint64_t{0} >> (64 - shift);
    std::unique_ptr<std::uint64_t[]> records(new std::uint64_t[finite]);
    for_ranges(chunks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            std::uint64_t* out = records.get() + finite_before[c];
            for (std::size_t i = c * kChunk; i < chunk_end(c, n); ++i) {
                const Vec3d& p = points[i];
                if (!is_finite(p)) {
                    inverse[i] = Index{-1};
                    continue;
                }
                inverse[i] = Index{0};
                *out++ = (grid.key(grid.cell(p)) << shift) | i;
            }
        }
    });
    {
        std::unique_ptr<std::uint64_t[]> scratch(new std::uint64_t[finite]);
        if (radix_sort(records.get(), scratch.get(), finite, shift, grid.key_bits, for_ranges) == scratch.get()) {
            std::swap(records, scratch);
        }
    }
    const std::uint64_t* sorted = records.get();
    auto index_at = [&](std::size_t j) { return static_cast<std::size_t>(sorted[j] & index_mask); };
    auto key_at = [&](std::size_t j) { return sorted[j] >> shift; };
    auto point_at = [&](std::size_t j) -> const Vec3d& { return points[index_at(j)]; };
    const std::size_t sorted_chunks = (finite + kChunk - 1) / kChunk;

    // With hashed keys, a run of equal keys may hold points of several
    // voxels: those runs are found first, then each sorted by voxel, then
    // index, by one worker.
    if (!grid.packed) {
        std::vector<std::vector<std::pair<std::size_t, std::size_t>>> mixed_in(sorted_chunks);
        for_ranges(sorted_chunks, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t c = begin; c < end; ++c) {
                std::size_t j = c * kChunk;
                while (j < chunk_end(c, finite) && j != 0 && key_at(j) == key_at(j - 1)) ++j;
                while (j < chunk_end(c, finite)) {
                    std::size_t e = j + 1;
                    while (e < finite && key_at(e) == key_at(j)) ++e;
                    const Cell first = grid.cell(point_at(j));
                    bool mixed = false;
                    for (std::size_t t = j + 1; t < e && !mixed; ++t) mixed = grid.cell(point_at(t)) != first;
                    if (mixed) mixed_in[c].emplace_back(j, e);
                    j = e;
                }
            }
        });
        std::vector<std::pair<std::size_t, std::size_t>> mixed;
        for (const auto& found : mixed_in) mixed.insert(mixed.end(), found.begin(), found.end());
        for_ranges(mixed.size(), 1, [&](std::size_t begin, std::size_t end) {
            std::vector<std::pair<Cell, std::uint64_t>> run;
            for (std::size_t r = begin; r < end; ++r) {
                const auto [j, e] = mixed[r];
                run.clear();
                for (std::size_t t = j; t < e; ++t) run.emplace_back(grid.cell(point_at(t)), sorted[t]);
                std::sort(run.begin(), run.end(), [&](const auto& a, const auto& b) {
                    return a.first != b.first ? a.first < b.first : (a.second & index_mask) < (b.second & index_mask);
                });
                for (std::size_t t = j; t < e; ++t) records[t] = run[t - j].second;
            }
        });
    }

    // starts[j]: whether a voxel's run begins at sorted place j; its first
    // point is marked 1 in inverse and counted in its block of points. The
    // counts are kept per group of sorted chunks and per block: at most
    // kMostGroups by kMostBlocks of them, whatever the size.
    std::unique_ptr<std::uint8_t[]> starts(new std::uint8_t[finite]);
    const std::size_t block = std::max(kChunk, (n + kMostBlocks - 1) / kMostBlocks);
    const std::size_t blocks = (n + block - 1) / block;
    const std::size_t per_group = (sorted_chunks + kMostGroups - 1) / kMostGroups;
    const std::size_t groups = (sorted_chunks + per_group - 1) / per_group;
    std::vector<std::size_t> firsts_in(groups * blocks, 0);
    for_ranges(groups, 1, [&](std::size_t first_group, std::size_t last_group) {
        for (std::size_t g = first_group; g < last_group; ++g) {
            std::size_t* found = firsts_in.data() + g * blocks;
            const std::size_t begin = g * per_group * kChunk;
            const std::size_t end = std::min(finite, (g + 1) * per_group * kChunk);
            Cell previous{};
            if (!grid.packed && begin != 0) previous = grid.cell(point_at(begin - 1));
            for (std::size_t j = begin; j < end; ++j) {
                bool start = j == 0 || key_at(j) != key_at(j - 1);
                if (!grid.packed) {
                    const Cell here = grid.cell(point_at(j));
                    start = start || here != previous;
                    previous = here;
                }
                starts[j] = start;
                if (start) {
                    inverse[index_at(j)] = Index{1};
                    ++found[index_at(j) / block];
                }
            }
        }
    });
    std::vector<std::size_t> firsts_before(blocks + 1, 0);
    for (std::size_t b = 0; b < blocks; ++b) {
        std::size_t found = 0;
        for (std::size_t g = 0; g < groups; ++g) found += firsts_in[g * blocks + b];
        firsts_before[b + 1] = firsts_before[b] + found;
    }
    const std::size_t voxels = firsts_before[blocks];
    outcome.voxels = voxels;

    // In point order, each first point's mark becomes its voxel's place;
    // the points left out get the number of voxels.
    for_ranges(blocks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            std::size_t place = firsts_before[b];
            for (std::size_t i = b * block; i < std::min(n, (b + 1) * block); ++i) {
                if (inverse[i] == Index{1}) {
                    inverse[i] = static_cast<Index>(place++);
                } else if (inverse[i] == Index{-1}) {
                    inverse[i] = static_cast<Index>(voxels);
                }
            }
        }
    });

    const VoxelResults<Index> results = room(voxels);
    // Each run, from the chunk its start lies in: count, centroid, nearest
    // point, and its points' places. The points of a batch of runs are
    // gathered first, in one loop whose reads overlap.
    for_ranges(sorted_chunks, 1, [&](std::size_t begin, std::size_t end) {
        std::vector<Vec3d> gathered;
        auto run_end = [&](std::size_t j) {
            do {
                ++j;
            } while (j < finite && !starts[j]);
            return j;
        };
        for (std::size_t c = begin; c < end; ++c) {
            const std::size_t last = chunk_end(c, finite);
            std::size_t j = c * kChunk;
            while (j < last && !starts[j]) ++j;
            while (j < last) {
                std::size_t batch_end = run_end(j);
                if (batch_end - j > kBatch) {
                    const auto place = static_cast<std::size_t>(inverse[index_at(j)]);
                    for (std::size_t t = j + 1; t < batch_end; ++t) inverse[index_at(t)] = static_cast<Index>(place);
                    summarize_run(point_at, index_at, j, batch_end, place, results);
                    j = batch_end;
                    continue;
                }
                // Whole runs that start in this chunk, at most kBatch points,
                // gathered while their points get their voxel's place.
                for (std::size_t next; batch_end < last && (next = run_end(batch_end)) - j <= kBatch;) batch_end = next;
                const std::size_t first = j;
                gathered.resize(batch_end - first);
                Index place{0};
                for (std::size_t t = first; t < batch_end; ++t) {
#if defined(__GNUC__)
                    if (t + kAhead < batch_end) {
                        __builtin_prefetch(&points[index_at(t + kAhead)]);
                        __builtin_prefetch(&inverse[index_at(t + kAhead)], 1);
                    }
#endif
                    const std::size_t i = index_at(t);
                    gathered[t - first] = points[i];
                    if (starts[t]) {
                        place = inverse[i];
                    } else {
                        inverse[i] = place;
                    }
                }
                auto local = [&](std::size_t t) -> const Vec3d& { return gathered[t - first]; };
                while (j < batch_end) {
                    const std::size_t e = run_end(j);
                    summarize_run(local, index_at, j, e, static_cast<std::size_t>(inverse[index_at(j)]), results);
                    j = e;
                }
            }
        }
    });
    return outcome;
}

}  // namespace tessary
