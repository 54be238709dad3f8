// Eigenvalues and eigenvectors of a small symmetric matrix, by the cyclic
// Jacobi method: rotations over the pairs (p, q) in row order, sweep after
// sweep, until every off-diagonal entry is zero or too small to change the
// diagonal. Only products, sums, divisions and square roots, in a fixed
// order and with a fixed stopping rule, so the result is the same to the
// last bit on every platform; the eigenvectors come out orthonormal to
// rounding, and small eigenvalues keep their relative accuracy.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "matrix.hpp"

namespace tessary {

template <std::size_t N>
struct Eigensystem {
    // Ascending; equal values keep the order the rotations left them in.
    std::array<double, N> values;
    // vectors[k] is the unit eigenvector of values[k].
    SquareMatrix<N> vectors;
};

// Plenty: the method converges quadratically, and 4x4 matrices need at
// most about ten sweeps. NaN entries end here, with NaN results.
inline constexpr int kJacobiSweeps = 60;

template <std::size_t N>
Eigensystem<N> symmetric_eigen(SquareMatrix<N> a) {
    SquareMatrix<N> v{};
    for (std::size_t i = 0; i < N; ++i) v[i][i] = 1.0;
    for (int sweep = 0; sweep < kJacobiSweeps; ++sweep) {
        bool rotated = false;
        for (std::size_t p = 0; p + 1 < N; ++p) {
            for (std::size_t q = p + 1; q < N; ++q) {
                const double apq = a[p][q];
                if (apq == 0.0) continue;
                // An entry that no longer changes either diagonal entry is
                // dropped: its rotation would be the identity in doubles.
                const double g = 100.0 * std::fabs(apq);
                if (std::fabs(a[p][p]) + g == std::fabs(a[p][p]) && std::fabs(a[q][q]) + g == std::fabs(a[q][q])) {
                    a[p][q] = 0.0;
                    a[q][p] = 0.0;
                    continue;
                }
                if (!(apq == apq)) continue;  // NaN: nothing to gain
                rotated = true;
                // The rotation by the smaller angle that zeroes a[p][q]:
                // t = tan(angle), from theta = cot(2 angle).
                const double h = a[q][q] - a[p][p];
                double t;
                if (std::fabs(h) + g == std::fabs(h)) {
                    t = apq / h;
                } else {
                    const double theta = 0.5 * h / apq;
                    t = 1.0 / (std::fabs(theta) + std::sqrt(1.0 + theta * theta));
                    if (theta < 0.0) t = -t;
                }
                const double c = 1.0 / std::sqrt(1.0 + t * t);
                const double s = t * c;
                const double tau = s / (1.0 + c);
                a[p][p] = a[p][p] - t * apq;
                a[q][q] = a[q][q] + t * apq;
                a[p][q] = 0.0;
                a[q][p] = 0.0;
                for (std::size_t r = 0; r < N; ++r) {
                    if (r == p || r == q) continue;
                    const double arp = a[r][p];
                    const double arq = a[r][q];
                    a[r][p] = arp - s * (arq + tau * arp);
                    a[r][q] = arq + s * (arp - tau * arq);
                    a[p][r] = a[r][p];
                    a[q][r] = a[r][q];
                }
                for (std::size_t r = 0; r < N; ++r) {
                    const double vrp = v[r][p];
                    const double vrq = v[r][q];
                    v[r][p] = vrp - s * (vrq + tau * vrp);
                    v[r][q] = vrq + s * (vrp - tau * vrq);
                }
            }
        }
        if (!rotated) break;
    }
    Eigensystem<N> out{};
    std::array<std::size_t, N> order{};
    for (std::size_t i = 0; i < N; ++i) order[i] = i;
    // Insertion sort, stable; a NaN never moves.
    for (std::size_t i = 1; i < N; ++i) {
        for (std::size_t j = i; j > 0 && a[order[j]][order[j]] < a[order[j - 1]][order[j - 1]]; --j) {
            std::swap(order[j], order[j - 1]);
        }
    }
    for (std::size_t k = 0; k < N; ++k) {
        out.values[k] = a[order[k]][order[k]];
        for (std::size_t r = 0; r < N; ++r) out.vectors[k][r] = v[r][order[k]];
    }
    return out;
}

// The vector negated where needed so that its component of largest
// magnitude (the first of equals) is positive: one sign for every axis.
template <std::size_t N>
std::array<double, N> with_positive_lead(std::array<double, N> u) {
    std::size_t lead = 0;
    for (std::size_t i = 1; i < N; ++i) {
        if (std::fabs(u[i]) > std::fabs(u[lead])) lead = i;
    }
    if (u[lead] < 0.0) {
        for (double& x : u) x = -x;
    }
    return u;
}

}  // namespace tessary
