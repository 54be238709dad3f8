// The core k-d tree on its own, without Python or the worker pool, with
// indices kept in 64 bits as they are from 2**32 points on: every answer
// against a scan of every point. Points on a small integer grid, each
// twice, with a few non-finite ones, so that distances tie everywhere.
// Prints "ok", or the first disagreement.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "kd_tree.hpp"

using tessary::KdTree;
using tessary::Neighbour;
using tessary::Vec3d;

namespace {

std::vector<Neighbour> ranked(const std::vector<Vec3d>& points, const Vec3d& q) {
    std::vector<Neighbour> all;
    for (std::size_t i = 0; i < points.size(); ++i) all.push_back({i, tessary::distance_key(points[i].distance_squared(q))});
    std::sort(all.begin(), all.end(), [](const Neighbour& a, const Neighbour& b) { return tessary::precedes(a.key, a.index, b); });
    return all;
}

int fail(const char* what, std::size_t query) {
    std::printf("%s differs for query %zu\n", what, query);
    return 1;
}

}  // namespace

int main() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<Vec3d> points;
    for (int copy = 0; copy < 2; ++copy) {
        for (int x = 0; x < 9; ++x) {
            for (int y = 0; y < 9; ++y) {
                for (int z = 0; z < 9; ++z) points.push_back({double(x), double(y), double(z)});
            }
        }
    }
    points.insert(points.begin() + 100, {nan, 1, 2});
    points.insert(points.begin() + 700, {inf, 0, 0});
    const KdTree tree(points);
    if (tree.size() != points.size() || tree.non_finite() != 2) return fail("size", 0);
    std::vector<Vec3d> queries;
    for (int i = 0; i < 60; ++i) queries.push_back({0.5 * (i % 19) - 1, 0.25 * (i % 7) + 2, 4.0 - 0.5 * (i % 5)});
    queries.push_back({inf, 0, 0});
    queries.push_back({nan, 0, 0});
    const std::uint64_t limit = tessary::within_key(1.5);
    for (std::size_t j = 0; j < queries.size(); ++j) {
        const Vec3d& q = queries[j];
        const std::vector<Neighbour> all = ranked(points, q);
        const Neighbour one = tree.nearest(q);
        if (one.index != all[0].index || one.key != all[0].key) return fail("nearest", j);
        // Searched outwards from any node (and from no node at all), with
        // the point found: the same answer within the limit.
        if (tessary::kd_detail::finite(q)) {
            const Neighbour within = tree.nearest(q, limit);
            for (std::size_t start = 0; start < 300; ++start) {
                Vec3d point{-1, -1, -1};
                std::size_t leaf = start == 299 ? std::size_t(-1) : start;
                const Neighbour from = tree.nearest(q, limit, point, leaf);
                if (from.index != within.index || from.key != within.key) return fail("nearest from a node", j);
                if (from.index != points.size()) {
                    const Vec3d& p = points[from.index];
                    if (point.x != p.x || point.y != p.y || point.z != p.z) return fail("the point found", j);
                    Vec3d again{};
                    if (tree.nearest(q, limit, again, leaf).index != from.index) return fail("from the leaf found", j);
                }
            }
        }
        Neighbour found[12];
        tree.nearest_k(q, 12, tessary::kNaNKey, found);
        for (std::size_t s = 0; s < 12; ++s) {
            if (found[s].index != all[s].index || found[s].key != all[s].key) return fail("nearest_k", j);
        }
        std::vector<Neighbour> near;
        for (const Neighbour& n : all) {
            if (n.key <= limit) near.push_back(n);
        }
        if (tree.count_within(q, limit) != near.size()) return fail("count_within", j);
        std::vector<Neighbour> listed;
        tree.within(q, limit, listed);
        if (listed.size() != near.size()) return fail("within", j);
        for (std::size_t s = 0; s < near.size(); ++s) {
            if (listed[s].index != near[s].index) return fail("within", j);
        }
    }
    std::printf("ok\n");
    return 0;
}
