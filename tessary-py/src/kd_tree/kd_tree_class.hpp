// The native value of the Python class KdTree: the core's tree and the
// points it was built from.
#pragma once

#include <span>

#include "../pool/ranges.hpp"
#include "../vec_list/vec_list.hpp"
#include "kd_tree.hpp"

namespace tessary_py {

// A tree over `points`, built on the pool.
inline tessary::KdTree build_tree(std::span<const Vec3d> points) { return tessary::KdTree(points, PoolRanges{}); }

struct KdTree {
    tessary::KdTree tree;
    // The points it was built from, in their order (null for none).
    PinnedElements points;
};

}  // namespace tessary_py
