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
// Here the finite points are put in the order of a Morton curve over their
// box (radix_sort.hpp) and cut in halves, and halves of halves, down to
// leaves of at most kLeaf points: a balanced tree whose nodes keep their
// points' box and the largest distance inside (with its index). After a
// choice only the nodes whose box comes nearer to the chosen point than
// their largest distance are visited. A box's bound is computed with the
// same operations as a point's distance, from the box's nearest faces, and
// rounding is monotonic, so no point of a skipped box could have come
// nearer: the distances, and so the choices, are those of the plain way,
// bit for bit. Once the cloud is thinned, a choice visits only the few
// leaves around it.
//
// The work is shared out by a `for_ranges(n, grain, body)`: the ordering,
// and the visits of choices that reach many points (the first ones),
// subtree by subtree. The choices follow one another; none depends on how
// the work was cut.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "radix_sort.hpp"
#include "vec3d.hpp"

namespace tessary {

namespace farthest_detail {

inline constexpr std::size_t kLeaf = 32;
inline constexpr std::size_t kChunk = std::size_t{1} << 16;
// A visit that measured more points than this shares the next one out,
// over the subtrees kSharedLevels below the root.
inline constexpr std::size_t kShareAbove = std::size_t{1} << 15;
inline constexpr std::size_t kSharedLevels = 5;

// A node's largest distance still to choose from, and where it is.
struct Farthest {
    double distance;
    std::size_t index;  // the point's index in the input
    std::size_t place;  // its place in the curve's order

    bool beats(const Farthest& other) const {
        return distance > other.distance || (distance == other.distance && index < other.index);
    }
};

struct Box {
    double lo[3];
    double hi[3];
};

// Node `node` holds the points [begin, end) of the order; its children are
// 2 node + 1 and 2 node + 2, holding the first and the second half.
struct Node {
    std::size_t node, begin, end;
    Node left() const { return {2 * node + 1, begin, begin + (end - begin) / 2}; }
    Node right() const { return {2 * node + 2, begin + (end - begin) / 2, end}; }
};

// The finite points in the curve's order, by coordinate.
struct Ordered {
    std::size_t size = 0;
    std::unique_ptr<double[]> x, y, z;
    std::unique_ptr<std::size_t[]> index;
};

// Spreads the low 21 bits of v three apart.
inline std::uint64_t spread(std::uint64_t v) {
    v &= 0x1FFFFF;
    v = (v | (v << 32)) & 0x1F00000000FFFF;
    v = (v | (v << 16)) & 0x1F0000FF0000FF;
    v = (v | (v << 8)) & 0x100F00F00F00F00F;
    v = (v | (v << 4)) & 0x10C30C30C30C30C3;
    v = (v | (v << 2)) & 0x1249249249249249;
    return v;
}

template <class ForRanges>
Ordered order_points(std::span<const Vec3d> points, const ForRanges& for_ranges) {
    const std::size_t n = points.size();
    const std::size_t chunks = (n + kChunk - 1) / kChunk;
    auto chunk_end = [&](std::size_t c) { return std::min(n, (c + 1) * kChunk); };
    struct Scan {
        std::size_t finite = 0;
        Vec3d low, high;
    };
    std::vector<Scan> scans(chunks);
    for_ranges(chunks, 1, [&](std::size_t begin, std::size_t end) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        for (std::size_t c = begin; c < end; ++c) {
            Scan s{0, {inf, inf, inf}, {-inf, -inf, -inf}};
            for (std::size_t i = c * kChunk; i < chunk_end(c); ++i) {
                const Vec3d& p = points[i];
                if (!is_finite(p)) continue;
                ++s.finite;
                s.low = {std::min(s.low.x, p.x), std::min(s.low.y, p.y), std::min(s.low.z, p.z)};
                s.high = {std::max(s.high.x, p.x), std::max(s.high.y, p.y), std::max(s.high.z, p.z)};
            }
            scans[c] = s;
        }
    });
    std::vector<std::size_t> before(chunks + 1, 0);
    constexpr double inf = std::numeric_limits<double>::infinity();
    Vec3d low{inf, inf, inf}, high{-inf, -inf, -inf};
    for (std::size_t c = 0; c < chunks; ++c) {
        before[c + 1] = before[c] + scans[c].finite;
        low = {std::min(low.x, scans[c].low.x), std::min(low.y, scans[c].low.y), std::min(low.z, scans[c].low.z)};
        high = {std::max(high.x, scans[c].high.x), std::max(high.y, scans[c].high.y),
                std::max(high.z, scans[c].high.z)};
    }
    Ordered out;
    out.size = before[chunks];
    if (out.size == 0) return out;
    // A curve over cells of about four points each (b bits along each
    // axis), beside the index's bits: within a cell the points stay in
    // index order. Only the order depends on the scaling, and it is a
    // function of the points.
    const int index_bits = std::bit_width(n - 1);
    const int b = std::clamp((static_cast<int>(std::bit_width(out.size / 4)) + 2) / 3, 1, std::min(21, (64 - index_bits) / 3));
    const double cells = std::ldexp(1.0, b) - 1.0;
    const std::array<double, 3> lo = low.to_array(), hi = high.to_array();
    std::array<double, 3> scale{};
    for (std::size_t a = 0; a < 3; ++a) {
        const double width = hi[a] - lo[a];
        scale[a] = width > 0 && std::isfinite(width) ? cells / width : 0.0;
    }
    auto quantised = [&](double v, std::size_t a) {
        const double q = (v - lo[a]) * scale[a];
        return static_cast<std::uint64_t>(std::clamp(std::isfinite(q) ? q : 0.0, 0.0, cells));
    };
    std::unique_ptr<std::uint64_t[]> records(new std::uint64_t[out.size]);
    for_ranges(chunks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            std::uint64_t* record = records.get() + before[c];
            for (std::size_t i = c * kChunk; i < chunk_end(c); ++i) {
                const Vec3d& p = points[i];
                if (!is_finite(p)) continue;
                const std::uint64_t code =
                    (spread(quantised(p.x, 0)) << 2) | (spread(quantised(p.y, 1)) << 1) | spread(quantised(p.z, 2));
                *record++ = (code << index_bits) | i;
            }
        }
    });
    {
        std::unique_ptr<std::uint64_t[]> scratch(new std::uint64_t[out.size]);
        if (radix_sort(records.get(), scratch.get(), out.size, index_bits, 3 * b, for_ranges) == scratch.get()) {
            std::swap(records, scratch);
        }
    }
    out.x.reset(new double[out.size]);
    out.y.reset(new double[out.size]);
    out.z.reset(new double[out.size]);
    out.index.reset(new std::size_t[out.size]);
    const std::uint64_t mask = index_bits == 0 ? 0 : ~std::uint64_t{0} >> (64 - index_bits);
    for_ranges(out.size, kChunk, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            const std::size_t i = static_cast<std::size_t>(records[j] & mask);
            out.x[j] = points[i].x;
            out.y[j] = points[i].y;
            out.z[j] = points[i].z;
            out.index[j] = i;
        }
    });
    return out;
}

class Sampler {
public:
    // The distance of a chosen point: below every distance.
    static constexpr double kChosen = -1.0;

    // `start`: the index of a point whose place place_of_start() gives.
    Sampler(Ordered points, std::size_t start) : points_(std::move(points)), start_place_(points_.size) {
        std::size_t depth = 0;
        while ((points_.size - 1) >> depth >= kLeaf) ++depth;
        first_leaf_ = (std::size_t{1} << depth) - 1;
        const std::size_t nodes = 2 * first_leaf_ + 1;
        distance_.assign(points_.size, std::numeric_limits<double>::infinity());
        boxes_.resize(nodes);
        farthest_.resize(nodes);
        for (std::size_t j = 0; j < points_.size; ++j) {
            if (points_.index[j] == start) start_place_ = j;
        }
        prepare(root());
    }

    // The unchosen point farthest from those chosen; distance kChosen when
    // none is left.
    const Farthest& farthest() const { return farthest_[0]; }

    // The place of the point `start`, or the number of points when it is
    // not among them.
    std::size_t place_of_start() const { return start_place_; }

    // Takes the point at `place` out of the choice and measures every
    // point from it.
    template <class ForRanges>
    void choose(std::size_t place, const ForRanges& for_ranges) {
        Node leaf = root();
        while (!is_leaf(leaf.node)) leaf = place < leaf.right().begin ? leaf.left() : leaf.right();
        distance_[place] = kChosen;
        refresh_leaf(leaf);
        for (std::size_t node = leaf.node; node != 0;) {
            node = (node - 1) / 2;
            join(node);
        }
        const Vec3d c{points_.x[place], points_.y[place], points_.z[place]};
        const std::size_t levels = std::min(kSharedLevels, static_cast<std::size_t>(std::bit_width(first_leaf_ + 1)) - 1);
        if (measured_ <= kShareAbove || levels == 0) {
            measured_ = visit(root(), c);
            return;
        }
        // The subtrees `levels` below the root each on their own, then the
        // nodes above them joined.
        std::vector<Node> tops{root()};
        for (std::size_t level = 0; level < levels; ++level) {
            std::vector<Node> next;
            for (const Node& at : tops) {
                next.push_back(at.left());
                next.push_back(at.right());
            }
            tops = std::move(next);
        }
        std::vector<std::size_t> measured(tops.size(), 0);
        for_ranges(tops.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) measured[t] = visit(tops[t], c);
        });
        for (std::size_t node = tops.front().node; node-- > 0;) join(node);
        measured_ = 0;
        for (const std::size_t m : measured) measured_ += m;
    }

private:
    Node root() const { return {0, 0, points_.size}; }
    bool is_leaf(std::size_t node) const { return node >= first_leaf_; }

    // Boxes and the first farthest points, bottom up.
    void prepare(const Node& at) {
        Box& box = boxes_[at.node];
        if (is_leaf(at.node)) {
            const double* columns[3] = {points_.x.get(), points_.y.get(), points_.z.get()};
            for (int a = 0; a < 3; ++a) {
                double lo = columns[a][at.begin], hi = lo;
                for (std::size_t j = at.begin + 1; j < at.end; ++j) {
                    lo = std::min(lo, columns[a][j]);
                    hi = std::max(hi, columns[a][j]);
                }
                box.lo[a] = lo;
                box.hi[a] = hi;
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

    void refresh_leaf(const Node& leaf) {
        const double* d = distance_.data();
        double most = d[leaf.begin];
        for (std::size_t j = leaf.begin + 1; j < leaf.end; ++j) most = std::max(most, d[j]);
        std::size_t at = leaf.end;
        for (std::size_t j = leaf.begin; j < leaf.end; ++j) {
            if (d[j] == most && (at == leaf.end || points_.index[j] < points_.index[at])) at = j;
        }
        farthest_[leaf.node] = {most, points_.index[at], at};
    }

    // The least squared distance from c that any point of the box can
    // have: along each axis the gap to the nearest face (lo - c below the
    // box, hi - c above it, 0 within), squared and summed as a point's
    // distance is. For a point p of the box, p - c lies beyond the gap, so
    // its rounded difference does too, and so do the squares and sums.
    static double bound(const Box& box, const Vec3d& c) {
        auto gap = [](double v, double lo, double hi) { return std::max(lo - v, 0.0) + std::min(hi - v, 0.0); };
        const double dx = gap(c.x, box.lo[0], box.hi[0]);
        const double dy = gap(c.y, box.lo[1], box.hi[1]);
        const double dz = gap(c.z, box.lo[2], box.hi[2]);
        return (dx * dx + dy * dy) + dz * dz;
    }

    // Measures the points of the subtree from c; returns how many.
    std::size_t visit(const Node& at, const Vec3d& c) {
        // No point of the box can come nearer than its largest distance
        // (a chosen point's is below every bound).
        if (bound(boxes_[at.node], c) >= farthest_[at.node].distance) return 0;
        if (is_leaf(at.node)) {
            const double* __restrict xs = points_.x.get();
            const double* __restrict ys = points_.y.get();
            const double* __restrict zs = points_.z.get();
            double* __restrict d = distance_.data();
            for (std::size_t j = at.begin; j < at.end; ++j) {
                const double dx = xs[j] - c.x;
                const double dy = ys[j] - c.y;
                const double dz = zs[j] - c.z;
                const double squared = (dx * dx + dy * dy) + dz * dz;
                d[j] = squared < d[j] ? squared : d[j];
            }
            // Distances only shrink: while the farthest point keeps its
            // distance, it stays the farthest (and the lowest index among
            // those as far, which can only have become fewer).
            const Farthest& was = farthest_[at.node];
            if (d[was.place] != was.distance) refresh_leaf(at);
            return at.end - at.begin;
        }
        const std::size_t measured = visit(at.left(), c) + visit(at.right(), c);
        join(at.node);
        return measured;
    }

    Ordered points_;
    std::size_t start_place_;
    std::size_t first_leaf_ = 0;
    std::size_t measured_ = std::numeric_limits<std::size_t>::max();  // by the last visit
    std::vector<double> distance_;  // per point, in the curve's order
    std::vector<Box> boxes_;
    std::vector<Farthest> farthest_;
};

}  // namespace farthest_detail

// The indices of k points (k <= points.size(), start < points.size() when
// k > 0) chosen by the rule above, in the order chosen, into out[0, k).
// Besides the result, about 48 bytes per point.
template <class Index, class ForRanges>
void farthest_points(std::span<const Vec3d> points, std::size_t k, std::size_t start, Index* out,
                     const ForRanges& for_ranges) {
    if (k == 0) return;
    out[0] = static_cast<Index>(start);
    std::size_t chosen = 1;
    if (k == 1) return;
    farthest_detail::Ordered ordered = farthest_detail::order_points(points, for_ranges);
    const std::size_t finite = ordered.size;
    if (finite != 0) {
        farthest_detail::Sampler sampler(std::move(ordered), start);
        if (sampler.place_of_start() != finite) sampler.choose(sampler.place_of_start(), for_ranges);
        while (chosen < k && sampler.farthest().distance != farthest_detail::Sampler::kChosen) {
            const farthest_detail::Farthest next = sampler.farthest();
            out[chosen++] = static_cast<Index>(next.index);
            sampler.choose(next.place, for_ranges);
        }
    }
    // The points left out, in index order.
    for (std::size_t i = 0; i < points.size() && chosen < k; ++i) {
        if (i != start && !is_finite(points[i])) out[chosen++] = static_cast<Index>(i);
    }
}

}  // namespace tessary
