// The exact moments' fast paths (moment_blocks.hpp), plain and compiled
// for AVX2, against the exact sums taken point by point, and the bounding
// box's scans against a plain fold, on clouds that take every path: map
// coordinates, a cloud about the origin, coordinates of every exponent,
// subnormals and signed zeros, and NaN and infinite ones; in one piece and
// cut into scattered ranges.
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "bounds.hpp"
#include "checks.hpp"
#include "moment_blocks.hpp"
#include "moments.hpp"

namespace native_tests {
namespace {

using tessary::Moments;
using tessary::Vec3d;

bool equal(const tessary::ExactSum& a, const tessary::ExactSum& b) {
    return a.has_special() == b.has_special() && same_bits(a.special(), b.special()) &&
           a.value().minus(b.value()).is_zero();
}

bool equal(const Moments& a, const Moments& b, bool products) {
    bool ok = a.count == b.count;
    for (std::size_t j = 0; j < 3; ++j) ok = ok && equal(a.sums[j], b.sums[j]);
    for (std::size_t j = 0; products && j < 6; ++j) ok = ok && equal(a.products[j], b.products[j]);
    return ok;
}

Moments point_by_point(std::span<const Vec3d> points, bool products) {
    Moments m;
    for (const Vec3d& p : points) m.add(p, products);
    return m;
}

struct Cloud {
    const char* name;
    std::vector<Vec3d> points;
};

std::vector<Cloud> clouds() {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::size_t n = 5003;  // not a whole number of blocks
    std::vector<Cloud> out;
    auto make = [&](const char* name, auto point) {
        std::vector<Vec3d> points(n);
        for (Vec3d& p : points) p = point();
        out.push_back({name, std::move(points)});
    };
    make("map coordinates", [&] { return Vec3d{512000 + 50 * unit(random), 5430000 + 50 * unit(random), 231 + unit(random)}; });
    make("about the origin", [&] { return Vec3d{unit(random), unit(random), 3 * unit(random)}; });
    make("every exponent", [&] {
        auto any = [&] { return std::ldexp(unit(random), static_cast<int>(random() % 2000) - 1000); };
        return Vec3d{any(), any(), any()};
    });
    make("subnormals and zeros", [&] {
        auto tiny = [&] {
            const std::uint64_t pick = random() % 4;
            return pick == 0 ? -0.0 : pick == 1 ? 0.0 : std::ldexp(unit(random), -1060);
        };
        return Vec3d{tiny(), tiny(), 1e-300 * unit(random)};
    });
    make("a binade's edge", [&] { return Vec3d{1024 + 1e-9 * unit(random), -1024 - 1e-9 * unit(random), 1.0}; });
    make("not finite", [&] {
        const std::uint64_t pick = random() % 300;
        return Vec3d{pick == 0 ? nan : 10 + unit(random), pick == 1 ? inf : unit(random), pick == 2 ? -inf : 5.0};
    });
    return out;
}

bool has_avx2() {
#if TESSARY_HAVE_AVX2_TWINS
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

}  // namespace

void moments_tests(Checks& checks) {
    namespace blocks = tessary::moment_blocks;
    for (const Cloud& cloud : clouds()) {
        const std::string name = cloud.name;
        for (bool products : {false, true}) {
            const Moments expected = point_by_point(cloud.points, products);
            auto with = [&](const blocks::Kernels& kernels, const auto& ranges) {
                return products ? tessary::moments_of<true>(cloud.points, kernels, ranges)
                                : tessary::moments_of<false>(cloud.points, kernels, ranges);
            };
            const std::string what = name + (products ? ", with products" : "");
            checks.expect(equal(with(blocks::kPlainKernels, tessary::SerialRanges{}), expected, products),
                          "moments of " + what);
            checks.expect(equal(with(blocks::kPlainKernels, ChoppyRanges{}), expected, products),
                          "moments in pieces of " + what);
#if TESSARY_HAVE_AVX2_TWINS
            if (has_avx2()) {
                checks.expect(equal(with(blocks::kAvx2Kernels, ChoppyRanges{}), expected, products),
                              "moments by the AVX2 kernels of " + what);
            }
#endif
        }
        tessary::Bounds folded = tessary::bounds_plain(cloud.points.data(), 0);
        for (const Vec3d& p : cloud.points) folded = tessary::widen(folded, {p, p});
        auto same_box = [](const tessary::Bounds& a, const tessary::Bounds& b) {
            return same_bits(a.low, b.low) && same_bits(a.high, b.high);
        };
        checks.expect(same_box(tessary::bounds_of(cloud.points, &tessary::bounds_plain, ChoppyRanges{}), folded),
                      "bounds of " + name);
#if TESSARY_HAVE_AVX2_TWINS
        if (has_avx2()) {
            checks.expect(same_box(tessary::bounds_of(cloud.points, &tessary::bounds_avx2, ChoppyRanges{}), folded),
                          "bounds by the AVX2 scan of " + name);
        }
#endif
    }
    // The centroid and the covariance from the moments, at map
    // coordinates: the exact mean and the covariance about it, rounded
    // once, equal those of the same cloud moved to the origin (a move by
    // whole units of the coordinates' last place is exact).
    std::vector<Vec3d> centred = uniform_points(4000, -8, 8, 9);
    std::vector<Vec3d> far(centred.size());
    for (std::size_t i = 0; i < centred.size(); ++i) {
        centred[i] = {std::round(centred[i].x * 0x1p20) * 0x1p-20, std::round(centred[i].y * 0x1p20) * 0x1p-20,
                      std::round(centred[i].z * 0x1p20) * 0x1p-20};
        far[i] = centred[i].add({0x1p19, 0x1p22, 0x1p8});
    }
    const tessary::Matrix3 near_cov = tessary::covariance_of(point_by_point(centred, true), 0);
    const tessary::Matrix3 far_cov =
        tessary::covariance_of(tessary::moments_of<true>(far, blocks::kPlainKernels, ChoppyRanges{}), 0);
    bool ok = true;
    for (std::size_t j = 0; j < 3; ++j) {
        for (std::size_t k = 0; k < 3; ++k) ok = ok && same_bits(near_cov[j][k], far_cov[j][k]);
    }
    checks.expect(ok, "the covariance at map coordinates is the covariance at the origin");
    const Moments none{};
    checks.expect(std::isnan(tessary::centroid_of(none.sums, 0).x) && std::isnan(tessary::covariance_of(none, 0)[0][0]),
                  "no points: NaN");
}

}  // namespace native_tests
