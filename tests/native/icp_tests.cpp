// ICP's three steps (registration.hpp), each alone, and the loop that
// composes them:
//   correspond  against a scan of every target point (ties to the lower
//               index), cold and started from hints right or wrong;
//   estimate    on correspondences given by hand, only those found counting;
//   compose     the update after the current transform, normalised;
//   icp         a known motion recovered, the same bits however the work
//               is cut;
//   the linearised estimates' normal equations, solved with and without a
//   free direction, and the plane-to-plane covariance.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "checks.hpp"
#include "exact_sum.hpp"
#include "kd_tree.hpp"
#include "registration.hpp"

namespace native_tests {
namespace {

using tessary::Correspondences;
using tessary::KdTree;
using tessary::Quat;
using tessary::Transform;
using tessary::Vec3d;

// Points on a grid of hundredths, so that distances tie.
std::vector<Vec3d> on_grid(std::size_t n, double lo, double hi, std::uint64_t seed) {
    std::vector<Vec3d> points = uniform_points(n, lo, hi, seed);
    for (Vec3d& p : points) p = {std::round(p.x * 100) / 100, std::round(p.y * 100) / 100, std::round(p.z * 100) / 100};
    return points;
}

bool same(const Correspondences& a, const Correspondences& b) {
    for (std::size_t i = 0; i < a.nearest.size(); ++i) {
        if (a.nearest[i] != b.nearest[i]) return false;
        if (a.found(i) && (a.squared[i] != b.squared[i] || !same_bits(a.points[i], b.points[i]))) return false;
    }
    return true;
}

void check_correspond(Checks& checks, std::size_t n_target, std::size_t n_moved, double radius, std::uint64_t seed) {
    const std::vector<Vec3d> target = on_grid(n_target, 0, 1, seed);
    std::vector<Vec3d> moved = on_grid(n_moved, -0.1, 1.1, seed + 1);
    for (std::size_t i = 0; i < 2 && i < n_target && i < n_moved; ++i) moved[i] = target[i];
    if (n_moved > 3) moved[3].x = std::numeric_limits<double>::infinity();
    const KdTree tree(target);
    const std::uint64_t limit = std::min(tessary::within_key(radius), tessary::kLargestFiniteKey);
    Correspondences cold(n_moved, tree.size());
    const tessary::Matches matches = tessary::correspond(tree, moved, limit, cold, tessary::SerialRanges{});
    const std::string label = std::to_string(n_target) + " targets within " + std::to_string(radius);
    bool ok = true;
    std::size_t count = 0;
    tessary::ExactSum squares;
    for (std::size_t i = 0; i < n_moved; ++i) {
        tessary::Neighbour best{n_target, limit};
        if (tessary::is_finite(moved[i])) {
            for (std::size_t t = 0; t < n_target; ++t) {
                const tessary::Neighbour candidate = tessary::ranked(target[t], t, moved[i]);
                if (tessary::precedes(candidate, best)) best = candidate;
            }
        }
        const bool found = best.index != n_target;
        count += found;
        if (found) squares.add(best.squared());
        ok = ok && cold.nearest[i] == best.index &&
             (!found || (cold.squared[i] == best.squared() && same_bits(cold.points[i], target[best.index])));
    }
    checks.expect(ok, "correspondences against a scan, " + label);
    const double rmse = count == 0 ? 0.0 : std::sqrt(squares.value().divided_rounded(count));
    checks.expect(matches.count == count &&
                      same_bits(matches.fitness, count == 0 ? 0.0 : static_cast<double>(count) / n_moved) &&
                      same_bits(matches.inlier_rmse, rmse),
                  "the matches' count, fitness and inlier RMSE, " + label);
    // Warm starts: the answers themselves, and hints from other points and
    // leaves (a bound that is too wide); in scattered ranges.
    Correspondences warm = cold;
    tessary::correspond(tree, moved, limit, warm, ChoppyRanges{});
    Correspondences wrong(n_moved, tree.size());
    for (std::size_t i = 0; i < n_moved && n_target != 0; ++i) {
        const std::size_t j = (i * 7919) % n_target;
        wrong.nearest[i] = j;
        wrong.points[i] = target[j];
        wrong.leaves[i] = (i * 31) % 97;
    }
    tessary::correspond(tree, moved, limit, wrong, tessary::SerialRanges{});
    checks.expect(same(cold, warm) && same(cold, wrong), "correspondences from hints, " + label);
}

}  // namespace

void icp_tests(Checks& checks) {
    check_correspond(checks, 0, 5, 1.0, 1);
    check_correspond(checks, 1, 4, 0.5, 2);
    check_correspond(checks, 300, 200, 0.05, 3);
    check_correspond(checks, 300, 200, 0.3, 4);
    check_correspond(checks, 500, 100, 1e300, 5);

    // Estimate: the update that moves each moved point onto the point of
    // its correspondence; points without one do not count.
    const Transform motion{Quat{0.99, 0.05, -0.1, 0.02}.normalize(), {0.3, -0.2, 0.1}};
    const std::vector<Vec3d> moved = uniform_points(1000, -2, 2, 31);
    Correspondences given(moved.size(), moved.size());
    for (std::size_t i = 0; i < moved.size(); ++i) {
        given.nearest[i] = i % 10 == 0 ? given.none : i;
        given.points[i] = i % 10 == 0 ? Vec3d{1e6, 1e6, 1e6} : motion.apply(moved[i]);
    }
    const Transform update = tessary::PointToPoint{}.estimate(moved, given, Vec3d::zero(), tessary::SerialRanges{}).update;
    checks.expect(update.apply(moved[5]).distance_to(motion.apply(moved[5])) < 1e-12,
                  "estimate: the motion of the pairs found");
    Correspondences nothing(moved.size(), moved.size());
    checks.expect(tessary::PointToPoint{}.estimate(moved, nothing, Vec3d::zero(), tessary::SerialRanges{}).update.approx_eq(Transform::identity()),
                  "estimate without correspondences: the identity");

    // Compose: the update after the current transform, its rotation
    // normalised.
    const Transform current{Quat{0.0, 0.0, 0.0, 3.0}, {1, 2, 3}};
    const Transform composed = tessary::compose(motion, current);
    const Transform product = motion.mul(current);
    checks.expect(std::fabs(composed.rotation.magnitude() - 1.0) < 1e-15 &&
                      composed.rotation.approx_eq(product.rotation.normalize()) &&
                      same_bits(composed.translation, product.translation),
                  "compose: the product, its rotation normalised");

    // The loop: a cloud and a copy moved by a small motion.
    const std::vector<Vec3d> target = uniform_points(4000, 0, 10, 41);
    const Transform small{Quat{1.0, 0.01, 0.005, -0.008}.normalize(), {0.05, -0.04, 0.03}};
    std::vector<Vec3d> source(target.size());
    const Transform back = small.inverse();
    for (std::size_t i = 0; i < target.size(); ++i) source[i] = back.apply(target[i]);
    const KdTree tree(target);
    const tessary::IcpSettings settings{tessary::within_key(1.0), 50, 1e-12, 1e-12};
    tessary::PointToPoint point_to_point{};
    const tessary::IcpResult result =
        tessary::icp(source, tree, Transform::identity(), settings, point_to_point, tessary::SerialRanges{});
    checks.expect(result.matches.fitness == 1.0 && result.matches.inlier_rmse < 1e-9 &&
                      result.transform.apply(source[7]).distance_to(target[7]) < 1e-9,
                  "icp recovers a small motion");
    const tessary::IcpResult pieces = tessary::icp(source, tree, Transform::identity(), settings, point_to_point, ChoppyRanges{});
    checks.expect(pieces.iterations == result.iterations &&
                      same_bits(pieces.transform.translation, result.transform.translation) &&
                      same_bits(pieces.transform.rotation.w, result.transform.rotation.w) &&
                      same_bits(pieces.transform.rotation.k, result.transform.rotation.k),
                  "icp in pieces: the same bits");

    // The normal equations: a full system solved exactly; a system with a
    // free direction (translation along x never constrained) gives no step
    // along it, the others as if it were not there; a NaN entry, no step.
    tessary::NormalEquations full;
    const tessary::Vector6 xi_true{0.01, -0.02, 0.03, 0.5, -0.25, 0.125};
    for (std::size_t a = 0; a < 6; ++a) {
        tessary::Vector6 row{};
        row[a] = 1.0 + static_cast<double>(a);
        row[(a + 1) % 6] = 0.5;
        double r = 0.0;
        for (std::size_t b = 0; b < 6; ++b) r = r - row[b] * xi_true[b];
        full.add_row(row, r, 1.0);
    }
    const tessary::Step solved = tessary::solve_normal_equations(full);
    bool exact = solved.rank == 6 && solved.finite;
    for (std::size_t a = 0; a < 6; ++a) exact = exact && std::fabs(solved.xi[a] - xi_true[a]) < 1e-14;
    checks.expect(exact, "normal equations: a full system solved");
    tessary::NormalEquations free_x;
    for (std::size_t a = 0; a < 6; ++a) {
        if (a == 3) continue;
        tessary::Vector6 row{};
        row[a] = 2.0;
        free_x.add_row(row, -2.0 * xi_true[a], 1.0);
    }
    const tessary::Step partial = tessary::solve_normal_equations(free_x);
    bool free_ok = partial.rank == 5 && partial.xi[3] == 0.0;
    for (std::size_t a = 0; a < 6; ++a) free_ok = free_ok && (a == 3 || std::fabs(partial.xi[a] - xi_true[a]) < 1e-15);
    checks.expect(free_ok, "normal equations: no step along a free direction");
    tessary::NormalEquations spoiled = full;
    spoiled.h[0][2] = std::numeric_limits<double>::quiet_NaN();
    const tessary::Step none = tessary::solve_normal_equations(spoiled);
    checks.expect(!none.finite && none.rank == 0 && none.xi[0] == 0.0, "normal equations: a NaN entry, no step");

    // The plane-to-plane covariance keeps the eigenvectors and replaces the
    // eigenvalues by (1e-3, 1, 1): a flat neighbourhood in z gives
    // diag(1, 1, 1e-3).
    const tessary::Symmetric3 disc = tessary::plane_covariance({4.0, 0.0, 0.0, 2.0, 0.0, 1e-6});
    checks.expect(std::fabs(disc[0] - 1.0) < 1e-15 && std::fabs(disc[3] - 1.0) < 1e-15 &&
                      std::fabs(disc[5] - 1e-3) < 1e-15 && disc[1] == 0.0 && disc[2] == 0.0 && disc[4] == 0.0,
                  "plane covariance: eigenvalues (1e-3, 1, 1)");
}

}  // namespace native_tests
