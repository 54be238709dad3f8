// RANSAC plane detection: samples of three points drawn by a counter-based
// generator (counter_random.hpp), each sample's plane scored by the number
// of points within a distance of it (plane_scoring.hpp), the best kept.
//
// Trial t draws the triple distinct_triple(seed, stream, t, n) whoever
// evaluates it. Trials run in blocks of kPlaneTrialBlock, the trials of a block
// shared out over the threads and their scores then taken in trial order:
// a trial replaces the best only with strictly more inliers, so ties go to
// the earlier trial. With a confidence, the stopping rule
// (ransac_confidence.hpp) is checked after each block, on the trials so
// far; the answer is thus the same at any number of threads.
//
// A sample is degenerate, skipped and counted, when its three points are
// (nearly) collinear or coincide: the squared magnitude of
// (q1 - q0) × (q2 - q0) at most 2^-40 times |q1 - q0|² |q2 - q0|² (the
// squared sine of the angle at q0), or not finite.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "counter_random.hpp"
#include "plane_scoring.hpp"
#include "ransac_confidence.hpp"
#include "vec3d.hpp"

namespace tessary {

inline constexpr std::size_t kPlaneTrialBlock = 64;
inline constexpr double kDegenerateSine2 = 0x1p-40;

struct RansacSettings {
    double distance;
    std::uint64_t iterations;
    std::optional<double> confidence;
    std::uint64_t seed;
    std::uint64_t stream;
};

struct RansacOutcome {
    std::optional<CentredPlane> best;  // none when every sample was degenerate
    std::size_t inliers = 0;
    std::uint64_t best_trial = 0;
    std::uint64_t iterations = 0;  // trials drawn
    std::uint64_t degenerate = 0;  // of them skipped
};

// The plane through three centred points, or nullopt for a degenerate
// sample.
inline std::optional<CentredPlane> sample_plane(const Vec3d& q0, const Vec3d& q1, const Vec3d& q2) {
    const Vec3d e1 = q1.sub(q0);
    const Vec3d e2 = q2.sub(q0);
    const Vec3d c = e1.cross(e2);
    const double area = c.dot(c);
    if (!(area > kDegenerateSine2 * (e1.dot(e1) * e2.dot(e2))) || !std::isfinite(area)) return std::nullopt;
    const double length = std::sqrt(area);
    const Vec3d unit{c.x / length, c.y / length, c.z / length};
    return CentredPlane{unit, -unit.dot(q0)};
}

// The sampled plane of trial t over points (n >= 3), in cloud's frame.
inline std::optional<CentredPlane> trial_plane(std::span<const Vec3d> points, const ScoringCloud& cloud,
                                               const RansacSettings& settings, std::uint64_t t) {
    const std::array<std::size_t, 3> s = distinct_triple(settings.seed, settings.stream, t, points.size());
    return sample_plane(cloud.centred(points[s[0]]), cloud.centred(points[s[1]]), cloud.centred(points[s[2]]));
}

template <class ForRanges>
RansacOutcome ransac_plane(std::span<const Vec3d> points, const ScoringCloud& cloud, const RansacSettings& settings,
                           const ForRanges& for_ranges) {
    RansacOutcome out;
    const std::size_t n = points.size();
    struct Score {
        std::optional<CentredPlane> plane;
        std::size_t count = 0;
    };
    std::vector<Score> scores(kPlaneTrialBlock);
    while (out.iterations < settings.iterations) {
        const std::uint64_t first = out.iterations;
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(kPlaneTrialBlock, settings.iterations - first));
        for_ranges(size, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                Score& score = scores[k];
                score.plane = trial_plane(points, cloud, settings, first + k);
                score.count = score.plane ? cloud.count_within(*score.plane, settings.distance) : 0;
            }
        });
        for (std::size_t k = 0; k < size; ++k) {
            if (!scores[k].plane) {
                ++out.degenerate;
            } else if (!out.best || scores[k].count > out.inliers) {
                out.best = scores[k].plane;
                out.inliers = scores[k].count;
                out.best_trial = first + k;
            }
        }
        out.iterations += size;
        if (settings.confidence && out.best &&
            confidence_reached(out.inliers, n, out.iterations, *settings.confidence)) {
            break;
        }
    }
    return out;
}

// mask[i] = whether points[i] passes the test of `plane`, in cloud's frame.
template <class ForRanges>
void inlier_mask(std::span<const Vec3d> points, const ScoringCloud& cloud, const CentredPlane& plane, double distance,
                 bool* mask, const ForRanges& for_ranges) {
    for_ranges(points.size(), 4096, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) mask[i] = within(plane, cloud.centred(points[i]), distance);
    });
}

}  // namespace tessary
