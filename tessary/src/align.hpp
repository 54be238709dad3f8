// The best rotation and the best rigid transform between paired points:
// Wahba's problem solved by Horn's quaternion method, on sums that are
// exact or taken in fixed chunks (reduction.hpp), so the fits are the same
// bits at any number of threads.
//
// A fit reads its pairs from a source with
//   bool taken(i)          whether pair i counts;
//   const Vec3d& a(i)      its first point (the one moved);
//   const Vec3d& b(i)      its second point (where a should land);
//   double weight(i)       its weight, read only by the weighted fits;
// for i < n. PointPairs is the source of two lists and their weights;
// ICP's estimate step reads its correspondences the same way.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "exact_sum.hpp"
#include "exact_value.hpp"
#include "int128.hpp"
#include "matrix.hpp"
#include "quat.hpp"
#include "reduction.hpp"
#include "symmetric_eigen.hpp"
#include "transform.hpp"
#include "vec3d.hpp"

namespace tessary {

// Pairs per fixed chunk of a floating-point sum.
inline constexpr std::size_t kPairChunk = 4096;
// Pairs per partial exact sum: any division gives the same exact total.
inline constexpr std::size_t kExactChunk = 16384;

// Pair i is (a[i], b[i]), with weights[i] where weights are given.
struct PointPairs {
    std::span<const Vec3d> first;
    std::span<const Vec3d> second;
    const double* weights = nullptr;

    static bool taken(std::size_t) { return true; }
    const Vec3d& a(std::size_t i) const { return first[i]; }
    const Vec3d& b(std::size_t i) const { return second[i]; }
    double weight(std::size_t i) const { return weights[i]; }
};

// The correlation sum(a_j b_k) of pairs.
struct Correlation {
    Matrix3 h{};
    Correlation operator+(const Correlation& other) const {
        Correlation out;
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t k = 0; k < 3; ++k) out.h[j][k] = h[j][k] + other.h[j][k];
        }
        return out;
    }
    // Adds (x_j y_k) for every j, k.
    void add(const Vec3d& x, const Vec3d& y) {
        const std::array<double, 3> a = x.to_array();
        const std::array<double, 3> b = y.to_array();
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t k = 0; k < 3; ++k) h[j][k] = h[j][k] + a[j] * b[k];
        }
    }
};

// A sum of squares, in a chunk's order.
struct SquareSum {
    double sum = 0.0;
    SquareSum operator+(const SquareSum& other) const { return {sum + other.sum}; }
};

// Eigenvalues of Horn's matrix within this share of the largest magnitude
// of the top one count as that eigenvalue repeated: the optimum is then a
// family of rotations.
inline constexpr double kRepeatedShare = 0x1p-36;

// The rotation q, in the module's convention (q.rotate(v) = conj(q) v q),
// that maximises sum w (q.rotate(a) . b), given the correlation
// h[j][k] = sum w a_j b_k. Horn's symmetric 4x4 matrix holds the textbook
// quaternion of the optimum as the eigenvector of its largest eigenvalue;
// the module's quaternion is its conjugate. Where that eigenvalue repeats
// (all vectors on one line, a single pair), the optimum is a family of
// rotations and the one with the largest w, the smallest angle, is taken;
// where every member has w = 0 (opposite directions), the half turn nearest
// to the first of i, j, k with the largest share. h = 0 gives the identity,
// and a NaN or infinite entry of h NaN components.
// The result is a unit quaternion with w >= 0 (the first non-zero of i, j,
// k positive when w = 0), without negative zeros. `repeated`, where given,
// is set to whether the optimum was a family (h = 0 included).
inline Quat wahba_rotation(const Matrix3& h, bool* repeated = nullptr) {
    // A NaN or infinite vector component: no rotation is best.
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (!all_finite(h)) return {nan, nan, nan, nan};
    const double xx = h[0][0], xy = h[0][1], xz = h[0][2];
    const double yx = h[1][0], yy = h[1][1], yz = h[1][2];
    const double zx = h[2][0], zy = h[2][1], zz = h[2][2];
    const SquareMatrix<4> horn{{
        {(xx + yy) + zz, yz - zy, zx - xz, xy - yx},
        {yz - zy, (xx - yy) - zz, xy + yx, zx + xz},
        {zx - xz, xy + yx, (yy - xx) - zz, yz + zy},
        {xy - yx, zx + xz, yz + zy, (zz - xx) - yy},
    }};
    const Eigensystem<4> e = symmetric_eigen<4>(horn);
    double scale = 0.0;
    for (double value : e.values) scale = std::fmax(scale, std::fabs(value));
    std::array<double, 4> q{};
    if (repeated != nullptr) *repeated = true;
    if (scale == 0.0) {
        q = {1.0, 0.0, 0.0, 0.0};
    } else {
        std::size_t first = 3;  // the repeated top eigenvalue's first index
        while (first > 0 && e.values[3] - e.values[first - 1] <= kRepeatedShare * scale) --first;
        if (first == 3) {
            if (repeated != nullptr) *repeated = false;
            q = e.vectors[3];
        } else {
            // Projections of the unit quaternions 1, i, j, k onto the
            // eigenspace of the top eigenvalue.
            auto project = [&](std::size_t axis) {
                std::array<double, 4> p{};
                for (std::size_t k = first; k < 4; ++k) {
                    const double weight = e.vectors[k][axis];
                    for (std::size_t r = 0; r < 4; ++r) p[r] = p[r] + weight * e.vectors[k][r];
                }
                return p;
            };
            auto norm2 = [](const std::array<double, 4>& p) { return ((p[0] * p[0] + p[1] * p[1]) + p[2] * p[2]) + p[3] * p[3]; };
            q = project(0);
            if (!(norm2(q) > 0x1p-40)) {
                q = project(1);
                for (std::size_t axis = 2; axis < 4; ++axis) {
                    const std::array<double, 4> p = project(axis);
                    if (norm2(p) > norm2(q)) q = p;
                }
            }
        }
    }
    // The module's quaternion is the conjugate of the textbook one; unit
    // length, w >= 0 (the first non-zero of i, j, k positive when w = 0).
    const double m = std::sqrt(((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3]);
    std::array<double, 4> r{q[0] / m, -(q[1] / m), -(q[2] / m), -(q[3] / m)};
    std::size_t lead = 0;
    while (lead < 3 && r[lead] == 0.0) ++lead;
    const bool negate = r[lead] < 0.0;
    for (double& x : r) x = (negate ? -x : x) + 0.0;
    return {r[0], r[1], r[2], r[3]};
}

// What rotation_align found: the rotation, and the root of the (weighted)
// sum of squared distances |rotation.rotate(a) - b|^2.
struct RotationFit {
    Quat rotation;
    double residual;
};

// The rotation that best maps the vectors a(i) onto the vectors b(i)
// (wahba_rotation of their correlation, each chunk summed in pair order),
// with its residual computed from the distances themselves, not from the
// eigenvalue, so that small residuals keep their digits.
template <bool Weighted, class PairSource, class ForRanges>
RotationFit rotation_align(std::size_t n, const PairSource& pairs, const ForRanges& for_ranges) {
    const Correlation correlation = sum_in_chunks<Correlation>(
        n, kPairChunk,
        [&](std::size_t begin, std::size_t end) {
            Correlation part;
            for (std::size_t i = begin; i < end; ++i) {
                if (!pairs.taken(i)) continue;
                part.add(Weighted ? pairs.a(i).mul(pairs.weight(i)) : pairs.a(i), pairs.b(i));
            }
            return part;
        },
        for_ranges);
    const Quat q = wahba_rotation(correlation.h);
    const SquareSum squares = sum_in_chunks<SquareSum>(
        n, kPairChunk,
        [&](std::size_t begin, std::size_t end) {
            SquareSum part;
            for (std::size_t i = begin; i < end; ++i) {
                if (!pairs.taken(i)) continue;
                const double d2 = q.rotate(pairs.a(i)).distance_squared(pairs.b(i));
                part.sum = part.sum + (Weighted ? pairs.weight(i) * d2 : d2);
            }
            return part;
        },
        for_ranges);
    return {q, std::sqrt(squares.sum)};
}

// The exact sums of the pairs taken: the (weighted) coordinates of both
// sides and the weights (their count when unweighted).
struct PairSums {
    std::array<ExactSum, 3> a{};
    std::array<ExactSum, 3> b{};
    ExactSum weight{};
    std::uint64_t count = 0;

    PairSums operator+(const PairSums& other) const {
        PairSums out = *this;
        for (std::size_t j = 0; j < 3; ++j) {
            out.a[j].merge(other.a[j]);
            out.b[j].merge(other.b[j]);
        }
        out.weight.merge(other.weight);
        out.count += other.count;
        return out;
    }
};

// Pairs at most whose centroids rigid_align takes from one 128-bit integer
// per coordinate (few_exact_mean), where their exponents allow.
inline constexpr std::size_t kFewPairs = 8;

// The exact mean of `count` doubles (0 < count <= kFewPairs), rounded once
// as an exact sum's divided_rounded rounds it, into `mean`: their
// mantissas added as integers on the grid of the finest of them, which
// holds their sum when every exponent lies within 70 of that one's. False,
// with `mean` untouched, for a NaN or an infinity or exponents further
// apart (an exact sum then gives the mean).
inline bool few_exact_mean(const double* values, std::size_t count, double& mean) {
    std::int64_t mantissas[kFewPairs];
    int lowest[kFewPairs];
    int finest = 0;
    bool any = false;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(values[i]);
        const int field = static_cast<int>((bits >> 52) & 0x7FF);
        if (field == 0x7FF) return false;
        const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
        const std::uint64_t magnitude = field == 0 ? fraction : fraction | (std::uint64_t{1} << 52);
        mantissas[i] = (bits >> 63) != 0 ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
        lowest[i] = (field == 0 ? 1 : field) - 1075;
        if (magnitude == 0) continue;
        finest = any ? std::min(finest, lowest[i]) : lowest[i];
        any = true;
    }
    if (!any) {
        mean = 0.0;
        return true;
    }
    Int128 sum;
    for (std::size_t i = 0; i < count; ++i) {
        if (mantissas[i] == 0) continue;
        const int shift = lowest[i] - finest;
        if (shift > 70) return false;
        sum.add_shifted(mantissas[i], shift);
    }
    std::uint64_t high, low;
    sum.magnitude(high, low);
    const ExactValue exact(sum.negative(),
                           {static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(low >> 32),
                            static_cast<std::uint32_t>(high), static_cast<std::uint32_t>(high >> 32)},
                           finest);
    mean = exact.divided_rounded(count);
    return true;
}

// What rigid_align found: the transform, and the centroids it was built
// around (which the residual needs); `unique` is false where the best
// rotation was one of a family (wahba_rotation's `repeated`).
struct RigidFit {
    Transform transform;
    Vec3d source_centroid;
    Vec3d target_centroid;
    bool unique = true;
};

// The transform of a rotation about the centroids: t = cb - r.rotate(ca),
// so that the source centroid lands on the target centroid.
inline Transform rigid_transform(const Quat& rotation, const Vec3d& source_centroid, const Vec3d& target_centroid) {
    return {rotation, target_centroid.sub(rotation.rotate(source_centroid))};
}

// rigid_align's fit about the centroids ca and cb: h[j][k] = sum of
// (w (a - ca))_j (b - cb)_k, each chunk in pair order, handed to
// wahba_rotation.
template <bool Weighted = false, class PairSource, class ForRanges>
RigidFit rigid_about(const Vec3d& ca, const Vec3d& cb, std::size_t n, const PairSource& pairs,
                     const ForRanges& for_ranges) {
    const Correlation correlation = sum_in_chunks<Correlation>(
        n, kPairChunk,
        [&](std::size_t begin, std::size_t end) {
            Correlation part;
            for (std::size_t i = begin; i < end; ++i) {
                if (!pairs.taken(i)) continue;
                const Vec3d x = pairs.a(i).sub(ca);
                part.add(Weighted ? x.mul(pairs.weight(i)) : x, pairs.b(i).sub(cb));
            }
            return part;
        },
        for_ranges);
    bool repeated = false;
    const Quat rotation = wahba_rotation(correlation.h, &repeated);
    return {rigid_transform(rotation, ca, cb), ca, cb, !repeated};
}

// The rigid transform t (unit rotation, never a reflection) that
// minimises sum w(i) |t.apply(a(i)) - b(i)|^2 over the pairs i < n with
// taken(i), read from `pairs` (every weight 1 unless Weighted). The centroids are the exact weighted
// means, each rounded once; each point's offset from its centroid is one
// subtraction (exact wherever the point is within a factor of two of its
// centroid, as every coordinate of a cloud far from the origin is); the
// correlation of the offsets is summed in fixed chunks and handed to
// wahba_rotation. No pair taken, or a zero total weight: the identity. A
// NaN or infinite coordinate: NaN components.
template <bool Weighted, class PairSource, class ForRanges>
RigidFit rigid_align(std::size_t n, const PairSource& pairs, const ForRanges& for_ranges) {
    if constexpr (!Weighted) {
        // A few pairs (a RANSAC sample): their exact means from integers.
        if (n <= kFewPairs) {
            double coordinates[6][kFewPairs];
            std::size_t count = 0;
            for (std::size_t i = 0; i < n; ++i) {
                if (!pairs.taken(i)) continue;
                const std::array<double, 3> a = pairs.a(i).to_array();
                const std::array<double, 3> b = pairs.b(i).to_array();
                for (std::size_t j = 0; j < 3; ++j) {
                    coordinates[j][count] = a[j];
                    coordinates[3 + j][count] = b[j];
                }
                ++count;
            }
            double means[6];
            bool exact = count != 0;
            for (std::size_t j = 0; j < 6 && exact; ++j) exact = few_exact_mean(coordinates[j], count, means[j]);
            if (exact) return rigid_about({means[0], means[1], means[2]}, {means[3], means[4], means[5]}, n, pairs, for_ranges);
        }
    }
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const PairSums sums = sum_in_chunks<PairSums>(
        n, kExactChunk,
        [&](std::size_t begin, std::size_t end) {
            PairSums part;
            for (std::size_t i = begin; i < end; ++i) {
                if (!pairs.taken(i)) continue;
                const std::array<double, 3> a = pairs.a(i).to_array();
                const std::array<double, 3> b = pairs.b(i).to_array();
                if constexpr (Weighted) {
                    const double w = pairs.weight(i);
                    for (std::size_t j = 0; j < 3; ++j) {
                        part.a[j].add_product(w, a[j]);
                        part.b[j].add_product(w, b[j]);
                    }
                    part.weight.add(w);
                } else {
                    for (std::size_t j = 0; j < 3; ++j) {
                        part.a[j].add(a[j]);
                        part.b[j].add(b[j]);
                    }
                }
                ++part.count;
            }
            return part;
        },
        for_ranges);
    for (std::size_t j = 0; j < 3; ++j) {
        if (sums.a[j].has_special() || sums.b[j].has_special()) {
            const Vec3d none{nan, nan, nan};
            return {{{nan, nan, nan, nan}, none}, none, none};
        }
    }
    const ExactValue total = sums.weight.value();
    if (sums.count == 0 || (Weighted && total.is_zero())) return {Transform::identity(), Vec3d::zero(), Vec3d::zero()};
    auto mean = [&](const ExactSum& sum) {
        return Weighted ? sum.value().quotient_rounded(total) : sum.value().divided_rounded(sums.count);
    };
    const Vec3d ca{mean(sums.a[0]), mean(sums.a[1]), mean(sums.a[2])};
    const Vec3d cb{mean(sums.b[0]), mean(sums.b[1]), mean(sums.b[2])};
    return rigid_about<Weighted>(ca, cb, n, pairs, for_ranges);
}

// The residual of a fit: the root of sum w(i) |r (a(i) - ca) - (b(i) - cb)|^2
// with r the fit's rotation, the squared distances summed in fixed chunks.
// This is the fit's own residual, measured between the offsets from the
// centroids: it equals sum w |t.apply(a) - b|^2 but for the rounding of
// applying t to coordinates far from the origin.
template <bool Weighted, class PairSource, class ForRanges>
double rigid_residual(std::size_t n, const PairSource& pairs, const RigidFit& fit, const ForRanges& for_ranges) {
    const Quat& r = fit.transform.rotation;
    const SquareSum squares = sum_in_chunks<SquareSum>(
        n, kPairChunk,
        [&](std::size_t begin, std::size_t end) {
            SquareSum part;
            for (std::size_t i = begin; i < end; ++i) {
                if (!pairs.taken(i)) continue;
                const double d2 = r.rotate(pairs.a(i).sub(fit.source_centroid))
                                      .distance_squared(pairs.b(i).sub(fit.target_centroid));
                part.sum = part.sum + (Weighted ? pairs.weight(i) * d2 : d2);
            }
            return part;
        },
        for_ranges);
    return std::sqrt(squares.sum);
}

}  // namespace tessary
