// ICP for Python (point to point, point to plane, generalized): the
// arguments of Transform.icp, and the class of its result,
// RegistrationResult.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "../binding/convert.hpp"
#include "../binding/instance.hpp"
#include "../classes.hpp"
#include "../kd_tree/kd_tree_class.hpp"
#include "../vec_list/points_argument.hpp"
#include "kd_tree.hpp"
#include "registration.hpp"
#include "transform.hpp"

namespace tessary_py {

// The largest distance of a correspondence: a number greater than 0 (an
// infinity included), held as the key that bounds the squared distances.
struct CorrespondenceDistance {
    std::uint64_t key;
};

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
// max_iterations=None, relative_fitness=None, relative_rmse=None,
// method=None, kernel=None, kernel_scale=None, target_normals=None,
// source_covariances=None, target_covariances=None); the target is a
// KdTree or points.
tessary::IcpResult icp(const PointsArgument& source, const IcpTarget& target, CorrespondenceDistance max_distance,
                       std::optional<tessary::Transform> initial, PyObject* max_iterations, PyObject* relative_fitness,
                       PyObject* relative_rmse, PyObject* method, PyObject* kernel, PyObject* kernel_scale,
                       PyObject* target_normals, PyObject* source_covariances, PyObject* target_covariances);

// Transform.ransac(source, target, source_features, target_features,
// distance, *, max_iterations=None, confidence=None, seed=None,
// mutual=False, edge_ratio=None): registration_ransac_based_on_feature_matching
// of features (KdTree.fpfh) matched by their nearest (feature_ransac.cpp).
tessary::IcpResult ransac(const PointsArgument& source, const PointsArgument& target, PyObject* source_features,
                          PyObject* target_features, PyObject* distance, PyObject* max_iterations,
                          PyObject* confidence, PyObject* seed, bool mutual, PyObject* edge_ratio);

}  // namespace tessary_py

template <>
struct bind::Arg<tessary_py::CorrespondenceDistance> {
    using Held = tessary_py::CorrespondenceDistance;
    static Held convert(PyObject* object, std::string_view name) {
        const double value = bind::Arg<double>::convert(object, name);
        if (!(value > 0.0)) bind::raise_number_out_of_range(name, "greater than 0", value);
        return {tessary::within_key(value)};
    }
};

template <>
struct bind::Arg<tessary_py::IcpTarget> {
    using Held = tessary_py::IcpTarget;
    static Held convert(PyObject* object, std::string_view name) { return Held(object, name); }
};
