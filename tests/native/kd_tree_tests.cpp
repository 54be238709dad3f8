// The k-d tree against a scan of every point: each question, searched
// from every starting node, one query at a time and in batches, on a tree
// built in one piece and on one built in scattered ranges. Points on a
// small integer grid, each twice, with a few non-finite ones, so that
// distances tie everywhere.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "checks.hpp"
#include "kd_batch.hpp"
#include "kd_tree.hpp"
#include "neighbour.hpp"

namespace native_tests {
namespace {

using tessary::KdTree;
using tessary::Neighbour;
using tessary::Vec3d;

std::vector<Neighbour> ranked_scan(const std::vector<Vec3d>& points, const Vec3d& q) {
    std::vector<Neighbour> all;
    for (std::size_t i = 0; i < points.size(); ++i) all.push_back(tessary::ranked(points[i], i, q));
    std::sort(all.begin(), all.end(), [](const Neighbour& a, const Neighbour& b) { return tessary::precedes(a, b); });
    return all;
}

bool same(const Neighbour& a, const Neighbour& b) { return a.index == b.index && a.key == b.key; }

std::string at(const char* what, std::size_t query) { return std::string(what) + " for query " + std::to_string(query); }

// Every question of one query against the ranked scan.
void check_query(Checks& checks, const KdTree& tree, const std::vector<Vec3d>& points, const Vec3d& q,
                 std::size_t j) {
    const std::size_t none = points.size();
    const std::vector<Neighbour> all = ranked_scan(points, q);
    checks.expect(same(tree.nearest(q), all[0]), at("nearest", j));
    const std::uint64_t limit = tessary::within_key(1.5);
    std::vector<Neighbour> near;
    for (const Neighbour& n : all) {
        if (n.key <= limit) near.push_back(n);
    }
    const Neighbour within = near.empty() ? Neighbour{none, tessary::kInfinityKey} : near[0];
    checks.expect(same(tree.nearest(q, limit), within), at("nearest within a limit", j));
    // From any node, and from a number that is no node, the same answer;
    // the answer's place gives its coordinates.
    for (std::size_t start = 0; start < 300; ++start) {
        tessary::NearestResult result(none, limit);
        tree.search(q, result, start == 299 ? std::size_t(-1) : start);
        if (!checks.expect(same(result.answer(), within), at("nearest from a node", j))) break;
        if (result.found() && result.place() != tessary::kAside) {
            const Vec3d p = tree.point_at(tree.leaf_holding(result.place()), result.place());
            checks.expect(same_bits(p, points[result.answer().index]), at("the point found", j));
        }
    }
    for (std::size_t k : {std::size_t{1}, std::size_t{12}, std::size_t{40}, none + 3}) {
        std::vector<Neighbour> found(k);
        tree.nearest_k(q, k, tessary::kNaNKey, found.data());
        bool ok = true;
        for (std::size_t s = 0; s < k; ++s) {
            const Neighbour expected = s < none ? all[s] : Neighbour{none, tessary::kInfinityKey};
            ok = ok && same(found[s], expected);
        }
        checks.expect(ok, at(("nearest_k, k = " + std::to_string(k)).c_str(), j));
    }
    std::vector<Neighbour> found(12);
    tree.nearest_k(q, 12, limit, found.data());
    bool ok = true;
    for (std::size_t s = 0; s < 12; ++s) {
        ok = ok && same(found[s], s < near.size() ? near[s] : Neighbour{none, tessary::kInfinityKey});
    }
    checks.expect(ok, at("nearest_k within a limit", j));
    checks.expect(tree.count_within(q, limit) == near.size(), at("count_within", j));
    std::vector<Neighbour> listed;
    tree.within(q, limit, listed);
    ok = listed.size() == near.size();
    for (std::size_t s = 0; ok && s < near.size(); ++s) ok = same(listed[s], near[s]);
    checks.expect(ok, at("within", j));
}

// Each point's k nearest (with and without itself) and counts within a
// radius, from every point of the tree, against the batch of the points
// themselves and a scan.
void check_each_point(Checks& checks, const std::vector<Vec3d>& points) {
    const KdTree tree(points, ChoppyRanges{});
    const std::size_t n = points.size(), k = 6;
    const std::uint64_t limit = tessary::within_key(0.9);
    const tessary::NearestKEach question{k, limit};
    std::vector<std::size_t> batch(n * k), with(n * k), without(n * k);
    std::vector<double> batch_d(n * k), with_d(n * k), without_d(n * k);
    auto own = [&](std::size_t i) { return points[i]; };
    tessary::answer_each(tree, question, n, own, batch.data(), batch_d.data(), tessary::SerialRanges{});
    tessary::answer_each_point(tree, question, true, with.data(), with_d.data(), ChoppyRanges{});
    tessary::answer_each_point(tree, question, false, without.data(), without_d.data(), tessary::SerialRanges{});
    bool same_with = batch == with;
    for (std::size_t i = 0; same_with && i < n * k; ++i) same_with = same_bits(batch_d[i], with_d[i]);
    checks.expect(same_with, "each point's k nearest with itself: the batch of its own points");
    bool ok = true;
    for (std::size_t i = 0; ok && i < n; i += 11) {
        std::vector<Neighbour> others;
        for (const Neighbour& c : ranked_scan(points, points[i])) {
            if (c.index != i && c.key <= limit && others.size() < k) others.push_back(c);
        }
        for (std::size_t s = 0; ok && s < k; ++s) {
            const Neighbour expected = s < others.size() ? others[s] : Neighbour{n, tessary::kInfinityKey};
            ok = without[i * k + s] == expected.index && same_bits(without_d[i * k + s], expected.distance());
        }
    }
    checks.expect(ok, "each point's k nearest without itself: a scan without it");
    std::vector<std::size_t> counts(n), counts_without(n);
    tessary::answer_each_point(tree, tessary::CountWithinEach{limit}, true, counts.data(), nullptr, ChoppyRanges{});
    tessary::answer_each_point(tree, tessary::CountWithinEach{limit}, false, counts_without.data(), nullptr,
                               ChoppyRanges{});
    ok = true;
    for (std::size_t i = 0; ok && i < n; i += 5) {
        std::size_t expected = 0, self = 0;
        for (const Neighbour& c : ranked_scan(points, points[i])) {
            expected += c.key <= limit;
            self += c.index == i && c.key <= limit;
        }
        ok = counts[i] == expected && counts_without[i] == expected - self;
    }
    checks.expect(ok, "each point's count within a radius, with and without itself");
}

}  // namespace

void kd_tree_tests(Checks& checks) {
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
    checks.expect(tree.size() == points.size() && tree.non_finite() == 2, "size and points kept aside");
    std::vector<Vec3d> queries;
    for (int i = 0; i < 60; ++i) queries.push_back({0.5 * (i % 19) - 1, 0.25 * (i % 7) + 2, 4.0 - 0.5 * (i % 5)});
    queries.push_back({inf, 0, 0});
    queries.push_back({nan, 0, 0});
    for (std::size_t j = 0; j < queries.size(); ++j) check_query(checks, tree, points, queries[j], j);

    // A tree built in scattered ranges answers as one built in one piece,
    // and a batch as its queries one at a time, however it is cut.
    std::vector<Vec3d> cloud = uniform_points(70000, -5, 5, 3);
    for (std::size_t i = 0; i < cloud.size(); i += 97) cloud[i] = cloud[i / 2];  // duplicates
    cloud[1234].y = nan;
    const KdTree whole(cloud);
    const KdTree pieces(cloud, ChoppyRanges{});
    const std::vector<Vec3d> many = uniform_points(3000, -6, 6, 4);
    const std::size_t k = 5;
    std::vector<std::size_t> indices(many.size() * k), pieces_indices(many.size() * k);
    std::vector<double> distances(many.size() * k), pieces_distances(many.size() * k);
    auto query = [&](std::size_t i) { return many[i]; };
    const tessary::NearestKEach question{k, tessary::within_key(0.4)};
    tessary::answer_each(whole, question, many.size(), query, indices.data(), distances.data(), tessary::SerialRanges{});
    tessary::answer_each(pieces, question, many.size(), query, pieces_indices.data(), pieces_distances.data(),
                         ChoppyRanges{});
    bool ok = indices == pieces_indices;
    for (std::size_t i = 0; ok && i < many.size(); ++i) {
        std::vector<Neighbour> one(k);
        whole.nearest_k(many[i], k, question.limit, one.data());
        for (std::size_t s = 0; s < k; ++s) {
            ok = ok && indices[i * k + s] == one[s].index && same_bits(distances[i * k + s], one[s].distance()) &&
                 same_bits(pieces_distances[i * k + s], distances[i * k + s]);
        }
    }
    checks.expect(ok, "a batch of k nearest, and a tree built in pieces");
    std::vector<std::size_t> counts(many.size() + 1, 0);
    const std::uint64_t radius = tessary::within_key(0.3);
    tessary::answer_each(pieces, tessary::CountWithinEach{radius}, many.size(), query, counts.data() + 1, nullptr,
                         ChoppyRanges{});
    for (std::size_t i = 0; i < many.size(); ++i) counts[i + 1] += counts[i];
    std::vector<std::size_t> listed(counts.back());
    tessary::ask_each(pieces, tessary::WithinEach{radius}, many.size(), query, ChoppyRanges{},
                      tessary::write_listed(counts.data(), listed.data()));
    ok = true;
    for (std::size_t i = 0; ok && i < many.size(); ++i) {
        std::vector<Neighbour> one;
        whole.within(many[i], radius, one);
        ok = one.size() == counts[i + 1] - counts[i];
        for (std::size_t s = 0; ok && s < one.size(); ++s) ok = listed[counts[i] + s] == one[s].index;
    }
    checks.expect(ok, "a batch of counts and of neighbours within a radius");
    tessary::NearestEach nearest{tessary::kNaNKey};
    std::vector<std::size_t> nearest_index(many.size());
    std::vector<double> nearest_distance(many.size());
    tessary::answer_each(pieces, nearest, many.size(), query, nearest_index.data(), nearest_distance.data(),
                         ChoppyRanges{});
    ok = true;
    for (std::size_t i = 0; ok && i < many.size(); ++i) ok = nearest_index[i] == whole.nearest(many[i]).index;
    checks.expect(ok, "a batch of nearest points");

    // Every point of the tree asked, leaf by leaf: with itself, as the
    // batch of its own points; without itself, as a scan without it.
    check_each_point(checks, points);
    std::vector<Vec3d> scan = uniform_points(5000, 0, 4, 5);
    for (std::size_t i = 0; i < scan.size(); i += 7) scan[i] = scan[i / 3];  // duplicates
    scan[10].z = inf;
    check_each_point(checks, scan);

    // No points at all, and only points kept aside.
    const KdTree empty(std::vector<Vec3d>{});
    Neighbour slot{};
    empty.nearest_k({0, 0, 0}, 1, tessary::kNaNKey, &slot);
    checks.expect(same(empty.nearest({0, 0, 0}), {0, tessary::kInfinityKey}) && slot.index == 0 &&
                      empty.count_within({nan, 0, 0}, tessary::kNaNKey) == 0,
                  "an empty tree");
    const std::vector<Vec3d> aside_only{{nan, 0, 0}, {inf, 1, 1}};
    const KdTree aside(aside_only);
    checks.expect(same(aside.nearest({0, 0, 0}), {1, tessary::kInfinityKey}) &&
                      aside.nearest({0, 0, 0}, tessary::kLargestFiniteKey).index == 2 &&
                      aside.count_within({0, 0, 0}, tessary::kNaNKey) == 2,
                  "a tree of points kept aside");
}

}  // namespace native_tests
