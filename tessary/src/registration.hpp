// Point-to-point ICP between two clouds, as three steps that the loop
// only composes:
//
//   correspond  each source point, moved by the current transform, to its
//               nearest target point within a distance (the k-d tree's
//               answer: exact, ties to the lower index);
//   estimate    the best rigid transform of the kept pairs (align.hpp);
//   compose     that update after the current transform.
//
// Every sum is exact or taken in fixed chunks whose order does not depend
// on how the work is shared out, so the results are the same bits at any
// number of threads. The functions take a `for_ranges(n, grain, body)` as
// the k-d tree does (the worker pool's, or SerialRanges).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "align.hpp"
#include "exact_sum.hpp"
#include "kd_layout.hpp"
#include "kd_results.hpp"
#include "kd_tree.hpp"
#include "morton.hpp"
#include "neighbour.hpp"
#include "reduction.hpp"
#include "transform.hpp"
#include "vec3d.hpp"

namespace tessary {

// How well the source matches the target under one transform: the number
// of source points with a correspondence, their share of all source
// points (0 when there are none), and the root of the mean squared
// distance of the correspondences (0 when there are none), that mean the
// exact sum rounded once and divided by their number.
struct Matches {
    std::size_t count = 0;
    double fitness = 0.0;
    double inlier_rmse = 0.0;
};

// moved[i] = t.apply(source[i]).
template <class ForRanges>
void move_points(std::span<const Vec3d> source, const Transform& t, Vec3d* moved, const ForRanges& for_ranges) {
    for_ranges(source.size(), 4096, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) moved[i] = t.apply(source[i]);
    });
}

// The correspondences of the source points under one transform, one slot
// per source point: the index of its target point (none: the tree's size)
// and that point's coordinates, which the estimate reads in the source
// points' order, and the squared distance.
struct Correspondences {
    std::size_t none = 0;
    std::vector<std::size_t> nearest;
    std::vector<Vec3d> points;
    std::vector<double> squared;
    // The tree's leaf of each correspondence, where the next search starts.
    std::vector<std::size_t> leaves;

    Correspondences(std::size_t n, std::size_t none_index)
        : none(none_index), nearest(n, none_index), points(n), squared(n, 0.0), leaves(n, 0) {}
    bool found(std::size_t i) const { return nearest[i] != none; }
};

// Step 1. For each moved source point, its correspondence: the nearest
// point of `tree` with a squared distance whose key is at most `limit` (at
// most kLargestFiniteKey), ties to the lower index; none for a point
// with a NaN or infinite coordinate. On entry `c` may hold the
// correspondences of the previous transform: the distance of a point's
// previous correspondence under the new transform bounds its search from
// the start, and the search starts from that point's leaf, so that it
// visits few nodes. Neither changes the answer: that point itself is
// within the bound, ties still go to the lower index, and every node that
// could hold a point within the bound is still visited.
template <class ForRanges>
Matches correspond(const KdTree& tree, std::span<const Vec3d> moved, std::uint64_t limit, Correspondences& c,
                   const ForRanges& for_ranges) {
    const std::size_t n = moved.size();
    for_ranges(n, kPairChunk, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Vec3d& q = moved[i];
            if (!is_finite(q)) {
                c.nearest[i] = c.none;
                continue;
            }
            std::uint64_t bound = limit;
            if (c.found(i)) bound = std::min(bound, distance_key(c.points[i].distance_squared(q)));
            NearestResult nearest(tree.size(), bound);
            tree.search(q, nearest, c.leaves[i]);
            // Within a finite limit the answer is never a point kept aside.
            if (nearest.found()) {
                const NodeRange leaf = tree.leaf_holding(nearest.place());
                c.points[i] = tree.point_at(leaf, nearest.place());
                c.leaves[i] = leaf.node;
            }
            c.nearest[i] = nearest.answer().index;
            c.squared[i] = nearest.answer().squared();
        }
    });
    struct Tally {
        ExactSum squares;
        std::uint64_t count = 0;
        Tally operator+(const Tally& other) const {
            Tally out = *this;
            out.squares.merge(other.squares);
            out.count += other.count;
            return out;
        }
    };
    const Tally tally = sum_in_chunks<Tally>(
        n, kExactChunk,
        [&](std::size_t begin, std::size_t end) {
            Tally part;
            for (std::size_t i = begin; i < end; ++i) {
                if (!c.found(i)) continue;
                part.squares.add(c.squared[i]);
                ++part.count;
            }
            return part;
        },
        for_ranges);
    Matches out;
    out.count = tally.count;
    if (tally.count != 0) {
        out.fitness = static_cast<double>(tally.count) / static_cast<double>(n);
        out.inlier_rmse = std::sqrt(tally.squares.value().divided_rounded(tally.count));
    }
    return out;
}

// Step 2. The best rigid transform of the pairs (moved[i], the point of
// its correspondence) where there is one: the update that moves the moved
// points onto their correspondences. The identity when there are none.
template <class ForRanges>
Transform estimate(std::span<const Vec3d> moved, const Correspondences& c, const ForRanges& for_ranges) {
    struct Corresponding {
        std::span<const Vec3d> moved;
        const Correspondences& c;
        bool taken(std::size_t i) const { return c.found(i); }
        const Vec3d& a(std::size_t i) const { return moved[i]; }
        const Vec3d& b(std::size_t i) const { return c.points[i]; }
        double weight(std::size_t) const { return 1.0; }
    };
    return rigid_align<false>(moved.size(), Corresponding{moved, c}, for_ranges).transform;
}

// Step 3. The update applied after the current transform, its rotation
// normalised so that thirty compositions do not let the rotation's
// magnitude drift from 1 (a transform scales by its squared magnitude).
inline Transform compose(const Transform& update, const Transform& current) {
    const Transform t = update.mul(current);
    return {t.rotation.normalize(), t.translation};
}

struct IcpSettings {
    std::uint64_t limit;  // the key of the largest distance of a correspondence
    std::size_t max_iterations;
    double relative_fitness;
    double relative_rmse;
};

struct IcpResult {
    Transform transform;
    Matches matches;
    std::size_t iterations = 0;
    bool converged = false;
};

// The points in the order of their Morton codes over the tree's box, so
// that consecutive points search the same nodes and leaves and their
// state is read in order: a point's place in the order only changes the
// order of the floating-point sums of the estimate, by a rule that does
// not depend on the number of threads.
template <class ForRanges>
std::vector<Vec3d> in_morton_order(const KdTree& tree, std::span<const Vec3d> points, const Transform& t,
                                   const ForRanges& for_ranges) {
    const std::size_t n = points.size();
    std::vector<Vec3d> out(points.begin(), points.end());
    if (n < 2 || n > 0xFFFFFFFF) return out;
    const MortonCode morton = tree.morton_code();
    std::vector<std::uint64_t> keys(2 * n);
    for_ranges(n, kPairChunk, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) keys[i] = morton_key(morton(t.apply(points[i])), i);
    });
    const std::uint64_t* sorted = sort_by_code(keys.data(), keys.data() + n, n);
    for (std::size_t k = 0; k < n; ++k) out[k] = points[position_of(sorted[k])];
    return out;
}

// Point-to-point ICP of `source` onto the points of `tree` from
// `initial`, as Open3D's registration_icp runs it: the correspondences of
// the initial transform are found first; then each iteration estimates an
// update from them, composes it, and finds the correspondences of the new
// transform; the loop stops when both the fitness and the inlier RMSE
// changed by less than their tolerances (strictly), or after
// max_iterations. The result is the last transform with its matches.
template <class ForRanges>
IcpResult icp(std::span<const Vec3d> source, const KdTree& tree, const Transform& initial, const IcpSettings& settings,
              const ForRanges& for_ranges) {
    const std::vector<Vec3d> points = in_morton_order(tree, source, initial, for_ranges);
    std::vector<Vec3d> moved(points.size());
    Correspondences c(points.size(), tree.size());
    const std::uint64_t limit = std::min(settings.limit, kLargestFiniteKey);
    IcpResult result{initial, {}, 0, false};
    move_points(points, result.transform, moved.data(), for_ranges);
    result.matches = correspond(tree, moved, limit, c, for_ranges);
    while (result.iterations < settings.max_iterations && !result.converged) {
        const Matches before = result.matches;
        // Without correspondences the update is the identity, and the
        // transform stays as it is, bit for bit.
        if (before.count != 0) {
            result.transform = compose(estimate(moved, c, for_ranges), result.transform);
            move_points(points, result.transform, moved.data(), for_ranges);
            result.matches = correspond(tree, moved, limit, c, for_ranges);
        }
        ++result.iterations;
        result.converged = std::fabs(before.fitness - result.matches.fitness) < settings.relative_fitness &&
                           std::fabs(before.inlier_rmse - result.matches.inlier_rmse) < settings.relative_rmse;
    }
    return result;
}

}  // namespace tessary
