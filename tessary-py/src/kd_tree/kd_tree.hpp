// The native side of KdTree, and the tree's work on the worker pool for
// native callers: a batch of queries is one call (nearest_each and the
// others of tessary/src/kd_tree.hpp with PoolRanges).
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "../../../tessary/src/kd_tree.hpp"
#include "../pool/pool.hpp"
#include "../vec_list/kernels.hpp"
#include "../vec_list/vec_list.hpp"

namespace tessary_py {

// The tree's for_ranges on the worker pool, each range compiled for AVX2
// where the processor has it.
struct PoolRanges {
    template <class Body>
    void operator()(std::size_t n, std::size_t grain, const Body& body) const {
        pool::parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
            kernels::with_avx2([&] { body(begin, end); });
        });
    }
};

// A tree over `points`, built on the pool.
inline tessary::KdTree build_tree(std::span<const Vec3d> points) { return tessary::KdTree(points, PoolRanges{}); }

struct KdTree {
    tessary::KdTree tree;
    // The points it was built from, in their order (null for none).
    PinnedElements points;
};

}  // namespace tessary_py
