// ICP between two clouds, as three steps that the loop only composes:
//
//   correspond  each source point, moved by the current transform, to its
//               nearest target point within a distance (the k-d tree's
//               answer: exact, ties to the lower index);
//   estimate    an update from the kept pairs: the best rigid transform
//               (point to point, align.hpp), or a Gauss-Newton step of
//               the point-to-plane or generalized (plane-to-plane) error,
//               each pair weighted by a robust kernel (robust_kernel.hpp);
//   compose     that update after the current transform.
//
// Every sum is exact or taken in fixed chunks whose order does not depend
// on how the work is shared out, so the results are the same bits at any
// number of threads. The functions take a `for_ranges(n, grain, body)` as
// the k-d tree does (the worker pool's, or SerialRanges).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "align.hpp"
#include "exact_sum.hpp"
#include "kd_layout.hpp"
#include "kd_results.hpp"
#include "kd_tree.hpp"
#include "morton.hpp"
#include "neighbour.hpp"
#include "normal_equations.hpp"
#include "reduction.hpp"
#include "robust_kernel.hpp"
#include "symmetric_eigen.hpp"
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

// What step 2 gives: the update, and whether the pairs left a motion
// free (the update is then one of many that fit as well). An estimator
// (PointToPoint, PointToPlane, Generalized) has
//   prepare(order)            the loop's order of the source points;
//   set_current(transform)    the transform the moved points are under;
//   estimate(moved, c, centre, for_ranges) -> Estimate.
struct Estimate {
    Transform update;
    bool degenerate = false;
};

// Step 2, point to point. The best rigid transform of the pairs
// (moved[i], the point of its correspondence) where there is one: the
// update that moves the moved points onto their correspondences, each
// pair weighted by the kernel of its distance (unweighted for L2). The
// identity when there are none; degenerate where the rotation is not
// unique (every pair on one line, or a single pair).
struct PointToPoint {
    RobustKernel kernel;

    void prepare(const std::vector<std::size_t>&) {}
    void set_current(const Transform&) {}

    template <class ForRanges>
    Estimate estimate(std::span<const Vec3d> moved, const Correspondences& c, const Vec3d&,
                      const ForRanges& for_ranges) const {
        struct Corresponding {
            std::span<const Vec3d> moved;
            const Correspondences& c;
            const RobustKernel& kernel;
            bool taken(std::size_t i) const { return c.found(i); }
            const Vec3d& a(std::size_t i) const { return moved[i]; }
            const Vec3d& b(std::size_t i) const { return c.points[i]; }
            double weight(std::size_t i) const { return kernel.weight(std::sqrt(c.squared[i])); }
        };
        const Corresponding pairs{moved, c, kernel};
        const RigidFit fit = kernel.kind == KernelKind::kL2 ? rigid_align<false>(moved.size(), pairs, for_ranges)
                                                            : rigid_align<true>(moved.size(), pairs, for_ranges);
        return {fit.transform, !fit.unique};
    }
};

// The update of a linearised step xi = (omega, tau) about the centre c:
// x -> R(omega) (x - c) + c + tau, R(omega) the rotation by |omega| about
// omega, so that the frame of the normal equations is centred on the
// target and a cloud far from the origin is solved as it is at the origin.
inline Transform step_about(const Vector6& xi, const Vec3d& centre) {
    const Quat r = Quat::from_rotation_vector({xi[0], xi[1], xi[2]});
    const Vec3d tau{xi[3], xi[4], xi[5]};
    return {r, centre.sub(r.rotate(centre)).add(tau)};
}

// The normal equations of a linearised estimate summed over the pairs,
// `add(i, x, system)` adding pair i with x the moved point's offset from
// the centre, each chunk in pair order, chunks in chunk order; then
// solved (normal_equations.hpp).
template <class AddPair, class ForRanges>
Estimate linearised_estimate(std::span<const Vec3d> moved, const Correspondences& c, const Vec3d& centre,
                             const AddPair& add, const ForRanges& for_ranges) {
    const NormalEquations system = sum_in_chunks<NormalEquations>(
        moved.size(), kPairChunk,
        [&](std::size_t begin, std::size_t end) {
            NormalEquations part;
            for (std::size_t i = begin; i < end; ++i) {
                if (c.found(i)) add(i, moved[i].sub(centre), part);
            }
            return part;
        },
        for_ranges);
    const Step step = solve_normal_equations(system);
    if (!step.finite) {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {{{nan, nan, nan, nan}, {nan, nan, nan}}, true};
    }
    return {step_about(step.xi, centre), step.rank < 6};
}

// Step 2, point to plane: the step that minimises
// sum w(|r|) r^2 with r = n . (moved - q), q the correspondence and n the
// target's normal there (normals[index of q]); a pair whose normal is not
// finite is left out of the estimate (it still counts as a
// correspondence).
struct PointToPlane {
    RobustKernel kernel;
    std::span<const Vec3d> normals;

    void prepare(const std::vector<std::size_t>&) {}
    void set_current(const Transform&) {}

    template <class ForRanges>
    Estimate estimate(std::span<const Vec3d> moved, const Correspondences& c, const Vec3d& centre,
                      const ForRanges& for_ranges) const {
        auto add = [&](std::size_t i, const Vec3d& x, NormalEquations& system) {
            const Vec3d& n = normals[c.nearest[i]];
            if (!is_finite(n)) return;
            const double r = n.dot(moved[i].sub(c.points[i]));
            const Vec3d turn = x.cross(n);
            system.add_row({turn.x, turn.y, turn.z, n.x, n.y, n.z}, r, kernel.weight(std::fabs(r)));
        };
        return linearised_estimate(moved, c, centre, add, for_ranges);
    }
};

// A symmetric 3x3 matrix as its six distinct entries xx, xy, xz, yy, yz, zz.
using Symmetric3 = std::array<double, 6>;

// Generalized ICP's regularised covariance (plane-to-plane): the
// covariance's eigenvectors with the eigenvalues (kPlaneEpsilon, 1, 1),
// smallest first, so every point is a small disc in its surface; NaN where
// the covariance has a NaN or infinite entry.
inline constexpr double kPlaneEpsilon = 1e-3;

inline Symmetric3 plane_covariance(const Symmetric3& c) {
    const Matrix3 m{{{c[0], c[1], c[2]}, {c[1], c[3], c[4]}, {c[2], c[4], c[5]}}};
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (!all_finite(m)) return {nan, nan, nan, nan, nan, nan};
    const Eigensystem<3> e = symmetric_eigen<3>(m);
    const std::array<double, 3> values{kPlaneEpsilon, 1.0, 1.0};
    Symmetric3 out{};
    constexpr std::size_t row[6] = {0, 0, 0, 1, 1, 2};
    constexpr std::size_t column[6] = {0, 1, 2, 1, 2, 2};
    for (std::size_t k = 0; k < 3; ++k) {
        const std::array<double, 3>& v = e.vectors[k];
        for (std::size_t s = 0; s < 6; ++s) out[s] = out[s] + values[k] * (v[row[s]] * v[column[s]]);
    }
    return out;
}

// Step 2, generalized ICP: the step that minimises
// sum w(d) d^2 with d^2 = e^T M e, e = moved - q and
// M = (C_q + R C_p R^T)^-1, C_p the source point's and C_q the target
// point's regularised covariance and R the current rotation; a pair with a
// NaN covariance, or whose M is not positive, is left out of the
// estimate.
struct Generalized {
    RobustKernel kernel;
    std::span<const Symmetric3> given;   // by source index
    std::span<const Symmetric3> target;  // by target index
    std::vector<Symmetric3> source{};    // in the loop's order of the points
    Matrix3 rotation{};                  // the current transform's map

    void prepare(const std::vector<std::size_t>& order) {
        source.resize(order.size());
        for (std::size_t k = 0; k < order.size(); ++k) source[k] = given[order[k]];
    }
    void set_current(const Transform& t) {
        const Matrix4 m = t.to_matrix();
        for (std::size_t a = 0; a < 3; ++a) {
            for (std::size_t b = 0; b < 3; ++b) rotation[a][b] = m[a][b];
        }
    }

    template <class ForRanges>
    Estimate estimate(std::span<const Vec3d> moved, const Correspondences& c, const Vec3d& centre,
                      const ForRanges& for_ranges) const {
        const Matrix3& r = rotation;
        auto add = [&](std::size_t i, const Vec3d& x, NormalEquations& system) {
            const Symmetric3& p = source[i];
            const Symmetric3& q = target[c.nearest[i]];
            const Matrix3 cp{{{p[0], p[1], p[2]}, {p[1], p[3], p[4]}, {p[2], p[4], p[5]}}};
            // R C_p R^T + C_q
            Matrix3 rc{};
            for (std::size_t a = 0; a < 3; ++a) {
                for (std::size_t b = 0; b < 3; ++b) {
                    rc[a][b] = (r[a][0] * cp[0][b] + r[a][1] * cp[1][b]) + r[a][2] * cp[2][b];
                }
            }
            // Symmetric: the upper triangle, mirrored.
            Matrix3 sum{};
            const Matrix3 cq{{{q[0], q[1], q[2]}, {q[1], q[3], q[4]}, {q[2], q[4], q[5]}}};
            for (std::size_t a = 0; a < 3; ++a) {
                for (std::size_t b = a; b < 3; ++b) {
                    sum[a][b] = ((rc[a][0] * r[b][0] + rc[a][1] * r[b][1]) + rc[a][2] * r[b][2]) + cq[a][b];
                    sum[b][a] = sum[a][b];
                }
            }
            Matrix3 m{};
            if (!inverse_of_positive(sum, m)) return;
            const Vec3d e = moved[i].sub(c.points[i]);
            const std::array<double, 3> ev = e.to_array();
            std::array<double, 3> me{};
            for (std::size_t a = 0; a < 3; ++a) me[a] = (m[a][0] * ev[0] + m[a][1] * ev[1]) + m[a][2] * ev[2];
            const double d2 = (ev[0] * me[0] + ev[1] * me[1]) + ev[2] * me[2];
            const double w = kernel.weight(std::sqrt(std::fmax(d2, 0.0)));
            // J = [-[x]x, I]: the column of omega_a is c_a = e_a x x, with
            // two non-zero entries, so J^T M J and J^T M e are written out:
            // b[a] = M c_a gives the rotation block (c_a . b[b]) and the
            // mixed block (J^T M)_(omega_a, tau_k) = b[a][k]; the
            // translation block is M itself.
            const std::array<double, 3> xs = x.to_array();
            const double x0 = xs[0], x1 = xs[1], x2 = xs[2];
            std::array<std::array<double, 3>, 3> b{};
            for (std::size_t k = 0; k < 3; ++k) {
                b[0][k] = m[k][2] * x1 - m[k][1] * x2;
                b[1][k] = m[k][0] * x2 - m[k][2] * x0;
                b[2][k] = m[k][1] * x0 - m[k][0] * x1;
            }
            // c_a . v for the three columns.
            auto along = [&](std::size_t a, const std::array<double, 3>& v) {
                if (a == 0) return x1 * v[2] - x2 * v[1];
                if (a == 1) return x2 * v[0] - x0 * v[2];
                return x0 * v[1] - x1 * v[0];
            };
            for (std::size_t a = 0; a < 3; ++a) {
                for (std::size_t r = a; r < 3; ++r) system.h[a][r] = system.h[a][r] + w * along(a, b[r]);
                for (std::size_t k = 0; k < 3; ++k) system.h[a][3 + k] = system.h[a][3 + k] + w * b[a][k];
                system.g[a] = system.g[a] + w * along(a, me);
            }
            for (std::size_t k = 0; k < 3; ++k) {
                for (std::size_t r = k; r < 3; ++r) system.h[3 + k][3 + r] = system.h[3 + k][3 + r] + w * m[k][r];
                system.g[3 + k] = system.g[3 + k] + w * me[k];
            }
        };
        return linearised_estimate(moved, c, centre, add, for_ranges);
    }

    // m = a^-1 for a symmetric positive definite a, by its adjugate; false
    // where a is not (a non-positive or non-finite determinant or pivot).
    static bool inverse_of_positive(const Matrix3& a, Matrix3& m) {
        const double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
        const double c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
        const double c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
        const double det = (a[0][0] * c00 + a[0][1] * c01) + a[0][2] * c02;
        if (!(det > 0.0) || !std::isfinite(det) || !(a[0][0] > 0.0) || !(c00 > 0.0)) return false;
        const double c11 = a[0][0] * a[2][2] - a[0][2] * a[2][0];
        const double c12 = a[0][2] * a[1][0] - a[0][0] * a[1][2];
        const double c22 = a[0][0] * a[1][1] - a[0][1] * a[1][0];
        m = {{{c00 / det, c01 / det, c02 / det}, {c01 / det, c11 / det, c12 / det}, {c02 / det, c12 / det, c22 / det}}};
        return true;
    }
};

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

// Why the loop stopped: the fitness and the inlier RMSE settled (the one
// success), max_iterations ran out, or a failure: no correspondence, a
// transform that is not finite, or a last estimate that left a motion
// unconstrained (its step taken as solve_normal_equations documents).
enum class IcpStatus { kConverged, kMaxIterations, kNoCorrespondences, kNonFinite, kDegenerate, kNoPose };

struct IcpResult {
    Transform transform;
    Matches matches;
    std::size_t iterations = 0;
    bool converged = false;
    IcpStatus status = IcpStatus::kMaxIterations;
};

// The points in the order of their Morton codes over the tree's box, so
// that consecutive points search the same nodes and leaves and their
// state is read in order: a point's place in the order only changes the
// order of the floating-point sums of the estimate, by a rule that does
// not depend on the number of threads.
// `order[k]` is the index in `points` of the k-th point of the order.
template <class ForRanges>
std::vector<Vec3d> in_morton_order(const KdTree& tree, std::span<const Vec3d> points, const Transform& t,
                                   std::vector<std::size_t>& order, const ForRanges& for_ranges) {
    const std::size_t n = points.size();
    std::vector<Vec3d> out(points.begin(), points.end());
    order.resize(n);
    for (std::size_t k = 0; k < n; ++k) order[k] = k;
    if (n < 2 || n > 0xFFFFFFFF) return out;
    const MortonCode morton = tree.morton_code();
    std::vector<std::uint64_t> keys(2 * n);
    for_ranges(n, kPairChunk, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) keys[i] = morton_key(morton(t.apply(points[i])), i);
    });
    const std::uint64_t* sorted = sort_by_code(keys.data(), keys.data() + n, n);
    for (std::size_t k = 0; k < n; ++k) {
        order[k] = position_of(sorted[k]);
        out[k] = points[order[k]];
    }
    return out;
}

// The exact mean of the correspondences' target points, rounded once: the
// centre of the frame of the linearised estimates, fixed for a run.
template <class ForRanges>
Vec3d centre_of(const Correspondences& c, const ForRanges& for_ranges) {
    struct Sums {
        std::array<ExactSum, 3> xyz{};
        std::uint64_t count = 0;
        Sums operator+(const Sums& other) const {
            Sums out = *this;
            for (std::size_t j = 0; j < 3; ++j) out.xyz[j].merge(other.xyz[j]);
            out.count += other.count;
            return out;
        }
    };
    const Sums sums = sum_in_chunks<Sums>(
        c.nearest.size(), kExactChunk,
        [&](std::size_t begin, std::size_t end) {
            Sums part;
            for (std::size_t i = begin; i < end; ++i) {
                if (!c.found(i)) continue;
                const std::array<double, 3> p = c.points[i].to_array();
                for (std::size_t j = 0; j < 3; ++j) part.xyz[j].add(p[j]);
                ++part.count;
            }
            return part;
        },
        for_ranges);
    if (sums.count == 0) return Vec3d::zero();
    auto mean = [&](const ExactSum& sum) { return sum.value().divided_rounded(sums.count); };
    return {mean(sums.xyz[0]), mean(sums.xyz[1]), mean(sums.xyz[2])};
}

inline bool is_finite(const Transform& t) {
    const Quat& q = t.rotation;
    return std::isfinite(q.w) && std::isfinite(q.i) && std::isfinite(q.j) && std::isfinite(q.k) &&
           is_finite(t.translation);
}

// ICP of `source` onto the points of `tree` from `initial` (a unit
// rotation), as Open3D's registration_icp runs it: the correspondences of
// the initial transform are found first; then each iteration estimates an
// update from them (`estimator`: PointToPoint, PointToPlane or
// Generalized), composes it, and finds the correspondences of the new
// transform; the loop stops when both the fitness and the inlier RMSE
// changed by less than their tolerances (strictly), or after
// max_iterations. The result is the last transform with its matches. A
// run that finds no correspondence stops there (no_correspondences); an
// update that would make the transform NaN or infinite is not taken
// (non_finite, the transform before it kept); a run whose last estimate
// was degenerate reports that in place of converged or max_iterations.
// `prepare(order)` tells the estimator the order of the source points
// the loop uses (order[k] the index in `source` of its k-th point).
template <class Estimator, class ForRanges>
IcpResult icp(std::span<const Vec3d> source, const KdTree& tree, const Transform& initial, const IcpSettings& settings,
              Estimator& estimator, const ForRanges& for_ranges) {
    std::vector<std::size_t> order;
    const std::vector<Vec3d> points = in_morton_order(tree, source, initial, order, for_ranges);
    estimator.prepare(order);
    std::vector<Vec3d> moved(points.size());
    Correspondences c(points.size(), tree.size());
    const std::uint64_t limit = std::min(settings.limit, kLargestFiniteKey);
    IcpResult result{initial, {}, 0, false, IcpStatus::kMaxIterations};
    move_points(points, result.transform, moved.data(), for_ranges);
    result.matches = correspond(tree, moved, limit, c, for_ranges);
    const Vec3d centre = centre_of(c, for_ranges);
    bool degenerate = false;
    while (result.iterations < settings.max_iterations) {
        const Matches before = result.matches;
        if (before.count == 0) {
            result.status = IcpStatus::kNoCorrespondences;
            break;
        }
        estimator.set_current(result.transform);
        const Estimate step = estimator.estimate(moved, c, centre, for_ranges);
        const Transform next = compose(step.update, result.transform);
        if (!is_finite(next)) {
            result.status = IcpStatus::kNonFinite;
            break;
        }
        degenerate = step.degenerate;
        result.transform = next;
        move_points(points, result.transform, moved.data(), for_ranges);
        result.matches = correspond(tree, moved, limit, c, for_ranges);
        ++result.iterations;
        if (std::fabs(before.fitness - result.matches.fitness) < settings.relative_fitness &&
            std::fabs(before.inlier_rmse - result.matches.inlier_rmse) < settings.relative_rmse) {
            result.status = IcpStatus::kConverged;
            break;
        }
    }
    if (result.status == IcpStatus::kConverged || result.status == IcpStatus::kMaxIterations) {
        if (result.matches.count == 0) {
            result.status = IcpStatus::kNoCorrespondences;
        } else if (degenerate) {
            result.status = IcpStatus::kDegenerate;
        }
    }
    result.converged = result.status == IcpStatus::kConverged;
    return result;
}

}  // namespace tessary
