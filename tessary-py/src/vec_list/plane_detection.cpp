#include "plane_detection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "../binding/convert.hpp"
#include "../binding/result_array.hpp"
#include "../pool/ranges.hpp"
#include "statistics.hpp"
#include "exact_sum.hpp"
#include "fit.hpp"
#include "plane_ransac.hpp"
#include "reduction.hpp"
#include "stub_docs.hpp"

namespace tessary_py {
namespace {

// Open3D's segment_plane default.
constexpr std::uint64_t kDefaultIterations = 1000;
// Without min_inliers, segment_planes keeps planes of at least 1 % of the
// cloud (and at least three points), so that it makes at most 100 runs.
constexpr std::size_t kDefaultShare = 100;
constexpr std::size_t kFewestInliers = 3;

struct Settings {
    tessary::RansacSettings ransac;
    std::optional<std::size_t> count;
    std::optional<std::size_t> min_inliers;
};

Settings settings_of(PyObject* distance, PyObject* iterations, PyObject* seed, PyObject* confidence) {
    Settings out;
    out.ransac.distance = bind::Arg<bind::PositiveFinite>::convert(distance, "distance").value;
    out.ransac.iterations = iterations == Py_None
                                ? kDefaultIterations
                                : bind::Arg<bind::PositiveCount>::convert(iterations, "iterations").value;
    out.ransac.seed = bind::Arg<bind::Seed>::convert(seed, "seed").value;
    out.ransac.stream = 0;
    if (confidence != Py_None) out.ransac.confidence = bind::Arg<bind::OpenFraction>::convert(confidence, "confidence").value;
    return out;
}

void read_extraction(Settings& settings, PyObject* count, PyObject* min_inliers) {
    if (count != Py_None) settings.count = bind::Arg<bind::PositiveCount>::convert(count, "count").value;
    if (min_inliers != Py_None) {
        settings.min_inliers = bind::Arg<bind::PositiveCount>::convert(min_inliers, "min_inliers").value;
    }
}

void check_size(std::size_t n, std::string_view argument) {
    if (n < 3) bind::raise_bad_value(argument, "a plane needs at least 3 points, got " + std::to_string(n));
    if (static_cast<std::uint64_t>(n) > tessary::kMostScoredPoints) {
        bind::raise_bad_value(argument, "plane detection takes at most 2**33 points, got " + std::to_string(n));
    }
}

// The root of the mean squared distance of the inliers to `plane`: their
// exact sum, rounded once, divided by their number.
double rmse_of(std::span<const Vec3d> inliers, const tessary::Plane& plane) {
    const tessary::ExactSum squares = tessary::combine_in_chunks<tessary::ExactSum>(
        inliers.size(), 4096,
        [&](std::size_t begin, std::size_t end) {
            tessary::ExactSum s;
            for (std::size_t i = begin; i < end; ++i) {
                const double r = plane.signed_offset(inliers[i]);
                s.add_product(r, r);
            }
            return s;
        },
        [](tessary::ExactSum total, const tessary::ExactSum& part) {
            total.merge(part);
            return total;
        },
        PoolRanges{});
    return std::sqrt(squares.round() / static_cast<double>(inliers.size()));
}

// One detection over points; the inliers' indices are those of `points`.
PlaneResult detect(std::span<const Vec3d> points, const tessary::RansacSettings& settings) {
    PlaneResult out;
    out.points = points.size();
    const tessary::ScoringCloud cloud(points, PoolRanges{});
    const tessary::RansacOutcome found = tessary::ransac_plane(points, cloud, settings, PoolRanges{});
    out.iterations = found.iterations;
    out.degenerate = found.degenerate;
    if (!found.best) {
        out.inlier_rmse = std::numeric_limits<double>::quiet_NaN();
        return out;
    }
    out.found = true;
    const std::array<std::size_t, 3> sample =
        tessary::distinct_triple(settings.seed, settings.stream, found.best_trial, points.size());
    for (std::size_t k = 0; k < 3; ++k) out.sample[k] = static_cast<Py_ssize_t>(sample[k]);
    const std::unique_ptr<bool[]> mask(new bool[points.size()]);
    tessary::inlier_mask(points, cloud, *found.best, settings.distance, mask.get(), PoolRanges{});
    out.inliers.reserve(found.inliers);
    std::vector<Vec3d> chosen;
    chosen.reserve(found.inliers);
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!mask[i]) continue;
        out.inliers.push_back(static_cast<Py_ssize_t>(i));
        chosen.push_back(points[i]);
    }
    if (chosen.size() != found.inliers) throw bind::Panic{"segment_plane: the blocked count disagrees with the inliers"};
    // The sample's own three points are inliers, so the refit has at least
    // three; where they still count as one line for the least squares, the
    // sampled plane stands, moved back from the centred frame.
    const std::optional<tessary::Plane> fitted =
        tessary::least_squares_plane(statistics::moments(chosen, true));
    if (fitted) {
        out.plane = *fitted;
    } else {
        const Vec3d& normal = found.best->normal;
        out.plane = {normal, found.best->offset - normal.dot(cloud.centre())};
    }
    out.inlier_rmse = rmse_of(chosen, out.plane);
    return out;
}

std::vector<PlaneResult> detect_all(std::span<const Vec3d> points, const Settings& settings) {
    std::vector<PlaneResult> out;
    std::vector<Py_ssize_t> left(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) left[i] = static_cast<Py_ssize_t>(i);
    std::vector<Vec3d> rest(points.begin(), points.end());
    tessary::RansacSettings ransac = settings.ransac;
    const std::size_t fewest =
        settings.min_inliers ? *settings.min_inliers
                             : std::max(kFewestInliers, (points.size() + kDefaultShare - 1) / kDefaultShare);
    for (std::uint64_t run = 0; !settings.count || out.size() < *settings.count; ++run) {
        if (rest.size() < 3) break;
        ransac.stream = run;
        PlaneResult found = detect(rest, ransac);
        if (!found.found || found.inliers.size() < fewest) break;
        // Indices into the original cloud, and the points left for the next
        // run in their order.
        const std::vector<Py_ssize_t> left_before = left;
        std::size_t kept = 0, next = 0;
        for (std::size_t j = 0; j < rest.size(); ++j) {
            if (next < found.inliers.size() && found.inliers[next] == static_cast<Py_ssize_t>(j)) {
                found.inliers[next++] = left[j];
                continue;
            }
            left[kept] = left[j];
            rest[kept++] = rest[j];
        }
        for (Py_ssize_t& i : found.sample) i = left_before[static_cast<std::size_t>(i)];
        left.resize(kept);
        rest.resize(kept);
        found.points = points.size();
        out.push_back(std::move(found));
    }
    return out;
}

// One detection, or every plane in turn, over `points` (the argument so
// named in messages).
PlaneResult segment_one(std::span<const Vec3d> points, std::string_view argument, PyObject* distance,
                        PyObject* iterations, PyObject* seed, PyObject* confidence) {
    const Settings settings = settings_of(distance, iterations, seed, confidence);
    check_size(points.size(), argument);
    return detect(points, settings.ransac);
}

std::vector<PlaneResult> segment_every(std::span<const Vec3d> points, std::string_view argument,
                                       PyObject* distance, PyObject* count, PyObject* min_inliers,
                                       PyObject* iterations, PyObject* seed, PyObject* confidence) {
    Settings settings = settings_of(distance, iterations, seed, confidence);
    read_extraction(settings, count, min_inliers);
    check_size(points.size(), argument);
    return detect_all(points, settings);
}

}  // namespace

PlaneResult segment_plane(const VecList& self, PyObject* distance, PyObject* iterations, PyObject* seed,
                          PyObject* confidence) {
    return segment_one(self.view(), "self", distance, iterations, seed, confidence);
}

std::vector<PlaneResult> segment_planes(const VecList& self, PyObject* distance, PyObject* count,
                                        PyObject* min_inliers, PyObject* iterations, PyObject* seed,
                                        PyObject* confidence) {
    return segment_every(self.view(), "self", distance, count, min_inliers, iterations, seed, confidence);
}

PlaneResult segment_points(const PointsArgument& points, PyObject* distance, PyObject* iterations, PyObject* seed,
                           PyObject* confidence) {
    return segment_one(points.view(), "points", distance, iterations, seed, confidence);
}

std::vector<PlaneResult> segment_all_points(const PointsArgument& points, PyObject* distance, PyObject* count,
                                            PyObject* min_inliers, PyObject* iterations, PyObject* seed,
                                            PyObject* confidence) {
    return segment_every(points.view(), "points", distance, count, min_inliers, iterations, seed, confidence);
}

}  // namespace tessary_py

namespace {

using tessary_py::PlaneResult;
using M = bind::Members<PlaneResult>;

bool found_of(const PlaneResult& r) { return r.found; }
std::optional<tessary::Plane> plane_of(const PlaneResult& r) {
    return r.found ? std::optional<tessary::Plane>(r.plane) : std::nullopt;
}
std::size_t inlier_count_of(const PlaneResult& r) { return r.inliers.size(); }
double inlier_rmse_of(const PlaneResult& r) { return r.inlier_rmse; }
std::size_t iterations_of(const PlaneResult& r) { return static_cast<std::size_t>(r.iterations); }
std::size_t degenerate_of(const PlaneResult& r) { return static_cast<std::size_t>(r.degenerate); }
std::optional<std::tuple<std::size_t, std::size_t, std::size_t>> sample_of(const PlaneResult& r) {
    if (!r.found) return std::nullopt;
    return std::tuple<std::size_t, std::size_t, std::size_t>{static_cast<std::size_t>(r.sample[0]),
                                                             static_cast<std::size_t>(r.sample[1]),
                                                             static_cast<std::size_t>(r.sample[2])};
}

bind::Ref inliers_of(const PlaneResult& r) {
    const std::size_t n = r.inliers.size();
    bind::ResultArray out = bind::ResultArray::of<Py_ssize_t>(std::span<const std::size_t>(&n, 1));
    std::copy(r.inliers.begin(), r.inliers.end(), out.data<Py_ssize_t>());
    return bind::Ref(bind::to_python(std::move(out)));
}

bind::Ref mask_of(const PlaneResult& r) {
    const std::size_t n = r.points;
    bind::ResultArray out = bind::ResultArray::of<bool>(std::span<const std::size_t>(&n, 1));
    bool* mask = out.data<bool>();
    std::fill(mask, mask + n, false);
    for (const Py_ssize_t i : r.inliers) mask[i] = true;
    return bind::Ref(bind::to_python(std::move(out)));
}

std::string text(const PlaneResult& r) {
    std::string out = "PlaneResult(found=";
    out += r.found ? "True" : "False";
    if (r.found) {
        out += ", normal=";
        append_vec3d_repr(out, r.plane.normal);
        out += ", distance=" + bind::float_text(r.plane.distance);
    }
    out += ", inlier_count=" + std::to_string(r.inliers.size());
    out += ", inlier_rmse=" + bind::float_text(r.inlier_rmse);
    out += ", iterations=" + std::to_string(r.iterations);
    out += ", degenerate=" + std::to_string(r.degenerate) + ")";
    return out;
}

PyGetSetDef properties[] = {
    M::getter<&found_of, stub_docs::PlaneResult::found>("found"),
    M::getter<&plane_of, stub_docs::PlaneResult::plane>("plane"),
    M::getter<&inliers_of, stub_docs::PlaneResult::inliers>("inliers"),
    M::getter<&mask_of, stub_docs::PlaneResult::mask>("mask"),
    M::getter<&inlier_count_of, stub_docs::PlaneResult::inlier_count>("inlier_count"),
    M::getter<&inlier_rmse_of, stub_docs::PlaneResult::inlier_rmse>("inlier_rmse"),
    M::getter<&iterations_of, stub_docs::PlaneResult::iterations>("iterations"),
    M::getter<&degenerate_of, stub_docs::PlaneResult::degenerate>("degenerate"),
    M::getter<&sample_of, stub_docs::PlaneResult::sample>("sample"),
    {},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(stub_docs::PlaneResult::class_)},
    {Py_tp_getset, properties},
    bind::slot(Py_tp_repr, &M::repr<&text>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<PlaneResult>::build() { return bind::make_type<PlaneResult>(slots); }
