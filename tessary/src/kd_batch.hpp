// Many queries of a k-d tree in one call, shared out by a `for_ranges`
// (the worker pool's, or SerialRanges). Each query's answer goes to slots
// of its own, so the result never depends on how the work is shared.
//
//   ask_each        query points given: taken in blocks, each in the order
//                   of a Morton curve over the tree's box, so that
//                   consecutive queries visit the same nodes and leaves
//                   while they are still in cache;
//   ask_each_point  every point of the tree itself, leaf by leaf in the
//                   tree's order, the points of a leaf as one group whose
//                   search starts at that leaf.
//
// A question asked of every query is a small type: the result type a query
// is searched with (kd_results.hpp), made by start(), and what it writes
// for the query. A new question is one such type.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <limits>
#include <type_traits>
#include <vector>

#include "kd_tree.hpp"
#include "morton.hpp"
#include "neighbour.hpp"
#include "surface_fit.hpp"
#include "vec3d.hpp"

namespace tessary {

// Queries per block of a batch: enough for consecutive queries to lie
// close together, few enough that a block's scratch stays small and that
// a batch of some thousand queries is still shared out.
inline constexpr std::size_t kLeastQueryBlock = 1024;
inline constexpr std::size_t kMostQueryBlock = std::size_t{1} << 18;
// Leaves per range when every point of a tree is asked.
inline constexpr std::size_t kLeavesPerRange = 16;

// What a question's result fills for a query: its Slots, or answers.
template <class Question>
struct SlotsOf {
    using type = std::vector<Neighbour>;
};
template <class Question>
    requires requires { typename Question::Slots; }
struct SlotsOf<Question> {
    using type = typename Question::Slots;
};

// The group a range is gathering: up to KdTree::kMostGrouped queries, each
// with the row its answer goes to, its result and the slots its result
// fills.
template <class Question>
class QueryGroup {
public:
    using Result = typename Question::Result;
    using Slots = typename SlotsOf<Question>::type;
    static_assert(std::is_trivially_destructible_v<Result>);

    QueryGroup(const Question& question, std::size_t none) : question_(question), none_(none) {}

    bool full() const { return count_ == KdTree::kMostGrouped; }

    void add(const Vec3d& q, std::size_t row, std::size_t skip) {
        new (storage_ + sizeof(Result) * count_) Result(question_.start(slots_[count_], none_, skip, true));
        queries_[count_] = q;
        rows_[count_] = row;
        ++count_;
    }

    // Searches the group from `start`, writes each query's answer,
    // write(row, result, slots), and empties the group.
    template <class Write>
    void answer(const KdTree& tree, std::size_t start, const Write& write) {
        if (count_ == 0) return;
        Result* results = std::launder(reinterpret_cast<Result*>(storage_));
        tree.search_group(queries_, results, count_, start);
        for (std::size_t j = 0; j < count_; ++j) write(rows_[j], results[j], slots_[j]);
        count_ = 0;
    }

    // A query with a non-finite coordinate, alone: a scan of every point.
    template <class Write>
    void answer_alone(const KdTree& tree, const Vec3d& q, std::size_t row, std::size_t skip, const Write& write) {
        Result result = question_.start(alone_, none_, skip, false);
        tree.search(q, result);
        write(row, result, alone_);
    }

private:
    const Question& question_;
    std::size_t none_;
    std::size_t count_ = 0;
    alignas(Result) unsigned char storage_[sizeof(Result) * KdTree::kMostGrouped];
    Vec3d queries_[KdTree::kMostGrouped];
    std::size_t rows_[KdTree::kMostGrouped];
    Slots slots_[KdTree::kMostGrouped];
    Slots alone_;
};

// question for each query(i), i < m, written by write(i, result, slots).
template <class Question, class Query, class ForRanges, class Write>
void ask_each(const KdTree& tree, const Question& question, std::size_t m, const Query& query,
              const ForRanges& for_ranges, const Write& write) {
    const std::size_t none = tree.size();
    const std::size_t block = std::clamp(m / 8, kLeastQueryBlock, kMostQueryBlock);
    const std::size_t blocks = (m + block - 1) / block;
    const MortonCode morton = tree.morton_code();
    for_ranges(blocks, 1, [&](std::size_t first, std::size_t last) {
        const std::size_t room = std::min(block, m);
        std::unique_ptr<std::uint64_t[]> keys(new std::uint64_t[2 * room]);
        std::unique_ptr<Vec3d[]> taken(new Vec3d[room]);
        typename SlotsOf<Question>::type slots;
        for (std::size_t b = first; b < last; ++b) {
            const std::size_t start = b * block;
            const std::size_t count = std::min(block, m - start);
            for (std::size_t i = 0; i < count; ++i) keys[i] = morton_key(morton(query(start + i)), i);
            const std::uint64_t* sorted = sort_by_code(keys.get(), keys.get() + count, count);
            // The queries in their new order, read in one go: the reads
            // overlap, where each one inside the search would wait.
            for (std::size_t s = 0; s < count; ++s) taken[s] = query(start + position_of(sorted[s]));
            for (std::size_t s = 0; s < count; ++s) {
                const Vec3d& q = taken[s];
                auto result = question.start(slots, none, kNoPoint, is_finite(q));
                tree.search(q, result);
                write(start + position_of(sorted[s]), result, slots);
            }
        }
    });
}

// question for each point of the tree, with or without the point itself
// among its answers, written by write(index, result, slots) where index is
// the point's in the list the tree was built from.
template <class Question, class ForRanges, class Write>
void ask_each_point(const KdTree& tree, const Question& question, bool include_self, const ForRanges& for_ranges,
                    const Write& write) {
    const std::size_t none = tree.size();
    for_ranges(tree.leaf_count(), kLeavesPerRange, [&](std::size_t first, std::size_t last) {
        QueryGroup<Question> group(question, none);
        for (std::size_t j = first; j < last; ++j) {
            const std::size_t node = tree.first_leaf() + j;
            const NodeRange leaf = tree.range_of(node);
            const std::size_t count = leaf.end - leaf.begin;
            const std::uint64_t* words = tree.leaf_words(leaf);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t index = static_cast<std::size_t>(words[3 * count + i]);
                group.add({std::bit_cast<double>(words[i]), std::bit_cast<double>(words[count + i]),
                           std::bit_cast<double>(words[2 * count + i])},
                          index, include_self ? kNoPoint : index);
            }
            group.answer(tree, node, write);
        }
    });
    const std::span<const AsidePoint> aside = tree.aside();
    for_ranges(aside.size(), 64, [&](std::size_t first, std::size_t last) {
        QueryGroup<Question> group(question, none);
        for (std::size_t j = first; j < last; ++j) {
            group.answer_alone(tree, aside[j].point, aside[j].index, include_self ? kNoPoint : aside[j].index, write);
        }
    });
}

// The questions with an answer of fixed width per query: row i of
// indices and distances (or counts) is query i's. `start(slots, none,
// skip, finite)` makes a query's result (skip: the index to leave out, or
// kNoPoint; finite: whether the query is), `answer` writes it.
//
// The nearest within `limit`: one index and distance per query, (m,).
struct NearestEach {
    std::uint64_t limit;
    using Result = NearestResult;
    static constexpr bool one_column = true;
    static constexpr bool with_distances = true;
    std::size_t width() const { return 1; }
    Result start(std::vector<Neighbour>&, std::size_t none, std::size_t skip, bool) const {
        return {none, limit, skip};
    }
    template <class Index>
    void answer(Result& result, std::vector<Neighbour>&, Index* indices, double* distances) const {
        const Neighbour found = result.answer();
        indices[0] = static_cast<Index>(found.index);
        distances[0] = found.distance();
    }
};

// The k nearest within `limit`, in order, (m, k); the missing ones as
// nearest_k gives them.
struct NearestKEach {
    std::size_t k;
    std::uint64_t limit;
    using Result = NearestKResult;
    static constexpr bool one_column = false;
    static constexpr bool with_distances = true;
    std::size_t width() const { return k; }
    Result start(std::vector<Neighbour>& slots, std::size_t none, std::size_t skip, bool) const {
        return {slots, k, none, limit, skip};
    }
    template <class Index>
    void answer(Result& result, std::vector<Neighbour>&, Index* indices, double* distances) const {
        const std::span<const Neighbour> found = result.finish();
        for (std::size_t j = 0; j < k; ++j) {
            const Neighbour answer = j < found.size() ? found[j] : result.missing();
            indices[j] = static_cast<Index>(answer.index);
            distances[j] = answer.distance();
        }
    }
};

// How many points lie within the key `limit`, (m,).
struct CountWithinEach {
    std::uint64_t limit;
    using Result = CountResult;
    using Item = std::size_t;
    static constexpr bool one_column = true;
    static constexpr bool with_distances = false;
    std::size_t width() const { return 1; }
    // A finite query's own point lies within any radius of it: taken off
    // at the end. A non-finite one's is at a NaN distance, offered alone.
    Result start(std::vector<Neighbour>&, std::size_t, std::size_t skip, bool finite) const {
        if (skip == kNoPoint) return Result(limit);
        return finite ? Result(limit, kNoPoint, 1) : Result(limit, skip, 0);
    }
    template <class Count>
    void answer(Result& result, std::vector<Neighbour>&, Count* counts) const {
        counts[0] = static_cast<Count>(result.count());
    }
};

// The mean distance from each query to its k nearest within `limit` (its
// own point among them, for a point of the tree asked with itself), the
// distances added in their order (nearest first) and divided by how many
// were found: the measure of statistical outlier removal. NaN for a query
// with a NaN or infinite coordinate, or none found.
struct MeanDistanceEach {
    std::size_t k;
    std::uint64_t limit;
    using Result = NearestKResult;
    using Item = double;
    static constexpr bool one_column = true;
    static constexpr bool with_distances = false;
    std::size_t width() const { return 1; }
    Result start(std::vector<Neighbour>& slots, std::size_t none, std::size_t skip, bool finite) const {
        return {slots, k, none, finite ? limit : 0, skip};
    }
    void answer(Result& result, std::vector<Neighbour>&, double* out) const {
        const std::span<const Neighbour> found = result.finish();
        double sum = 0.0;
        for (const Neighbour& n : found) sum = sum + n.distance();
        out[0] = found.empty() ? std::numeric_limits<double>::quiet_NaN() : sum / static_cast<double>(found.size());
    }
};

// The fit of a surface to each query's neighbourhood (surface_fit.hpp):
// its k nearest within the key `limit` (every point within it for k =
// kEveryMember). What is written: the normal (m, 3),
// the surface variation (m,) or the covariance (m, 6).
enum class SurfaceOutput { kNormal, kVariation, kCovariance };

template <SurfaceOutput Output>
struct SurfaceEach {
    std::size_t k;
    std::uint64_t limit;
    using Result = NeighbourhoodResult;
    using Slots = std::vector<NeighbourhoodResult::Member>;
    using Item = double;
    static constexpr bool one_column = Output == SurfaceOutput::kVariation;
    static constexpr bool with_distances = false;
    std::size_t width() const { return Output == SurfaceOutput::kNormal ? 3 : Output == SurfaceOutput::kCovariance ? 6 : 1; }
    Result start(Slots& members, std::size_t, std::size_t skip, bool finite) const {
        return {members, k, limit, skip, finite};
    }
    void answer(Result& result, Slots&, double* out) const {
        const SurfaceFit fit = fit_surface(result.finish());
        if constexpr (Output == SurfaceOutput::kNormal) {
            out[0] = fit.normal.x;
            out[1] = fit.normal.y;
            out[2] = fit.normal.z;
        } else if constexpr (Output == SurfaceOutput::kVariation) {
            out[0] = fit.variation;
        } else {
            for (std::size_t j = 0; j < 6; ++j) out[j] = fit.covariance[j];
        }
    }
};

// The points within the key `limit`, in order, of variable number: the
// binding writes them where the counts put them.
struct WithinEach {
    std::uint64_t limit;
    using Result = RadiusResult;
    Result start(std::vector<Neighbour>& slots, std::size_t, std::size_t skip, bool) const {
        slots.clear();
        return {slots, limit, skip};
    }
};

// question.answer for every query, into rows of question.width() items.
template <class Question, class Query, class ForRanges, class Index>
void answer_each(const KdTree& tree, const Question& question, std::size_t m, const Query& query, Index* indices,
                 double* distances, const ForRanges& for_ranges) {
    const std::size_t width = question.width();
    ask_each(tree, question, m, query, for_ranges,
             [&](std::size_t i, typename Question::Result& result, auto& slots) {
                 if constexpr (Question::with_distances) {
                     question.answer(result, slots, indices + i * width, distances + i * width);
                 } else {
                     question.answer(result, slots, indices + i * width);
                 }
             });
}

// The same for every point of the tree.
template <class Question, class ForRanges, class Index>
void answer_each_point(const KdTree& tree, const Question& question, bool include_self, Index* indices,
                       double* distances, const ForRanges& for_ranges) {
    const std::size_t width = question.width();
    ask_each_point(tree, question, include_self, for_ranges,
                   [&](std::size_t i, typename Question::Result& result, auto& slots) {
                       if constexpr (Question::with_distances) {
                           question.answer(result, slots, indices + i * width, distances + i * width);
                       } else {
                           question.answer(result, slots, indices + i * width);
                       }
                   });
}

// The points within `limit` of each query (or of each point of the tree),
// in order, into found[offsets[i], offsets[i + 1]), where `offsets` (m + 1
// of them) holds the running totals of the counts (CountWithinEach); found
// has room for offsets[m].
template <class Index>
auto write_listed(const Index* offsets, Index* found) {
    return [=](std::size_t i, RadiusResult& result, std::vector<Neighbour>& slots) {
        result.finish();
        Index* out = found + offsets[i];
        for (std::size_t j = 0; j < slots.size(); ++j) out[j] = static_cast<Index>(slots[j].index);
    };
}

}  // namespace tessary
