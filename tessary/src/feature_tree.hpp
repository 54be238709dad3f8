// The nearest of many rows of numbers (features of 33 numbers, say) to a
// query row, exactly: a k-d tree over the rows, split and bounded on the
// first few of their columns, with the squared Euclidean distances added
// in a fixed column order. The tree only passes over rows that cannot be
// nearest; the answer is the row of least distance as that sum computes
// it, ties to the lower index, the same whatever the tree's shape or the
// order the rows are visited in.
//
// Why a bound never passes over the answer: each term (a_c - b_c)^2 is
// rounded from a difference at least as large as the query's gap to the
// box on column c (rounding is monotonic), and a rounded sum of terms
// that are not negative never decreases as terms are added or grow. So
// the gaps' squares, added in the same order over the tree's columns, are
// at most the computed distance of every row in the box, bits and all.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace tessary {

class FeatureTree {
public:
    // Rows of a leaf side by side: the distances of a group are summed in
    // lanes, one row each.
    static constexpr std::size_t kLanes = 8;
    // Columns between the tests of a group's sums against the best so far.
    static constexpr std::size_t kStride = 4;
    // Rows of a leaf, at most.
    static constexpr std::size_t kLeafRows = 4 * kLanes;
    // Columns split on and bounded by: the first of the column order.
    static constexpr std::size_t kBoundColumns = 8;

    // The rows of `rows` (`width` numbers each), their columns taken in
    // `order` (a permutation of the columns). A row with a NaN or infinite
    // number is left out: its distance to any row is NaN or infinite,
    // never the least.
    FeatureTree(std::span<const double> rows, std::size_t width, std::span<const std::size_t> order)
        : width_(width), bound_(std::min(width, kBoundColumns)), rows_(width == 0 ? 0 : rows.size() / width) {
        std::vector<std::size_t> kept;
        kept.reserve(rows_);
        for (std::size_t j = 0; j < rows_; ++j) {
            bool finite = true;
            for (std::size_t c = 0; c < width; ++c) finite = finite && std::isfinite(rows[j * width + c]);
            if (finite) kept.push_back(j);
        }
        if (kept.empty()) return;
        auto at = [&](std::size_t j, std::size_t c) { return rows[j * width + order[c]]; };
        build(kept, at);
        // Each leaf's rows in groups of kLanes, column by column; the
        // lanes past a leaf's last row infinite.
        constexpr double inf = std::numeric_limits<double>::infinity();
        for (Node& node : nodes_) {
            if (node.left != 0) continue;
            node.first_group = lanes_.size() / kLanes;
            const std::size_t count = node.end - node.begin;
            const std::size_t groups = (count + kLanes - 1) / kLanes;
            laid_.resize(laid_.size() + groups * width * kLanes, inf);
            lanes_.resize(lanes_.size() + groups * kLanes, rows_);
            for (std::size_t r = 0; r < count; ++r) {
                const std::size_t j = kept[node.begin + r];
                const std::size_t g = node.first_group + r / kLanes, l = r % kLanes;
                lanes_[g * kLanes + l] = j;
                for (std::size_t c = 0; c < width; ++c) laid_[(g * width + c) * kLanes + l] = at(j, c);
            }
        }
    }

    // The index of the row nearest to `query` (its `width` numbers already
    // in the column order), or the number of rows for none: a query with a
    // NaN or infinite number, or no row at a finite distance.
    std::size_t nearest(const double* query) const {
        constexpr double inf = std::numeric_limits<double>::infinity();
        for (std::size_t c = 0; c < width_; ++c) {
            if (!std::isfinite(query[c])) return rows_;
        }
        if (nodes_.empty()) return rows_;
        double least = inf;
        std::size_t best = rows_;
        struct Pending {
            std::size_t node;
            double bound;
        };
        // Depth first, the nearer child first; a node is tested against
        // the best distance as it stands when the node is reached.
        Pending stack[2 * 64];
        std::size_t pending = 0;
        stack[pending++] = {0, 0.0};
        while (pending != 0) {
            const Pending p = stack[--pending];
            if (p.bound > least) continue;
            const Node& node = nodes_[p.node];
            if (node.left == 0) {
                scan_leaf(node, query, least, best);
                continue;
            }
            const double left = box_bound(nodes_[node.left], query), right = box_bound(nodes_[node.left + 1], query);
            const bool left_first = left <= right;
            stack[pending++] = left_first ? Pending{node.left + 1, right} : Pending{node.left, left};
            stack[pending++] = left_first ? Pending{node.left, left} : Pending{node.left + 1, right};
        }
        return best;
    }

private:
    struct Node {
        // Its rows: kept_[begin, end) while building.
        std::size_t begin = 0, end = 0;
        // The first of its two children (the second follows), 0 for a leaf.
        std::size_t left = 0;
        // A leaf's first group of lanes.
        std::size_t first_group = 0;
        double lo[kBoundColumns] = {}, hi[kBoundColumns] = {};
    };

    // Splits rows[begin, end) at the median of the bounded column of the
    // widest range (the first of equals), until a node holds at most
    // kLeafRows rows. Node 0 is the root.
    template <class At>
    void build(std::vector<std::size_t>& rows, const At& at) {
        nodes_.push_back({0, rows.size()});
        std::vector<std::size_t> todo{0};
        while (!todo.empty()) {
            const std::size_t index = todo.back();
            todo.pop_back();
            Node node = nodes_[index];
            for (std::size_t c = 0; c < bound_; ++c) {
                double lo = at(rows[node.begin], c), hi = lo;
                for (std::size_t r = node.begin + 1; r < node.end; ++r) {
                    lo = std::min(lo, at(rows[r], c));
                    hi = std::max(hi, at(rows[r], c));
                }
                node.lo[c] = lo;
                node.hi[c] = hi;
            }
            if (node.end - node.begin > kLeafRows) {
                std::size_t axis = 0;
                for (std::size_t c = 1; c < bound_; ++c) {
                    if (node.hi[c] - node.lo[c] > node.hi[axis] - node.lo[axis]) axis = c;
                }
                const std::size_t middle = node.begin + (node.end - node.begin) / 2;
                std::nth_element(rows.begin() + static_cast<std::ptrdiff_t>(node.begin),
                                 rows.begin() + static_cast<std::ptrdiff_t>(middle),
                                 rows.begin() + static_cast<std::ptrdiff_t>(node.end), [&](std::size_t x, std::size_t y) {
                                     const double vx = at(x, axis), vy = at(y, axis);
                                     return vx < vy || (vx == vy && x < y);
                                 });
                node.left = nodes_.size();
                nodes_.push_back({node.begin, middle});
                nodes_.push_back({middle, node.end});
                todo.push_back(node.left);
                todo.push_back(node.left + 1);
            }
            nodes_[index] = node;
        }
    }

    // The squares of the query's gaps to a node's box, added in column
    // order: at most the computed distance of any of its rows.
    double box_bound(const Node& node, const double* query) const {
        double sum = 0.0;
        for (std::size_t c = 0; c < bound_; ++c) {
            const double q = query[c];
            const double gap = q < node.lo[c] ? node.lo[c] - q : q > node.hi[c] ? q - node.hi[c] : 0.0;
            sum = sum + gap * gap;
        }
        return sum;
    }

    // A leaf's rows against the best so far: each group's sums side by
    // side (each its own sum, in column order), the group left once every
    // one of its sums has passed the best.
    void scan_leaf(const Node& node, const double* query, double& least, std::size_t& best) const {
        const std::size_t groups = (node.end - node.begin + kLanes - 1) / kLanes;
        for (std::size_t g = node.first_group; g < node.first_group + groups; ++g) {
            const double* b = laid_.data() + g * width_ * kLanes;
            double sum[kLanes] = {};
            std::size_t c = 0;
            bool passed = false;
            while (c < width_) {
                const std::size_t stop = std::min(width_, c + kStride);
                for (; c < stop; ++c) {
                    for (std::size_t l = 0; l < kLanes; ++l) {
                        const double d = query[c] - b[c * kLanes + l];
                        sum[l] = sum[l] + d * d;
                    }
                }
                bool all = true;
                for (std::size_t l = 0; l < kLanes; ++l) all = all && sum[l] > least;
                if (all) {
                    passed = true;
                    break;
                }
            }
            if (passed) continue;
            for (std::size_t l = 0; l < kLanes; ++l) {
                const std::size_t j = lanes_[g * kLanes + l];
                if (sum[l] < least || (sum[l] == least && best < rows_ && j < best)) {
                    least = sum[l];
                    best = j;
                }
            }
        }
    }

    std::size_t width_;
    std::size_t bound_;
    std::size_t rows_;
    std::vector<Node> nodes_;
    // Group g, column c, lane l: laid_[(g width + c) kLanes + l]; the row
    // of each lane in lanes_ (rows_ past a leaf's last row).
    std::vector<double> laid_;
    std::vector<std::size_t> lanes_;
};

}  // namespace tessary
