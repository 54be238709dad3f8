// Point-to-point ICP (Transform.icp) and the Python class of its result,
// RegistrationResult. The steps and the loop are in the core
// (registration.hpp); here the arguments are read and checked and the
// target's tree is built on the pool.
#include "icp.hpp"

#include <cmath>
#include <optional>
#include <span>
#include <string>

#include "../pool/ranges.hpp"

namespace tessary_py {
namespace {

// Open3D's ICPConvergenceCriteria defaults.
constexpr std::size_t kDefaultIterations = 30;
constexpr double kDefaultTolerance = 1e-6;

double tolerance(PyObject* object, std::string_view argument) {
    return object == Py_None ? kDefaultTolerance : bind::Arg<bind::NonNegative>::convert(object, argument).value;
}

// A starting transform ICP can move from: finite components and a rotation
// that is not zero (it is used normalised).
tessary::Transform starting(const std::optional<tessary::Transform>& initial) {
    if (!initial) return tessary::Transform::identity();
    const tessary::Quat& q = initial->rotation;
    const tessary::Vec3d& t = initial->translation;
    const bool finite = std::isfinite(q.w) && std::isfinite(q.i) && std::isfinite(q.j) && std::isfinite(q.k) &&
                        std::isfinite(t.x) && std::isfinite(t.y) && std::isfinite(t.z);
    if (!finite || !(q.magnitude() > 0.0)) {
        std::string message = "argument 'initial': expected finite components and a rotation other than zero, got ";
        append_transform_repr(message, *initial);
        bind::raise(PyExc_ValueError, message);
    }
    return {q.normalize(), t};
}

}  // namespace

IcpTarget::IcpTarget(PyObject* object, std::string_view argument) {
    if (bind::is_instance<KdTree>(object)) {
        shared_.emplace(object);
    } else {
        built_.emplace(build_tree(PointsArgument(object, argument).view()));
    }
}

tessary::IcpResult icp(const PointsArgument& source, const IcpTarget& target, CorrespondenceDistance max_distance,
                       std::optional<tessary::Transform> initial, PyObject* max_iterations, PyObject* relative_fitness,
                       PyObject* relative_rmse) {
    tessary::IcpSettings settings{};
    settings.limit = max_distance.key;
    settings.max_iterations =
        max_iterations == Py_None ? kDefaultIterations
                                  : bind::Arg<bind::PositiveCount>::convert(max_iterations, "max_iterations").value;
    settings.relative_fitness = tolerance(relative_fitness, "relative_fitness");
    settings.relative_rmse = tolerance(relative_rmse, "relative_rmse");
    const tessary::Transform start = starting(initial);
    const std::span<const Vec3d> points = source.view();
    return tessary::icp(points, target.tree(), start, settings, PoolRanges{});
}

}  // namespace tessary_py

namespace {

using tessary::IcpResult;
using M = bind::Members<IcpResult>;

tessary::Transform transform_of(const IcpResult& r) { return r.transform; }
double fitness_of(const IcpResult& r) { return r.matches.fitness; }
double inlier_rmse_of(const IcpResult& r) { return r.matches.inlier_rmse; }
std::size_t correspondences_of(const IcpResult& r) { return r.matches.count; }
std::size_t iterations_of(const IcpResult& r) { return r.iterations; }
bool converged_of(const IcpResult& r) { return r.converged; }

std::string text(const IcpResult& r) {
    std::string out = "RegistrationResult(transform=";
    append_transform_repr(out, r.transform);
    out += ", fitness=" + bind::float_text(r.matches.fitness);
    out += ", inlier_rmse=" + bind::float_text(r.matches.inlier_rmse);
    out += ", correspondences=" + std::to_string(r.matches.count);
    out += ", iterations=" + std::to_string(r.iterations);
    out += r.converged ? ", converged=True)" : ", converged=False)";
    return out;
}

PyGetSetDef properties[] = {
    M::getter<&transform_of>("transform"),
    M::getter<&fitness_of>("fitness"),
    M::getter<&inlier_rmse_of>("inlier_rmse"),
    M::getter<&correspondences_of>("correspondences"),
    M::getter<&iterations_of>("iterations"),
    M::getter<&converged_of>("converged"),
    {},
};

PyType_Slot slots[] = {
    {Py_tp_getset, properties},
    bind::slot(Py_tp_repr, &M::repr<&text>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<IcpResult>::build() { return bind::make_type<IcpResult>(slots); }
