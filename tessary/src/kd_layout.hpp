// How a k-d tree lies in memory: its points in tree order, the nodes'
// boxes and split axes, and the points kept aside. kd_build.hpp makes a
// layout; kd_tree.hpp searches it.
//
// The points with finite coordinates are split at the median of the
// widest side of their box into a balanced tree whose leaves hold at most
// kLeafPoints points. The nodes are implicit: the children of node i are
// 2i+1 and 2i+2, and a node's points are the first or second half of its
// parent's (the first half the smaller when the count is odd). A leaf's
// points lie in one block of memory, their x coordinates, then their y,
// their z and their indices (64 bits each), so that a leaf is one stream
// to read and one short loop over its coordinates. Each node stores its box
// in single precision, rounded outwards, and each inner node the axis it
// was split along. Points with a NaN or infinite coordinate are kept aside
// in index order.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "vec3d.hpp"

namespace tessary {

// A node's box, rounded outwards to floats: it holds every point of the
// node, so bounds computed from it stay on the safe side of the points'.
struct NodeBox {
    float lo[3];
    float hi[3];
};

// A point with a NaN or infinite coordinate, with its index.
struct AsidePoint {
    Vec3d point;
    std::size_t index;
};

// A node with the range [begin, end) of its points in tree order.
struct NodeRange {
    std::size_t node;
    std::size_t begin;
    std::size_t end;

    std::size_t middle() const { return begin + (end - begin) / 2; }
    NodeRange left() const { return {2 * node + 1, begin, middle()}; }
    NodeRange right() const { return {2 * node + 2, middle(), end}; }
};

struct KdLayout {
    // The most points a leaf holds; leaves hold between half that and that.
    static constexpr std::size_t kLeafPoints = 32;
    // Deeper than any tree of points that fit in memory.
    static constexpr std::size_t kMaxDepth = 64;

    std::size_t size = 0;      // every point given, finite or not
    std::size_t in_tree = 0;   // those with finite coordinates
    std::size_t first_leaf = 0;
    // Four words per point, in tree order; once built, the count points of
    // a leaf that begins at point b are words[4b, 4b + 4 count): all x,
    // all y, all z, then all indices.
    std::unique_ptr<std::uint64_t[]> words;
    std::unique_ptr<NodeBox[]> boxes;        // 2 first_leaf + 1 nodes
    std::unique_ptr<std::uint8_t[]> axes;    // the axis each inner node is split along
    std::vector<AsidePoint> aside;           // by index

    bool is_leaf(std::size_t node) const noexcept { return node >= first_leaf; }
    NodeRange root() const noexcept { return {0, 0, in_tree}; }

    // The leaf that holds the point at `place` in tree order (place <
    // in_tree), down from the root.
    NodeRange leaf_holding(std::size_t place) const noexcept {
        NodeRange at = root();
        while (!is_leaf(at.node)) at = place < at.middle() ? at.left() : at.right();
        return at;
    }

    // A node's points, down from the root along the path that its number
    // spells (node + 1 in binary, after the leading one: 0 left, 1 right).
    NodeRange range_of(std::size_t node) const noexcept {
        NodeRange at = root();
        const int depth = std::bit_width(node + 1) - 1;
        for (int level = depth - 1; level >= 0; --level) at = ((node + 1) >> level & 1) == 0 ? at.left() : at.right();
        return at;
    }

    // The coordinates of the point at `place` in its leaf `leaf`.
    Vec3d point_at(const NodeRange& leaf, std::size_t place) const noexcept {
        const std::size_t count = leaf.end - leaf.begin;
        const std::uint64_t* xs = words.get() + 4 * leaf.begin;
        const std::size_t at = place - leaf.begin;
        return {std::bit_cast<double>(xs[at]), std::bit_cast<double>(xs[count + at]),
                std::bit_cast<double>(xs[2 * count + at])};
    }

    std::size_t memory_bytes() const noexcept {
        std::size_t bytes = in_tree * 4 * sizeof(std::uint64_t);
        if (boxes) bytes += (2 * first_leaf + 1) * sizeof(NodeBox) + first_leaf + 1;
        return bytes + aside.capacity() * sizeof(AsidePoint);
    }
};

// The keys of the least and the greatest squared distance from q to any
// point of a box.
//
// Along each axis the gap is point - query for the nearest point of the
// box: lo - q below the box, hi - q above it, 0 within (one of the two
// terms is always 0, and adding 0 changes nothing). For any point p of the
// box, p - q lies beyond the gap, so its rounded difference does too, and
// so do the squares and the sums, which round the same way: the bound of a
// box is never above the computed squared distance of a point inside it.
inline std::uint64_t nearest_key(const NodeBox& box, const Vec3d& q) noexcept {
    auto gap = [](double v, float lo, float hi) {
        return std::max(static_cast<double>(lo) - v, 0.0) + std::min(static_cast<double>(hi) - v, 0.0);
    };
    const double dx = gap(q.x, box.lo[0], box.hi[0]);
    const double dy = gap(q.y, box.lo[1], box.hi[1]);
    const double dz = gap(q.z, box.lo[2], box.hi[2]);
    return std::bit_cast<std::uint64_t>((dx * dx + dy * dy) + dz * dz);
}

// The farther face along each axis: p - q for any point p of the box lies
// between lo - q and hi - q.
inline std::uint64_t farthest_key(const NodeBox& box, const Vec3d& q) noexcept {
    auto reach = [](double v, float lo, float hi) {
        return std::max(v - static_cast<double>(lo), static_cast<double>(hi) - v);
    };
    const double dx = reach(q.x, box.lo[0], box.hi[0]);
    const double dy = reach(q.y, box.lo[1], box.hi[1]);
    const double dz = reach(q.z, box.lo[2], box.hi[2]);
    return std::bit_cast<std::uint64_t>((dx * dx + dy * dy) + dz * dz);
}

// The box of a group of finite queries.
struct QueryBox {
    double lo[3];
    double hi[3];
};

// The key of the least squared distance from any query of the group to
// any point of the node's box: along each axis the gap between the two
// boxes, lo - hi of the group below the node, hi - lo of the group above it,
// 0 where they overlap. Every query of the group lies within its box, so
// this gap is never wider than the query's own (nearest_key), and rounding
// is monotonic: the key is never above any query's.
inline std::uint64_t nearest_key(const NodeBox& box, const QueryBox& around) noexcept {
    auto gap = [](double lo_q, double hi_q, float lo, float hi) {
        return std::max(static_cast<double>(lo) - hi_q, 0.0) + std::min(static_cast<double>(hi) - lo_q, 0.0);
    };
    const double dx = gap(around.lo[0], around.hi[0], box.lo[0], box.hi[0]);
    const double dy = gap(around.lo[1], around.hi[1], box.lo[1], box.hi[1]);
    const double dz = gap(around.lo[2], around.hi[2], box.lo[2], box.hi[2]);
    return std::bit_cast<std::uint64_t>((dx * dx + dy * dy) + dz * dz);
}

}  // namespace tessary
