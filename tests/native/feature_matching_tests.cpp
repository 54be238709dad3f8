// Features and matching: FPFH the same bits whether the neighbours of the
// first pass are kept or searched again, on cut-up ranges and at map
// coordinates; the feature tree against a plain scan (ties, NaN and
// infinite rows, a last group not full, trees of many leaves); RANSAC the
// same bits on cut-up ranges as on one.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "checks.hpp"
#include "feature_ransac.hpp"
#include "fpfh.hpp"
#include "kd_tree.hpp"
#include "neighbour.hpp"
#include "reduction.hpp"

namespace native_tests {
namespace {

std::size_t plain_nearest(const std::vector<double>& a, std::size_t i, const std::vector<double>& b, std::size_t width,
                          const std::vector<std::size_t>& order) {
    const std::size_t m = b.size() / width;
    std::size_t at = m;
    double least = INFINITY;
    for (std::size_t j = 0; j < m; ++j) {
        double sum = 0.0;
        for (std::size_t f = 0; f < width; ++f) {
            const double d = a[i * width + order[f]] - b[j * width + order[f]];
            sum = sum + d * d;
        }
        if (sum < least) {
            least = sum;
            at = j;
        }
    }
    return at;
}

void fpfh_cases(Checks& checks) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> u(0.0, 4.0);
    for (const tessary::Vec3d shift : {tessary::Vec3d{0, 0, 0}, tessary::Vec3d{512000.0, 5430000.0, 231.0}}) {
        // A wavy surface with its exact normals, a few of them NaN, and a
        // few points twice (neighbours at distance 0).
        std::vector<tessary::Vec3d> points, normals;
        for (std::size_t i = 0; i < 700; ++i) {
            const double x = u(random), y = u(random);
            const tessary::Vec3d n{-0.5 * std::cos(2 * x), -0.4 * std::sin(3 * y), 1.0};
            points.push_back(tessary::Vec3d{x, y, 0.25 * std::sin(2 * x) - 0.4 / 3 * std::cos(3 * y)}.add(shift));
            normals.push_back(i % 97 == 5 ? tessary::Vec3d{NAN, 0, 1} : n.div(n.magnitude()));
        }
        for (std::size_t i = 0; i < 5; ++i) {
            points.push_back(points[i * 31]);
            normals.push_back(normals[i * 31]);
        }
        const tessary::KdTree tree(points);
        const std::uint64_t limit = tessary::within_key(0.6);
        const std::size_t width = tessary::kFpfhWidth;
        std::vector<double> kept(points.size() * width), cut(kept.size()), searched(kept.size(), 7.0);
        tessary::fpfh_features(tree, points, normals, 40, limit, kept.data(), tessary::SerialRanges{});
        tessary::fpfh_features(tree, points, normals, 40, limit, cut.data(), ChoppyRanges{});
        tessary::fpfh_features(tree, points, normals, 40, limit, searched.data(), ChoppyRanges{}, 0);
        bool same_cut = true, same_searched = true, any = false;
        for (std::size_t f = 0; f < kept.size(); ++f) {
            same_cut = same_cut && same_bits(kept[f], cut[f]);
            same_searched = same_searched && same_bits(kept[f], searched[f]);
            any = any || kept[f] != 0.0;
        }
        const std::string where = shift.x == 0 ? "near the origin" : "at map coordinates";
        checks.expect(any, where + ": features found");
        checks.expect(same_cut, where + ": the same bits on cut-up ranges");
        checks.expect(same_searched, where + ": the same bits with the neighbours searched again");
        double total = 0.0;
        for (std::size_t f = 0; f < tessary::kFpfhBins; ++f) total += kept[f];
        checks.expect(std::fabs(total - 200.0) < 1e-9, where + ": a histogram sums to 200");
        bool zeros = true;
        for (std::size_t f = 0; f < width; ++f) zeros = zeros && kept[5 * width + f] == 0.0;
        checks.expect(zeros, where + ": a NaN normal's row is zeros");
    }
}

void matching_cases(Checks& checks) {
    std::mt19937_64 random(5);
    // Few distinct values, so that many distances tie.
    std::uniform_int_distribution<int> level(0, 3);
    for (const std::size_t m : {1u, 7u, 8u, 9u, 61u, 700u}) {
        const std::size_t width = 33;
        std::vector<double> a(40 * width), b(m * width);
        for (double& x : a) x = level(random);
        for (double& x : b) x = level(random);
        a[3 * width + 5] = NAN;
        a[4 * width + 7] = INFINITY;
        // Columns of very different spreads, so that the order matters.
        for (std::size_t r = 0; r < 40; ++r) a[r * width + 30] *= 1e3;
        // Rows never nearest: one with a NaN, one with an infinity, where
        // a query's nearest would otherwise be.
        if (m > 9) {
            for (std::size_t f = 0; f < width; ++f) b[2 * width + f] = b[5 * width + f] = a[f];
            b[2 * width + 11] = NAN;
            b[5 * width + 12] = -INFINITY;
        }
        const std::vector<std::size_t> order = tessary::column_order(a, b, width);
        checks.expect(order[0] == 30, "the widest column first");
        const std::vector<std::size_t> serial = tessary::nearest_rows(a, b, width, order, tessary::SerialRanges{});
        const std::vector<std::size_t> choppy = tessary::nearest_rows(a, b, width, order, ChoppyRanges{});
        for (std::size_t i = 0; i < 40; ++i) {
            const std::string what = "m " + std::to_string(m) + ", row " + std::to_string(i);
            checks.expect(serial[i] == plain_nearest(a, i, b, width, order), what + ": the plain scan's answer");
            checks.expect(serial[i] == choppy[i], what + ": the same on cut-up ranges");
        }
        checks.expect(serial[3] == m && serial[4] == m, "a NaN or infinite row matches none");
    }
    // Rows in clusters of continuous values, as features are: the tree
    // passes over most leaves, and must never pass over the nearest.
    std::normal_distribution<double> spread(0.0, 1.0);
    for (const std::size_t width : {3u, 8u, 33u}) {
        const std::size_t m = 3000, n = 300;
        std::vector<double> centres(20 * width), a(n * width), b(m * width);
        for (double& x : centres) x = 40.0 * spread(random);
        auto fill = [&](std::vector<double>& rows, std::size_t count) {
            for (std::size_t r = 0; r < count; ++r) {
                const std::size_t c = r % 20;
                for (std::size_t f = 0; f < width; ++f) rows[r * width + f] = centres[c * width + f] + (f + 1) * spread(random);
            }
        };
        fill(a, n);
        fill(b, m);
        // Some rows twice: equal distances, the lower index wins.
        for (std::size_t r = 0; r < 50; ++r) {
            for (std::size_t f = 0; f < width; ++f) b[(m - 1 - r) * width + f] = b[(r * 7) * width + f];
        }
        for (std::size_t f = 0; f < width; ++f) a[f] = b[(m - 1) * width + f];
        const std::vector<std::size_t> order = tessary::column_order(a, b, width);
        const std::vector<std::size_t> got = tessary::nearest_rows(a, b, width, order, ChoppyRanges{});
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < n; ++i) wrong += got[i] != plain_nearest(a, i, b, width, order);
        checks.expect(wrong == 0, "width " + std::to_string(width) + ": " + std::to_string(wrong) +
                                      " of the clustered rows differ from the plain scan");
        checks.expect(got[0] == 0, "width " + std::to_string(width) + ": a tie to the lower index");
    }
}

void ransac_cases(Checks& checks) {
    std::mt19937_64 random(9);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    const tessary::Transform motion{tessary::Quat{0.9, 0.1, -0.3, 0.2}.direction(), {0.5, -0.2, 0.1}};
    for (const tessary::Vec3d shift : {tessary::Vec3d{0, 0, 0}, tessary::Vec3d{512000.0, 5430000.0, 231.0}}) {
        std::vector<tessary::Vec3d> source(300), target(300);
        std::vector<tessary::FeatureMatch> matches;
        for (std::size_t i = 0; i < 300; ++i) {
            const tessary::Vec3d p{u(random), u(random), u(random)};
            source[i] = p.add(shift);
            target[i] = motion.apply(p).add(shift);
            matches.push_back({i, i % 2 == 0 ? i : (i * 7 + 3) % 300});
        }
        const tessary::FeatureRansacSettings settings{5000, 0.999, 3, 0.9, 0.01};
        const tessary::IcpResult one = tessary::feature_ransac(source, target, matches, settings, tessary::SerialRanges{});
        const tessary::IcpResult cut = tessary::feature_ransac(source, target, matches, settings, ChoppyRanges{});
        checks.expect(one.status == tessary::IcpStatus::kConverged, "converged");
        checks.expect(one.matches.count == 150, "the right half of the matches are the inliers");
        checks.expect(one.iterations == cut.iterations && same_bits(one.transform.translation.x, cut.transform.translation.x) &&
                          same_bits(one.transform.rotation.w, cut.transform.rotation.w) &&
                          same_bits(one.matches.inlier_rmse, cut.matches.inlier_rmse),
                      "the same bits on cut-up ranges");
        // The motion about the shift: x -> R (x - shift) + t + shift.
        const tessary::Vec3d probe = shift.add({1.0, 1.0, 1.0});
        const tessary::Vec3d want = motion.apply({1.0, 1.0, 1.0}).add(shift);
        checks.expect(one.transform.apply(probe).distance_to(want) < 1e-6, "the known motion");
    }
}

}  // namespace

void feature_matching_tests(Checks& checks) {
    fpfh_cases(checks);
    matching_cases(checks);
    ransac_cases(checks);
}

}  // namespace native_tests
