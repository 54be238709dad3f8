// How many points lie within a distance of a plane, asked of one cloud
// for many planes (RANSAC's scoring).
//
// The points are taken in a frame centred on the cloud: q = p - centre,
// each coordinate rounded once, the centre being the middle of the box of
// the finite points. A point is within `distance` of the plane n·q + d = 0
// (n a unit vector) when |((n.x q.x + n.y q.y) + n.z q.z) + d| <= distance,
// each operation rounded in that order; a point with a NaN or an infinite
// coordinate never is.
//
// The count is that of the test applied to every point, but it is not
// taken one point at a time: the finite points are ordered along a Morton
// curve and cut into blocks of kScoringBlock, each with its box. A block
// whose box lies farther from the plane than the distance, by a margin
// far wider than the rounding of the test (2^-44 of the sizes involved),
// holds no point that passes; one whose box lies within the distance by
// that margin holds only points that pass; only the points of the other
// blocks are tested. The margin makes both shortcuts give what the test
// would, so the count does not depend on the blocks.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "morton.hpp"
#include "radix_sort.hpp"
#include "reduction.hpp"
#include "vec3d.hpp"

namespace tessary {

inline constexpr std::size_t kScoringBlock = 64;

struct ScoringBlock {
    double mid[3];    // the middle of the block's box
    double half[3];   // its half sides
    double reach[3];  // the largest magnitude of each coordinate in it
    std::size_t begin;
    std::size_t count;
};

// A unit normal and offset in the centred frame.
struct CentredPlane {
    Vec3d normal;
    double offset;
};

// Whether q passes the test of the plane.
inline bool within(const CentredPlane& plane, const Vec3d& q, double distance) {
    const Vec3d& n = plane.normal;
    return std::fabs(((n.x * q.x + n.y * q.y) + n.z * q.z) + plane.offset) <= distance;
}

class ScoringCloud {
public:
    // The centre of points and their blocks, the work shared out by
    // for_ranges.
    template <class ForRanges>
    ScoringCloud(std::span<const Vec3d> points, const ForRanges& for_ranges);

    const Vec3d& centre() const { return centre_; }
    Vec3d centred(const Vec3d& p) const { return p.sub(centre_); }

    // The number of points that pass the test of `plane`.
    std::size_t count_within(const CentredPlane& plane, double distance) const;

private:
    Vec3d centre_{0.0, 0.0, 0.0};
    std::vector<Vec3d> ordered_;  // the finite points, centred, in Morton order
    std::vector<ScoringBlock> blocks_;
};

namespace scoring_detail {

struct Box {
    double lo[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                    std::numeric_limits<double>::infinity()};
    double hi[3] = {-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                    -std::numeric_limits<double>::infinity()};
    void add(const Vec3d& p) {
        const double c[3] = {p.x, p.y, p.z};
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], c[a]);
            hi[a] = std::max(hi[a], c[a]);
        }
    }
    Box operator+(const Box& other) const {
        Box out = *this;
        for (int a = 0; a < 3; ++a) {
            out.lo[a] = std::min(lo[a], other.lo[a]);
            out.hi[a] = std::max(hi[a], other.hi[a]);
        }
        return out;
    }
};

// Records: a Morton code of 30 bits, or bit 30 alone for a point that is
// not finite (so that those sort last), above a position of 33 bits (a
// cloud of up to 2^33 points, 192 GiB of coordinates).
inline constexpr int kPositionBits = 33;
inline constexpr std::uint64_t kPositionMask = (std::uint64_t{1} << kPositionBits) - 1;
inline constexpr std::uint64_t kAside = std::uint64_t{1} << 30;

inline constexpr std::size_t kChunk = 4096;

}  // namespace scoring_detail

// The most points a ScoringCloud takes: its sort keys hold their positions.
inline constexpr std::uint64_t kMostScoredPoints = std::uint64_t{1} << scoring_detail::kPositionBits;

template <class ForRanges>
ScoringCloud::ScoringCloud(std::span<const Vec3d> points, const ForRanges& for_ranges) {
    using namespace scoring_detail;
    const std::size_t n = points.size();
    if (n == 0) return;
    const Box box = sum_in_chunks<Box>(
        n, kChunk,
        [&](std::size_t begin, std::size_t end) {
            Box b;
            for (std::size_t i = begin; i < end; ++i) {
                if (is_finite(points[i])) b.add(points[i]);
            }
            return b;
        },
        for_ranges);
    if (!(box.lo[0] <= box.hi[0])) return;  // no finite point
    centre_ = {box.lo[0] * 0.5 + box.hi[0] * 0.5, box.lo[1] * 0.5 + box.hi[1] * 0.5,
               box.lo[2] * 0.5 + box.hi[2] * 0.5};
    const MortonCode code_of({box.lo[0] - centre_.x, box.lo[1] - centre_.y, box.lo[2] - centre_.z},
                             {box.hi[0] - centre_.x, box.hi[1] - centre_.y, box.hi[2] - centre_.z});
    std::vector<std::uint64_t> records(n), scratch(n);
    for_ranges(n, kChunk, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Vec3d q = centred(points[i]);
            std::uint64_t code = kAside;
            if (is_finite(points[i]) && is_finite(q)) code = code_of(q);
            records[i] = code << kPositionBits | static_cast<std::uint64_t>(i);
        }
    });
    const std::uint64_t* sorted = radix_sort(records.data(), scratch.data(), n, kPositionBits, 31, for_ranges);
    const std::size_t finite_count = static_cast<std::size_t>(
        std::partition_point(sorted, sorted + n, [](std::uint64_t r) { return (r >> kPositionBits) != kAside; }) -
        sorted);
    ordered_.resize(finite_count);
    blocks_.resize((finite_count + kScoringBlock - 1) / kScoringBlock);
    for_ranges(blocks_.size(), 16, [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) {
            const std::size_t begin = k * kScoringBlock, end = std::min(finite_count, begin + kScoringBlock);
            Box b;
            for (std::size_t j = begin; j < end; ++j) {
                ordered_[j] = centred(points[static_cast<std::size_t>(sorted[j] & kPositionMask)]);
                b.add(ordered_[j]);
            }
            ScoringBlock& block = blocks_[k];
            for (int a = 0; a < 3; ++a) {
                block.mid[a] = b.lo[a] * 0.5 + b.hi[a] * 0.5;
                block.half[a] = b.hi[a] * 0.5 - b.lo[a] * 0.5;
                block.reach[a] = std::max(std::fabs(b.lo[a]), std::fabs(b.hi[a]));
            }
            block.begin = begin;
            block.count = end - begin;
        }
    });
}

inline std::size_t ScoringCloud::count_within(const CentredPlane& plane, double distance) const {
    const double n[3] = {plane.normal.x, plane.normal.y, plane.normal.z};
    const double m[3] = {std::fabs(n[0]), std::fabs(n[1]), std::fabs(n[2])};
    const double d = plane.offset;
    const double fixed = std::fabs(d) + distance;
    std::size_t total = 0;
    for (const ScoringBlock& block : blocks_) {
        const double at_mid = std::fabs(((n[0] * block.mid[0] + n[1] * block.mid[1]) + n[2] * block.mid[2]) + d);
        const double spread = (m[0] * block.half[0] + m[1] * block.half[1]) + m[2] * block.half[2];
        const double size = ((m[0] * block.reach[0] + m[1] * block.reach[1]) + m[2] * block.reach[2]) + fixed;
        const double margin = size * 0x1p-44;
        if (at_mid - spread > distance + margin) continue;
        if (at_mid + spread + margin < distance) {
            total += block.count;
            continue;
        }
        const Vec3d* q = ordered_.data() + block.begin;
        std::size_t passed = 0;
        for (std::size_t j = 0; j < block.count; ++j) passed += within(plane, q[j], distance) ? 1 : 0;
        total += passed;
    }
    return total;
}

}  // namespace tessary
