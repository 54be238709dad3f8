// Building a k-d tree's layout (kd_layout.hpp) from points: the finite
// points copied in tree order and split at the median of the widest side
// of their box, level by level, by a quickselect whose partitions are
// branch-free; the non-finite points kept aside in index order.
//
// The work is shared out by a `for_ranges(n, grain, body)` that runs
// body(begin, end) over ranges covering [0, n) (the worker pool's, or
// SerialRanges); the layout never depends on how the ranges are cut.
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

#include "kd_layout.hpp"
#include "vec3d.hpp"

namespace tessary {

namespace kd_build {

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

// Bounds of a node's points while the tree is built: exact for the root,
// and for a child its parent's cut at the median along the split axis,
// which holds its points but may be wider than they are. Only the choice
// of the axis to split along reads it.
struct Extent {
    double lo[3];
    double hi[3];
};

// The builder works on the layout's words while they are still records:
// point i is words[4i, 4i + 4), x, y, z (their bits) and its index.
class Builder {
public:
    explicit Builder(KdLayout& layout) : layout_(layout) {}

    double coordinate(std::size_t i, int a) const noexcept {
        return std::bit_cast<double>(layout_.words[4 * i + static_cast<std::size_t>(a)]);
    }

    Extent extent_of(std::size_t begin, std::size_t end) const noexcept {
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

    // Splits the node at the median of its widest side and gives its
    // children's extents.
    void split_node(const NodeRange& at, const Extent& extent, Extent& left, Extent& right) noexcept {
        // A node small enough to be still in cache from its parent's split
        // is bounded afresh, which splits it along its points' true widest
        // side.
        const Extent bounds = at.end - at.begin <= kBoundedNode ? extent_of(at.begin, at.end) : extent;
        int widest = 0;
        for (int a = 1; a < 3; ++a) {
            if (bounds.hi[a] - bounds.lo[a] > bounds.hi[widest] - bounds.lo[widest]) widest = a;
        }
        layout_.axes[at.node] = static_cast<std::uint8_t>(widest);
        const std::size_t middle = at.middle();
        select(widest, at.begin, at.end, middle);
        // None before the median is greater than it, none after it smaller.
        left = right = bounds;
        left.hi[widest] = right.lo[widest] = coordinate(middle, widest);
    }

    void build_subtree(const NodeRange& at, const Extent& extent) noexcept {
        if (!layout_.is_leaf(at.node)) {
            Extent left, right;
            split_node(at, extent, left, right);
            build_subtree(at.left(), left);
            build_subtree(at.right(), right);
            join_boxes(at.node);
            return;
        }
        const Extent tight = extent_of(at.begin, at.end);
        NodeBox& box = layout_.boxes[at.node];
        for (int a = 0; a < 3; ++a) {
            box.lo[a] = outward(tight.lo[a], true);
            box.hi[a] = outward(tight.hi[a], false);
        }
        // The leaf's points, from records (x, y, z, index) to all x, all y,
        // all z, all indices.
        const std::size_t count = at.end - at.begin;
        std::uint64_t* block = layout_.words.get() + 4 * at.begin;
        std::uint64_t copy[4 * KdLayout::kLeafPoints];
        std::copy(block, block + 4 * count, copy);
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t w = 0; w < 4; ++w) block[w * count + i] = copy[4 * i + w];
        }
    }

    // A node's box: the smallest that holds both its children's. The
    // children's are rounded outwards already, and rounding is monotonic,
    // so it is the box its points would round out to.
    void join_boxes(std::size_t node) noexcept {
        const NodeBox& l = layout_.boxes[2 * node + 1];
        const NodeBox& r = layout_.boxes[2 * node + 2];
        for (int a = 0; a < 3; ++a) {
            layout_.boxes[node].lo[a] = std::min(l.lo[a], r.lo[a]);
            layout_.boxes[node].hi[a] = std::max(l.hi[a], r.hi[a]);
        }
    }

private:
    void swap_points(std::size_t i, std::size_t j) noexcept {
        for (std::size_t w = 0; w < 4; ++w) std::swap(layout_.words[4 * i + w], layout_.words[4 * j + w]);
    }

    // Quickselect: afterwards the point at `nth` is where a sort along
    // axis `a` would put it, with none greater before it and none smaller
    // after it. Each round partitions around a pivot picked from a sample
    // at the rank of `nth`, so that few rounds are needed; should they keep
    // coming out lopsided, the rest is heap-sorted, so the work stays
    // O(n log n) on any input.
    void select(int a, std::size_t begin, std::size_t end, std::size_t nth) noexcept {
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
    double sample_pivot(int a, std::size_t begin, std::size_t end, std::size_t nth) const noexcept {
        constexpr std::size_t kMostSamples = 63;
        const std::size_t count = end - begin;
        const std::size_t samples = count >= 4096 ? kMostSamples : count >= 512 ? 15 : 3;
        double sample[kMostSamples];
        for (std::size_t j = 0; j < samples; ++j) {
            sample[j] = coordinate(begin + (2 * j + 1) * count / (2 * samples), a);
        }
        std::sort(sample, sample + samples);
        return sample[(nth - begin) * samples / count];
    }

    // Moves the points whose coordinate is below `pivot` (strict) or at
    // most `pivot` to the front of [begin, end) and returns where the
    // others start. Blocks of points are classified without branches first
    // and then exchanged, as in BlockQuicksort, so that the unpredictable
    // comparisons cost no mispredicted jumps; blocks of 16 take the ranges
    // too short for blocks of 64, which the deep levels of the tree are.
    std::size_t partition(int a, std::size_t begin, std::size_t end, double pivot, bool strict) noexcept {
        // Local copies of the pointer, which the stores could otherwise be
        // taken to change.
        std::uint64_t* const words = layout_.words.get();
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
        // Blocks of `block` points from each end, while two fit: what is
        // left is placed afresh by the next, smaller blocks, then one at a
        // time.
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

    void sort_small(int a, std::size_t begin, std::size_t end) noexcept {
        for (std::size_t i = begin + 1; i < end; ++i) {
            for (std::size_t j = i; j > begin && coordinate(j, a) < coordinate(j - 1, a); --j) swap_points(j, j - 1);
        }
    }

    void heap_sort(int a, std::size_t begin, std::size_t end) noexcept {
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

    KdLayout& layout_;
};

}  // namespace kd_build

// The layout of a tree over `points`.
template <class ForRanges>
KdLayout build_kd_layout(std::span<const Vec3d> points, const ForRanges& for_ranges) {
    using kd_build::kScanChunk;
    KdLayout layout;
    layout.size = points.size();
    const std::size_t n = points.size();
    const std::size_t chunks = (n + kScanChunk - 1) / kScanChunk;
    auto chunk_end = [&](std::size_t c) { return std::min(n, (c + 1) * kScanChunk); };
    std::vector<std::size_t> finite_before(chunks + 1, 0);
    for_ranges(chunks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            std::size_t found = 0;
            for (std::size_t i = c * kScanChunk; i < chunk_end(c); ++i) found += is_finite(points[i]);
            finite_before[c + 1] = found;
        }
    });
    for (std::size_t c = 0; c < chunks; ++c) finite_before[c + 1] += finite_before[c];
    const std::size_t in_tree = finite_before[chunks];
    layout.in_tree = in_tree;
    layout.aside.resize(n - in_tree);
    if (in_tree != 0) {
        if (in_tree > std::numeric_limits<std::size_t>::max() / (4 * sizeof(std::uint64_t))) throw std::bad_alloc();
        layout.words.reset(new std::uint64_t[4 * in_tree]);
    }
    for_ranges(chunks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            std::size_t inside = finite_before[c];
            std::size_t aside = c * kScanChunk - inside;
            for (std::size_t i = c * kScanChunk; i < chunk_end(c); ++i) {
                const Vec3d& p = points[i];
                if (!is_finite(p)) {
                    layout.aside[aside++] = {p, i};
                    continue;
                }
                std::uint64_t* record = layout.words.get() + 4 * inside++;
                record[0] = std::bit_cast<std::uint64_t>(p.x);
                record[1] = std::bit_cast<std::uint64_t>(p.y);
                record[2] = std::bit_cast<std::uint64_t>(p.z);
                record[3] = i;
            }
        }
    });
    if (in_tree == 0) return layout;
    // The shallowest balanced tree whose leaves hold at most kLeafPoints:
    // the leaves at depth d hold floor or ceil of in_tree / 2**d points.
    std::size_t depth = 0;
    while (depth + 1 < KdLayout::kMaxDepth && (in_tree - 1) >> depth >= KdLayout::kLeafPoints) ++depth;
    layout.first_leaf = (std::size_t{1} << depth) - 1;
    layout.boxes.reset(new NodeBox[2 * layout.first_leaf + 1]);
    layout.axes.reset(new std::uint8_t[layout.first_leaf + 1]);
    kd_build::Builder builder(layout);
    const bool parallel = in_tree >= kd_build::kParallelBuild;
    const std::size_t grain = parallel ? 1 : std::numeric_limits<std::size_t>::max() / 4;
    // The top levels one level at a time, each node of a level on its own,
    // then every subtree below them in one piece. Each node's box is joined
    // from its children's once they are built, so the points are read for
    // bounds once, at the leaves.
    const std::size_t top = std::min(depth, kd_build::kTopLevels);
    std::vector<NodeRange> level_nodes{layout.root()};
    std::vector<kd_build::Extent> extents{builder.extent_of(0, in_tree)};
    for (std::size_t level = 0; level < top; ++level) {
        std::vector<kd_build::Extent> next_extents(2 * level_nodes.size());
        for_ranges(level_nodes.size(), grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j) {
                builder.split_node(level_nodes[j], extents[j], next_extents[2 * j], next_extents[2 * j + 1]);
            }
        });
        std::vector<NodeRange> next;
        next.reserve(2 * level_nodes.size());
        for (const NodeRange& at : level_nodes) {
            next.push_back(at.left());
            next.push_back(at.right());
        }
        level_nodes = std::move(next);
        extents = std::move(next_extents);
    }
    for_ranges(level_nodes.size(), grain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) builder.build_subtree(level_nodes[j], extents[j]);
    });
    for (std::size_t node = (std::size_t{1} << top) - 1; node-- > 0;) builder.join_boxes(node);
    return layout;
}

}  // namespace tessary
