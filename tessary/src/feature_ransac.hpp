// Registration with no initial pose: the nearest of one cloud's features
// (fpfh.hpp) to each of another's, and RANSAC over those matches. Trial t
// draws its three matches from the counter-based generator
// (counter_random.hpp) by t alone, the trials run in blocks shared out on
// the pool, and the best of a block and the stopping test are taken in
// trial order between blocks, so the answer is the same bits at any number
// of threads.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "align.hpp"
#include "counter_random.hpp"
#include "feature_tree.hpp"
#include "neighbour.hpp"
#include "ransac_confidence.hpp"
#include "registration.hpp"
#include "transform.hpp"
#include "vec3d.hpp"

namespace tessary {

// The order in which nearest_rows adds a row's columns: by decreasing
// variance over the rows of `a` and `b` together (the first column of
// equals first), so that the sums of far rows pass the best so far after
// a few terms, and the feature tree splits on and bounds by the widest
// columns. The variances are summed serially in row order.
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
// of a mutual match); ties to the lower index. The rows of `onto` are
// searched in a FeatureTree, which passes over only rows that cannot be
// nearest. A row with a NaN is at a NaN distance from every row and
// matches row m (none).
template <class ForRanges>
std::vector<std::size_t> nearest_rows(std::span<const double> from, std::span<const double> onto, std::size_t width,
                                      std::span<const std::size_t> order, const ForRanges& for_ranges) {
    const std::size_t n = from.size() / width;
    const FeatureTree tree(onto, width, order);
    std::vector<std::size_t> out(n);
    for_ranges(n, 8, [&](std::size_t begin, std::size_t end) {
        std::vector<double> a(width);
        for (std::size_t i = begin; i < end; ++i) {
            for (std::size_t c = 0; c < width; ++c) a[c] = from[i * width + order[c]];
            out[i] = tree.nearest(a.data());
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
    // The matches' coordinates column by column, for the count of a
    // pose's inliers: t.apply(a).distance_squared(b) written out, each
    // operation as Quat::rotate and Vec3d do it, so that its lanes run
    // side by side. A squared distance is +0 or more, or NaN, so its key
    // is at most `limit` exactly when it is at most that key's number.
    std::vector<double> columns(6 * m);
    double* const ax = columns.data();
    double* const ay = ax + m;
    double* const az = ay + m;
    double* const bx = az + m;
    double* const by = bx + m;
    double* const bz = by + m;
    for (std::size_t i = 0; i < m; ++i) {
        ax[i] = a[i].x;
        ay[i] = a[i].y;
        az[i] = a[i].z;
        bx[i] = b[i].x;
        by[i] = b[i].y;
        bz[i] = b[i].z;
    }
    const double within = std::bit_cast<double>(limit);
    auto inliers_of = [&](const Transform& t) {
        const double w = t.rotation.w, qi = t.rotation.i, qj = t.rotation.j, qk = t.rotation.k;
        const double w0 = w * 0.0, i0 = qi * 0.0, j0 = qj * 0.0, k0 = qk * 0.0;
        const double tx = t.translation.x, ty = t.translation.y, tz = t.translation.z;
        std::size_t count = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const double x = ax[i], y = ay[i], z = az[i];
            const double m0 = ((x * qi + w0) + y * qj) + z * qk;
            const double m1 = ((x * w - i0) - z * qj) + y * qk;
            const double m2 = ((y * w - j0) - x * qk) + z * qi;
            const double m3 = ((z * w - k0) - y * qi) + x * qj;
            const double dx = ((((qi * m0 + w * m1) + qk * m2) - qj * m3) + tx) - bx[i];
            const double dy = ((((w * m2 + qj * m0) + qi * m3) - qk * m1) + ty) - by[i];
            const double dz = ((((w * m3 + qk * m0) + qj * m1) - qi * m2) + tz) - bz[i];
            count += ((dx * dx + dy * dy) + dz * dz) <= within ? 1 : 0;
        }
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
