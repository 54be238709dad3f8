// Fast point feature histograms (FPFH): a 33-number description of the
// surface around each point of a cloud, from its normal and those of its
// neighbours, for matching points of two clouds with no pose between them.
//
// For a point p with normal n and a neighbour q with normal m, the pair's
// frame starts at whichever of the two has its normal closer to the line
// between them (the larger |n . d| / |d|, the first of equals): the source
// s with normal ns, the other t with normal nt, d = t - s; u = ns, v = d x u / |d x u|, w = u x v, and the three
// angle features are
//   theta = atan2(w . nt, u . nt)   in [-pi, pi],
//   alpha = v . nt                  in [-1, 1],
//   phi   = u . d / |d|             in [-1, 1],
// each binned into 11 equal bins of its range. A point's SPFH is the three
// histograms of its pairs with its neighbours, each summing to 100; its
// FPFH is its SPFH plus the neighbours' SPFHs weighted by 1 / |q - p|^2,
// each of the three histograms of that weighted sum scaled to sum to 100
// (Open3D's compute_fpfh_feature, whose weight is the squared distance).
//
// Every operation is rounded on its own in a fixed order (the neighbours in
// the tree's rank, nearest first and then by index), so the features are
// the same bits at any number of threads.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

#include "kd_batch.hpp"
#include "kd_results.hpp"
#include "kd_tree.hpp"
#include "neighbour.hpp"
#include "vec3d.hpp"

namespace tessary {

inline constexpr std::size_t kFpfhBins = 11;
inline constexpr std::size_t kFpfhWidth = 3 * kFpfhBins;

// The three angle features of a pair (theta, alpha, phi), all 0 where the
// points coincide or the line between them lies along the source normal
// (no frame).
inline std::array<double, 3> pair_features(const Vec3d& p1, const Vec3d& n1, const Vec3d& p2, const Vec3d& n2) {
    Vec3d d = p2.sub(p1);
    const double length = d.magnitude();
    if (length == 0.0) return {0.0, 0.0, 0.0};
    const double angle1 = n1.dot(d) / length;
    const double angle2 = n2.dot(d) / length;
    Vec3d u = n1, nt = n2;
    double phi = angle1;
    if (std::fabs(angle1) < std::fabs(angle2)) {
        u = n2;
        nt = n1;
        d = d.mul(-1.0);
        phi = -angle2;
    }
    Vec3d v = d.cross(u);
    const double v_length = v.magnitude();
    if (v_length == 0.0) return {0.0, 0.0, 0.0};
    v = v.div(v_length);
    const Vec3d w = u.cross(v);
    return {std::atan2(w.dot(nt), u.dot(nt)), v.dot(nt), phi};
}

// The bin of a feature in [low, low + span): floor(11 (f - low) / span),
// clamped into the bins.
inline std::size_t fpfh_bin(double f, double low, double span) {
    const double place = std::floor(static_cast<double>(kFpfhBins) * (f - low) / span);
    if (!(place > 0.0)) return 0;
    return place >= static_cast<double>(kFpfhBins - 1) ? kFpfhBins - 1 : static_cast<std::size_t>(place);
}

// The neighbours of a point: its k nearest others within the key `limit`.
struct FpfhNeighbours {
    std::size_t k;
    std::uint64_t limit;
    using Result = NearestKResult;
    Result start(std::vector<Neighbour>& slots, std::size_t none, std::size_t skip, bool) const {
        return {slots, k, none, limit, skip};
    }
};

// The FPFH of every point of `tree` (built from `points`, with `normals`
// one per point) into rows of 33 of `out`: of each point its
// `max_neighbours` - 1 nearest others within the key `limit` (the point
// itself counted among the max_neighbours, as a hybrid search of Open3D
// counts it). A neighbour whose normal has a NaN or infinite component is
// left out; a point with none left, or whose own normal or coordinates are
// not finite, has a row of zeros (and its SPFH, zeros, adds nothing to
// its neighbours').
template <class ForRanges>
void fpfh_features(const KdTree& tree, std::span<const Vec3d> points, std::span<const Vec3d> normals,
                   std::size_t max_neighbours, std::uint64_t limit, double* out, const ForRanges& for_ranges) {
    const std::size_t n = points.size();
    std::vector<double> spfh(n * kFpfhWidth, 0.0);
    for_ranges(n, 4096, [&](std::size_t begin, std::size_t end) {
        std::fill(out + begin * kFpfhWidth, out + end * kFpfhWidth, 0.0);
    });
    if (max_neighbours < 2 || n == 0) return;
    auto usable = [&](std::size_t i) { return is_finite(points[i]) && is_finite(normals[i]); };
    const FpfhNeighbours question{max_neighbours - 1, limit};
    constexpr double pi = std::numbers::pi;
    // The SPFH of each point.
    ask_each_point(tree, question, false, for_ranges,
                   [&](std::size_t i, NearestKResult& result, std::vector<Neighbour>&) {
                       const std::span<const Neighbour> found = result.finish();
                       if (!usable(i)) return;
                       std::size_t count = 0;
                       for (const Neighbour& q : found) count += is_finite(normals[q.index]) ? 1 : 0;
                       if (count == 0) return;
                       const double increment = 100.0 / static_cast<double>(count);
                       double* h = spfh.data() + i * kFpfhWidth;
                       for (const Neighbour& q : found) {
                           if (!is_finite(normals[q.index])) continue;
                           const std::array<double, 3> f =
                               pair_features(points[i], normals[i], points[q.index], normals[q.index]);
                           double& a = h[fpfh_bin(f[0], -pi, 2.0 * pi)];
                           a = a + increment;
                           double& b = h[kFpfhBins + fpfh_bin(f[1], -1.0, 2.0)];
                           b = b + increment;
                           double& c = h[2 * kFpfhBins + fpfh_bin(f[2], -1.0, 2.0)];
                           c = c + increment;
                       }
                   });
    // Each point's SPFH plus its neighbours', weighted and scaled.
    ask_each_point(tree, question, false, for_ranges,
                   [&](std::size_t i, NearestKResult& result, std::vector<Neighbour>&) {
                       const std::span<const Neighbour> found = result.finish();
                       if (!usable(i)) return;
                       double* row = out + i * kFpfhWidth;
                       std::array<double, 3> sums{0.0, 0.0, 0.0};
                       bool any = false;
                       for (const Neighbour& q : found) {
                           const double distance = q.squared();
                           if (!is_finite(normals[q.index]) || distance == 0.0) continue;
                           any = true;
                           const double* hq = spfh.data() + q.index * kFpfhWidth;
                           // The quotients first, side by side; then the
                           // row's sums and each histogram's, in bin order.
                           double values[kFpfhWidth];
                           for (std::size_t f = 0; f < kFpfhWidth; ++f) values[f] = hq[f] / distance;
                           for (std::size_t f = 0; f < kFpfhWidth; ++f) row[f] = row[f] + values[f];
                           for (std::size_t h = 0; h < 3; ++h) {
                               for (std::size_t b = 0; b < kFpfhBins; ++b) sums[h] = sums[h] + values[h * kFpfhBins + b];
                           }
                       }
                       const double* hp = spfh.data() + i * kFpfhWidth;
                       for (std::size_t f = 0; f < kFpfhWidth; ++f) {
                           const double sum = sums[f / kFpfhBins];
                           const double scaled = any && sum != 0.0 ? row[f] * (100.0 / sum) : 0.0;
                           row[f] = scaled + hp[f];
                       }
                   });
}

}  // namespace tessary
