// A k-d tree over points in three dimensions that answers nearest,
// k-nearest and radius questions exactly.
//
// Exact means: the answer is the one a scan of every point gives when it
// ranks the points by their squared distance to the query, computed as
// Vec3d::distance_squared computes it (point minus query, then
// ((dx*dx + dy*dy) + dz*dz)), every NaN ranked after every number, and
// equal distances in the order of the points' indices (neighbour.hpp). The
// tree only skips work that cannot change that answer: the nearest key of
// a box is computed with the same operations in the same order from the
// box's nearest faces, and rounding is monotonic, so it is never above the
// computed squared distance of any point inside the box; a box is skipped
// only when that key is strictly above what the question still takes.
//
// One search serves every question: a question is a result type
// (kd_results.hpp) that the search asks how far a point may still be and
// hands each point within that. A query with a NaN or infinite coordinate
// is answered by a scan of every point; otherwise the tree is searched and
// then the points kept aside (which a finite query can reach only at an
// infinite distance).
//
// The tree is a plain value with no threads of its own: building takes a
// `for_ranges(n, grain, body)` that runs body(begin, end) over ranges
// covering [0, n) (the worker pool's, or SerialRanges), and the layout
// never depends on how the ranges are cut (kd_build.hpp). Many queries at
// once: kd_batch.hpp.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kd_build.hpp"
#include "kd_layout.hpp"
#include "kd_results.hpp"
#include "morton.hpp"
#include "neighbour.hpp"
#include "reduction.hpp"
#include "vec3d.hpp"

namespace tessary {

// Offers point i of the leaf block `words` (count points, the first at
// place `begin`) to a result: results that keep their points'
// coordinates (offer(key, index, place, point)) take them from the block,
// where they are at hand.
template <class Result>
void offer_point(Result& result, std::uint64_t key, const std::uint64_t* words, std::size_t count, std::size_t i,
                 std::size_t begin) {
    const std::size_t index = static_cast<std::size_t>(words[3 * count + i]);
    if constexpr (requires { result.offer(key, index, begin, Vec3d{}); }) {
        const Vec3d point{std::bit_cast<double>(words[i]), std::bit_cast<double>(words[count + i]),
                          std::bit_cast<double>(words[2 * count + i])};
        result.offer(key, index, begin + i, point);
    } else {
        result.offer(key, index, begin + i);
    }
}

// The same for a point kept aside.
template <class Result>
void offer_aside(Result& result, std::uint64_t key, const AsidePoint& p) {
    if constexpr (requires { result.offer(key, p.index, kAside, p.point); }) {
        result.offer(key, p.index, kAside, p.point);
    } else {
        result.offer(key, p.index, kAside);
    }
}

class KdTree {
public:
    static constexpr std::size_t kLeafPoints = KdLayout::kLeafPoints;

    KdTree() = default;
    template <class ForRanges = SerialRanges>
    explicit KdTree(std::span<const Vec3d> points, const ForRanges& for_ranges = {})
        : layout_(build_kd_layout(points, for_ranges)) {}

    // Every point it was built from, finite or not.
    std::size_t size() const noexcept { return layout_.size; }
    // Those kept aside for a NaN or infinite coordinate.
    std::size_t non_finite() const noexcept { return layout_.aside.size(); }
    // Bytes held besides the object itself.
    std::size_t memory_bytes() const noexcept { return layout_.memory_bytes(); }

    // The one search: feeds `result` every point that can still count for
    // it (kd_results.hpp). A finite query is searched outwards from the
    // node `start`: its subtree first, then the other child of each of its
    // ancestors, nearest first. Any node gives the same answer (0, the
    // root, is the plain search; a number that is no node is taken as 0);
    // the leaf of a nearby query's answer visits the fewest nodes.
    template <class Result>
    void search(const Vec3d& q, Result& result, std::size_t start = 0) const {
        if (!is_finite(q)) {
            scan_all(q, result);
            return;
        }
        search_group(&q, &result, 1, start);
    }

    // The same search for up to kMostGrouped finite queries at once, each
    // with its own result, which is fed what search() would feed it (in
    // another order, which no result's answer depends on): nodes are
    // tested against the box of the group before the queries one by one,
    // and a leaf's points are read once for all of them, so queries that
    // lie close together (the points of one leaf, a block of a batch in
    // Morton order) share most of their work.
    static constexpr std::size_t kMostGrouped = 32;
    template <class Result>
    void search_group(const Vec3d* queries, Result* results, std::size_t count, std::size_t start = 0) const;

    // The leaf a finite query falls in, down from the root by the side of
    // each split it lies on (a query between the children's boxes takes
    // the nearer): where a search for it does best to start.
    std::size_t leaf_of(const Vec3d& q) const noexcept {
        if (layout_.in_tree == 0) return 0;
        const double at_axis[3] = {q.x, q.y, q.z};
        std::size_t node = 0;
        while (!layout_.is_leaf(node)) {
            const std::size_t left = 2 * node + 1;
            const int a = layout_.axes[node];
            const double v = at_axis[a];
            node = v - layout_.boxes[left].hi[a] < layout_.boxes[left + 1].lo[a] - v ? left : left + 1;
        }
        return node;
    }

    // The leaves, in tree order: node first_leaf() + j for j < leaf_count().
    std::size_t first_leaf() const noexcept { return layout_.first_leaf; }
    std::size_t leaf_count() const noexcept { return layout_.in_tree == 0 ? 0 : layout_.first_leaf + 1; }
    // A node's points in tree order.
    NodeRange range_of(std::size_t node) const noexcept { return layout_.range_of(node); }
    // The coordinates and indices of the points of a leaf: all x, all y,
    // all z, then all indices.
    const std::uint64_t* leaf_words(const NodeRange& leaf) const noexcept {
        return layout_.words.get() + 4 * leaf.begin;
    }
    // The points kept aside for a non-finite coordinate.
    std::span<const AsidePoint> aside() const noexcept { return layout_.aside; }

    // The nearest point whose key is at most `limit` (kNaNKey: any point),
    // or {size(), kInfinityKey} when there is none.
    Neighbour nearest(const Vec3d& q, std::uint64_t limit = kNaNKey) const {
        NearestResult result(size(), limit);
        search(q, result);
        return result.answer();
    }

    // The k nearest within `limit`, in order, into out[0, k); slots beyond
    // those found are {size(), kInfinityKey}. k >= 1.
    void nearest_k(const Vec3d& q, std::size_t k, std::uint64_t limit, Neighbour* out) const {
        std::vector<Neighbour> buffer;
        NearestKResult result(buffer, k, size(), limit);
        search(q, result);
        result.finish(out);
    }

    // How many points have a key at most `limit` (a within_key).
    std::size_t count_within(const Vec3d& q, std::uint64_t limit) const {
        CountResult result(limit);
        search(q, result);
        return result.count();
    }

    // Appends the points with a key at most `limit` to `found`, in order.
    void within(const Vec3d& q, std::uint64_t limit, std::vector<Neighbour>& found) const {
        RadiusResult result(found, limit);
        search(q, result);
        result.finish();
    }

    // The leaf holding the point at `place` in the tree's order (a place a
    // result was offered), and that point's coordinates as the tree stores
    // them: callers that need the coordinates of an answer need no look-up
    // by index, which in a batch would be a read from anywhere in memory.
    NodeRange leaf_holding(std::size_t place) const noexcept { return layout_.leaf_holding(place); }
    Vec3d point_at(const NodeRange& leaf, std::size_t place) const noexcept { return layout_.point_at(leaf, place); }

    // A Morton order over the tree's box (morton.hpp).
    MortonCode morton_code() const { return layout_.in_tree == 0 ? MortonCode() : MortonCode(layout_.boxes[0]); }

private:
    // f(bits of the squared distance, i) for each point i of the leaf
    // [begin, end), the distance computed as Vec3d::distance_squared
    // computes it.
    template <class F>
    void scan_leaf(std::size_t begin, std::size_t end, const Vec3d& q, const F& f) const;
    // bits[i]: the bits of the squared distance of the leaf's point i.
    void squared_distances(const NodeRange& leaf, const Vec3d& q, std::uint64_t* bits) const;
    // Offers `result` the leaf's points within its bound (finite q).
    template <class Result>
    void offer_leaf(const NodeRange& leaf, const Vec3d& q, Result& result) const;

    // Every point, for a query with a non-finite coordinate.
    template <class Result>
    void scan_all(const Vec3d& q, Result& result) const;

    // Which queries of a group are still searching.
    using Mask = std::uint32_t;
    static_assert(kMostGrouped <= 32);

    template <class Result>
    void descend_group(const Vec3d* queries, Result* results, std::size_t count, const QueryBox& around,
                       NodeRange from, Mask active) const;
    template <class Result>
    void descend(const Vec3d& q, Result& result, NodeRange from) const;

    KdLayout layout_;
};

template <class Result>
void KdTree::offer_leaf(const NodeRange& leaf, const Vec3d& q, Result& result) const {
    std::uint64_t bits[kLeafPoints];
    const std::size_t count = leaf.end - leaf.begin;
    squared_distances(leaf, q, bits);
    if constexpr (requires { result.offer_leaf(bits, count); }) {
        result.offer_leaf(bits, count);
    } else {
        const std::uint64_t* words = layout_.words.get() + 4 * leaf.begin;
        for (std::size_t i = 0; i < count; ++i) {
            if (bits[i] <= result.bound()) offer_point(result, bits[i], words, count, i, leaf.begin);
        }
    }
}

template <class F>
void KdTree::scan_leaf(std::size_t begin, std::size_t end, const Vec3d& q, const F& f) const {
    std::uint64_t bits[kLeafPoints];
    squared_distances({0, begin, end}, q, bits);
    for (std::size_t i = 0; i < end - begin; ++i) f(bits[i], i);
}

inline void KdTree::squared_distances(const NodeRange& leaf, const Vec3d& q, std::uint64_t* bits) const {
    const std::size_t begin = leaf.begin;
    const std::size_t count = leaf.end - begin;
    const std::uint64_t* xs = layout_.words.get() + 4 * begin;
    const std::uint64_t* ys = xs + count;
    const std::uint64_t* zs = ys + count;
    // Every line of the coordinates asked for at once, so that a leaf not
    // in cache costs one wait for memory rather than one per line.
    const char* const bytes = reinterpret_cast<const char*>(xs);
    for (std::size_t offset = 0; offset < 3 * count * sizeof(std::uint64_t); offset += 64) {
        __builtin_prefetch(bytes + offset);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const double dx = std::bit_cast<double>(xs[i]) - q.x;
        const double dy = std::bit_cast<double>(ys[i]) - q.y;
        const double dz = std::bit_cast<double>(zs[i]) - q.z;
        bits[i] = std::bit_cast<std::uint64_t>((dx * dx + dy * dy) + dz * dz);
    }
}

template <class Result>
void KdTree::scan_all(const Vec3d& q, Result& result) const {
    auto visit = [&](auto& self, const NodeRange& at) -> void {
        if (!layout_.is_leaf(at.node)) {
            self(self, at.left());
            self(self, at.right());
            return;
        }
        const std::uint64_t* words = layout_.words.get() + 4 * at.begin;
        scan_leaf(at.begin, at.end, q, [&](std::uint64_t bits, std::size_t i) {
            const std::uint64_t key = distance_key(std::bit_cast<double>(bits));
            if (key <= result.bound()) offer_point(result, key, words, at.end - at.begin, i, at.begin);
        });
    };
    if (layout_.in_tree != 0) visit(visit, layout_.root());
    for (const AsidePoint& p : layout_.aside) {
        const std::uint64_t key = distance_key(p.point.distance_squared(q));
        if (key <= result.bound()) offer_aside(result, key, p);
    }
}

// Depth first within `from`, the nearer child first: the one whose face
// toward the other is nearer to the middle of the group along the split
// axis (any choice would be right; this one finds near points soonest). A
// node is tested when it is reached, against the bounds as they then
// stand: the group's box against the largest bound of the queries still
// searching there, then each of those queries; a query that the node cannot
// serve is dropped for its subtree. Squared distances from finite queries
// to finite points are never NaN, so their bits are their keys.
template <class Result>
void KdTree::descend_group(const Vec3d* queries, Result* results, std::size_t count, const QueryBox& around,
                           NodeRange from, Mask active) const {
    struct Pending {
        NodeRange at;
        Mask active;
    };
    Pending stack[KdLayout::kMaxDepth];
    std::size_t pending = 0;
    stack[pending++] = {from, active};
    while (pending != 0) {
        NodeRange at = stack[--pending].at;
        active = stack[pending].active;
        for (;;) {
            const NodeBox& box = layout_.boxes[at.node];
            if (count > 1) {
                std::uint64_t widest = 0;
                for (Mask m = active; m != 0; m &= m - 1) widest = std::max(widest, results[std::countr_zero(m)].bound());
                if (nearest_key(box, around) > widest) break;
            }
            Mask serving = 0;
            for (Mask m = active; m != 0; m &= m - 1) {
                const int j = std::countr_zero(m);
                if (nearest_key(box, queries[j]) > results[j].bound()) continue;
                if constexpr (requires { results[j].offer_all(std::uint64_t{}, std::size_t{}); }) {
                    if (results[j].offer_all(farthest_key(box, queries[j]), at.end - at.begin)) continue;
                }
                serving |= Mask{1} << j;
            }
            if (serving == 0) break;
            active = serving;
            if (layout_.is_leaf(at.node)) {
                for (Mask m = active; m != 0; m &= m - 1) {
                    offer_leaf(at, queries[std::countr_zero(m)], results[std::countr_zero(m)]);
                }
                break;
            }
            const std::size_t left = 2 * at.node + 1;
            const int a = layout_.axes[at.node];
            const double v = around.lo[a] + (around.hi[a] - around.lo[a]) * 0.5;
            const bool left_first = v - layout_.boxes[left].hi[a] < layout_.boxes[left + 1].lo[a] - v;
            stack[pending++] = {left_first ? at.right() : at.left(), active};
            at = left_first ? at.left() : at.right();
        }
    }
}

// One query alone: the same visit as a group's, in a loop of its own.
template <class Result>
void KdTree::descend(const Vec3d& q, Result& result, NodeRange from) const {
    const double at_axis[3] = {q.x, q.y, q.z};
    NodeRange stack[KdLayout::kMaxDepth];
    std::size_t pending = 0;
    stack[pending++] = from;
    while (pending != 0) {
        NodeRange at = stack[--pending];
        while (nearest_key(layout_.boxes[at.node], q) <= result.bound()) {
            if constexpr (requires { result.offer_all(std::uint64_t{}, std::size_t{}); }) {
                if (result.offer_all(farthest_key(layout_.boxes[at.node], q), at.end - at.begin)) break;
            }
            if (layout_.is_leaf(at.node)) {
                offer_leaf(at, q, result);
                break;
            }
            const std::size_t left = 2 * at.node + 1;
            const int a = layout_.axes[at.node];
            const double v = at_axis[a];
            const bool left_first = v - layout_.boxes[left].hi[a] < layout_.boxes[left + 1].lo[a] - v;
            stack[pending++] = left_first ? at.right() : at.left();
            at = left_first ? at.left() : at.right();
        }
    }
}

template <class Result>
void KdTree::search_group(const Vec3d* queries, Result* results, std::size_t count, std::size_t start) const {
    if (layout_.in_tree != 0 && count != 0) {
        QueryBox around{{queries[0].x, queries[0].y, queries[0].z}, {queries[0].x, queries[0].y, queries[0].z}};
        for (std::size_t j = 1; j < count; ++j) {
            const double c[3] = {queries[j].x, queries[j].y, queries[j].z};
            for (int a = 0; a < 3; ++a) {
                around.lo[a] = std::min(around.lo[a], c[a]);
                around.hi[a] = std::max(around.hi[a], c[a]);
            }
        }
        const Mask all = count == kMostGrouped ? ~Mask{0} : (Mask{1} << count) - 1;
        // The path from the root down to the starting node, and the other
        // child at each step: searched after the start's own subtree, the
        // nearest (deepest) first.
        if (start > 2 * layout_.first_leaf) start = 0;
        std::size_t down[KdLayout::kMaxDepth];
        std::size_t depth = 0;
        for (std::size_t node = start; node != 0; node = (node - 1) / 2) down[depth++] = node;
        NodeRange others[KdLayout::kMaxDepth];
        NodeRange from = layout_.root();
        for (std::size_t level = depth; level-- > 0;) {
            const bool left = down[level] % 2 == 1;
            others[level] = left ? from.right() : from.left();
            from = left ? from.left() : from.right();
        }
        if (count == 1) {
            descend(queries[0], results[0], from);
            for (std::size_t level = 0; level < depth; ++level) descend(queries[0], results[0], others[level]);
        } else {
            descend_group(queries, results, count, around, from, all);
            for (std::size_t level = 0; level < depth; ++level) {
                descend_group(queries, results, count, around, others[level], all);
            }
        }
    }
    // Squared distances from a finite query to points kept aside are
    // infinite or NaN: only a bound that takes those reaches them.
    for (std::size_t j = 0; j < count; ++j) {
        Result& result = results[j];
        if (result.bound() < kInfinityKey) continue;
        for (const AsidePoint& p : layout_.aside) {
            const std::uint64_t key = distance_key(p.point.distance_squared(queries[j]));
            if (key <= result.bound()) offer_aside(result, key, p);
        }
    }
}

}  // namespace tessary
