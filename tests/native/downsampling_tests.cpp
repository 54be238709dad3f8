// Downsampling: the exact voxel index of each of its three ways against the
// exact search, the rounding of 128-bit sums against ExactSum's, the radix
// sort against a stable sort, voxel grids against a grouping by std::map,
// and farthest-point sampling against the plain rule, each on cut-up
// ranges too.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "checks.hpp"
#include "exact_sum.hpp"
#include "farthest_points.hpp"
#include "int128.hpp"
#include "radix_sort.hpp"
#include "reduction.hpp"
#include "voxel_grid.hpp"
#include "voxel_index.hpp"

namespace native_tests {
namespace {

using tessary::Vec3d;

std::string hex(double v) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%a", v);
    return buffer;
}

void voxel_index_cases(Checks& checks) {
    // (p, origin, edge): on boundaries of decimal grids, a double either
    // side of them, at map coordinates, with edges and coordinates where
    // the error terms would under- or overflow, and quotients from 2^40 up.
    std::vector<std::array<double, 3>> cases;
    for (const double edge : {0.1, 0.01, 0.05, 1.0 / 3.0, 0.3, 1e-3, 7.0}) {
        for (const double origin : {0.0, -0.0, 0.25, -1e3, 512000.0}) {
            for (int k = -40; k <= 40; ++k) {
                const double p = origin + k * edge;
                for (const double q : {p, std::nextafter(p, -INFINITY), std::nextafter(p, INFINITY)}) {
                    cases.push_back({q, origin, edge});
                }
            }
        }
    }
    std::mt19937_64 random(7);
    for (int i = 0; i < 500; ++i) {
        const double x = 512000.0 + std::uniform_real_distribution<double>(0, 100)(random);
        const double e = 0.01;
        const double snapped = std::floor(x / e) * e;
        cases.push_back({snapped, 0.0, e});
        cases.push_back({std::nextafter(snapped, 0.0), 0.0, e});
        cases.push_back({x, 0.25, e});
        cases.push_back({5430000.0 + x * 1e-3, 0.0, 0.005});
    }
    for (const double edge : {1e-300, 0x1p-1000, 0x1p-1074, 1e300, 0x1p1000}) {
        for (const double p : {0.0, 1e-310, -1e-310, 3e-300, -7e-299, 1e-285, 5e300, -1.7e308, 1.7e308}) {
            cases.push_back({p, 0.0, edge});
            cases.push_back({p, -1e-300, edge});
        }
    }
    for (const double p : {0x1p40 * 0.01, 0x1p45 * 0.01 + 0.005, 0x1p52 * 0.01, 0x1p62 * 0.01, 0x1p63 * 0.01,
                           -0x1p63 * 0.01, 9.2e16, -9.3e16, 1.7e308}) {
        cases.push_back({p, 0.0, 0.01});
        cases.push_back({p, -1.7e308, 0.01});
        cases.push_back({std::nextafter(p, 0.0), 0.0, 0.01});
    }
    for (const auto& [p, origin, edge] : cases) {
        const std::optional<std::int64_t> fast = tessary::voxel_index(p, origin, edge);
        const std::optional<std::int64_t> exact = tessary::voxel_index_detail::search(p, origin, edge);
        checks.expect(fast == exact, "voxel_index(" + hex(p) + ", " + hex(origin) + ", " + hex(edge) + ")");
    }
    // Known answers: exactly on a boundary goes up, just below stays.
    checks.expect(tessary::voxel_index(0.5, 0.0, 0.25) == 2, "0.5 / 0.25");
    checks.expect(tessary::voxel_index(std::nextafter(0.5, 0.0), 0.0, 0.25) == 1, "below 0.5 / 0.25");
    checks.expect(tessary::voxel_index(-0.0, 0.0, 1.0) == 0 && tessary::voxel_index(-1e-300, 0.0, 1.0) == -1, "zeros");
    // 0.3 is below 3 * 0.1 exactly, so its quotient by 0.1 is below 3.
    checks.expect(tessary::voxel_index(0.3, 0.0, 0.1) == 2, "0.3 / 0.1");
    checks.expect(!tessary::voxel_index(1.0, 0.0, 0x1p-63).has_value(), "2^63 voxels");
    checks.expect(tessary::voxel_index(std::nextafter(1.0, 0.0), 0.0, 0x1p-63) ==
                      std::numeric_limits<std::int64_t>::max() - 1023, "below 2^63 voxels");
    checks.expect(tessary::voxel_index(-1.0, 0.0, 0x1p-63) == std::numeric_limits<std::int64_t>::min(), "-2^63");
}

void rounding_cases(Checks& checks) {
    std::mt19937_64 random(11);
    for (int i = 0; i < 20000; ++i) {
        tessary::Int128 value;
        const std::int64_t a = static_cast<std::int64_t>(random());
        const int shift = static_cast<int>(random() % 62);
        // A few terms whose sum has runs of ones and zeros below the 53rd
        // bit, so that rounding meets ties and near-ties.
        value.add_shifted(a >> (random() % 40), shift);
        if (i % 3 == 0) value.add(static_cast<std::int64_t>(random() % 3) - 1);
        if (i % 5 == 0) value.add_shifted(std::int64_t{1}, static_cast<int>(random() % 64));
        const int lowest = static_cast<int>(random() % 2400) - 1300;
        tessary::ExactSum sum;
        sum.add_integer(value, lowest);
        const double expected = sum.round();
        checks.expect(same_bits(tessary::round_scaled(value, lowest), expected), "round_scaled at " + std::to_string(lowest));
    }
    tessary::Int128 tie;
    tie.add_shifted((std::int64_t{1} << 53) + 1, 1);  // 2^54 + 2: halfway, even below
    checks.expect(tessary::round_scaled(tie, 0) == 0x1p54, "tie to even");
}

void radix_cases(Checks& checks) {
    std::mt19937_64 random(3);
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{1000},
                                std::size_t{200000}}) {
        for (const int bits : {1, 9, 17, 40}) {
            std::vector<std::uint64_t> records(n), scratch(n);
            for (std::size_t i = 0; i < n; ++i) records[i] = ((random() & ((std::uint64_t{1} << bits) - 1)) << 20) | i;
            std::vector<std::uint64_t> expected = records;
            std::stable_sort(expected.begin(), expected.end(), [](auto a, auto b) { return (a >> 20) < (b >> 20); });
            const std::uint64_t* sorted = tessary::radix_sort(records.data(), scratch.data(), n, 20, bits, ChoppyRanges{});
            checks.expect(std::equal(expected.begin(), expected.end(), sorted),
                          "radix sort of " + std::to_string(n) + " by " + std::to_string(bits) + " bits");
        }
    }
}

// Each voxel's points by std::map, in the order of first points.
struct Expected {
    std::vector<Vec3d> centroids;
    std::vector<long> counts, nearest, inverse;
};

Expected group_by_map(const std::vector<Vec3d>& points, const Vec3d& origin, double edge) {
    std::map<std::array<std::int64_t, 3>, std::vector<std::size_t>> members;
    std::vector<std::array<std::int64_t, 3>> order;
    // The bisection takes some 64 exact comparisons: each coordinate value
    // is searched once.
    std::array<std::map<double, std::int64_t>, 3> searched;
    auto index = [&](std::size_t axis, double p, double o) {
        auto [at, added] = searched[axis].try_emplace(p);
        if (added) at->second = *tessary::voxel_index_detail::search(p, o, edge);
        return at->second;
    };
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Vec3d& p = points[i];
        if (!tessary::is_finite(p)) continue;
        const std::array<std::int64_t, 3> cell{index(0, p.x, origin.x), index(1, p.y, origin.y),
                                               index(2, p.z, origin.z)};
        auto& list = members[cell];
        if (list.empty()) order.push_back(cell);
        list.push_back(i);
    }
    Expected out;
    out.inverse.assign(points.size(), static_cast<long>(order.size()));
    for (std::size_t v = 0; v < order.size(); ++v) {
        const std::vector<std::size_t>& list = members[order[v]];
        std::array<tessary::ExactSum, 3> sums;
        for (const std::size_t i : list) {
            for (std::size_t a = 0; a < 3; ++a) sums[a].add(points[i].index(a));
            out.inverse[i] = static_cast<long>(v);
        }
        const double n = static_cast<double>(list.size());
        const Vec3d c{sums[0].round() / n, sums[1].round() / n, sums[2].round() / n};
        std::size_t best = list[0];
        for (const std::size_t i : list) {
            if (points[i].distance_squared(c) < points[best].distance_squared(c)) best = i;
        }
        out.centroids.push_back(c);
        out.counts.push_back(static_cast<long>(list.size()));
        out.nearest.push_back(static_cast<long>(best));
    }
    return out;
}

template <class ForRanges>
void check_grid(Checks& checks, const std::vector<Vec3d>& points, const Vec3d& origin, double edge,
                const std::string& what, const ForRanges& for_ranges, int most_key_bits = 64,
                const Expected* known = nullptr) {
    const Expected expected = known != nullptr ? *known : group_by_map(points, origin, edge);
    std::vector<long> inverse(points.size());
    std::vector<Vec3d> centroids;
    std::vector<long> counts, nearest;
    const tessary::VoxelCount found = tessary::voxelize(
        std::span<const Vec3d>(points), origin, edge, inverse.data(),
        [&](std::size_t m) {
            centroids.resize(m);
            counts.resize(m);
            nearest.resize(m);
            return tessary::VoxelResults<long>{centroids.data(), counts.data(), nearest.data()};
        },
        for_ranges, most_key_bits);
    bool same = !found.overflow && found.voxels == expected.counts.size() && counts == expected.counts &&
                nearest == expected.nearest && inverse == expected.inverse;
    for (std::size_t v = 0; same && v < centroids.size(); ++v) same = same_bits(centroids[v], expected.centroids[v]);
    checks.expect(same, what);
}

void voxel_grid_cases(Checks& checks) {
    std::mt19937_64 random(5);
    // Points on a grid of tenths, some twice, a voxel edge that puts many
    // on boundaries, negative coordinates, zeros of both signs, NaN and
    // infinite points.
    std::vector<Vec3d> grid_points;
    for (int i = 0; i < 3000; ++i) {
        auto tenth = [&] { return static_cast<double>(static_cast<int>(random() % 41) - 20) * 0.1; };
        grid_points.push_back({tenth(), tenth(), i % 7 == 0 ? -0.0 : tenth()});
        if (i % 5 == 0) grid_points.push_back(grid_points.back());
    }
    grid_points[17] = {NAN, 0, 0};
    grid_points[40] = {0, INFINITY, 1};
    for (const double edge : {0.2, 0.5, 0.1, 3.0}) {
        for (const Vec3d& origin : {Vec3d{0, 0, 0}, Vec3d{0.05, -0.3, 1e-3}}) {
            check_grid(checks, grid_points, origin, edge, "grid of tenths, edge " + hex(edge), tessary::SerialRanges{});
            check_grid(checks, grid_points, origin, edge, "grid of tenths, cut up, edge " + hex(edge), ChoppyRanges{});
        }
    }
    // At map coordinates with centimetre voxels; spread so wide that the
    // keys are hashed; and hashed into 12 bits, so that voxels share
    // hashes (into 5 bits on the grid, dozens to each).
    std::vector<Vec3d> map_points = uniform_points(1500, 0, 30, 9);
    for (Vec3d& p : map_points) p = {512000.0 + p.x, 5430000.0 + p.y, 231.0 + p.z * 0.01};
    check_grid(checks, map_points, {0, 0, 0}, 0.01, "map coordinates", ChoppyRanges{});
    std::vector<Vec3d> wide = uniform_points(2500, -1e6, 1e6, 13);
    for (std::size_t i = 0; i < wide.size(); i += 3) wide[i] = wide[i / 2];  // shared voxels
    const Expected wide_voxels = group_by_map(wide, {0, 0, 0}, 1e-6);
    check_grid(checks, wide, {0, 0, 0}, 1e-6, "hashed keys", ChoppyRanges{}, 64, &wide_voxels);
    check_grid(checks, wide, {0, 0, 0}, 1e-6, "colliding hashes", ChoppyRanges{}, 12, &wide_voxels);
    check_grid(checks, grid_points, {0, 0, 0}, 0.1, "grid, colliding hashes", ChoppyRanges{}, 5);
    check_grid(checks, wide, {0, 0, 0}, 5e4, "coarse voxels", tessary::SerialRanges{});
    // Voxels reaching down to tiny values: the sums beyond 128 bits.
    std::vector<Vec3d> tiny{{1e-300, 0.5, 0}, {0.25, 1e-310, 0}, {0.75, 0.5, -1e-320}, {5e-324, 0.125, 0.0}};
    check_grid(checks, tiny, {0, 0, 0}, 1.0, "tiny components", tessary::SerialRanges{});
    // Beyond the 64-bit voxels: refused, naming the coordinate.
    std::vector<long> inverse(2);
    const std::vector<Vec3d> far{{0, 0, 0}, {0, -1e300, 0}};
    const tessary::VoxelCount refused = tessary::voxelize(
        std::span<const Vec3d>(far), Vec3d{0, 0, 0}, 1e-10, inverse.data(),
        [](std::size_t) { return tessary::VoxelResults<long>{}; }, tessary::SerialRanges{});
    checks.expect(refused.overflow && refused.overflow->axis == 1 && refused.overflow->coordinate == -1e300,
                  "a voxel beyond 64 bits");
}

// The plain rule, every distance updated after every choice.
std::vector<long> plain_farthest(const std::vector<Vec3d>& points, std::size_t k, std::size_t start) {
    const std::size_t n = points.size();
    std::vector<double> d(n, INFINITY);
    std::vector<bool> taken(n, false);
    std::vector<long> out{static_cast<long>(start)};
    taken[start] = true;
    std::size_t last = start;
    while (out.size() < k) {
        if (tessary::is_finite(points[last])) {
            for (std::size_t i = 0; i < n; ++i) {
                if (tessary::is_finite(points[i])) d[i] = std::min(d[i], points[i].distance_squared(points[last]));
            }
        }
        std::size_t best = n;
        for (std::size_t i = 0; i < n; ++i) {
            if (taken[i] || !tessary::is_finite(points[i])) continue;
            if (best == n || d[i] > d[best]) best = i;
        }
        if (best == n) break;
        taken[best] = true;
        out.push_back(static_cast<long>(best));
        last = best;
    }
    for (std::size_t i = 0; i < n && out.size() < k; ++i) {
        if (!taken[i] && !tessary::is_finite(points[i])) out.push_back(static_cast<long>(i));
    }
    return out;
}

void farthest_cases(Checks& checks) {
    std::mt19937_64 random(21);
    std::vector<Vec3d> grid;  // ties everywhere
    for (int i = 0; i < 700; ++i) {
        grid.push_back({static_cast<double>(random() % 9), static_cast<double>(random() % 9),
                        static_cast<double>(random() % 3)});
    }
    grid[5] = {NAN, 1, 1};
    grid[300] = {1, 1, -INFINITY};
    std::vector<Vec3d> cloud = uniform_points(5000, -3, 3, 4);
    for (std::size_t i = 0; i < cloud.size(); i += 50) cloud[i] = {cloud[i].x * 1e6, cloud[i].y, 5430000.0};
    const std::vector<Vec3d> huge{{1e200, 0, 0}, {-1e200, 0, 0}, {0, 1e200, 0}, {0, 0, 0}, {1, 1, 1}};
    struct Case {
        const char* what;
        const std::vector<Vec3d>* points;
        std::size_t k, start;
    };
    const Case cases[] = {
        {"grid, every point", &grid, grid.size(), 0}, {"grid from a NaN point", &grid, 200, 5},
        {"grid from 300", &grid, 50, 300},            {"cloud", &cloud, 600, 17},
        {"cloud, one", &cloud, 1, 3},                 {"overflowing distances", &huge, 5, 3},
    };
    for (const Case& c : cases) {
        std::vector<long> out(c.k);
        tessary::farthest_points(std::span<const Vec3d>(*c.points), c.k, c.start, out.data(), ChoppyRanges{});
        checks.expect(out == plain_farthest(*c.points, c.k, c.start), c.what);
    }
}

}  // namespace

void downsampling_tests(Checks& checks) {
    voxel_index_cases(checks);
    rounding_cases(checks);
    radix_cases(checks);
    voxel_grid_cases(checks);
    farthest_cases(checks);
}

}  // namespace native_tests
