// A k-d tree over points in three dimensions that answers nearest,
// k-nearest and radius questions exactly.
//
// Exact means: the answer is the one a scan of every point gives when it
// ranks the points by their squared distance to the query, computed as
// Vec3d::distance_squared computes it (point minus query, then
// ((dx*dx + dy*dy) + dz*dz)), every NaN ranked after every number, and
// equal distances in the order of the points' indices. The tree only
// skips work that cannot change that answer: the lower bound of a box is
// computed with the same operations in the same order from the box's
// nearest faces, and rounding is monotonic, so the bound of a box is never
// above the computed squared distance of any point inside it; a box is
// skipped only when its bound is strictly above the current worst answer,
// so a point at an equal distance with a lower index is never missed.
//
// Layout: the points with finite coordinates are copied in tree order and
// split at the median of the widest side of their box (the whole cloud's,
// cut by the splits above) into a balanced tree whose leaves hold at most
// kLeafPoints points. A leaf's points lie in one
// block of memory, their x coordinates, then their y, their z and their
// indices (64 bits each), so that a leaf is one stream to read and one
// short loop over its coordinates. The nodes are implicit (the children of
// node i are 2i+1 and 2i+2, and a node's points are the first or second
// half of its parent's); each stores its box in single precision, rounded
// outwards, and each inner node the axis it was split along.
// Points with a NaN or infinite coordinate are kept aside in index order
// and scanned by every query; a query with such a coordinate is answered
// by a scan of every point.
//
// The tree is a plain value with no threads of its own: building and the
// batch queries take a `for_ranges(n, grain, body)` that runs body(begin,
// end) over ranges covering [0, n) (the worker pool's parallel_for, or
// SerialRanges), and the result never depends on how the ranges are cut.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "vec3d.hpp"

namespace tessary {

// The ranked key of a squared distance: its bits read as an unsigned
// integer, every NaN replaced by the positive quiet NaN. A squared distance
// is +0 or more unless it is NaN, so keys order as the numbers do, +inf last
// among them, and then the one NaN, whatever sign and payload arithmetic
// gave it.
inline constexpr std::uint64_t kInfinityKey = 0x7FF0000000000000;
inline constexpr std::uint64_t kNaNKey = 0x7FF8000000000000;

inline std::uint64_t distance_key(double squared) {
    const std::uint64_t magnitude = std::bit_cast<std::uint64_t>(squared) & ~(std::uint64_t{1} << 63);
    return magnitude > kInfinityKey ? kNaNKey : magnitude;
}

// The key of the largest squared distance whose square root is at most
// `radius` (radius >= 0, not NaN): a point is within `radius` of a query,
// sqrt(d2) <= radius, exactly when its key is at most this one, so radius
// tests compare squared distances and take no square root per point. The
// square rounds to within an ulp or two of the boundary, and the square
// root is monotonic, so a few steps to neighbouring doubles find it.
inline std::uint64_t within_key(double radius) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (radius == inf) return kInfinityKey;
    double limit = radius * radius;
    while (std::sqrt(limit) > radius) limit = std::nextafter(limit, 0.0);
    for (double up = std::nextafter(limit, inf); std::sqrt(up) <= radius; up = std::nextafter(limit, inf)) {
        limit = up;
    }
    return distance_key(limit);
}

// One answer: the point's index in the list the tree was built from and
// the key of its squared distance.
struct Neighbour {
    std::size_t index;
    std::uint64_t key;
    double squared() const { return std::bit_cast<double>(key); }
    // Correctly rounded, so it is Vec3d::distance_to of the pair.
    double distance() const { return std::sqrt(squared()); }
};

// The order of answers: by key, then by index.
inline bool precedes(std::uint64_t key, std::size_t index, const Neighbour& other) {
    return key < other.key || (key == other.key && index < other.index);
}

// for_ranges for a single thread.
struct SerialRanges {
    template <class Body>
    void operator()(std::size_t n, std::size_t, Body&& body) const {
        if (n != 0) body(std::size_t{0}, n);
    }
};

class KdTree {
public:
    // The most points a leaf holds; leaves hold between half that and that.
    static constexpr std::size_t kLeafPoints = 32;

    KdTree() = default;
    template <class ForRanges = SerialRanges>
    explicit KdTree(std::span<const Vec3d> points, const ForRanges& for_ranges = {});

    // Every point it was built from, finite or not.
    std::size_t size() const noexcept { return size_; }
    // Those kept aside for a NaN or infinite coordinate.
    std::size_t non_finite() const noexcept { return outside_.size(); }
    // Bytes held besides the object itself.
    std::size_t memory_bytes() const noexcept;

    // The nearest point whose key is at most `limit` (kNaNKey: any point),
    // or {size(), kInfinityKey} when there is none.
    Neighbour nearest(const Vec3d& q, std::uint64_t limit = kNaNKey) const;

    // nearest(q, limit) for a finite query, searched outwards from the
    // node `leaf` (its subtree first, then the other child of each of its
    // ancestors, nearest first), with the point found as the tree stores
    // it into `point` and its leaf into `leaf` (both unchanged when there
    // is none, or the point is kept aside). Any node gives the same answer
    // (0, the root, is the plain search); the leaf of a nearby query's
    // answer visits the fewest nodes. Callers that need the point's
    // coordinates then need no look-up by index, which in a batch would be
    // a read from anywhere in memory.
    Neighbour nearest(const Vec3d& q, std::uint64_t limit, Vec3d& point, std::size_t& leaf) const;

    // The k nearest within `limit`, in order, into out[0, k); slots beyond
    // those found are {size(), kInfinityKey}. k >= 1.
    void nearest_k(const Vec3d& q, std::size_t k, std::uint64_t limit, Neighbour* out) const;

    // How many points have a key at most `limit` (a within_key).
    std::size_t count_within(const Vec3d& q, std::uint64_t limit) const;

    // Appends the points with a key at most `limit` to `found`, in order.
    void within(const Vec3d& q, std::uint64_t limit, std::vector<Neighbour>& found) const;

    // The place of a point on a Morton curve over the tree's box (a grid
    // of 2^30 cells; points outside the box, or not finite, take the
    // nearest cell): queries taken in the order of their codes lie close
    // together, and so do the nodes and leaves they visit.
    class MortonCode {
    public:
        explicit MortonCode(const KdTree& tree);
        std::uint32_t operator()(const Vec3d& q) const;

    private:
        std::uint32_t cell(double v, int a) const;
        double lo_[3] = {0.0, 0.0, 0.0};
        double scale_[3] = {0.0, 0.0, 0.0};
    };

    // Many queries in one call: query(i) for i in [0, m) is a Vec3d, and
    // `body(i, q, scratch)` answers query i, writing to slots of its own
    // (scratch: a vector of its range's to use as it likes). The queries
    // are taken in blocks, each in the order of a Morton curve over the
    // tree's box, so that consecutive queries visit the same nodes and
    // leaves while they are still in cache; the blocks are shared out by
    // for_ranges. Besides what body writes, each range uses one block's
    // worth of scratch (40 bytes per query of a block, at most 10 MiB).
    template <class Query, class ForRanges, class Body>
    void for_each_query(std::size_t m, const Query& query, const ForRanges& for_ranges, const Body& body) const;

    // The k nearest of each query into row i of indices and distances (m
    // rows of k), as nearest_k; distances are the square roots.
    template <class Index, class Query, class ForRanges>
    void nearest_each(std::size_t m, const Query& query, std::size_t k, std::uint64_t limit, Index* indices,
                      double* distances, const ForRanges& for_ranges) const;

    // counts[i] = count_within(query(i), limit).
    template <class Count, class Query, class ForRanges>
    void count_within_each(std::size_t m, const Query& query, std::uint64_t limit, Count* counts,
                           const ForRanges& for_ranges) const;

    // The points within `limit` of each query, in order, into
    // found[offsets[i], offsets[i + 1]), where `offsets` (m + 1 of them)
    // holds the running totals of count_within_each; found has room for
    // offsets[m].
    template <class Index, class Query, class ForRanges>
    void within_each(std::size_t m, const Query& query, std::uint64_t limit, const Index* offsets, Index* found,
                     const ForRanges& for_ranges) const;

private:
    // A node's box, rounded outwards to floats: it holds every point of the
    // node, so bounds computed from it stay on the safe side of the points'.
    struct Box {
        float lo[3];
        float hi[3];
    };
    struct Outside {
        Vec3d point;
        std::size_t index;
    };
    // A node waiting to be visited, with its points.
    struct Pending {
        std::size_t node;
        std::size_t begin;
        std::size_t end;
    };
    static constexpr std::size_t kMaxDepth = 64;

    // Four words per point. While the tree is built, point i is the record
    // words_[4i, 4i + 4): x, y, z (their bits) and its index; once built,
    // the count points of a leaf that begins at point b are words_[4b, 4b +
    // 4 count): all x, all y, all z, then all indices.
    double coordinate(std::size_t i, int a) const noexcept {
        return std::bit_cast<double>(words_[4 * i + static_cast<std::size_t>(a)]);
    }
    bool is_leaf(std::size_t node) const noexcept { return node >= first_leaf_; }
    // Whether a point kept aside may lie within `limit` of a finite query:
    // its squared distance is infinite or NaN, so only for an infinite limit.
    static bool reaches_outside(std::uint64_t limit) noexcept { return limit >= kInfinityKey; }

    // Building.
    void swap_points(std::size_t i, std::size_t j) noexcept;
    // Bounds of a node's points while the tree is built: exact for the
    // root, and for a child its parent's cut at the median along the
    // split axis, which holds its points but may be wider than they are.
    // Only the choice of the axis to split along reads it.
    struct Extent {
        double lo[3];
        double hi[3];
    };
    Extent extent_of(std::size_t begin, std::size_t end) const noexcept;
    void split_node(std::size_t node, std::size_t begin, std::size_t end, const Extent& extent, Extent& left,
                    Extent& right) noexcept;
    void build_subtree(std::size_t node, std::size_t begin, std::size_t end, const Extent& extent) noexcept;
    void join_boxes(std::size_t node) noexcept;
    void select(int a, std::size_t begin, std::size_t end, std::size_t nth) noexcept;
    double sample_pivot(int a, std::size_t begin, std::size_t end, std::size_t nth) const noexcept;
    std::size_t partition(int a, std::size_t begin, std::size_t end, double pivot, bool strict) noexcept;
    void sort_small(int a, std::size_t begin, std::size_t end) noexcept;
    void heap_sort(int a, std::size_t begin, std::size_t end) noexcept;

    // Bounds of the squared distance from q to any point of a box.
    static std::uint64_t lower_bound(const Box& box, const Vec3d& q) noexcept;
    static std::uint64_t upper_bound(const Box& box, const Vec3d& q) noexcept;

    // f(bits of the squared distance, index) for each point of the leaf
    // [begin, end), the distance computed as Vec3d::distance_squared
    // computes it; the index is passed by reference, read only if used.
    template <class F>
    void scan_leaf(std::size_t begin, std::size_t end, const Vec3d& q, const F& f) const;
    // f(key, index) for every point, for a query with a non-finite coordinate.
    template <class F>
    void scan_all(const Vec3d& q, const F& f) const;

    // Visits the leaves that may hold a point with a key at most `worst()`,
    // nearest first; `leaf(begin, end)` scans one, and `whole(node, begin,
    // end)` may take a node at once (returning true).
    template <class Worst, class Leaf, class Whole>
    void search(const Vec3d& q, const Worst& worst, const Leaf& leaf, const Whole& whole) const {
        search(q, worst, leaf, whole, {0, 0, count_});
    }
    // The same within the subtree of `from`.
    template <class Worst, class Leaf, class Whole>
    void search(const Vec3d& q, const Worst& worst, const Leaf& leaf, const Whole& whole, Pending from) const;

    std::size_t size_ = 0;
    std::size_t count_ = 0;  // points in the tree
    std::size_t first_leaf_ = 0;
    std::unique_ptr<std::uint64_t[]> words_;  // 4 count_, in tree order
    std::unique_ptr<Box[]> boxes_;           // 2 first_leaf_ + 1 nodes
    std::unique_ptr<std::uint8_t[]> axes_;   // the axis each inner node is split along
    std::vector<Outside> outside_;           // non-finite points, by index
};

namespace kd_detail {

inline bool finite(const Vec3d& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// The float at most (below = true) or at least v; an infinity beyond the
// floats' range (a cast there would be undefined).
inline float outward(double v, bool below) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float most = std::numeric_limits<float>::max();
    if (v > most) return below ? most : inf;
    if (v < -most) return below ? -inf : -most;
    float f = static_cast<float>(v);
    if (below && static_cast<double>(f) > v) f = std::nextafter(f, -inf);
    if (!below && static_cast<double>(f) < v) f = std::nextafter(f, inf);
    return f;
}

// Points per chunk when the input is scanned for non-finite points: fixed,
// so the layout does not depend on how the work is shared.
inline constexpr std::size_t kScanChunk = std::size_t{1} << 15;
// Below this many points the tree is built on the calling thread.
inline constexpr std::size_t kParallelBuild = std::size_t{1} << 15;
// Nodes of at most this many points (a megabyte of records) are bounded
// before they are split; above it, the parent's box cut at the median
// does, which saves a pass over memory per level.
inline constexpr std::size_t kBoundedNode = std::size_t{1} << 15;
// The levels split one node after the other; the subtrees below them are
// built each in one piece.
inline constexpr std::size_t kTopLevels = 6;

// The most answers kept in order by insertion; more go to a heap.
inline constexpr std::size_t kMostInserted = 32;

// Queries per block of a batch: enough for consecutive queries to lie
// close together, few enough that a block's scratch stays small and that
// a batch of some thousand queries is still shared out.
inline constexpr std::size_t kLeastBlock = 1024;
inline constexpr std::size_t kMostBlock = std::size_t{1} << 18;

// The 10 bits of v spread to every third bit.
inline std::uint32_t spread(std::uint32_t v) {
    v &= 0x3FF;
    v = (v | (v << 16)) & 0x030000FF;
    v = (v | (v << 8)) & 0x0300F00F;
    v = (v | (v << 4)) & 0x030C30C3;
    v = (v | (v << 2)) & 0x09249249;
    return v;
}

// Sorts keys by their bits 32 to 61 (three passes of ten bits), using
// `spare` as much room again; returns where the sorted keys are.
inline std::uint64_t* sort_by_code(std::uint64_t* keys, std::uint64_t* spare, std::size_t n) {
    for (int shift = 32; shift < 62; shift += 10) {
        std::size_t start[1025] = {};
        for (std::size_t i = 0; i < n; ++i) ++start[((keys[i] >> shift) & 1023) + 1];
        for (std::size_t d = 1; d <= 1024; ++d) start[d] += start[d - 1];
        for (std::size_t i = 0; i < n; ++i) spare[start[(keys[i] >> shift) & 1023]++] = keys[i];
        std::swap(keys, spare);
    }
    return keys;
}

}  // namespace kd_detail

inline std::size_t KdTree::memory_bytes() const noexcept {
    std::size_t bytes = count_ * 4 * sizeof(std::uint64_t);
    if (boxes_) bytes += (2 * first_leaf_ + 1) * sizeof(Box) + first_leaf_ + 1;
    return bytes + outside_.capacity() * sizeof(Outside);
}

template <class ForRanges>
KdTree::KdTree(std::span<const Vec3d> points, const ForRanges& for_ranges)
    : size_(points.size()) {
    using kd_detail::kScanChunk;
    const std::size_t n = points.size();
    const std::size_t chunks = (n + kScanChunk - 1) / kScanChunk;
    auto chunk_end = [&](std::size_t c) { return std::min(n, (c + 1) * kScanChunk); };
    std::vector<std::size_t> finite_before(chunks + 1, 0);
    for_ranges(chunks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            std::size_t found = 0;
            for (std::size_t i = c * kScanChunk; i < chunk_end(c); ++i) found += kd_detail::finite(points[i]);
            finite_before[c + 1] = found;
        }
    });
    for (std::size_t c = 0; c < chunks; ++c) finite_before[c + 1] += finite_before[c];
    count_ = finite_before[chunks];
    outside_.resize(n - count_);
    if (count_ != 0) {
        if (count_ > std::numeric_limits<std::size_t>::max() / (4 * sizeof(std::uint64_t))) throw std::bad_alloc();
        words_.reset(new std::uint64_t[4 * count_]);
    }
    for_ranges(chunks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            std::size_t inside = finite_before[c];
            std::size_t aside = c * kScanChunk - inside;
            for (std::size_t i = c * kScanChunk; i < chunk_end(c); ++i) {
                const Vec3d& p = points[i];
                if (!kd_detail::finite(p)) {
                    outside_[aside++] = {p, i};
                    continue;
                }
                std::uint64_t* record = words_.get() + 4 * inside++;
                record[0] = std::bit_cast<std::uint64_t>(p.x);
                record[1] = std::bit_cast<std::uint64_t>(p.y);
                record[2] = std::bit_cast<std::uint64_t>(p.z);
                record[3] = i;
            }
        }
    });
    if (count_ == 0) return;
    // The shallowest balanced tree whose leaves hold at most kLeafPoints:
    // the leaves at depth d hold floor or ceil of count_ / 2**d points.
    std::size_t depth = 0;
    while (depth + 1 < kMaxDepth && (count_ - 1) >> depth >= kLeafPoints) ++depth;
    first_leaf_ = (std::size_t{1} << depth) - 1;
    boxes_.reset(new Box[2 * first_leaf_ + 1]);
    axes_.reset(new std::uint8_t[first_leaf_ + 1]);
    const bool parallel = count_ >= kd_detail::kParallelBuild;
    const std::size_t grain = parallel ? 1 : std::numeric_limits<std::size_t>::max() / 4;
    // The top levels one level at a time, each node of a level on its own,
    // then every subtree below them in one piece.
    // Each node's box is joined from its children's once they are built,
    // so the points are read for bounds once, at the leaves.
    const std::size_t top = std::min(depth, kd_detail::kTopLevels);
    std::vector<std::pair<std::size_t, std::size_t>> ranges{{0, count_}};
    std::vector<Extent> extents{extent_of(0, count_)};
    for (std::size_t level = 0; level < top; ++level) {
        const std::size_t first = (std::size_t{1} << level) - 1;
        std::vector<Extent> next_extents(2 * ranges.size());
        for_ranges(ranges.size(), grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j) {
                split_node(first + j, ranges[j].first, ranges[j].second, extents[j], next_extents[2 * j],
                           next_extents[2 * j + 1]);
            }
        });
        std::vector<std::pair<std::size_t, std::size_t>> next;
        next.reserve(2 * ranges.size());
        for (const auto& [b, e] : ranges) {
            const std::size_t middle = b + (e - b) / 2;
            next.emplace_back(b, middle);
            next.emplace_back(middle, e);
        }
        ranges = std::move(next);
        extents = std::move(next_extents);
    }
    const std::size_t first = (std::size_t{1} << top) - 1;
    for_ranges(ranges.size(), grain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            build_subtree(first + j, ranges[j].first, ranges[j].second, extents[j]);
        }
    });
    for (std::size_t node = first; node-- > 0;) join_boxes(node);
}

inline void KdTree::swap_points(std::size_t i, std::size_t j) noexcept {
    for (std::size_t w = 0; w < 4; ++w) std::swap(words_[4 * i + w], words_[4 * j + w]);
}

inline KdTree::Extent KdTree::extent_of(std::size_t begin, std::size_t end) const noexcept {
    Extent e;
    for (int a = 0; a < 3; ++a) {
        e.lo[a] = std::numeric_limits<double>::infinity();
        e.hi[a] = -e.lo[a];
    }
    for (std::size_t i = begin; i < end; ++i) {
        for (int a = 0; a < 3; ++a) {
            const double c = coordinate(i, a);
            e.lo[a] = c < e.lo[a] ? c : e.lo[a];
            e.hi[a] = c > e.hi[a] ? c : e.hi[a];
        }
    }
    return e;
}

inline void KdTree::split_node(std::size_t node, std::size_t begin, std::size_t end, const Extent& extent,
                               Extent& left, Extent& right) noexcept {
    // A node small enough to be still in cache from its parent's split is
    // bounded afresh, which splits it along its points' true widest side.
    const Extent bounds = end - begin <= kd_detail::kBoundedNode ? extent_of(begin, end) : extent;
    int widest = 0;
    for (int a = 1; a < 3; ++a) {
        if (bounds.hi[a] - bounds.lo[a] > bounds.hi[widest] - bounds.lo[widest]) widest = a;
    }
    axes_[node] = static_cast<std::uint8_t>(widest);
    const std::size_t middle = begin + (end - begin) / 2;
    select(widest, begin, end, middle);
    // None before the median is greater than it, none after it smaller.
    left = right = bounds;
    left.hi[widest] = right.lo[widest] = coordinate(middle, widest);
}

// A node's box: the smallest that holds both its children's. The
// children's are rounded outwards already, and rounding is monotonic, so it
// is the box its points would round out to.
inline void KdTree::join_boxes(std::size_t node) noexcept {
    const Box& l = boxes_[2 * node + 1];
    const Box& r = boxes_[2 * node + 2];
    for (int a = 0; a < 3; ++a) {
        boxes_[node].lo[a] = std::min(l.lo[a], r.lo[a]);
        boxes_[node].hi[a] = std::max(l.hi[a], r.hi[a]);
    }
}

inline void KdTree::build_subtree(std::size_t node, std::size_t begin, std::size_t end,
                                  const Extent& extent) noexcept {
    if (!is_leaf(node)) {
        Extent left, right;
        split_node(node, begin, end, extent, left, right);
        const std::size_t middle = begin + (end - begin) / 2;
        build_subtree(2 * node + 1, begin, middle, left);
        build_subtree(2 * node + 2, middle, end, right);
        join_boxes(node);
        return;
    }
    const Extent tight = extent_of(begin, end);
    for (int a = 0; a < 3; ++a) {
        boxes_[node].lo[a] = kd_detail::outward(tight.lo[a], true);
        boxes_[node].hi[a] = kd_detail::outward(tight.hi[a], false);
    }
    // The leaf's points, from records (x, y, z, index) to all x, all y, all
    // z, all indices.
    const std::size_t count = end - begin;
    std::uint64_t* block = words_.get() + 4 * begin;
    std::uint64_t copy[4 * kLeafPoints];
    std::copy(block, block + 4 * count, copy);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t w = 0; w < 4; ++w) block[w * count + i] = copy[4 * i + w];
    }
}

// Quickselect: afterwards the point at `nth` is where a sort along axis
// `a` would put it, with none greater before it and none smaller after it.
// Each round partitions around a pivot picked from a sample at the rank of
// `nth`, so that few rounds are needed; should they keep coming out
// lopsided, the rest is heap-sorted, so the work stays O(n log n) on any
// input.
inline void KdTree::select(int a, std::size_t begin, std::size_t end, std::size_t nth) noexcept {
    std::size_t budget = 2 * static_cast<std::size_t>(std::bit_width(end - begin)) + 8;
    while (end - begin > 8) {
        if (budget-- == 0) {
            heap_sort(a, begin, end);
            return;
        }
        const double pivot = sample_pivot(a, begin, end, nth);
        const std::size_t below = partition(a, begin, end, pivot, true);
        if (nth < below) {
            end = below;
        } else if (below != begin) {
            begin = below;
        } else {
            // The pivot is the least value: set its equals apart.
            const std::size_t equal = partition(a, begin, end, pivot, false);
            if (nth < equal) return;
            begin = equal;
        }
    }
    sort_small(a, begin, end);
}

// The value at rank (nth - begin) / (end - begin) of a sample taken at
// evenly spread positions.
inline double KdTree::sample_pivot(int a, std::size_t begin, std::size_t end, std::size_t nth) const noexcept {
    constexpr std::size_t kMostSamples = 63;
    const std::size_t count = end - begin;
    const std::size_t samples = count >= 4096 ? kMostSamples : count >= 512 ? 15 : 3;
    double sample[kMostSamples];
    for (std::size_t j = 0; j < samples; ++j) sample[j] = coordinate(begin + (2 * j + 1) * count / (2 * samples), a);
    std::sort(sample, sample + samples);
    return sample[(nth - begin) * samples / count];
}

// Moves the points whose coordinate is below `pivot` (strict) or at most
// `pivot` to the front of [begin, end) and returns where the others start.
// Blocks of points are classified without branches first and then
// exchanged, as in BlockQuicksort, so that the unpredictable comparisons
// cost no mispredicted jumps; blocks of 16 take the ranges too short for
// blocks of 64, which the deep levels of the tree are.
inline std::size_t KdTree::partition(int a, std::size_t begin, std::size_t end, double pivot,
                                     bool strict) noexcept {
    // Local copies of the pointer, which the stores could otherwise be
    // taken to change.
    std::uint64_t* const words = words_.get();
    const std::uint64_t* const axis = words + a;
    auto front = [&](std::size_t i) {
        const double c = std::bit_cast<double>(axis[4 * i]);
        return strict ? c < pivot : c <= pivot;
    };
    auto exchange = [&](std::size_t i, std::size_t j) {
        for (std::size_t w = 0; w < 4; ++w) std::swap(words[4 * i + w], words[4 * j + w]);
    };
    std::size_t left = begin;
    std::size_t right = end;  // [left, right) is not yet placed
    // Blocks of `block` points from each end, while two fit: what is left
    // is placed afresh by the next, smaller blocks, then one at a time.
    auto by_blocks = [&](std::size_t block) {
        std::uint8_t wrong_left[64];
        std::uint8_t wrong_right[64];
        std::size_t n_left = 0, n_right = 0, s_left = 0, s_right = 0;
        while (right - left >= 2 * block) {
            if (n_left == 0) {
                s_left = 0;
                for (std::size_t i = 0; i < block; ++i) {
                    wrong_left[n_left] = static_cast<std::uint8_t>(i);
                    n_left += !front(left + i);
                }
            }
            if (n_right == 0) {
                s_right = 0;
                for (std::size_t i = 0; i < block; ++i) {
                    wrong_right[n_right] = static_cast<std::uint8_t>(i);
                    n_right += front(right - 1 - i);
                }
            }
            const std::size_t pairs = std::min(n_left, n_right);
            for (std::size_t j = 0; j < pairs; ++j) {
                exchange(left + wrong_left[s_left + j], right - 1 - wrong_right[s_right + j]);
            }
            n_left -= pairs;
            n_right -= pairs;
            s_left += pairs;
            s_right += pairs;
            if (n_left == 0) left += block;
            if (n_right == 0) right -= block;
        }
    };
    by_blocks(64);
    by_blocks(16);
    for (;;) {
        while (left < right && front(left)) ++left;
        while (left < right && !front(right - 1)) --right;
        if (left >= right) return left;
        exchange(left, right - 1);
        ++left;
        --right;
    }
}

inline void KdTree::sort_small(int a, std::size_t begin, std::size_t end) noexcept {
    for (std::size_t i = begin + 1; i < end; ++i) {
        for (std::size_t j = i; j > begin && coordinate(j, a) < coordinate(j - 1, a); --j) swap_points(j, j - 1);
    }
}

inline void KdTree::heap_sort(int a, std::size_t begin, std::size_t end) noexcept {
    const std::size_t n = end - begin;
    auto sift = [&](std::size_t root, std::size_t size) {
        for (;;) {
            std::size_t child = 2 * root + 1;
            if (child >= size) return;
            if (child + 1 < size && coordinate(begin + child, a) < coordinate(begin + child + 1, a)) ++child;
            if (!(coordinate(begin + root, a) < coordinate(begin + child, a))) return;
            swap_points(begin + root, begin + child);
            root = child;
        }
    };
    for (std::size_t i = n / 2; i-- > 0;) sift(i, n);
    for (std::size_t size = n; size-- > 1;) {
        swap_points(begin, begin + size);
        sift(0, size);
    }
}

// Along each axis the gap is point - query for the nearest point of the box:
// lo - q below the box, hi - q above it, 0 within (one of the two terms is
// always 0, and adding 0 changes nothing). For any point p of the box, p - q
// lies beyond the gap, so its rounded difference does too, and so do the
// squares and the sums, which round the same way.
inline std::uint64_t KdTree::lower_bound(const Box& box, const Vec3d& q) noexcept {
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
inline std::uint64_t KdTree::upper_bound(const Box& box, const Vec3d& q) noexcept {
    auto reach = [](double v, float lo, float hi) {
        return std::max(v - static_cast<double>(lo), static_cast<double>(hi) - v);
    };
    const double dx = reach(q.x, box.lo[0], box.hi[0]);
    const double dy = reach(q.y, box.lo[1], box.hi[1]);
    const double dz = reach(q.z, box.lo[2], box.hi[2]);
    return std::bit_cast<std::uint64_t>((dx * dx + dy * dy) + dz * dz);
}

template <class F>
void KdTree::scan_leaf(std::size_t begin, std::size_t end, const Vec3d& q, const F& f) const {
    const std::size_t count = end - begin;
    const std::uint64_t* xs = words_.get() + 4 * begin;
    const std::uint64_t* ys = xs + count;
    const std::uint64_t* zs = ys + count;
    const std::uint64_t* indices = zs + count;
    // Every line of the coordinates asked for at once, so that a leaf not
    // in cache costs one wait for memory rather than one per line.
    const char* const bytes = reinterpret_cast<const char*>(xs);
    for (std::size_t offset = 0; offset < 3 * count * sizeof(std::uint64_t); offset += 64) {
        __builtin_prefetch(bytes + offset);
    }
    std::uint64_t bits[kLeafPoints];
    for (std::size_t i = 0; i < count; ++i) {
        const double dx = std::bit_cast<double>(xs[i]) - q.x;
        const double dy = std::bit_cast<double>(ys[i]) - q.y;
        const double dz = std::bit_cast<double>(zs[i]) - q.z;
        bits[i] = std::bit_cast<std::uint64_t>((dx * dx + dy * dy) + dz * dz);
    }
    for (std::size_t i = 0; i < count; ++i) f(bits[i], indices[i]);
}

template <class F>
void KdTree::scan_all(const Vec3d& q, const F& f) const {
    auto visit = [&](auto& self, std::size_t node, std::size_t begin, std::size_t end) -> void {
        if (is_leaf(node)) {
            scan_leaf(begin, end, q, [&](std::uint64_t bits, const std::uint64_t& index) {
                f(distance_key(std::bit_cast<double>(bits)), static_cast<std::size_t>(index));
            });
            return;
        }
        const std::size_t middle = begin + (end - begin) / 2;
        self(self, 2 * node + 1, begin, middle);
        self(self, 2 * node + 2, middle, end);
    };
    if (count_ != 0) visit(visit, 0, 0, count_);
    for (const Outside& o : outside_) f(distance_key(o.point.distance_squared(q)), o.index);
}

// Depth first, the nearer child first: the one whose face toward the other
// is nearer to the query along the split axis (any choice would be right;
// this one finds near points soonest). A node's bound is computed when it
// is reached, against the worst answer as it then stands.
template <class Worst, class Leaf, class Whole>
void KdTree::search(const Vec3d& q, const Worst& worst, const Leaf& leaf, const Whole& whole, Pending from) const {
    if (count_ == 0) return;
    const double at_axis[3] = {q.x, q.y, q.z};
    Pending stack[kMaxDepth];
    std::size_t pending = 0;
    stack[pending++] = from;
    while (pending != 0) {
        Pending at = stack[--pending];
        while (lower_bound(boxes_[at.node], q) <= worst() && !whole(at.node, at.begin, at.end)) {
            if (is_leaf(at.node)) {
                leaf(at.begin, at.end);
                break;
            }
            const std::size_t left = 2 * at.node + 1;
            const std::size_t middle = at.begin + (at.end - at.begin) / 2;
            const int a = axes_[at.node];
            const double v = at_axis[a];
            const bool left_first = v - boxes_[left].hi[a] < boxes_[left + 1].lo[a] - v;
            const Pending near{left_first ? left : left + 1, left_first ? at.begin : middle, left_first ? middle : at.end};
            stack[pending++] = {left_first ? left + 1 : left, left_first ? middle : at.begin, left_first ? at.end : middle};
            at = near;
        }
    }
}

namespace kd_detail {
inline constexpr auto no_whole = [](std::size_t, std::size_t, std::size_t) { return false; };
}

inline Neighbour KdTree::nearest(const Vec3d& q, std::uint64_t limit) const {
    Neighbour best{size_, limit};
    auto consider = [&](std::uint64_t key, std::size_t index) {
        if (precedes(key, index, best)) best = {index, key};
    };
    if (!kd_detail::finite(q)) {
        scan_all(q, consider);
    } else {
        // Squared distances to a finite query from finite points are never
        // NaN, so their bits are their keys.
        search(
            q, [&] { return best.key; },
            [&](std::size_t begin, std::size_t end) {
                scan_leaf(begin, end, q, [&](std::uint64_t key, const std::uint64_t& index) {
                    if (key <= best.key) consider(key, static_cast<std::size_t>(index));
                });
            },
            kd_detail::no_whole);
        if (reaches_outside(limit)) {
            for (const Outside& o : outside_) consider(distance_key(o.point.distance_squared(q)), o.index);
        }
    }
    if (best.index == size_) best.key = kInfinityKey;
    return best;
}

inline Neighbour KdTree::nearest(const Vec3d& q, std::uint64_t limit, Vec3d& point, std::size_t& leaf) const {
    Neighbour best{size_, limit};
    // Where the best point is stored: the first point of its leaf, their
    // count, and its place there; or an Outside.
    std::size_t first = 0, count = 0, at = 0;
    const Outside* aside = nullptr;
    auto scan = [&](std::size_t begin, std::size_t end) {
        std::size_t place = 0;
        scan_leaf(begin, end, q, [&](std::uint64_t key, const std::uint64_t& index) {
            if (key <= best.key && precedes(key, static_cast<std::size_t>(index), best)) {
                best = {static_cast<std::size_t>(index), key};
                first = begin;
                count = end - begin;
                at = place;
            }
            ++place;
        });
    };
    auto worst = [&] { return best.key; };
    if (count_ != 0) {
        // The path from the root down to the starting node, and the other
        // child at each step, with their points.
        const std::size_t start = leaf <= 2 * first_leaf_ ? leaf : 0;
        std::size_t down[kMaxDepth];
        std::size_t depth = 0;
        for (std::size_t node = start; node != 0; node = (node - 1) / 2) down[depth++] = node;
        Pending others[kMaxDepth];
        Pending from{0, 0, count_};
        for (std::size_t level = depth; level-- > 0;) {
            const std::size_t middle = from.begin + (from.end - from.begin) / 2;
            const bool left = down[level] % 2 == 1;
            others[level] = left ? Pending{down[level] + 1, middle, from.end} : Pending{down[level] - 1, from.begin, middle};
            from = left ? Pending{down[level], from.begin, middle} : Pending{down[level], middle, from.end};
        }
        search(q, worst, scan, kd_detail::no_whole, from);
        for (std::size_t level = 0; level < depth; ++level) search(q, worst, scan, kd_detail::no_whole, others[level]);
    }
    if (reaches_outside(limit)) {
        for (const Outside& o : outside_) {
            const std::uint64_t key = distance_key(o.point.distance_squared(q));
            if (precedes(key, o.index, best)) {
                best = {o.index, key};
                aside = &o;
            }
        }
    }
    if (best.index == size_) {
        best.key = kInfinityKey;
    } else if (aside != nullptr) {
        point = aside->point;
    } else {
        const std::uint64_t* xs = words_.get() + 4 * first;
        point = {std::bit_cast<double>(xs[at]), std::bit_cast<double>(xs[count + at]),
                 std::bit_cast<double>(xs[2 * count + at])};
        // The leaf's node, down from the root by its first point.
        std::size_t node = 0;
        for (std::size_t begin = 0, end = count_; !is_leaf(node);) {
            const std::size_t middle = begin + (end - begin) / 2;
            node = 2 * node + (first < middle ? 1 : 2);
            (first < middle ? end : begin) = middle;
        }
        leaf = node;
    }
    return best;
}

inline void KdTree::nearest_k(const Vec3d& q, std::size_t k, std::uint64_t limit, Neighbour* out) const {
    // No more answers than points: the other slots are missing ones.
    const std::size_t wanted = std::min(k, size_);
    std::fill(out + wanted, out + k, Neighbour{size_, kInfinityKey});
    if (wanted == 0) return;
    std::fill(out, out + wanted, Neighbour{size_, limit});
    auto before = [](const Neighbour& a, const Neighbour& b) { return precedes(a.key, a.index, b); };
    // A few answers are kept in order, by insertion; many in a heap whose
    // top is the worst of them, sorted at the end.
    const bool heap = wanted > kd_detail::kMostInserted;
    const Neighbour* worst = heap ? out : out + wanted - 1;
    auto consider = [&](std::uint64_t key, std::size_t index) {
        if (!precedes(key, index, *worst)) return;
        if (heap) {
            std::pop_heap(out, out + wanted, before);
            out[wanted - 1] = {index, key};
            std::push_heap(out, out + wanted, before);
            return;
        }
        std::size_t slot = wanted - 1;
        for (; slot > 0 && precedes(key, index, out[slot - 1]); --slot) out[slot] = out[slot - 1];
        out[slot] = {index, key};
    };
    if (!kd_detail::finite(q)) {
        scan_all(q, consider);
    } else {
        search(
            q, [&] { return worst->key; },
            [&](std::size_t begin, std::size_t end) {
                scan_leaf(begin, end, q, [&](std::uint64_t key, const std::uint64_t& index) {
                    if (key <= worst->key) consider(key, static_cast<std::size_t>(index));
                });
            },
            kd_detail::no_whole);
        if (reaches_outside(limit)) {
            for (const Outside& o : outside_) consider(distance_key(o.point.distance_squared(q)), o.index);
        }
    }
    if (heap) std::sort_heap(out, out + wanted, before);
    for (std::size_t slot = 0; slot < wanted; ++slot) {
        if (out[slot].index == size_) out[slot].key = kInfinityKey;
    }
}

inline std::size_t KdTree::count_within(const Vec3d& q, std::uint64_t limit) const {
    std::size_t found = 0;
    if (!kd_detail::finite(q)) {
        scan_all(q, [&](std::uint64_t key, std::size_t) { found += key <= limit; });
        return found;
    }
    search(
        q, [&] { return limit; },
        [&](std::size_t begin, std::size_t end) {
            scan_leaf(begin, end, q, [&](std::uint64_t key, const std::uint64_t&) { found += key <= limit; });
        },
        [&](std::size_t node, std::size_t begin, std::size_t end) {
            if (upper_bound(boxes_[node], q) > limit) return false;
            found += end - begin;
            return true;
        });
    if (reaches_outside(limit)) {
        for (const Outside& o : outside_) found += distance_key(o.point.distance_squared(q)) <= limit;
    }
    return found;
}

inline void KdTree::within(const Vec3d& q, std::uint64_t limit, std::vector<Neighbour>& found) const {
    const std::size_t start = found.size();
    auto consider = [&](std::uint64_t key, std::size_t index) {
        if (key <= limit) found.push_back({index, key});
    };
    if (!kd_detail::finite(q)) {
        scan_all(q, consider);
    } else {
        search(
            q, [&] { return limit; },
            [&](std::size_t begin, std::size_t end) {
                scan_leaf(begin, end, q, [&](std::uint64_t key, const std::uint64_t& index) {
                    if (key <= limit) found.push_back({static_cast<std::size_t>(index), key});
                });
            },
            kd_detail::no_whole);
        if (reaches_outside(limit)) {
            for (const Outside& o : outside_) consider(distance_key(o.point.distance_squared(q)), o.index);
        }
    }
    std::sort(found.begin() + static_cast<std::ptrdiff_t>(start), found.end(),
              [](const Neighbour& a, const Neighbour& b) { return precedes(a.key, a.index, b); });
}

inline KdTree::MortonCode::MortonCode(const KdTree& tree) {
    if (tree.count_ == 0) return;
    for (int a = 0; a < 3; ++a) {
        lo_[a] = tree.boxes_[0].lo[a];
        const double side = static_cast<double>(tree.boxes_[0].hi[a]) - lo_[a];
        scale_[a] = side > 0.0 && std::isfinite(side) ? 1024.0 / side : 0.0;
    }
}

inline std::uint32_t KdTree::MortonCode::cell(double v, int a) const {
    const double c = (v - lo_[a]) * scale_[a];
    return c >= 1023.0 ? 1023 : c >= 0.0 ? static_cast<std::uint32_t>(c) : 0;
}

inline std::uint32_t KdTree::MortonCode::operator()(const Vec3d& q) const {
    using kd_detail::spread;
    return spread(cell(q.x, 0)) | spread(cell(q.y, 1)) << 1 | spread(cell(q.z, 2)) << 2;
}

template <class Query, class ForRanges, class Body>
void KdTree::for_each_query(std::size_t m, const Query& query, const ForRanges& for_ranges, const Body& body) const {
    using namespace kd_detail;
    const std::size_t block = std::clamp(m / 8, kLeastBlock, kMostBlock);
    const std::size_t blocks = (m + block - 1) / block;
    const MortonCode morton(*this);
    for_ranges(blocks, 1, [&](std::size_t first, std::size_t last) {
        const std::size_t room = std::min(block, m);
        std::unique_ptr<std::uint64_t[]> keys(new std::uint64_t[2 * room]);
        std::unique_ptr<Vec3d[]> taken(new Vec3d[room]);
        std::vector<Neighbour> scratch;
        for (std::size_t b = first; b < last; ++b) {
            const std::size_t start = b * block;
            const std::size_t count = std::min(block, m - start);
            for (std::size_t i = 0; i < count; ++i) {
                const Vec3d q = query(start + i);
                keys[i] = std::uint64_t{morton(q)} << 32 | i;
            }
            const std::uint64_t* sorted = sort_by_code(keys.get(), keys.get() + count, count);
            // The queries in their new order, read in one go: the reads
            // overlap, where each one inside the search would wait.
            for (std::size_t s = 0; s < count; ++s) taken[s] = query(start + (sorted[s] & 0xFFFFFFFF));
            for (std::size_t s = 0; s < count; ++s) body(start + (sorted[s] & 0xFFFFFFFF), taken[s], scratch);
        }
    });
}

template <class Index, class Query, class ForRanges>
void KdTree::nearest_each(std::size_t m, const Query& query, std::size_t k, std::uint64_t limit, Index* indices,
                          double* distances, const ForRanges& for_ranges) const {
    if (k == 1) {
        for_each_query(m, query, for_ranges, [&](std::size_t i, const Vec3d& q, std::vector<Neighbour>&) {
            const Neighbour found = nearest(q, limit);
            indices[i] = static_cast<Index>(found.index);
            distances[i] = found.distance();
        });
        return;
    }
    for_each_query(m, query, for_ranges, [&](std::size_t i, const Vec3d& q, std::vector<Neighbour>& found) {
        found.resize(k);
        nearest_k(q, k, limit, found.data());
        for (std::size_t j = 0; j < k; ++j) {
            indices[i * k + j] = static_cast<Index>(found[j].index);
            distances[i * k + j] = found[j].distance();
        }
    });
}

template <class Count, class Query, class ForRanges>
void KdTree::count_within_each(std::size_t m, const Query& query, std::uint64_t limit, Count* counts,
                               const ForRanges& for_ranges) const {
    for_each_query(m, query, for_ranges, [&](std::size_t i, const Vec3d& q, std::vector<Neighbour>&) {
        counts[i] = static_cast<Count>(count_within(q, limit));
    });
}

template <class Index, class Query, class ForRanges>
void KdTree::within_each(std::size_t m, const Query& query, std::uint64_t limit, const Index* offsets, Index* found,
                         const ForRanges& for_ranges) const {
    for_each_query(m, query, for_ranges, [&](std::size_t i, const Vec3d& q, std::vector<Neighbour>& scratch) {
        scratch.clear();
        within(q, limit, scratch);
        Index* out = found + offsets[i];
        for (std::size_t j = 0; j < scratch.size(); ++j) out[j] = static_cast<Index>(scratch[j].index);
    });
}

}  // namespace tessary
