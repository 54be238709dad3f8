// The 6x6 normal equations of a linearised rigid motion, H xi = -g, over
// xi = (omega, tau): the small rotation vector and the translation of a
// step x -> x + omega x x + tau, and their stable solution.
//
// H and g are sums over correspondences taken in fixed chunks (reduction.hpp)
// so that they are the same bits at any number of threads. The solution
// scales H to a unit diagonal (the rotation's entries carry the square of
// the cloud's size, the translation's none), takes the eigensystem of the
// scaled matrix by the fixed Jacobi method, and keeps the directions whose
// eigenvalue exceeds kRankShare of the largest: the step is the
// least-squares solution of least norm within them and zero along the
// others, so a scene that leaves a motion unconstrained (a plane, a
// corridor) does not move along it, and no step is NaN.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "matrix.hpp"
#include "symmetric_eigen.hpp"

namespace tessary {

using Vector6 = std::array<double, 6>;

struct NormalEquations {
    SquareMatrix<6> h{};  // upper triangle filled; mirrored when solved
    Vector6 g{};

    NormalEquations operator+(const NormalEquations& other) const {
        NormalEquations out = *this;
        for (std::size_t a = 0; a < 6; ++a) {
            for (std::size_t b = a; b < 6; ++b) out.h[a][b] = h[a][b] + other.h[a][b];
            out.g[a] = g[a] + other.g[a];
        }
        return out;
    }

    // Adds w j j^T and w j r for a scalar residual r with gradient j.
    void add_row(const Vector6& j, double r, double w) {
        for (std::size_t a = 0; a < 6; ++a) {
            const double wa = w * j[a];
            for (std::size_t b = a; b < 6; ++b) h[a][b] = h[a][b] + wa * j[b];
            g[a] = g[a] + wa * r;
        }
    }
};

// Eigenvalues of the scaled matrix at or below this share of the largest
// leave their direction unconstrained.
inline constexpr double kRankShare = 1e-12;

// A system with a NaN or infinite entry has no step: `finite` is false.
struct Step {
    Vector6 xi{};
    std::size_t rank = 0;  // constrained directions, 6 when none is free
    bool finite = true;
};

inline Step solve_normal_equations(const NormalEquations& system) {
    Step out;
    SquareMatrix<6> h = system.h;
    for (std::size_t a = 0; a < 6; ++a) {
        for (std::size_t b = 0; b < a; ++b) h[a][b] = h[b][a];
    }
    out.finite = all_finite(h);
    for (double x : system.g) out.finite = out.finite && std::isfinite(x);
    if (!out.finite) return out;
    // D = diag(H)^(-1/2), 0 where the diagonal is 0 (a direction no
    // correspondence moves).
    Vector6 d{};
    for (std::size_t a = 0; a < 6; ++a) d[a] = h[a][a] > 0.0 ? 1.0 / std::sqrt(h[a][a]) : 0.0;
    SquareMatrix<6> scaled{};
    for (std::size_t a = 0; a < 6; ++a) {
        for (std::size_t b = 0; b < 6; ++b) scaled[a][b] = (d[a] * h[a][b]) * d[b];
    }
    const Eigensystem<6> e = symmetric_eigen<6>(scaled);
    const double largest = e.values[5];
    if (!(largest > 0.0)) return out;
    Vector6 dg{};
    for (std::size_t a = 0; a < 6; ++a) dg[a] = d[a] * system.g[a];
    Vector6 y{};
    for (std::size_t k = 0; k < 6; ++k) {
        if (!(e.values[k] > kRankShare * largest)) continue;
        ++out.rank;
        double projection = 0.0;
        for (std::size_t a = 0; a < 6; ++a) projection = projection + e.vectors[k][a] * dg[a];
        const double c = -(projection / e.values[k]);
        for (std::size_t a = 0; a < 6; ++a) y[a] = y[a] + c * e.vectors[k][a];
    }
    for (std::size_t a = 0; a < 6; ++a) out.xi[a] = d[a] * y[a];
    return out;
}

}  // namespace tessary
