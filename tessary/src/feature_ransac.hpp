// Registration with no initial pose: the nearest of one cloud's features
// (fpfh.hpp) to each of another's, and RANSAC over those matches. Trial t
// draws its three matches from the counter-based generator
// (counter_random.hpp) by t alone, the trials run in blocks shared out on
// the pool, and the best of a block and the stopping test are taken in
// trial order between blocks, so the answer is the same bits at any number
// of threads.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "align.hpp"
#include "counter_random.hpp"
#include "neighbour.hpp"
#include "ransac_confidence.hpp"
#include "registration.hpp"
#include "transform.hpp"
#include "vec3d.hpp"

namespace tessary {

// The order in which nearest_rows adds a row's columns: by decreasing
// variance over the rows of `a` and `b` together (the first column of
// equals first), so that the sums of far rows pass the best so far after
// a few terms. The variances are summed serially in row order.
inline std::vector<std::size_t> column_order(std::span<const double> a, std::span<const double> b, std::size_t width) {
    std::vector<double> sum(width, 0.0), squares(width, 0.0);
    std::size_t rows = 0;
    for (const std::span<const double> side : {a, b}) {
        for (std::size_t i = 0; i + width <= side.size(); i += width) {
            bool finite = true;
            for (std::size_t f = 0; f < width; ++f) finite = finite && std::isfinite(side[i + f]);
            if (!finite) continue;
            for (std::size_t f = 0; f < width; ++f) {
                sum[f] = sum[f] + side[i + f];
                squares[f] = squares[f] + side[i + f] * side[i + f];
            }
            ++rows;
        }
    }
    std::vector<double> spread(width, 0.0);
    if (rows != 0) {
        const double count = static_cast<double>(rows);
        for (std::size_t f = 0; f < width; ++f) spread[f] = squares[f] - sum[f] * (sum[f] / count);
    }
    std::vector<std::size_t> order(width);
    for (std::size_t f = 0; f < width; ++f) order[f] = f;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return spread[x] > spread[y]; });
    return order;
}

// For each of n rows of `width` numbers of `from`, the index of the row of
// `onto` (m rows) at the least squared Euclidean distance, the terms added
// in the column order `order` (column_order: the same for both directions
// of a mutual match); ties to the lower index. The rows of `onto` are read
// in groups of kLanes laid out column by column, so that a group's sums
// run side by side (each its own sum, in that order); a group stops once
// every one of its sums has passed the best so far: the terms are not
// negative, so no later term can bring a sum back. A row with a NaN is at
// a NaN distance from every row and matches row m (none).
template <class ForRanges>
std::vector<std::size_t> nearest_rows(std::span<const double> from, std::span<const double> onto, std::size_t width,
                                      std::span<const std::size_t> order, const ForRanges& for_ranges) {
    constexpr std::size_t kLanes = 8;
    // Columns between the tests of a group's sums.
    constexpr std::size_t kStride = 4;
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::size_t n = from.size() / width, m = onto.size() / width;
    const std::size_t groups = (m + kLanes - 1) / kLanes;
    // Group g, column c (order[c] of the rows), lane l: onto[(g kLanes + l)
    // width + order[c]]; the lanes past the last row are infinite.
    std::vector<double> laid(groups * width * kLanes, inf);
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t c = 0; c < width; ++c) {
            laid[((j / kLanes) * width + c) * kLanes + j % kLanes] = onto[j * width + order[c]];
        }
    }
    std::vector<std::size_t> out(n, m);
    for_ranges(n, 8, [&](std::size_t begin, std::size_t end) {
        std::vector<double> a(width);
        for (std::size_t i = begin; i < end; ++i) {
            for (std::size_t c = 0; c < width; ++c) a[c] = from[i * width + order[c]];
            double least = inf;
            std::size_t at = m;
            for (std::size_t g = 0; g < groups; ++g) {
                const double* b = laid.data() + g * width * kLanes;
                double sum[kLanes] = {};
                std::size_t c = 0;
                bool passed = false;
                while (c < width) {
                    const std::size_t stop = std::min(width, c + kStride);
                    for (; c < stop; ++c) {
                        for (std::size_t l = 0; l < kLanes; ++l) {
                            const double d = a[c] - b[c * kLanes + l];
                            sum[l] = sum[l] + d * d;
                        }
                    }
                    bool all = true;
                    for (std::size_t l = 0; l < kLanes; ++l) all = all && sum[l] > least;
                    if (all) {
                        passed = true;
                        break;
                    }
                }
                if (passed) continue;
                for (std::size_t l = 0; l < kLanes; ++l) {
                    if (sum[l] < least) {
                        least = sum[l];
                        at = g * kLanes + l;
                    }
                }
            }
            out[i] = at < m ? at : m;
        }
    });
    return out;
}

// A match: a point of the source and one of the target.
struct FeatureMatch {
    std::size_t source;
    std::size_t target;
};

struct FeatureRansacSettings {
    std::uint64_t max_iterations;
    double confidence;
    std::uint64_t seed;
    // Each edge of a sample's triangle in the source at least this share
    // of the same edge in the target, and the reverse (0 for no test).
    double edge_ratio;
    // Inliers: matches whose moved source lies within this distance of
    // its target.
    double distance;
};

// Trials per block: the stopping test runs between blocks.
inline constexpr std::uint64_t kMatchTrialBlock = 256;
// The stream of the counter-based generator that samples matches.
inline constexpr std::uint64_t kMatchStream = 0x4650464852414E53u;

namespace feature_ransac_detail {

// Runs every range as one: a fit of three pairs is not shared out.
struct Serial {
    template <class Body>
    void operator()(std::size_t n, std::size_t, const Body& body) const {
        body(0, n);
    }
};

struct Trial {
    std::size_t inliers = 0;
    Transform pose{};
};

}  // namespace feature_ransac_detail

// RANSAC over `matches` of `source` and `target` points (each finite):
// IcpResult with status kConverged once `confidence` is reached,
// kMaxIterations when the trials ran out first with a pose found, kNoPose
// when no sample gave one (its transform NaN). Fitness: the share of the
// matches that are inliers of the final pose; inlier_rmse: their root mean
// square distance; correspondences: their count; iterations: the trials
// run. The trials work in frames centred on each cloud's box, so that
// clouds far from the origin keep their digits; the best pose is refit on
// all its inliers in the clouds' own coordinates.
template <class ForRanges>
IcpResult feature_ransac(std::span<const Vec3d> source, std::span<const Vec3d> target,
                         std::span<const FeatureMatch> matches, const FeatureRansacSettings& s,
                         const ForRanges& for_ranges) {
    using namespace feature_ransac_detail;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::size_t m = matches.size();
    IcpResult result{{{nan, nan, nan, nan}, {nan, nan, nan}}, {}, 0, false, IcpStatus::kNoPose};
    if (m < 3) return result;
    auto centre = [](std::span<const Vec3d> points, std::span<const FeatureMatch> pairs, bool of_source) {
        Vec3d low = of_source ? points[pairs[0].source] : points[pairs[0].target], high = low;
        for (const FeatureMatch& p : pairs) {
            const Vec3d& v = of_source ? points[p.source] : points[p.target];
            low = {std::min(low.x, v.x), std::min(low.y, v.y), std::min(low.z, v.z)};
            high = {std::max(high.x, v.x), std::max(high.y, v.y), std::max(high.z, v.z)};
        }
        return Vec3d{low.x + (high.x - low.x) * 0.5, low.y + (high.y - low.y) * 0.5, low.z + (high.z - low.z) * 0.5};
    };
    const Vec3d cs = centre(source, matches, true), ct = centre(target, matches, false);
    std::vector<Vec3d> a(m), b(m);
    for (std::size_t i = 0; i < m; ++i) {
        a[i] = source[matches[i].source].sub(cs);
        b[i] = target[matches[i].target].sub(ct);
    }
    const std::uint64_t limit = within_key(s.distance);
    auto inliers_of = [&](const Transform& t) {
        std::size_t count = 0;
        for (std::size_t i = 0; i < m; ++i) count += distance_key(t.apply(a[i]).distance_squared(b[i])) <= limit;
        return count;
    };
    auto similar = [&](double x, double y) { return x >= s.edge_ratio * y && y >= s.edge_ratio * x; };
    // Trial t: its sample, the checks, the fit and its score (0 inliers
    // for a sample refused).
    auto trial = [&](std::uint64_t t) -> Trial {
        const std::array<std::size_t, 3> k = distinct_triple(s.seed, kMatchStream, t, m);
        for (std::size_t e = 0; e < 3; ++e) {
            const std::size_t i = k[e], j = k[(e + 1) % 3];
            if (!similar(a[i].distance_to(a[j]), b[i].distance_to(b[j]))) return {};
        }
        const Vec3d sa[3] = {a[k[0]], a[k[1]], a[k[2]]}, sb[3] = {b[k[0]], b[k[1]], b[k[2]]};
        const PointPairs pairs{{sa, 3}, {sb, 3}};
        const RigidFit fit = rigid_align<false>(3, pairs, Serial{});
        if (!fit.unique || !is_finite(fit.transform)) return {};
        for (std::size_t e = 0; e < 3; ++e) {
            if (distance_key(fit.transform.apply(sa[e]).distance_squared(sb[e])) > limit) return {};
        }
        return {inliers_of(fit.transform), fit.transform};
    };
    Trial best{};
    std::uint64_t run = 0;
    bool reached = false;
    std::vector<Trial> block(kMatchTrialBlock);
    while (run < s.max_iterations) {
        const std::uint64_t count = std::min<std::uint64_t>(kMatchTrialBlock, s.max_iterations - run);
        for_ranges(static_cast<std::size_t>(count), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j) block[j] = trial(run + j);
        });
        for (std::size_t j = 0; j < count; ++j) {
            if (block[j].inliers > best.inliers) best = block[j];
        }
        run += count;
        if (best.inliers >= 3 && confidence_reached(best.inliers, m, run, s.confidence)) {
            reached = true;
            break;
        }
    }
    result.iterations = static_cast<std::size_t>(run);
    if (best.inliers < 3) return result;
    // The refit on the best pose's inliers, in the clouds' coordinates.
    std::vector<Vec3d> fa, fb;
    for (std::size_t i = 0; i < m; ++i) {
        if (distance_key(best.pose.apply(a[i]).distance_squared(b[i])) > limit) continue;
        fa.push_back(source[matches[i].source]);
        fb.push_back(target[matches[i].target]);
    }
    const RigidFit refit = rigid_align<false>(fa.size(), PointPairs{fa, fb}, for_ranges);
    if (!is_finite(refit.transform)) return result;
    Transform pose = refit.transform;
    // Evaluated in the centred frames: the pose there is
    // x -> R x + (R cs + t - ct).
    const Transform local{pose.rotation, pose.rotation.rotate(cs).add(pose.translation).sub(ct)};
    std::size_t inliers = 0;
    double squares = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double d2 = local.apply(a[i]).distance_squared(b[i]);
        if (distance_key(d2) > limit) continue;
        ++inliers;
        squares = squares + d2;
    }
    result.transform = pose;
    result.matches.count = inliers;
    result.matches.fitness = static_cast<double>(inliers) / static_cast<double>(m);
    result.matches.inlier_rmse = inliers == 0 ? 0.0 : std::sqrt(squares / static_cast<double>(inliers));
    result.converged = reached;
    result.status = reached ? IcpStatus::kConverged : IcpStatus::kMaxIterations;
    return result;
}

}  // namespace tessary
