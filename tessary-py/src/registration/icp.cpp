// ICP (Transform.icp) and the Python class of its result,
// RegistrationResult. The steps and the loop are in the core
// (registration.hpp); here the arguments are read and checked, the
// target's tree is built on the pool, and the normals and covariances a
// variant needs are read or computed.
#include "icp.hpp"

#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../pool/ranges.hpp"
#include "kd_batch.hpp"
#include "text.hpp"
#include "stub_docs.hpp"

namespace tessary_py {
namespace {

// Open3D's ICPConvergenceCriteria defaults.
constexpr std::size_t kDefaultIterations = 30;
constexpr double kDefaultTolerance = 1e-6;
// Neighbours of the normals and covariances computed when none are given,
// as Open3D's generalized ICP and small_gicp take them.
constexpr std::size_t kSurfaceNeighbours = 20;

double tolerance(PyObject* object, std::string_view argument) {
    return object == Py_None ? kDefaultTolerance : bind::Arg<bind::NonNegative>::convert(object, argument).value;
}

// A starting transform ICP can move from: finite components and a rotation
// that is not zero, used normalised at any magnitude (Quat::direction).
tessary::Transform starting(const std::optional<tessary::Transform>& initial) {
    if (!initial) return tessary::Transform::identity();
    const tessary::Quat& q = initial->rotation;
    const bool finite = tessary::is_finite(*initial);
    if (!finite || (q.w == 0.0 && q.i == 0.0 && q.j == 0.0 && q.k == 0.0)) {
        std::string message = "argument 'initial': expected finite components and a rotation other than zero, got ";
        append_transform_repr(message, *initial);
        bind::raise(PyExc_ValueError, message);
    }
    return {q.direction(), initial->translation};
}

// The text of a str argument, or nullopt for None; a TypeError otherwise.
std::optional<std::string_view> name_of(PyObject* object, std::string_view argument) {
    if (object == Py_None) return std::nullopt;
    if (!PyUnicode_Check(object)) bind::raise_wrong_class(argument, object, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) throw bind::PythonError{};
    return std::string_view(data, static_cast<std::size_t>(size));
}

enum class Method { kPointToPoint, kPointToPlane, kGeneralized };

Method method_of(PyObject* object) {
    const std::optional<std::string_view> name = name_of(object, "method");
    if (!name || *name == "point_to_point") return Method::kPointToPoint;
    if (*name == "point_to_plane") return Method::kPointToPlane;
    if (*name == "generalized") return Method::kGeneralized;
    bind::raise_bad_value("method", "expected 'point_to_point', 'point_to_plane' or 'generalized', got '" +
                                        std::string(*name) + "'");
}

tessary::RobustKernel kernel_of(PyObject* kernel, PyObject* scale) {
    using tessary::KernelKind;
    struct Named {
        std::string_view name;
        KernelKind kind;
        bool scaled;
    };
    static constexpr Named kernels[] = {
        {"l2", KernelKind::kL2, false},         {"l1", KernelKind::kL1, false},
        {"huber", KernelKind::kHuber, true},    {"cauchy", KernelKind::kCauchy, true},
        {"geman_mcclure", KernelKind::kGemanMcClure, true}, {"tukey", KernelKind::kTukey, true},
    };
    const std::optional<std::string_view> name = name_of(kernel, "kernel");
    tessary::RobustKernel out;
    if (!name) return out;
    for (const Named& k : kernels) {
        if (k.name != *name) continue;
        out.kind = k.kind;
        if (!k.scaled) return out;
        if (scale == Py_None) {
            bind::raise_bad_value("kernel_scale",
                                  "expected a number greater than 0 for the '" + std::string(*name) + "' kernel, got None");
        }
        const double s = bind::Arg<double>::convert(scale, "kernel_scale");
        if (!(s > 0.0) || !std::isfinite(s)) bind::raise_number_out_of_range("kernel_scale", "finite and greater than 0", s);
        out.scale = s;
        return out;
    }
    bind::raise_bad_value("kernel", "expected 'l2', 'l1', 'huber', 'cauchy', 'geman_mcclure' or 'tukey', got '" +
                                        std::string(*name) + "'");
}

void check_count(std::string_view argument, std::size_t expected, std::size_t got, std::string_view of) {
    if (expected == got) return;
    bind::raise_bad_value(argument, "expected one row per " + std::string(of) + " point, " + std::to_string(expected) +
                                        ", got " + std::to_string(got));
}

// Each point's covariance of its 20 nearest (KdTree.covariances(20)).
std::vector<tessary::Symmetric3> covariances_of(const tessary::KdTree& tree) {
    std::vector<tessary::Symmetric3> out(tree.size());
    const tessary::SurfaceEach<tessary::SurfaceOutput::kCovariance> question{kSurfaceNeighbours, tessary::kNaNKey};
    if (!out.empty()) tessary::answer_each_point(tree, question, true, out[0].data(), nullptr, PoolRanges{});
    return out;
}

// Covariances given as an (n, 6) buffer of xx, xy, xz, yy, yz, zz rows.
std::vector<tessary::Symmetric3> covariances_given(PyObject* object, std::string_view argument, std::size_t n,
                                                   std::string_view of) {
    bind::BufferView held;
    const std::optional<bind::FloatRows> rows = bind::import_float_rows(object, held, argument, 6);
    if (!rows) bind::raise_wrong_class(argument, object, "an array of shape (n, 6)");
    check_count(argument, n, rows->rows, of);
    std::vector<tessary::Symmetric3> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < 6; ++j) out[i][j] = rows->at(i, j);
    }
    return out;
}

void regularise(std::vector<tessary::Symmetric3>& covariances) {
    PoolRanges{}(covariances.size(), 1024, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) covariances[i] = tessary::plane_covariance(covariances[i]);
    });
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
                       PyObject* relative_rmse, PyObject* method, PyObject* kernel, PyObject* kernel_scale,
                       PyObject* target_normals, PyObject* source_covariances, PyObject* target_covariances) {
    tessary::IcpSettings settings{};
    settings.limit = max_distance.key;
    settings.max_iterations =
        max_iterations == Py_None ? kDefaultIterations
                                  : bind::Arg<bind::PositiveCount>::convert(max_iterations, "max_iterations").value;
    settings.relative_fitness = tolerance(relative_fitness, "relative_fitness");
    settings.relative_rmse = tolerance(relative_rmse, "relative_rmse");
    const tessary::Transform start = starting(initial);
    const Method variant = method_of(method);
    const tessary::RobustKernel weights = kernel_of(kernel, kernel_scale);
    const std::span<const Vec3d> points = source.view();
    const tessary::KdTree& tree = target.tree();
    if (variant == Method::kPointToPlane) {
        std::vector<Vec3d> computed;
        std::optional<PointsArgument> given;
        std::span<const Vec3d> normals;
        if (target_normals == Py_None) {
            computed.resize(tree.size());
            const tessary::SurfaceEach<tessary::SurfaceOutput::kNormal> question{kSurfaceNeighbours, tessary::kNaNKey};
            if (!computed.empty()) {
                tessary::answer_each_point(tree, question, true, &computed[0].x, nullptr, PoolRanges{});
            }
            normals = computed;
        } else {
            given.emplace(target_normals, "target_normals");
            check_count("target_normals", tree.size(), given->size(), "target");
            normals = given->view();
        }
        tessary::PointToPlane estimator{weights, normals};
        return tessary::icp(points, tree, start, settings, estimator, PoolRanges{});
    }
    if (variant == Method::kGeneralized) {
        std::vector<tessary::Symmetric3> from =
            source_covariances == Py_None
                ? covariances_of(build_tree(points))
                : covariances_given(source_covariances, "source_covariances", points.size(), "source");
        std::vector<tessary::Symmetric3> onto =
            target_covariances == Py_None
                ? covariances_of(tree)
                : covariances_given(target_covariances, "target_covariances", tree.size(), "target");
        regularise(from);
        regularise(onto);
        tessary::Generalized estimator{weights, from, onto};
        return tessary::icp(points, tree, start, settings, estimator, PoolRanges{});
    }
    tessary::PointToPoint estimator{weights};
    return tessary::icp(points, tree, start, settings, estimator, PoolRanges{});
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

std::string status_of(const IcpResult& r) {
    switch (r.status) {
        case tessary::IcpStatus::kConverged:
            return "converged";
        case tessary::IcpStatus::kMaxIterations:
            return "max_iterations";
        case tessary::IcpStatus::kNoCorrespondences:
            return "no_correspondences";
        case tessary::IcpStatus::kNonFinite:
            return "non_finite";
        case tessary::IcpStatus::kDegenerate:
            return "degenerate";
        case tessary::IcpStatus::kNoPose:
            return "no_pose";
    }
    return "";
}

std::string text(const IcpResult& r) {
    std::string out = "RegistrationResult(transform=";
    append_transform_repr(out, r.transform);
    // Numbers as every repr of the module writes them: shortest, no exponent.
    out += ", fitness=" + tessary::shortest(r.matches.fitness);
    out += ", inlier_rmse=" + tessary::shortest(r.matches.inlier_rmse);
    out += ", correspondences=" + std::to_string(r.matches.count);
    out += ", iterations=" + std::to_string(r.iterations);
    out += r.converged ? ", converged=True" : ", converged=False";
    out += ", status='" + status_of(r) + "')";
    return out;
}

PyGetSetDef properties[] = {
    M::getter<&transform_of, stub_docs::RegistrationResult::transform>("transform"),
    M::getter<&fitness_of, stub_docs::RegistrationResult::fitness>("fitness"),
    M::getter<&inlier_rmse_of, stub_docs::RegistrationResult::inlier_rmse>("inlier_rmse"),
    M::getter<&correspondences_of, stub_docs::RegistrationResult::correspondences>("correspondences"),
    M::getter<&iterations_of, stub_docs::RegistrationResult::iterations>("iterations"),
    M::getter<&converged_of, stub_docs::RegistrationResult::converged>("converged"),
    M::getter<&status_of, stub_docs::RegistrationResult::status>("status"),
    {},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(stub_docs::RegistrationResult::class_)},
    {Py_tp_getset, properties},
    bind::slot(Py_tp_repr, &M::repr<&text>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<IcpResult>::build() { return bind::make_type<IcpResult>(slots); }
