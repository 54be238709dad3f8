// Feature matching and RANSAC over matches: the grouped scan against a
// plain one (ties, NaN rows, a last group not full), and RANSAC the same
// bits on cut-up ranges as on one.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "checks.hpp"
#include "feature_ransac.hpp"
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

void matching_cases(Checks& checks) {
    std::mt19937_64 random(5);
    // Few distinct values, so that many distances tie.
    std::uniform_int_distribution<int> level(0, 3);
    for (const std::size_t m : {1u, 7u, 8u, 9u, 61u}) {
        const std::size_t width = 33;
        std::vector<double> a(40 * width), b(m * width);
        for (double& x : a) x = level(random);
        for (double& x : b) x = level(random);
        a[3 * width + 5] = NAN;
        // Columns of very different spreads, so that the order matters.
        for (std::size_t r = 0; r < 40; ++r) a[r * width + 30] *= 1e3;
        const std::vector<std::size_t> order = tessary::column_order(a, b, width);
        checks.expect(order[0] == 30, "the widest column first");
        const std::vector<std::size_t> serial = tessary::nearest_rows(a, b, width, order, tessary::SerialRanges{});
        const std::vector<std::size_t> choppy = tessary::nearest_rows(a, b, width, order, ChoppyRanges{});
        for (std::size_t i = 0; i < 40; ++i) {
            const std::string what = "m " + std::to_string(m) + ", row " + std::to_string(i);
            checks.expect(serial[i] == plain_nearest(a, i, b, width, order), what + ": the plain scan's answer");
            checks.expect(serial[i] == choppy[i], what + ": the same on cut-up ranges");
        }
        checks.expect(serial[3] == m, "a NaN row matches none");
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
    matching_cases(checks);
    ransac_cases(checks);
}

}  // namespace native_tests
