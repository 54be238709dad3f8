// Transform.ransac: the features of two clouds read and checked, each
// source feature matched to its nearest target feature (and back, for
// mutual matches), and RANSAC over the matches (feature_ransac.hpp).
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../binding/buffer.hpp"
#include "../pool/ranges.hpp"
#include "feature_ransac.hpp"
#include "fpfh.hpp"
#include "icp.hpp"

namespace tessary_py {
namespace {

// Open3D's RANSACConvergenceCriteria defaults, and its edge-length check's
// usual similarity.
constexpr std::uint64_t kDefaultIterations = 100000;
constexpr double kDefaultConfidence = 0.999;
constexpr double kDefaultEdgeRatio = 0.9;

// The features of a cloud of n points: an (n, 33) array, copied as doubles.
std::vector<double> features_of(PyObject* object, std::string_view argument, std::size_t n, std::string_view of) {
    bind::BufferView held;
    const std::optional<bind::FloatRows> rows = bind::import_float_rows(object, held, argument, tessary::kFpfhWidth);
    if (!rows) bind::raise_wrong_class(argument, object, "an array of shape (n, 33)");
    if (rows->rows != n) {
        bind::raise_bad_value(argument, "expected one row per " + std::string(of) + " point, " + std::to_string(n) +
                                            ", got " + std::to_string(rows->rows));
    }
    std::vector<double> out(n * tessary::kFpfhWidth);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < tessary::kFpfhWidth; ++j) out[i * tessary::kFpfhWidth + j] = rows->at(i, j);
    }
    return out;
}

}  // namespace

tessary::IcpResult ransac(const PointsArgument& source, const PointsArgument& target, PyObject* source_features,
                          PyObject* target_features, PyObject* distance, PyObject* max_iterations,
                          PyObject* confidence, PyObject* seed, bool mutual, PyObject* edge_ratio) {
    const std::span<const Vec3d> from = source.view(), onto = target.view();
    if (from.size() < 3) bind::raise_bad_value("source", "expected at least 3 points, got " + std::to_string(from.size()));
    if (onto.size() < 3) bind::raise_bad_value("target", "expected at least 3 points, got " + std::to_string(onto.size()));
    const std::vector<double> fa = features_of(source_features, "source_features", from.size(), "source");
    const std::vector<double> fb = features_of(target_features, "target_features", onto.size(), "target");
    tessary::FeatureRansacSettings settings{};
    settings.distance = bind::Arg<bind::PositiveFinite>::convert(distance, "distance").value;
    settings.max_iterations = max_iterations == Py_None
                                  ? kDefaultIterations
                                  : bind::Arg<bind::PositiveCount>::convert(max_iterations, "max_iterations").value;
    settings.confidence = confidence == Py_None
                              ? kDefaultConfidence
                              : bind::Arg<bind::OpenFraction>::convert(confidence, "confidence").value;
    settings.seed = bind::Arg<bind::Seed>::convert(seed, "seed").value;
    settings.edge_ratio = kDefaultEdgeRatio;
    if (edge_ratio != Py_None) {
        const double r = bind::Arg<double>::convert(edge_ratio, "edge_ratio");
        if (!(r >= 0.0 && r <= 1.0)) bind::raise_number_out_of_range("edge_ratio", "from 0 to 1", r);
        settings.edge_ratio = r;
    }
    const std::vector<std::size_t> order = tessary::column_order(fa, fb, tessary::kFpfhWidth);
    const std::vector<std::size_t> forward = tessary::nearest_rows(fa, fb, tessary::kFpfhWidth, order, PoolRanges{});
    std::vector<std::size_t> back;
    if (mutual) back = tessary::nearest_rows(fb, fa, tessary::kFpfhWidth, order, PoolRanges{});
    std::vector<tessary::FeatureMatch> matches;
    matches.reserve(from.size());
    for (std::size_t i = 0; i < from.size(); ++i) {
        const std::size_t j = forward[i];
        if (j == onto.size() || !tessary::is_finite(from[i]) || !tessary::is_finite(onto[j])) continue;
        if (mutual && back[j] != i) continue;
        matches.push_back({i, j});
    }
    return tessary::feature_ransac(from, onto, matches, settings, PoolRanges{});
}

}  // namespace tessary_py
