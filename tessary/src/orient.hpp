// Orienting normals: each flipped (negated) or kept, by a rule that
// depends on the data alone.
//
//   towards      n . (v - p) < 0: flipped, so that it points to the side
//                of the viewpoint v (a sensor's position);
//   along        n . d < 0: flipped, so that it points along d;
//   consistently along a spanning tree of least bending over a neighbour
//                graph (Hoppe's method): each part of the graph starts from
//                its point of lowest index, which keeps its sign, and every
//                other point is flipped where it disagrees (n . m < 0) with
//                the point it is reached from.
// A NaN normal stays NaN and is no part of the graph; a product of exactly
// zero keeps the sign.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <span>
#include <tuple>
#include <vector>

#include "vec3d.hpp"

namespace tessary {

inline Vec3d oriented(const Vec3d& normal, double agreement) { return agreement < 0.0 ? normal.neg() : normal; }

// Whether the normal is a direction at all.
inline bool has_direction(const Vec3d& normal) { return is_finite(normal); }

// The spanning tree is grown from each part's lowest index, always by the
// edge of least weight 1 - |n . m| (the least bending) out of the points
// reached, the lower (reached point, from point) first among equal
// weights; so the order, and each flip, depend on the graph alone.
// neighbours: k indices per point (an index >= normals.size() is none);
// the graph takes every such edge both ways.
inline void orient_consistently(std::span<Vec3d> normals, const std::size_t* neighbours, std::size_t k) {
    const std::size_t n = normals.size();
    // Both directions of every edge, by point: a compressed adjacency.
    std::vector<std::size_t> degree(n + 1, 0);
    auto usable = [&](std::size_t i, std::size_t j) {
        return j < n && j != i && has_direction(normals[i]) && has_direction(normals[j]);
    };
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t s = 0; s < k; ++s) {
            const std::size_t j = neighbours[i * k + s];
            if (!usable(i, j)) continue;
            ++degree[i + 1];
            ++degree[j + 1];
        }
    }
    for (std::size_t i = 0; i < n; ++i) degree[i + 1] += degree[i];
    std::vector<std::size_t> adjacent(degree[n]);
    std::vector<std::size_t> fill(degree.begin(), degree.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t s = 0; s < k; ++s) {
            const std::size_t j = neighbours[i * k + s];
            if (!usable(i, j)) continue;
            adjacent[fill[i]++] = j;
            adjacent[fill[j]++] = i;
        }
    }
    using Edge = std::tuple<double, std::size_t, std::size_t>;  // weight, to, from
    std::priority_queue<Edge, std::vector<Edge>, std::greater<Edge>> frontier;
    std::vector<bool> reached(n, false);
    auto reach = [&](std::size_t i) {
        reached[i] = true;
        for (std::size_t e = degree[i]; e < degree[i + 1]; ++e) {
            const std::size_t j = adjacent[e];
            if (reached[j]) continue;
            frontier.emplace(1.0 - std::fabs(normals[i].dot(normals[j])), j, i);
        }
    };
    for (std::size_t root = 0; root < n; ++root) {
        if (reached[root] || !has_direction(normals[root])) continue;
        reach(root);
        while (!frontier.empty()) {
            const auto [weight, to, from] = frontier.top();
            frontier.pop();
            if (reached[to]) continue;
            normals[to] = oriented(normals[to], normals[to].dot(normals[from]));
            reach(to);
        }
    }
}

}  // namespace tessary
