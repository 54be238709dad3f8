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
#include <limits>
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
// (no frame). The pair taken the other way round gives the same bits
// (its line is the same difference negated, so the same point starts the
// frame), except where both normals make the same angle with the line:
// `tied`, where given, is set to whether they do.
inline std::array<double, 3> pair_features(const Vec3d& p1, const Vec3d& n1, const Vec3d& p2, const Vec3d& n2,
                                           bool* tied = nullptr) {
    Vec3d d = p2.sub(p1);
    const double length = d.magnitude();
    if (tied != nullptr) *tied = false;
    if (length == 0.0) return {0.0, 0.0, 0.0};
    const double angle1 = n1.dot(d) / length;
    const double angle2 = n2.dot(d) / length;
    if (tied != nullptr) *tied = !(std::fabs(angle1) < std::fabs(angle2) || std::fabs(angle2) < std::fabs(angle1));
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

// Point i's FPFH into `row` (zeros on entry): its SPFH (`spfh_of(i)`, 33
// numbers) plus those of its neighbours `near`, each weighted and each of the
// three histograms of their sum scaled to 100. `near` calls its argument
// with the index and squared distance of each neighbour with a finite
// normal, in the tree's rank.
template <class SpfhOf, class Near>
void fpfh_row(const SpfhOf& spfh_of, std::size_t i, const Near& near, double* row) {
    std::array<double, 3> sums{0.0, 0.0, 0.0};
    bool any = false;
    near([&](std::size_t q, double distance) {
        if (distance == 0.0) return;
        any = true;
        const double* hq = spfh_of(q);
        // The quotients first, side by side; then the row's sums and each
        // histogram's, in bin order.
        double values[kFpfhWidth];
        for (std::size_t f = 0; f < kFpfhWidth; ++f) values[f] = hq[f] / distance;
        for (std::size_t f = 0; f < kFpfhWidth; ++f) row[f] = row[f] + values[f];
        for (std::size_t h = 0; h < 3; ++h) {
            for (std::size_t b = 0; b < kFpfhBins; ++b) sums[h] = sums[h] + values[h * kFpfhBins + b];
        }
    });
    const double* hp = spfh_of(i);
    for (std::size_t f = 0; f < kFpfhWidth; ++f) {
        const double sum = sums[f / kFpfhBins];
        const double scaled = any && sum != 0.0 ? row[f] * (100.0 / sum) : 0.0;
        row[f] = scaled + hp[f];
    }
}

// Neighbours kept from the one search of fpfh_features, at most: past
// this it searches the tree twice.
inline constexpr std::size_t kMostKeptNeighbours = std::size_t{1} << 24;

// The FPFH of every point of `tree` (built from `points`, with `normals`
// one per point) into rows of 33 of `out`: of each point its
// `max_neighbours` - 1 nearest others within the key `limit` (the point
// itself counted among the max_neighbours, as a hybrid search of Open3D
// counts it). A neighbour whose normal has a NaN or infinite component is
// left out; a point with none left, or whose own normal or coordinates are
// not finite, has a row of zeros (and its SPFH, zeros, adds nothing to
// its neighbours').
//
// One search of the tree serves both the SPFHs and the weighted sums: it
// keeps each point's neighbours (their indices; a neighbour's squared
// distance is computed again, as the search computed it), and a pair of
// points each among the other's neighbours has its bins worked out once
// (pair_features). Past `most_kept` neighbours in all, the tree is
// searched once for each and every pair worked out from its point. The
// features are the same bits either way.
template <class ForRanges>
void fpfh_features(const KdTree& tree, std::span<const Vec3d> points, std::span<const Vec3d> normals,
                   std::size_t max_neighbours, std::uint64_t limit, double* out, const ForRanges& for_ranges,
                   std::size_t most_kept = kMostKeptNeighbours) {
    const std::size_t n = points.size();
    std::vector<double> spfh(n * kFpfhWidth, 0.0);
    for_ranges(n, 4096, [&](std::size_t begin, std::size_t end) {
        std::fill(out + begin * kFpfhWidth, out + end * kFpfhWidth, 0.0);
    });
    if (max_neighbours < 2 || n == 0) return;
    auto usable = [&](std::size_t i) { return is_finite(points[i]) && is_finite(normals[i]); };
    const std::size_t k = max_neighbours - 1;
    const FpfhNeighbours question{k, limit};
    constexpr double pi = std::numbers::pi;
    // One point's SPFH from the bins of its pairs: each bin's count of
    // increments added in turn (the same bits in any order of the pairs).
    auto spfh_of = [&](std::size_t i, const std::uint32_t* bins, std::size_t count) {
        const double increment = 100.0 / static_cast<double>(count);
        double* h = spfh.data() + i * kFpfhWidth;
        for (std::size_t b = 0; b < kFpfhWidth; ++b) {
            for (std::uint32_t c = 0; c < bins[b]; ++c) h[b] = h[b] + increment;
        }
    };
    auto pair_bins = [&](std::size_t i, std::size_t j, bool* tied) {
        const std::array<double, 3> f = pair_features(points[i], normals[i], points[j], normals[j], tied);
        return std::array<std::size_t, 3>{fpfh_bin(f[0], -pi, 2.0 * pi), kFpfhBins + fpfh_bin(f[1], -1.0, 2.0),
                                          2 * kFpfhBins + fpfh_bin(f[2], -1.0, 2.0)};
    };
    const bool keep = n <= most_kept / k && n <= std::numeric_limits<std::uint32_t>::max();
    if (keep) {
        // Everything kept by the point's place in the tree's order (its
        // leaves in turn, then the points kept aside), so that the lists
        // of nearby points lie nearby: at[place] is the point's index.
        std::vector<std::uint32_t> at(n), place(n);
        std::size_t next = 0;
        for (std::size_t j = 0; j < tree.leaf_count(); ++j) {
            const NodeRange leaf = tree.range_of(tree.first_leaf() + j);
            const std::size_t count = leaf.end - leaf.begin;
            const std::uint64_t* words = tree.leaf_words(leaf);
            for (std::size_t r = 0; r < count; ++r) at[next++] = static_cast<std::uint32_t>(words[3 * count + r]);
        }
        for (const AsidePoint& p : tree.aside()) at[next++] = static_cast<std::uint32_t>(p.index);
        for (std::size_t r = 0; r < n; ++r) place[at[r]] = static_cast<std::uint32_t>(r);
        // Row r of `kept`: the places of the neighbours with a finite
        // normal of the point at place r, `counts[r]` of them (none for a
        // point not usable).
        std::vector<std::uint32_t> kept(n * k);
        std::vector<std::uint32_t> counts(n, 0);
        ask_each_point(tree, question, false, for_ranges,
                       [&](std::size_t i, NearestKResult& result, std::vector<Neighbour>&) {
                           const std::span<const Neighbour> found = result.finish();
                           if (!usable(i)) return;
                           const std::size_t r = place[i];
                           std::uint32_t count = 0;
                           for (const Neighbour& q : found) {
                               if (is_finite(normals[q.index])) kept[r * k + count++] = place[q.index];
                           }
                           counts[r] = count;
                       });
        // Each pair's bins, once for both of its points where each is
        // among the other's neighbours: a point takes the pairs with the
        // neighbours after it in the tree's order, and those with earlier
        // ones that do not have it among theirs; a pair with an earlier
        // neighbour that has it at slot t is marked kCopied + t, and read
        // from that slot once every pair is done. A tied pair is marked
        // so: the other point works out its own.
        constexpr std::uint16_t kTied = 0x8000, kCopied = 0x4000, kBins = 0x3FFF;
        std::vector<std::uint16_t> codes(n * k);
        auto code_of = [](const std::array<std::size_t, 3>& b, bool tied) {
            return static_cast<std::uint16_t>((b[0] + kFpfhBins * (b[1] - kFpfhBins) +
                                               kFpfhBins * kFpfhBins * (b[2] - 2 * kFpfhBins)) |
                                              (tied ? kTied : 0));
        };
        for_ranges(n, 256, [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                const std::uint32_t* near = kept.data() + r * k;
                for (std::size_t s = 0; s < counts[r]; ++s) {
                    const std::size_t q = near[s];
                    if (q < r) {
                        const std::uint32_t* theirs = kept.data() + q * k;
                        std::size_t t = 0;
                        while (t < counts[q] && theirs[t] != r) ++t;
                        if (t < counts[q]) {
                            codes[r * k + s] = static_cast<std::uint16_t>(kCopied + t);
                            continue;
                        }
                    }
                    bool tied = false;
                    const std::array<std::size_t, 3> bins = pair_bins(at[r], at[q], &tied);
                    codes[r * k + s] = code_of(bins, tied);
                }
            }
        });
        // The SPFHs, by place.
        for_ranges(n, 256, [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                if (counts[r] == 0) continue;
                const std::uint32_t* near = kept.data() + r * k;
                std::uint32_t bins[kFpfhWidth] = {};
                for (std::size_t s = 0; s < counts[r]; ++s) {
                    std::uint16_t code = codes[r * k + s];
                    if ((code & kCopied) != 0) {
                        code = codes[near[s] * k + (code & kBins)];
                        if ((code & kTied) != 0) code = code_of(pair_bins(at[r], at[near[s]], nullptr), false);
                    }
                    const std::size_t packed = code & kBins;
                    ++bins[packed % kFpfhBins];
                    ++bins[kFpfhBins + packed / kFpfhBins % kFpfhBins];
                    ++bins[2 * kFpfhBins + packed / (kFpfhBins * kFpfhBins)];
                }
                spfh_of(r, bins, counts[r]);
            }
        });
        // Each point's SPFH plus its neighbours', weighted and scaled. A
        // squared distance computed again is the search's: the same
        // differences (of opposite sign) squared and added in its order.
        auto spfh_row = [&](std::size_t r) { return spfh.data() + r * kFpfhWidth; };
        for_ranges(n, 256, [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                if (counts[r] == 0) continue;
                const std::uint32_t* near = kept.data() + r * k;
                const Vec3d& point = points[at[r]];
                fpfh_row(spfh_row, r, [&](const auto& visit) {
                    for (std::size_t s = 0; s < counts[r]; ++s) visit(near[s], point.distance_squared(points[at[near[s]]]));
                }, out + std::size_t{at[r]} * kFpfhWidth);
            }
        });
        return;
    }
    // The SPFH of each point, then its neighbours found again.
    ask_each_point(tree, question, false, for_ranges,
                   [&](std::size_t i, NearestKResult& result, std::vector<Neighbour>&) {
                       const std::span<const Neighbour> found = result.finish();
                       if (!usable(i)) return;
                       std::uint32_t bins[kFpfhWidth] = {};
                       std::size_t count = 0;
                       for (const Neighbour& q : found) {
                           if (!is_finite(normals[q.index])) continue;
                           for (const std::size_t b : pair_bins(i, q.index, nullptr)) ++bins[b];
                           ++count;
                       }
                       if (count != 0) spfh_of(i, bins, count);
                   });
    ask_each_point(tree, question, false, for_ranges,
                   [&](std::size_t i, NearestKResult& result, std::vector<Neighbour>&) {
                       const std::span<const Neighbour> found = result.finish();
                       if (!usable(i)) return;
                       fpfh_row([&](std::size_t q) { return spfh.data() + q * kFpfhWidth; }, i, [&](const auto& visit) {
                           for (const Neighbour& q : found) {
                               if (is_finite(normals[q.index])) visit(q.index, q.squared());
                           }
                       }, out + i * kFpfhWidth);
                   });
}

}  // namespace tessary
