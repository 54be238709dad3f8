// The alignments (align.hpp): known rotations and rigid motions
// recovered, at the origin and at map coordinates, with and without
// weights; the degenerate inputs' documented answers; the same bits
// however the work is cut; and the means of a few pairs, taken from
// integers, the exact sums' to the last bit.
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "align.hpp"
#include "checks.hpp"
#include "quat.hpp"
#include "transform.hpp"

namespace native_tests {
namespace {

using tessary::PointPairs;
using tessary::Quat;
using tessary::Transform;
using tessary::Vec3d;

// The largest difference of two unit quaternions' components, up to their
// common sign: about half the angle between the rotations.
double rotation_error(const Quat& a, const Quat& b) {
    const double s = a.dot(b) < 0.0 ? -1.0 : 1.0;
    return std::fmax(std::fmax(std::fabs(a.w - s * b.w), std::fabs(a.i - s * b.i)),
                     std::fmax(std::fabs(a.j - s * b.j), std::fabs(a.k - s * b.k)));
}

// few_exact_mean against an exact sum's mean, and the fit of a few pairs
// (those means) against the weighted fit with unit weights (exact sums).
void few_pairs_cases(Checks& checks) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double tiny = std::numeric_limits<double>::denorm_min();
    struct Case {
        const char* name;
        std::vector<double> values;
        bool taken;  // whether the integers hold the sum
    };
    const std::vector<Case> cases = {
        {"one value", {0.1}, true},
        {"a third of just above three", {1.0, 2.0, 0x1p-52}, true},
        {"map coordinates", {5430000.123, 5430000.7, 5429999.9}, true},
        {"cancelling to zero", {1e300, -1e300}, true},
        {"zeros of both signs", {0.0, -0.0, 0.0}, true},
        {"subnormals", {tiny, 3 * tiny, -tiny}, true},
        {"negative", {-1.5, -2.25, -0x1p-60}, true},
        {"exponents 70 apart", {1.0, 0x1p-70}, true},
        {"exponents 71 apart", {1.0, 0x1p-71}, false},
        {"eight values", {1, 2, 3, 4, 5, 6, 7, 8.5}, true},
        {"an infinity", {1.0, inf}, false},
        {"a NaN", {1.0, std::nan("")}, false},
    };
    auto exact_mean = [](const std::vector<double>& values) {
        tessary::ExactSum sum;
        for (double v : values) sum.add(v);
        return sum.value().divided_rounded(values.size());
    };
    for (const Case& c : cases) {
        double mean = 7.0;
        const bool taken = tessary::few_exact_mean(c.values.data(), c.values.size(), mean);
        checks.expect(taken == c.taken, std::string(c.name) + ": taken or not");
        if (taken) checks.expect(same_bits(mean, exact_mean(c.values)), std::string(c.name) + ": the exact sum's mean");
        if (!taken) checks.expect(mean == 7.0, std::string(c.name) + ": the mean left alone");
    }
    std::mt19937_64 random(31);
    std::uniform_int_distribution<int> exponent(-60, 60);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::size_t wrong = 0;
    for (std::size_t trial = 0; trial < 20000; ++trial) {
        std::vector<double> values(1 + trial % tessary::kFewPairs);
        for (double& v : values) v = std::ldexp(unit(random), exponent(random));
        double mean = 0.0;
        if (tessary::few_exact_mean(values.data(), values.size(), mean) && !same_bits(mean, exact_mean(values))) ++wrong;
    }
    checks.expect(wrong == 0, std::to_string(wrong) + " random means differ from the exact sums'");
    // Three pairs, near the origin and at map coordinates.
    const Quat turn = Quat{0.8, -0.2, 0.5, 0.1}.normalize();
    for (const Vec3d shift : {Vec3d{0, 0, 0}, Vec3d{512000.0, 5430000.0, 231.0}}) {
        for (std::size_t n = 1; n <= tessary::kFewPairs; ++n) {
            const std::vector<Vec3d> a = uniform_points(n, -3, 3, 40 + n);
            std::vector<Vec3d> from(n), to(n);
            for (std::size_t i = 0; i < n; ++i) {
                from[i] = a[i].add(shift);
                to[i] = turn.rotate(a[i]).add(shift).add({0.25, -0.5, 1.0});
            }
            const std::vector<double> ones(n, 1.0);
            const tessary::RigidFit few = tessary::rigid_align<false>(n, PointPairs{from, to}, tessary::SerialRanges{});
            const tessary::RigidFit summed =
                tessary::rigid_align<true>(n, PointPairs{from, to, ones.data()}, tessary::SerialRanges{});
            const std::string what = std::to_string(n) + " pairs at " + text(shift);
            checks.expect(same_bits(few.source_centroid, summed.source_centroid) &&
                              same_bits(few.target_centroid, summed.target_centroid),
                          what + ": the exact sums' centroids");
            checks.expect(same_bits(few.transform.translation, summed.transform.translation) &&
                              same_bits(few.transform.rotation.w, summed.transform.rotation.w) &&
                              same_bits(few.transform.rotation.k, summed.transform.rotation.k) &&
                              few.unique == summed.unique,
                          what + ": the same fit");
        }
    }
}

}  // namespace

void align_tests(Checks& checks) {
    few_pairs_cases(checks);
    const Quat turn = Quat{0.9, 0.1, -0.3, 0.2}.normalize();
    const std::vector<Vec3d> a = uniform_points(5000, -1, 1, 21);
    std::vector<Vec3d> b(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) b[i] = turn.rotate(a[i]);
    std::vector<double> weights(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) weights[i] = 0.5 + static_cast<double>(i % 7);

    const PointPairs plain{a, b};
    const PointPairs weighted{a, b, weights.data()};
    const tessary::RotationFit fit = tessary::rotation_align<false>(a.size(), plain, tessary::SerialRanges{});
    checks.expect(rotation_error(fit.rotation, turn) < 1e-14 && fit.residual < 1e-12, "a rotation recovered");
    checks.expect(fit.rotation.w >= 0.0 && std::fabs(fit.rotation.magnitude() - 1.0) < 1e-15,
                  "the rotation's sign and length");
    const tessary::RotationFit pieces = tessary::rotation_align<false>(a.size(), plain, ChoppyRanges{});
    checks.expect(same_bits(pieces.rotation.w, fit.rotation.w) && same_bits(pieces.rotation.i, fit.rotation.i) &&
                      same_bits(pieces.rotation.j, fit.rotation.j) && same_bits(pieces.rotation.k, fit.rotation.k) &&
                      same_bits(pieces.residual, fit.residual),
                  "a rotation fit in pieces");
    const tessary::RotationFit heavy = tessary::rotation_align<true>(a.size(), weighted, tessary::SerialRanges{});
    checks.expect(rotation_error(heavy.rotation, turn) < 1e-14, "a weighted rotation recovered");

    // A rigid motion, at the origin and far from it.
    for (const Vec3d origin : {Vec3d{0, 0, 0}, Vec3d{512000, 5430000, 231}}) {
        const Transform motion{turn, {3.25, -1.5, 30}};
        std::vector<Vec3d> source(a.size()), target(a.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            source[i] = origin.add(a[i].mul(20.0));
            target[i] = motion.apply(source[i]);
        }
        const PointPairs pairs{source, target};
        const tessary::RigidFit rigid = tessary::rigid_align<false>(source.size(), pairs, ChoppyRanges{});
        const Vec3d moved = rigid.transform.apply(source[17]);
        const std::string where = origin.x == 0 ? " at the origin" : " at map coordinates";
        // The targets are rounded where they lie: at map coordinates each
        // by up to half a unit of 2^-30 per coordinate, which the fit
        // cannot better.
        const bool far = origin.x != 0;
        checks.expect(rotation_error(rigid.transform.rotation, turn) < (far ? 1e-10 : 1e-14) &&
                          moved.distance_to(target[17]) < (far ? 1e-8 : 1e-12),
                      "a rigid motion recovered" + where + ": " + text(moved.sub(target[17])));
        const double residual = tessary::rigid_residual<false>(source.size(), pairs, rigid, tessary::SerialRanges{});
        checks.expect(residual < (far ? 1e-7 : 1e-10), "the residual of an exact motion" + where);
        const tessary::RigidFit serial = tessary::rigid_align<false>(source.size(), pairs, tessary::SerialRanges{});
        checks.expect(same_bits(serial.transform.translation, rigid.transform.translation) &&
                          same_bits(serial.transform.rotation.w, rigid.transform.rotation.w),
                      "a rigid fit in pieces" + where);
    }

    // Degenerate inputs: no pairs, a zero total weight, a NaN point.
    const PointPairs none{};
    checks.expect(tessary::rigid_align<false>(0, none, tessary::SerialRanges{}).transform.approx_eq(Transform::identity()),
                  "no pairs: the identity");
    std::vector<double> zeros(a.size(), 0.0);
    checks.expect(tessary::rigid_align<true>(a.size(), PointPairs{a, b, zeros.data()}, tessary::SerialRanges{})
                      .transform.approx_eq(Transform::identity()),
                  "a zero total weight: the identity");
    std::vector<Vec3d> spoiled = a;
    spoiled[3].y = std::numeric_limits<double>::quiet_NaN();
    const tessary::RigidFit broken = tessary::rigid_align<false>(a.size(), PointPairs{spoiled, b}, tessary::SerialRanges{});
    checks.expect(std::isnan(broken.transform.rotation.w) && std::isnan(broken.transform.translation.x),
                  "a NaN coordinate: NaN components");
    checks.expect(tessary::wahba_rotation(tessary::Matrix3{}).approx_eq(Quat::identity()),
                  "a zero correlation: the identity");
    // All vectors on one line: of the rotations that fit, the smallest.
    std::vector<Vec3d> line(10), turned(10);
    for (std::size_t i = 0; i < line.size(); ++i) {
        line[i] = Vec3d{1, 2, 2}.mul(static_cast<double>(i) + 1);
        turned[i] = line[i];
    }
    checks.expect(tessary::rotation_align<false>(line.size(), PointPairs{line, turned}, tessary::SerialRanges{})
                      .rotation.approx_eq(Quat::identity()),
                  "vectors on one line onto themselves: the identity");
}

}  // namespace native_tests
