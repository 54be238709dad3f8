// When RANSAC has drawn enough samples: after k samples of three points,
// with a share w of the points inliers of the best plane so far, all k
// missed an all-inlier sample with probability (1 - w^3)^k. The search
// stops once that is at most 1 - confidence, that is once
// k >= log(1 - confidence) / log(1 - w^3). The power is taken by repeated
// squaring, each product rounded on its own, so that the decision needs
// no logarithm and is the same on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary {

// Whether k samples reach `confidence` (in (0, 1)) with `inliers` of n
// points inliers (n > 0).
constexpr bool confidence_reached(std::size_t inliers, std::size_t n, std::uint64_t k, double confidence) {
    const double w = static_cast<double>(inliers) / static_cast<double>(n);
    const double miss = 1.0 - (w * w) * w;
    double power = 1.0;
    double base = miss;
    for (std::uint64_t e = k; e != 0; e >>= 1) {
        if ((e & 1) != 0) power = power * base;
        base = base * base;
    }
    return power <= 1.0 - confidence;
}

}  // namespace tessary
