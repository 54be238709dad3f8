// Robust kernels for ICP: the weight w(r) that iteratively reweighted
// least squares gives a correspondence of residual r >= 0, w(r) = rho'(r) / r
// for the kernel's loss rho, with s the kernel's scale:
//
//   L2             w = 1
//   L1             w = 1 / max(r, kL1Floor)
//   Huber          w = 1 where r <= s, else s / r
//   Cauchy         w = 1 / (1 + (r / s)^2)
//   Geman-McClure  w = (s^2 / (s^2 + r^2))^2
//   Tukey          w = (1 - (r / s)^2)^2 where r <= s, else 0
//
// Open3D's weights, but for two: its L1 divides by r unguarded (an exact
// correspondence would weigh infinitely), and its GMLoss(k) is
// k / (k + r^2)^2, this kernel with s = sqrt(k) times the constant 1 / k,
// which no step depends on.
#pragma once

#include <cmath>

namespace tessary {

enum class KernelKind { kL2, kL1, kHuber, kCauchy, kGemanMcClure, kTukey };

// Residuals below this count as this in L1's weight.
inline constexpr double kL1Floor = 1e-12;

struct RobustKernel {
    KernelKind kind = KernelKind::kL2;
    double scale = 1.0;  // s > 0; not read by L2 and L1

    double weight(double r) const {
        switch (kind) {
            case KernelKind::kL2:
                return 1.0;
            case KernelKind::kL1:
                return 1.0 / std::fmax(r, kL1Floor);
            case KernelKind::kHuber:
                return r <= scale ? 1.0 : scale / r;
            case KernelKind::kCauchy: {
                const double u = r / scale;
                return 1.0 / (1.0 + u * u);
            }
            case KernelKind::kGemanMcClure: {
                const double s2 = scale * scale;
                const double ratio = s2 / (s2 + r * r);
                return ratio * ratio;
            }
            case KernelKind::kTukey: {
                if (!(r <= scale)) return 0.0;
                const double u = r / scale;
                const double v = 1.0 - u * u;
                return v * v;
            }
        }
        return 1.0;
    }
};

}  // namespace tessary
