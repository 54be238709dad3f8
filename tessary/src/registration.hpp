// Registration of point sets: the best rigid transform between paired
// points (Transform.align), and point-to-point ICP between two clouds as
// three steps that the loop only composes:
//
//   correspond  each source point, moved by the current transform, to its
//               nearest target point within a distance (the k-d tree's
//               answer: exact, ties to the lower index);
//   estimate    the best rigid transform of the kept pairs (rigid_align);
//   compose     that update after the current transform.
//
// Every sum is exact or taken in fixed chunks whose order does not depend
// on how the work is shared out, so the results are the same bits at any
// number of threads. The functions take a `for_ranges(n, grain, body)` as
// the k-d tree does (the worker pool's parallel_for, or SerialRanges).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "exact_sum.hpp"
#include "fit.hpp"
#include "kd_tree.hpp"
#include "transform.hpp"
#include "vec3d.hpp"

namespace tessary {

// Pairs per fixed chunk of a floating-point sum, and chunks per range.
inline constexpr std::size_t kPairChunk = 4096;
inline constexpr std::size_t kChunksPerRange = 4;
// Pairs per partial exact sum: any division gives the same exact total.
inline constexpr std::size_t kExactChunk = 16384;

// The sum of partial(begin, end) -> T over the chunks [c * chunk, (c + 1)
// * chunk) of [0, n), added in chunk order with T's operator+.
template <class T, class Partial, class ForRanges>
T sum_in_chunks(std::size_t n, std::size_t chunk, const Partial& partial, const ForRanges& for_ranges) {
    const std::size_t chunks = (n + chunk - 1) / chunk;
    std::vector<T> parts(chunks);
    for_ranges(chunks, kChunksPerRange, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) parts[c] = partial(c * chunk, std::min(n, (c + 1) * chunk));
    });
    T total{};
    for (const T& part : parts) total = total + part;
    return total;
}

// The correlation sum(w a_j b_k) of pairs, and a sum of squares.
struct Correlation {
    Matrix3 h{};
    Correlation operator+(const Correlation& other) const {
        Correlation out;
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t k = 0; k < 3; ++k) out.h[j][k] = h[j][k] + other.h[j][k];
        }
        return out;
    }
    // Adds (x_j y_k) for every j, k.
    void add(const Vec3d& x, const Vec3d& y) {
        const std::array<double, 3> a = x.to_array();
        const std::array<double, 3> b = y.to_array();
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t k = 0; k < 3; ++k) h[j][k] = h[j][k] + a[j] * b[k];
        }
    }
};

struct SquareSum {
    double sum = 0.0;
    SquareSum operator+(const SquareSum& other) const { return {sum + other.sum}; }
};

// ---- The best rigid transform of paired points

// The exact sums of the pairs taken: the (weighted) coordinates of both
// sides and the weights (their count when unweighted).
struct PairSums {
    std::array<ExactSum, 3> a{};
    std::array<ExactSum, 3> b{};
    ExactSum weight{};
    std::uint64_t count = 0;

    PairSums operator+(const PairSums& other) const {
        PairSums out = *this;
        for (std::size_t j = 0; j < 3; ++j) {
            out.a[j].merge(other.a[j]);
            out.b[j].merge(other.b[j]);
        }
        out.weight.merge(other.weight);
        out.count += other.count;
        return out;
    }
};

// What rigid_align found: the transform, and the centroids it was built
// around (which the residual needs).
struct RigidFit {
    Transform transform;
    Vec3d source_centroid;
    Vec3d target_centroid;
};

// The transform of a rotation about the centroids: t = cb - r.rotate(ca),
// so that the source centroid lands on the target centroid.
inline Transform rigid_transform(const Quat& rotation, const Vec3d& source_centroid, const Vec3d& target_centroid) {
    return {rotation, target_centroid.sub(rotation.rotate(source_centroid))};
}

// The rigid transform t (unit rotation, never a reflection) that
// minimises sum w(i) |t.apply(a(i)) - b(i)|^2 over the pairs i < n with
// taken(i), read from `pairs` (a(i), b(i) as Vec3d; weight(i) when
// Weighted, else every weight 1). The centroids are the exact weighted
// means, each rounded once; each point's offset from its centroid is one
// subtraction (exact wherever the point is within a factor of two of its
// centroid, as every coordinate of a cloud far from the origin is); the
// correlation of the offsets is summed in fixed chunks and handed to
// wahba_rotation. No pair taken, or a zero total weight: the identity. A
// NaN or infinite coordinate: NaN components.
template <bool Weighted, class Pairs, class ForRanges>
RigidFit rigid_align(std::size_t n, const Pairs& pairs, const ForRanges& for_ranges) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const PairSums sums = sum_in_chunks<PairSums>(
        n, kExactChunk,
        [&](std::size_t begin, std::size_t end) {
            PairSums part;
            for (std::size_t i = begin; i < end; ++i) {
                if (!pairs.taken(i)) continue;
                const std::array<double, 3> a = pairs.a(i).to_array();
                const std::array<double, 3> b = pairs.b(i).to_array();
                if constexpr (Weighted) {
                    const double w = pairs.weight(i);
                    for (std::size_t j = 0; j < 3; ++j) {
                        part.a[j].add_product(w, a[j]);
                        part.b[j].add_product(w, b[j]);
                    }
                    part.weight.add(w);
                } else {
                    for (std::size_t j = 0; j < 3; ++j) {
                        part.a[j].add(a[j]);
                        part.b[j].add(b[j]);
                    }
                }
                ++part.count;
            }
            return part;
        },
        for_ranges);
    for (std::size_t j = 0; j < 3; ++j) {
        if (sums.a[j].has_special() || sums.b[j].has_special()) {
            const Vec3d none{nan, nan, nan};
            return {{{nan, nan, nan, nan}, none}, none, none};
        }
    }
    const ExactValue total = sums.weight.value();
    if (sums.count == 0 || (Weighted && total.is_zero())) return {Transform::identity(), Vec3d::zero(), Vec3d::zero()};
    auto mean = [&](const ExactSum& sum) {
        return Weighted ? sum.value().quotient_rounded(total) : sum.value().divided_rounded(sums.count);
    };
    const Vec3d ca{mean(sums.a[0]), mean(sums.a[1]), mean(sums.a[2])};
    const Vec3d cb{mean(sums.b[0]), mean(sums.b[1]), mean(sums.b[2])};
    // h[j][k] = sum of (w (a - ca))_j (b - cb)_k, each chunk in pair order.
    const Correlation correlation = sum_in_chunks<Correlation>(
        n, kPairChunk,
        [&](std::size_t begin, std::size_t end) {
            Correlation part;
            for (std::size_t i = begin; i < end; ++i) {
                if (!pairs.taken(i)) continue;
                const Vec3d x = pairs.a(i).sub(ca);
                part.add(Weighted ? x.mul(pairs.weight(i)) : x, pairs.b(i).sub(cb));
            }
            return part;
        },
        for_ranges);
    return {rigid_transform(wahba_rotation(correlation.h), ca, cb), ca, cb};
}

// The residual of a fit: the root of sum w(i) |r (a(i) - ca) - (b(i) - cb)|^2
// with r the fit's rotation, the squared distances summed in fixed chunks.
// This is the fit's own residual, measured between the offsets from the
// centroids: it equals sum w |t.apply(a) - b|^2 but for the rounding of
// applying t to coordinates far from the origin.
template <bool Weighted, class Pairs, class ForRanges>
double rigid_residual(std::size_t n, const Pairs& pairs, const RigidFit& fit, const ForRanges& for_ranges) {
    const Quat& r = fit.transform.rotation;
    const SquareSum squares = sum_in_chunks<SquareSum>(
        n, kPairChunk,
        [&](std::size_t begin, std::size_t end) {
            SquareSum part;
            for (std::size_t i = begin; i < end; ++i) {
                if (!pairs.taken(i)) continue;
                const double d2 = r.rotate(pairs.a(i).sub(fit.source_centroid))
                                      .distance_squared(pairs.b(i).sub(fit.target_centroid));
                part.sum = part.sum + (Weighted ? pairs.weight(i) * d2 : d2);
            }
            return part;
        },
        for_ranges);
    return std::sqrt(squares.sum);
}

// ---- Point-to-point ICP

// The key of the largest finite squared distance: correspondences lie at
// finite distances, so points with a NaN or infinite coordinate never
// have one.
inline constexpr std::uint64_t kLargestFiniteKey = kInfinityKey - 1;

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
            if (!kd_detail::finite(q)) {
                c.nearest[i] = c.none;
                continue;
            }
            std::uint64_t bound = limit;
            if (c.found(i)) bound = std::min(bound, distance_key(c.points[i].distance_squared(q)));
            const Neighbour found = tree.nearest(q, bound, c.points[i], c.leaves[i]);
            c.nearest[i] = found.index;
            c.squared[i] = found.squared();
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
    struct Pairs {
        std::span<const Vec3d> moved;
        const Correspondences& c;
        bool taken(std::size_t i) const { return c.found(i); }
        const Vec3d& a(std::size_t i) const { return moved[i]; }
        const Vec3d& b(std::size_t i) const { return c.points[i]; }
        double weight(std::size_t) const { return 1.0; }
    };
    return rigid_align<false>(moved.size(), Pairs{moved, c}, for_ranges).transform;
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
    const KdTree::MortonCode morton(tree);
    std::vector<std::uint64_t> keys(2 * n);
    for_ranges(n, kPairChunk, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) keys[i] = std::uint64_t{morton(t.apply(points[i]))} << 32 | i;
    });
    const std::uint64_t* sorted = kd_detail::sort_by_code(keys.data(), keys.data() + n, n);
    for (std::size_t k = 0; k < n; ++k) out[k] = points[sorted[k] & 0xFFFFFFFF];
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
