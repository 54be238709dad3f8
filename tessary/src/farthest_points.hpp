// Farthest-point sampling: k points chosen one at a time, each the point
// farthest from those chosen so far.
//
// The rule, which the result follows exactly: every point not yet chosen
// keeps its squared distance to the nearest chosen point, computed as
// Vec3d::distance_squared computes it (point minus chosen point, then
// ((dx*dx + dy*dy) + dz*dz)), +inf while none is chosen; the next choice is
// the point not yet chosen whose distance is the largest, equal distances
// to the lower index. The first point is `start`, whatever it holds.
// Points with a NaN or infinite coordinate are never measured from or to:
// they come after every finite point, in index order, when k asks for
// them.
//
// The plain way updates every distance after every choice (n k steps).
// Here the finite points lie in a k-d tree (kd_build.hpp) whose nodes keep
// their box in doubles and the largest distance inside (with its index);
// after a choice only the nodes whose box comes nearer to the new point
// than their largest distance are visited. A box's bound is computed with
// the same operations as a point's distance, from the box's nearest faces,
// and rounding is monotonic, so no point of a skipped box could have
// become nearer: the distances, and so the choices, are those of the plain
// way, bit for bit. Once the cloud is thinned, a choice visits only the
// few leaves around it. The tree is built on a `for_ranges(n, grain,
// body)`; the choices, one after the other, on the calling thread.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kd_build.hpp"
#include "kd_layout.hpp"
#include "vec3d.hpp"

namespace tessary {

namespace farthest_detail {

// A node's largest distance still to choose from, and where it is.
struct Farthest {
    double distance;
    std::size_t index;  // the point's index in the input
    std::size_t place;  // its place in the tree's order

    bool beats(const Farthest& other) const {
        return distance > other.distance || (distance == other.distance && index < other.index);
    }
};

struct Box {
    double lo[3];
    double hi[3];
};

class Sampler {
public:
    // The distance of a chosen point: below every distance.
    static constexpr double kChosen = -1.0;

    // `start`: the index of a point whose place place_of_start() gives.
    Sampler(const KdLayout& layout, std::size_t start)
        : layout_(layout),
          start_(start),
          start_place_(layout.in_tree),
          nodes_(layout.first_leaf * 2 + 1),
          distance_(layout.in_tree, std::numeric_limits<double>::infinity()),
          boxes_(nodes_),
          farthest_(nodes_) {
        if (layout.in_tree != 0) prepare(layout.root());
    }

    // The unchosen point farthest from those chosen; distance kChosen when
    // none is left.
    const Farthest& farthest() const { return farthest_[0]; }

    // The place in tree order of the point `start`, or in_tree when it is
    // not in the tree.
    std::size_t place_of_start() const { return start_place_; }

    // Takes the point at `place` out of the choice and measures every
    // point from it.
    void choose(std::size_t place) {
        const NodeRange leaf = layout_.leaf_holding(place);
        distance_[place] = kChosen;
        refresh_leaf(leaf);
        for (std::size_t node = leaf.node; node != 0;) {
            node = (node - 1) / 2;
            join(node);
        }
        const Vec3d c = layout_.point_at(leaf, place);
        visit(layout_.root(), c);
    }

private:
    // Boxes in doubles and the first farthest points, bottom up.
    void prepare(const NodeRange& at) {
        Box& box = boxes_[at.node];
        if (layout_.is_leaf(at.node)) {
            const std::size_t count = at.end - at.begin;
            const std::uint64_t* words = layout_.words.get() + 4 * at.begin;
            for (int a = 0; a < 3; ++a) {
                const std::uint64_t* column = words + static_cast<std::size_t>(a) * count;
                double lo = std::bit_cast<double>(column[0]), hi = lo;
                for (std::size_t i = 1; i < count; ++i) {
                    const double v = std::bit_cast<double>(column[i]);
                    lo = std::min(lo, v);
                    hi = std::max(hi, v);
                }
                box.lo[a] = lo;
                box.hi[a] = hi;
            }
            const std::uint64_t* indices = words + 3 * count;
            for (std::size_t i = 0; i < count; ++i) {
                if (indices[i] == start_) start_place_ = at.begin + i;
            }
            refresh_leaf(at);
            return;
        }
        prepare(at.left());
        prepare(at.right());
        const Box& l = boxes_[2 * at.node + 1];
        const Box& r = boxes_[2 * at.node + 2];
        for (int a = 0; a < 3; ++a) {
            box.lo[a] = std::min(l.lo[a], r.lo[a]);
            box.hi[a] = std::max(l.hi[a], r.hi[a]);
        }
        join(at.node);
    }

    void join(std::size_t node) {
        const Farthest& l = farthest_[2 * node + 1];
        const Farthest& r = farthest_[2 * node + 2];
        farthest_[node] = r.beats(l) ? r : l;
    }

    void refresh_leaf(const NodeRange& leaf) {
        const std::size_t count = leaf.end - leaf.begin;
        const double* d = distance_.data() + leaf.begin;
        double most = d[0];
        for (std::size_t i = 1; i < count; ++i) most = std::max(most, d[i]);
        const std::uint64_t* indices = layout_.words.get() + 4 * leaf.begin + 3 * count;
        std::size_t at = count;
        for (std::size_t i = 0; i < count; ++i) {
            if (d[i] == most && (at == count || indices[i] < indices[at])) at = i;
        }
        farthest_[leaf.node] = {most, static_cast<std::size_t>(indices[at]), leaf.begin + at};
    }

    // The least squared distance from c that any point of the box can have,
    // as nearest_key of kd_layout.hpp computes it, in doubles.
    static double bound(const Box& box, const Vec3d& c) {
        auto gap = [](double v, double lo, double hi) { return std::max(lo - v, 0.0) + std::min(hi - v, 0.0); };
        const double dx = gap(c.x, box.lo[0], box.hi[0]);
        const double dy = gap(c.y, box.lo[1], box.hi[1]);
        const double dz = gap(c.z, box.lo[2], box.hi[2]);
        return (dx * dx + dy * dy) + dz * dz;
    }

    void visit(const NodeRange& at, const Vec3d& c) {
        // No point of the box can come nearer than its largest distance
        // (a chosen point's is below every bound).
        if (bound(boxes_[at.node], c) >= farthest_[at.node].distance) return;
        if (layout_.is_leaf(at.node)) {
            const std::size_t count = at.end - at.begin;
            const std::uint64_t* words = layout_.words.get() + 4 * at.begin;
            const std::uint64_t* xs = words;
            const std::uint64_t* ys = words + count;
            const std::uint64_t* zs = words + 2 * count;
            double* d = distance_.data() + at.begin;
            for (std::size_t i = 0; i < count; ++i) {
                const double dx = std::bit_cast<double>(xs[i]) - c.x;
                const double dy = std::bit_cast<double>(ys[i]) - c.y;
                const double dz = std::bit_cast<double>(zs[i]) - c.z;
                const double squared = (dx * dx + dy * dy) + dz * dz;
                d[i] = squared < d[i] ? squared : d[i];
            }
            refresh_leaf(at);
            return;
        }
        visit(at.left(), c);
        visit(at.right(), c);
        join(at.node);
    }

    const KdLayout& layout_;
    std::size_t start_;
    std::size_t start_place_;
    std::size_t nodes_;
    std::vector<double> distance_;  // per point, in tree order
    std::vector<Box> boxes_;
    std::vector<Farthest> farthest_;
};

}  // namespace farthest_detail

// The indices of k points (k <= points.size(), start < points.size() when
// k > 0) chosen by the rule above, in the order chosen, into out[0, k).
// Besides the result, 40 bytes per point and 72 per 16 points.
template <class Index, class ForRanges>
void farthest_points(std::span<const Vec3d> points, std::size_t k, std::size_t start, Index* out,
                     const ForRanges& for_ranges) {
    if (k == 0) return;
    const KdLayout layout = build_kd_layout(points, for_ranges);
    out[0] = static_cast<Index>(start);
    std::size_t chosen = 1;
    if (layout.in_tree != 0) {
        farthest_detail::Sampler sampler(layout, start);
        if (sampler.place_of_start() != layout.in_tree) sampler.choose(sampler.place_of_start());
        while (chosen < k && sampler.farthest().distance != farthest_detail::Sampler::kChosen) {
            const farthest_detail::Farthest next = sampler.farthest();
            out[chosen++] = static_cast<Index>(next.index);
            sampler.choose(next.place);
        }
    }
    for (const AsidePoint& aside : layout.aside) {
        if (chosen == k) break;
        if (aside.index != start) out[chosen++] = static_cast<Index>(aside.index);
    }
}

}  // namespace tessary
