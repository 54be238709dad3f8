// Point-to-point ICP for Python: Transform.icp and its result class.
#pragma once

#include <optional>
#include <string_view>

#include "../../tessary/src/registration.hpp"
#include "kd_tree/arguments.hpp"
#include "classes.hpp"
#include "kd_tree/kd_tree.hpp"
#include "vec_list/points_argument.hpp"

namespace tessary_py {

// The target of ICP, converted in its turn among the arguments: a KdTree,
// searched as it is (held for the call), or points, over which a tree is
// built on the pool for the call.
class IcpTarget {
public:
    IcpTarget(PyObject* object, std::string_view argument);
    const tessary::KdTree& tree() const { return shared_ ? shared_->get().tree : *built_; }

private:
    std::optional<bind::Shared<KdTree>> shared_;
    std::optional<tessary::KdTree> built_;
};

// Transform.icp(source, target, max_distance, *, initial=None,
// max_iterations=None, relative_fitness=None, relative_rmse=None); the
// target is a KdTree or points.
tessary::IcpResult icp(const PointsArgument& source, const IcpTarget& target, ReachDistance max_distance,
                       std::optional<tessary::Transform> initial, PyObject* max_iterations, PyObject* relative_fitness,
                       PyObject* relative_rmse);

}  // namespace tessary_py

template <>
struct bind::Arg<tessary_py::IcpTarget> {
    using Held = tessary_py::IcpTarget;
    static Held convert(PyObject* object, std::string_view name) { return Held(object, name); }
};
