// Many queries of a k-d tree in one call: the queries taken in blocks,
// each in the order of a Morton curve over the tree's box, so that
// consecutive queries visit the same nodes and leaves while they are still
// in cache; the blocks are shared out by a `for_ranges` (the worker pool's,
// or SerialRanges). Each query's answer goes to slots of its own, so the
// result never depends on how the work is shared.
//
// The questions asked of every query with an answer of fixed width are
// small types with one `answer` each; a batch call of the module is one of
// them and answer_each.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kd_tree.hpp"
#include "morton.hpp"
#include "neighbour.hpp"
#include "vec3d.hpp"

namespace tessary {

// Queries per block of a batch: enough for consecutive queries to lie
// close together, few enough that a block's scratch stays small and that
// a batch of some thousand queries is still shared out.
inline constexpr std::size_t kLeastQueryBlock = 1024;
inline constexpr std::size_t kMostQueryBlock = std::size_t{1} << 18;

// query(i) for i in [0, m) is a Vec3d, and `body(i, q, scratch)` answers
// query i, writing to slots of its own (scratch: a vector of its range's
// to use as it likes). Besides what body writes, each range uses one
// block's worth of scratch (40 bytes per query of a block, at most 10 MiB).
template <class Query, class ForRanges, class Body>
void for_each_query(const KdTree& tree, std::size_t m, const Query& query, const ForRanges& for_ranges,
                    const Body& body) {
    const std::size_t block = std::clamp(m / 8, kLeastQueryBlock, kMostQueryBlock);
    const std::size_t blocks = (m + block - 1) / block;
    const MortonCode morton = tree.morton_code();
    for_ranges(blocks, 1, [&](std::size_t first, std::size_t last) {
        const std::size_t room = std::min(block, m);
        std::unique_ptr<std::uint64_t[]> keys(new std::uint64_t[2 * room]);
        std::unique_ptr<Vec3d[]> taken(new Vec3d[room]);
        std::vector<Neighbour> scratch;
        for (std::size_t b = first; b < last; ++b) {
            const std::size_t start = b * block;
            const std::size_t count = std::min(block, m - start);
            for (std::size_t i = 0; i < count; ++i) keys[i] = morton_key(morton(query(start + i)), i);
            const std::uint64_t* sorted = sort_by_code(keys.get(), keys.get() + count, count);
            // The queries in their new order, read in one go: the reads
            // overlap, where each one inside the search would wait.
            for (std::size_t s = 0; s < count; ++s) taken[s] = query(start + position_of(sorted[s]));
            for (std::size_t s = 0; s < count; ++s) body(start + position_of(sorted[s]), taken[s], scratch);
        }
    });
}

// The answers of a question with `width` columns per query: row i of
// indices and distances (or counts) is query i's.
//
// The nearest within `limit`: one index and distance per query, (m,).
struct NearestEach {
    std::uint64_t limit;
    static constexpr bool one_column = true;
    static constexpr bool with_distances = true;
    std::size_t width() const { return 1; }
    template <class Index>
    void answer(const KdTree& tree, const Vec3d& q, std::vector<Neighbour>&, Index* indices, double* distances) const {
        const Neighbour found = tree.nearest(q, limit);
        indices[0] = static_cast<Index>(found.index);
        distances[0] = found.distance();
    }
};

// The k nearest within `limit`, in order, (m, k); the missing ones as
// nearest_k gives them.
struct NearestKEach {
    std::size_t k;
    std::uint64_t limit;
    static constexpr bool one_column = false;
    static constexpr bool with_distances = true;
    std::size_t width() const { return k; }
    template <class Index>
    void answer(const KdTree& tree, const Vec3d& q, std::vector<Neighbour>& found, Index* indices,
                double* distances) const {
        if (k == 1) {
            NearestEach{limit}.answer(tree, q, found, indices, distances);
            return;
        }
        found.resize(k);
        tree.nearest_k(q, k, limit, found.data());
        for (std::size_t j = 0; j < k; ++j) {
            indices[j] = static_cast<Index>(found[j].index);
            distances[j] = found[j].distance();
        }
    }
};

// How many points lie within the key `limit`, (m,).
struct CountWithinEach {
    std::uint64_t limit;
    static constexpr bool one_column = true;
    static constexpr bool with_distances = false;
    std::size_t width() const { return 1; }
    template <class Count>
    void answer(const KdTree& tree, const Vec3d& q, std::vector<Neighbour>&, Count* counts) const {
        counts[0] = static_cast<Count>(tree.count_within(q, limit));
    }
};

// question.answer for every query, into rows of question.width() items.
template <class Question, class Query, class ForRanges, class Index>
void answer_each(const KdTree& tree, const Question& question, std::size_t m, const Query& query, Index* indices,
                 double* distances, const ForRanges& for_ranges) {
    const std::size_t width = question.width();
    for_each_query(tree, m, query, for_ranges, [&](std::size_t i, const Vec3d& q, std::vector<Neighbour>& scratch) {
        if constexpr (Question::with_distances) {
            question.answer(tree, q, scratch, indices + i * width, distances + i * width);
        } else {
            question.answer(tree, q, scratch, indices + i * width);
        }
    });
}

// The points within `limit` of each query, in order, into
// found[offsets[i], offsets[i + 1]), where `offsets` (m + 1 of them) holds
// the running totals of the counts (CountWithinEach); found has room for
// offsets[m].
template <class Index, class Query, class ForRanges>
void within_each(const KdTree& tree, std::size_t m, const Query& query, std::uint64_t limit, const Index* offsets,
                 Index* found, const ForRanges& for_ranges) {
    for_each_query(tree, m, query, for_ranges, [&](std::size_t i, const Vec3d& q, std::vector<Neighbour>& scratch) {
        scratch.clear();
        tree.within(q, limit, scratch);
        Index* out = found + offsets[i];
        for (std::size_t j = 0; j < scratch.size(); ++j) out[j] = static_cast<Index>(scratch[j].index);
    });
}

}  // namespace tessary
