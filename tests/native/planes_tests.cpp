// RANSAC planes: the blocked count against the test applied to every
// point (random planes, planes through the cloud's own points and points
// placed a rounding either side of the distance), distinct samples, the
// stopping rule against its logarithmic form, and the search the same on
// cut-up ranges.
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "checks.hpp"
#include "plane_ransac.hpp"
#include "reduction.hpp"

namespace native_tests {
namespace {

using tessary::CentredPlane;
using tessary::ScoringCloud;
using tessary::Vec3d;

std::size_t plain_count(const std::vector<Vec3d>& points, const ScoringCloud& cloud, const CentredPlane& plane,
                        double distance) {
    std::size_t n = 0;
    for (const Vec3d& p : points) n += tessary::within(plane, cloud.centred(p), distance) ? 1 : 0;
    return n;
}

// Points on a few surfaces, with a shift (the map frame) and NaN rows.
std::vector<Vec3d> surfaces(std::size_t n, const Vec3d& shift, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 0.005);
    std::vector<Vec3d> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double a = 10.0 * u(random), b = 8.0 * u(random);
        Vec3d p = i % 3 == 0 ? Vec3d{a, b, 0.0} : i % 3 == 1 ? Vec3d{0.0, b, 0.3 * a} : Vec3d{a, 8.0, 0.3 * b};
        p = {p.x + noise(random) + shift.x, p.y + noise(random) + shift.y, p.z + noise(random) + shift.z};
        out[i] = p;
    }
    out[n / 2] = {std::nan(""), 1.0, 2.0};
    out[n / 3] = {1.0, INFINITY, 2.0};
    return out;
}

void count_cases(Checks& checks) {
    for (const Vec3d shift : {Vec3d{0.0, 0.0, 0.0}, Vec3d{512000.0, 5430000.0, 231.0}}) {
        const std::vector<Vec3d> points = surfaces(20000, shift, 7);
        const ScoringCloud serial(points, tessary::SerialRanges{});
        const ScoringCloud choppy(points, ChoppyRanges{});
        std::mt19937_64 random(11);
        std::uniform_int_distribution<std::size_t> pick(0, points.size() - 1);
        std::normal_distribution<double> g(0.0, 1.0);
        for (int k = 0; k < 300; ++k) {
            CentredPlane plane;
            if (k % 2 == 0) {
                // Through three of the points, as RANSAC draws them.
                const auto s = tessary::distinct_triple(5, 0, static_cast<std::uint64_t>(k), points.size());
                const auto sampled = tessary::sample_plane(serial.centred(points[s[0]]), serial.centred(points[s[1]]),
                                                           serial.centred(points[s[2]]));
                if (!sampled) continue;
                plane = *sampled;
            } else {
                const Vec3d n = Vec3d{g(random), g(random), g(random)}.normalize();
                plane = {n, 3.0 * g(random)};
            }
            for (const double distance : {0.001, 0.02, 0.3, 5.0}) {
                const std::size_t expected = plain_count(points, serial, plane, distance);
                checks.expect(serial.count_within(plane, distance) == expected, "blocked count, plane " +
                              text(plane.normal) + " distance " + std::to_string(distance));
                checks.expect(choppy.count_within(plane, distance) == expected, "blocked count on cut-up ranges");
            }
        }
    }
    // Points a few roundings either side of the distance from z = 0: blocks
    // wholly inside or outside by less than their margin are tested point
    // by point.
    std::vector<Vec3d> edge;
    const double distance = 0.02;
    for (int i = 0; i < 4096; ++i) {
        double z = distance;
        for (int s = 0; s < i % 5; ++s) z = std::nextafter(z, i % 2 == 0 ? 1.0 : 0.0);
        edge.push_back({0.001 * (i % 64), 0.001 * (i / 64), (i % 3 == 0 ? -1.0 : 1.0) * z});
    }
    const ScoringCloud cloud(edge, tessary::SerialRanges{});
    for (const double offset : {0.0, 1e-17, -1e-17, 0.02, -0.02}) {
        const CentredPlane plane{{0.0, 0.0, 1.0}, offset - cloud.centre().z};
        checks.expect(cloud.count_within(plane, distance) == plain_count(edge, cloud, plane, distance),
                      "count at the edge of the distance, offset " + std::to_string(offset));
    }
}

void sample_cases(Checks& checks) {
    std::set<std::array<std::size_t, 3>> seen;
    for (std::uint64_t t = 0; t < 2000; ++t) {
        for (const std::size_t n : {std::size_t{3}, std::size_t{4}, std::size_t{1000}}) {
            const auto s = tessary::distinct_triple(1, 2, t, n);
            const bool ok = s[0] < n && s[1] < n && s[2] < n && s[0] != s[1] && s[0] != s[2] && s[1] != s[2];
            checks.expect(ok, "distinct indices below " + std::to_string(n));
            if (n == 3) seen.insert(s);
        }
    }
    checks.expect(seen.size() == 6, "every ordering of three points drawn");
    checks.expect(tessary::distinct_triple(1, 2, 3, 1000) != tessary::distinct_triple(1, 3, 3, 1000) ||
                      tessary::distinct_triple(1, 2, 4, 1000) != tessary::distinct_triple(1, 3, 4, 1000),
                  "streams draw apart");
    // Degenerate samples: coincident, collinear, nearly collinear, NaN.
    const Vec3d o{0.0, 0.0, 0.0}, x{1.0, 0.0, 0.0}, y{0.0, 1.0, 0.0};
    checks.expect(!tessary::sample_plane(o, o, y), "coincident points");
    checks.expect(!tessary::sample_plane(o, x, {2.0, 0.0, 0.0}), "collinear points");
    checks.expect(!tessary::sample_plane(o, x, {2.0, 1e-13, 0.0}), "nearly collinear points");
    checks.expect(!tessary::sample_plane(o, x, {std::nan(""), 1.0, 0.0}), "a NaN point");
    checks.expect(tessary::sample_plane(o, x, {2.0, 1e-5, 0.0}).has_value(), "a thin triangle");
}

void confidence_cases(Checks& checks) {
    for (const double w : {0.05, 0.2, 0.5, 0.9}) {
        for (const double c : {0.5, 0.9, 0.99, 0.999999}) {
            const double needed = std::log(1.0 - c) / std::log(1.0 - w * w * w);
            const auto inliers = static_cast<std::size_t>(w * 1000.0);
            for (std::uint64_t k = 1; k < 100000; k = k * 3 / 2 + 1) {
                // Away from the boundary the two forms agree.
                if (std::fabs(static_cast<double>(k) - needed) < 1e-6 * needed + 1.0) continue;
                checks.expect(tessary::confidence_reached(inliers, 1000, k, c) == (static_cast<double>(k) >= needed),
                              "stopping rule at k = " + std::to_string(k));
            }
        }
    }
    checks.expect(tessary::confidence_reached(10, 10, 1, 0.999999), "every point an inlier: one sample suffices");
}

void search_cases(Checks& checks) {
    const std::vector<Vec3d> points = surfaces(5000, {512000.0, 5430000.0, 231.0}, 3);
    for (const bool adaptive : {false, true}) {
        tessary::RansacSettings settings{0.02, 300, std::nullopt, 9, 0};
        if (adaptive) settings.confidence = 0.99;
        const ScoringCloud a(points, tessary::SerialRanges{});
        const ScoringCloud b(points, ChoppyRanges{});
        const auto x = tessary::ransac_plane(points, a, settings, tessary::SerialRanges{});
        const auto y = tessary::ransac_plane(points, b, settings, ChoppyRanges{});
        const bool same = x.best && y.best && same_bits(x.best->normal, y.best->normal) &&
                          same_bits(x.best->offset, y.best->offset) && x.inliers == y.inliers &&
                          x.best_trial == y.best_trial && x.iterations == y.iterations;
        checks.expect(same, adaptive ? "adaptive search on cut-up ranges" : "search on cut-up ranges");
        if (adaptive) checks.expect(x.iterations < 300 && x.iterations % tessary::kPlaneTrialBlock == 0, "adaptive stop");
    }
}

}  // namespace

void plane_tests(Checks& checks) {
    count_cases(checks);
    sample_cases(checks);
    confidence_cases(checks);
    search_cases(checks);
}

}  // namespace native_tests
