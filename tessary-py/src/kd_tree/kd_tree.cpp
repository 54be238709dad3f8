// Python class KdTree.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "../binding/result_array.hpp"
#include "../classes.hpp"
#include "../platform.hpp"
#include "../pool/ranges.hpp"
#include "../vec_list/kernels.hpp"
#include "stub_docs.hpp"
#include "../vec_list/points_argument.hpp"
#include "exact_sum.hpp"
#include "fpfh.hpp"
#include "kd_batch.hpp"
#include "reduction.hpp"
#include "kd_tree.hpp"
#include "kd_tree_class.hpp"
#include "orient.hpp"
#include "search_arguments.hpp"

namespace {

using bind::ResultArray;
using tessary::Neighbour;
using tessary::Vec3d;
using tessary_py::KdTree;
using bind::PositiveCount;
using tessary_py::MaxDistance;
using tessary_py::PoolRanges;
using tessary_py::Radius;
// The query points of a batch, read in place where they can be.
using Queries = tessary_py::PointsArgument;
using tessary_py::VecList;
using M = bind::Members<KdTree>;

// ---- The class

KdTree make(PyObject* points) {
    const VecList list = tessary_py::vec_list_from(points, "points");
    return KdTree{tessary_py::build_tree(list.view()), list.pin()};
}

std::size_t length(const KdTree& self) { return self.tree.size(); }

std::string text(const KdTree& self) {
    const std::size_t n = self.tree.size();
    std::string out = "KdTree(" + std::to_string(n) + (n == 1 ? " point" : " points");
    if (self.tree.non_finite() != 0) out += ", " + std::to_string(self.tree.non_finite()) + " not finite";
    return out + ")";
}

VecList points(const KdTree& self) {
    // Shared copy-on-write: a change to the list copies it first.
    return VecList(std::const_pointer_cast<tessary_py::ElementArray>(self.points));
}

// The searches for one point are compiled for AVX2 too, as the batches are:
// a leaf is a loop over up to 32 points.
using tessary_py::platform::with_avx2;

std::pair<std::size_t, double> nearest(const KdTree& self, const Vec3d& point) {
    Neighbour found{};
    with_avx2([&] { found = self.tree.nearest(point); });
    return {found.index, found.distance()};
}

// Two lists of k items: the answers, then index len(tree) and distance inf
// for each one missing.
bind::Ref nearest_k(const KdTree& self, const Vec3d& point, PositiveCount k, MaxDistance max_distance) {
    const std::size_t count = k.value;
    const std::uint64_t limit = max_distance.key;
    const std::size_t size = self.tree.size();
    std::vector<Neighbour> found(std::min(count, size));
    if (!found.empty()) with_avx2([&] { self.tree.nearest_k(point, found.size(), limit, found.data()); });
    bind::Ref indices = bind::check(PyList_New(static_cast<Py_ssize_t>(count)));
    bind::Ref distances = bind::check(PyList_New(static_cast<Py_ssize_t>(count)));
    bind::Ref missing_index, missing_distance;
    for (std::size_t j = 0; j < count; ++j) {
        PyObject* index;
        PyObject* distance;
        if (j < found.size() && found[j].index != size) {
            index = bind::check(PyLong_FromSize_t(found[j].index)).release();
            distance = bind::check(PyFloat_FromDouble(found[j].distance())).release();
        } else {
            if (!missing_index) {
                missing_index = bind::check(PyLong_FromSize_t(size));
                missing_distance = bind::check(PyFloat_FromDouble(std::numeric_limits<double>::infinity()));
            }
            index = Py_NewRef(missing_index.get());
            distance = Py_NewRef(missing_distance.get());
        }
        PyList_SET_ITEM(indices.get(), static_cast<Py_ssize_t>(j), index);
        PyList_SET_ITEM(distances.get(), static_cast<Py_ssize_t>(j), distance);
    }
    return bind::check(PyTuple_Pack(2, indices.get(), distances.get()));
}

std::vector<std::size_t> within(const KdTree& self, const Vec3d& point, Radius radius) {
    std::vector<Neighbour> found;
    with_avx2([&] { self.tree.within(point, radius.key, found); });
    std::vector<std::size_t> indices;
    indices.reserve(found.size());
    for (const Neighbour& n : found) indices.push_back(n.index);
    return indices;
}

std::size_t count_within(const KdTree& self, const Vec3d& point, Radius radius) {
    std::size_t found = 0;
    with_avx2([&] { found = self.tree.count_within(point, radius.key); });
    return found;
}

bind::Ref pair(ResultArray first, ResultArray second) {
    bind::Ref a(bind::to_python(std::move(first)));
    bind::Ref b(bind::to_python(std::move(second)));
    return bind::check(PyTuple_Pack(2, a.get(), b.get()));
}

// The core value of each search parameter.
std::uint64_t core_value(MaxDistance d) { return d.key; }
std::uint64_t core_value(Radius r) { return r.key; }
std::size_t core_value(PositiveCount k) { return k.value; }

// The two buffers of out=(indices, distances) for answers of `shape`,
// checked as one.
struct IndexAndDistanceBuffers {
    bind::OutputBuffer<Py_ssize_t> indices;
    bind::OutputBuffer<double> distances;

    IndexAndDistanceBuffers(PyObject* out, std::span<const std::size_t> shape, std::span<const std::byte> queries)
        : indices({item(out, 0), "out"}, shape, queries), distances({item(out, 1), "out"}, shape, queries) {
        const std::span<const std::byte> a = indices.bytes(), b = distances.bytes();
        if (!a.empty() && !b.empty() && a.data() < b.data() + b.size() && b.data() < a.data() + a.size()) {
            bind::raise(PyExc_ValueError, "argument 'out': the indices and the distances overlap");
        }
    }

    static PyObject* item(PyObject* out, Py_ssize_t i) {
        if (!PyTuple_Check(out) || PyTuple_GET_SIZE(out) != 2) {
            std::string message = "argument 'out': expected a tuple of two buffers (indices, distances), got '";
            message.append(bind::type_name(Py_TYPE(out))).append("' object");
            if (PyTuple_Check(out)) message.append(" of length ").append(std::to_string(PyTuple_GET_SIZE(out)));
            bind::raise(PyExc_TypeError, message);
        }
        return PyTuple_GET_ITEM(out, i);
    }
};

// The answers of `question` for m queries, written by answer(indices,
// distances) into new arrays of one or two dimensions, or into the buffers
// of `out`: (indices, distances) for questions with distances, else one
// buffer (which must not overlap `inputs`).
template <class Question, class Answer>
bind::Ref answers(const Question& question, std::size_t m, PyObject* out, std::span<const std::byte> inputs,
                  const Answer& answer) {
    const std::size_t shape_2d[2] = {m, question.width()};
    const std::span<const std::size_t> shape(shape_2d, Question::one_column ? 1 : 2);
    if constexpr (Question::with_distances) {
        if (out == Py_None) {
            ResultArray indices = ResultArray::of<Py_ssize_t>(shape);
            ResultArray distances = ResultArray::of<double>(shape);
            answer(indices.data<Py_ssize_t>(), distances.data<double>());
            return pair(std::move(indices), std::move(distances));
        }
        const IndexAndDistanceBuffers buffers(out, shape, inputs);
        answer(buffers.indices.data(), buffers.distances.data());
        return bind::Ref::borrowed(out);
    } else {
        // Counts as the platform's signed index type, numbers as doubles.
        using Item = std::conditional_t<std::is_same_v<typename Question::Item, double>, double, Py_ssize_t>;
        if (out == Py_None) {
            ResultArray items = ResultArray::of<Item>(shape);
            answer(items.data<Item>(), nullptr);
            return bind::Ref(bind::to_python(std::move(items)));
        }
        const bind::OutputBuffer<Item> items({out, "out"}, shape, inputs);
        answer(items.data(), nullptr);
        return items.result();
    }
}

// A question of the core (kd_batch.hpp) asked of every query point. A batch
// method of KdTree is one table line naming its question and parameters.
template <class Question, class... Parameters>
bind::Ref each(const KdTree& self, const Queries& queries, Parameters... parameters, PyObject* out) {
    const Question question{core_value(parameters)...};
    return answers(question, queries.size(), out, queries.bytes(), [&](Py_ssize_t* indices, double* distances) {
        queries.visit([&](const auto& query) {
            tessary::answer_each(self.tree, question, queries.size(), query, indices, distances, PoolRanges{});
        });
    });
}

// The same question asked of every point of the tree, with or without the
// point itself among its answers; row i is point i's.
template <class Question, class... Parameters>
bind::Ref each_point(const KdTree& self, Parameters... parameters, bool include_self, PyObject* out) {
    const Question question{core_value(parameters)...};
    return answers(question, self.tree.size(), out, {}, [&](Py_ssize_t* indices, double* distances) {
        tessary::answer_each_point(self.tree, question, include_self, indices, distances, PoolRanges{});
    });
}

// The points within `radius` of each of m queries, as (offsets, indices):
// two passes, the counts giving each query's place in the flat result,
// then each query writing its neighbours there; count(starts) and
// list(starts, found) run them.
template <class Count, class List>
bind::Ref listed(std::size_t m, const Count& count, const List& list) {
    const std::size_t offsets_shape[1] = {m + 1};
    ResultArray offsets = ResultArray::of<Py_ssize_t>(offsets_shape);
    Py_ssize_t* starts = offsets.data<Py_ssize_t>();
    starts[0] = 0;
    count(starts + 1);
    // Running totals; more neighbours than a buffer can index cannot be
    // held anyway.
    for (std::size_t i = 0; i < m; ++i) {
        if (starts[i + 1] > PY_SSIZE_T_MAX - starts[i]) throw std::bad_alloc();
        starts[i + 1] += starts[i];
    }
    const std::size_t found_shape[1] = {static_cast<std::size_t>(starts[m])};
    ResultArray found = ResultArray::of<Py_ssize_t>(found_shape);
    list(starts, found.data<Py_ssize_t>());
    return pair(std::move(offsets), std::move(found));
}

// The neighbourhood of a surface fit: the k nearest, those within
// `radius`, or the k nearest within `radius`.
struct Neighbourhood {
    std::size_t k;
    std::uint64_t limit;
};

Neighbourhood neighbourhood_of(PyObject* k, PyObject* radius) {
    if (k == Py_None && radius == Py_None) {
        bind::raise_bad_value("k", "expected an integer of at least 1, or a radius, got neither");
    }
    Neighbourhood out{tessary::kEveryMember, tessary::kNaNKey};
    if (k != Py_None) out.k = bind::Arg<PositiveCount>::convert(k, "k").value;
    if (radius != Py_None) out.limit = bind::Arg<Radius>::convert(radius, "radius").key;
    return out;
}

// A fit of a surface to each point's neighbourhood, the point itself
// among its neighbours.
template <tessary::SurfaceOutput Output>
bind::Ref surface(const KdTree& self, PyObject* k, PyObject* radius, PyObject* out) {
    const Neighbourhood around = neighbourhood_of(k, radius);
    const tessary::SurfaceEach<Output> question{around.k, around.limit};
    return answers(question, self.tree.size(), out, {}, [&](double* items, double*) {
        tessary::answer_each_point(self.tree, question, true, items, nullptr, PoolRanges{});
    });
}

// ---- Orienting normals

// The normals of a tree's points, checked: one per point.
const Queries& one_per_point(const KdTree& self, const Queries& normals) {
    if (normals.size() != self.tree.size()) {
        bind::raise_bad_value("normals", "expected one normal per point, " + std::to_string(self.tree.size()) +
                                             " for this tree, got " + std::to_string(normals.size()));
    }
    return normals;
}

// Each normal oriented by orient(i, normal) into new rows or into `out`,
// which may be the normals' own buffer (each row is read before it is
// written) but may not overlap them otherwise.
template <class Orient>
bind::Ref oriented(const KdTree& self, const Queries& normals, PyObject* out, const Orient& orient) {
    const std::size_t n = one_per_point(self, normals).size();
    const std::span<const Vec3d> from = normals.view();
    auto write = [&](double* rows) {
        pool::parallel_for(n, tessary_py::kernels::kGrainLight, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const Vec3d v = orient(i, from[i]);
                rows[3 * i] = v.x;
                rows[3 * i + 1] = v.y;
                rows[3 * i + 2] = v.z;
            }
        });
    };
    const std::size_t shape[2] = {n, 3};
    if (out == Py_None) {
        ResultArray rows = ResultArray::of<double>(shape);
        write(rows.data<double>());
        return bind::Ref(bind::to_python(std::move(rows)));
    }
    // The normals' own buffer as it stands (packed, as the view reads it)
    // may take the results; any other overlap is refused.
    const std::span<const std::byte> inputs = normals.bytes();
    const bool same = !inputs.empty() && std::as_bytes(from).data() == inputs.data() &&
                      std::as_bytes(from).size() == inputs.size();
    const bind::OutputBuffer<double> rows({out, "out"}, shape, same ? std::span<const std::byte>{} : inputs);
    if (same && rows.bytes().data() != inputs.data() && rows.bytes().data() < inputs.data() + inputs.size() &&
        inputs.data() < rows.bytes().data() + rows.bytes().size()) {
        bind::raise(PyExc_ValueError, "argument 'out': the buffer overlaps the normals other than as the same rows");
    }
    write(rows.data());
    return rows.result();
}

bind::Ref orient_normals_towards(const KdTree& self, const Queries& normals, PyObject* viewpoint, PyObject* out) {
    const std::span<const Vec3d> points = self.points ? self.points->view() : std::span<const Vec3d>{};
    if (bind::is_instance<Vec3d>(viewpoint)) {
        const Vec3d v = bind::read<Vec3d>(viewpoint);
        return oriented(self, normals, out, [&](std::size_t i, const Vec3d& normal) {
            return tessary::oriented(normal, normal.dot(v.sub(points[i])));
        });
    }
    const Queries each(viewpoint, "viewpoint");
    if (each.size() != self.tree.size()) {
        bind::raise_bad_value("viewpoint", "expected a Vec3d or one viewpoint per point, " +
                                               std::to_string(self.tree.size()) + " for this tree, got " +
                                               std::to_string(each.size()));
    }
    const std::span<const Vec3d> views = each.view();
    return oriented(self, normals, out, [&](std::size_t i, const Vec3d& normal) {
        return tessary::oriented(normal, normal.dot(views[i].sub(points[i])));
    });
}

bind::Ref orient_normals_along(const KdTree& self, const Queries& normals, const Vec3d& direction, PyObject* out) {
    return oriented(self, normals, out, [&](std::size_t, const Vec3d& normal) {
        return tessary::oriented(normal, normal.dot(direction));
    });
}

bind::Ref orient_normals_consistently(const KdTree& self, const Queries& normals, PositiveCount k, PyObject* out) {
    const std::size_t n = one_per_point(self, normals).size();
    std::vector<Vec3d> flipped(normals.view().begin(), normals.view().end());
    std::vector<std::size_t> neighbours(n * k.value);
    std::vector<double> distances(n * k.value);
    tessary::answer_each_point(self.tree, tessary::NearestKEach{k.value, tessary::kNaNKey}, false, neighbours.data(),
                               distances.data(), PoolRanges{});
    tessary::orient_consistently(flipped, neighbours.data(), k.value);
    return oriented(self, normals, out, [&](std::size_t i, const Vec3d&) { return flipped[i]; });
}

// ---- Features

// The FPFH of each point (fpfh.hpp): its max_neighbours nearest within
// radius, itself among them; (n, 33) into new rows or `out`, which may not
// overlap the normals.
bind::Ref fpfh(const KdTree& self, const Queries& normals, PyObject* radius, PyObject* max_neighbours, PyObject* out) {
    const std::size_t n = one_per_point(self, normals).size();
    const double r = bind::Arg<double>::convert(radius, "radius");
    if (!(r > 0.0 && r < std::numeric_limits<double>::infinity())) {
        bind::raise_number_out_of_range("radius", "greater than 0 and finite", r);
    }
    const std::size_t k = max_neighbours == Py_None
                              ? std::size_t{100}
                              : bind::Arg<PositiveCount>::convert(max_neighbours, "max_neighbours").value;
    const std::span<const Vec3d> points = self.points ? self.points->view() : std::span<const Vec3d>{};
    const std::span<const Vec3d> given = normals.view();
    auto write = [&](double* rows) {
        tessary::fpfh_features(self.tree, points, given, k, tessary::within_key(r), rows, PoolRanges{});
    };
    const std::size_t shape[2] = {n, tessary::kFpfhWidth};
    if (out == Py_None) {
        ResultArray rows = ResultArray::of<double>(shape);
        write(rows.data<double>());
        return bind::Ref(bind::to_python(std::move(rows)));
    }
    const bind::OutputBuffer<double> rows({out, "out"}, shape, normals.bytes());
    write(rows.data());
    return rows.result();
}

// ---- Outliers

// A mask of one bool per point of the tree, keep(i), into a new array or
// `out`.
template <class Keep>
bind::Ref mask_of(const KdTree& self, PyObject* out, const Keep& keep) {
    const std::size_t n = self.tree.size();
    auto write = [&](bool* mask) {
        pool::parallel_for(n, tessary_py::kernels::kGrainLight, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) mask[i] = keep(i);
        });
    };
    const std::size_t shape[1] = {n};
    if (out == Py_None) {
        ResultArray mask = ResultArray::of<bool>(shape);
        write(mask.data<bool>());
        return bind::Ref(bind::to_python(std::move(mask)));
    }
    const bind::OutputBuffer<bool> mask({out, "out"}, shape, {});
    write(mask.data());
    return mask.result();
}

// Each point's mean distance to its k nearest (itself among them); the
// mean and the sample standard deviation of those of the finite points,
// each the exact value rounded once; kept: the points whose mean distance
// is at most mean + std_ratio * deviation.
bind::Ref statistical_inliers(const KdTree& self, PositiveCount k, PyObject* std_ratio, PyObject* out) {
    const double ratio = bind::Arg<double>::convert(std_ratio, "std_ratio");
    if (!std::isfinite(ratio)) bind::raise_number_out_of_range("std_ratio", "that is finite", ratio);
    const std::size_t n = self.tree.size();
    std::vector<double> means(n);
    const tessary::MeanDistanceEach question{k.value, tessary::kNaNKey};
    tessary::answer_each_point(self.tree, question, true, means.data(), nullptr, PoolRanges{});
    struct Sums {
        tessary::ExactSum sum, squares;
        std::uint64_t count = 0;
        Sums operator+(const Sums& other) const {
            Sums out = *this;
            out.sum.merge(other.sum);
            out.squares.merge(other.squares);
            out.count += other.count;
            return out;
        }
    };
    const Sums sums = tessary::sum_in_chunks<Sums>(
        n, std::size_t{16384},
        [&](std::size_t begin, std::size_t end) {
            Sums part;
            for (std::size_t i = begin; i < end; ++i) {
                if (!std::isfinite(means[i])) continue;
                part.sum.add(means[i]);
                part.squares.add_product(means[i], means[i]);
                ++part.count;
            }
            return part;
        },
        PoolRanges{});
    double threshold = -std::numeric_limits<double>::infinity();
    if (sums.count != 0) {
        const double mean = sums.sum.value().divided_rounded(sums.count);
        // (m sum(d^2) - sum(d)^2) / (m (m - 1)), exact until rounded once.
        const tessary::ExactValue total = sums.sum.value();
        const double variance = sums.count < 2 ? 0.0
                                               : sums.squares.value().times(sums.count).minus(total.times(total))
                                                     .divided_rounded(sums.count, sums.count - 1);
        threshold = mean + ratio * std::sqrt(variance);
    }
    return mask_of(self, out, [&](std::size_t i) { return means[i] <= threshold; });
}

// Kept: the points with at least min_neighbours others within radius.
bind::Ref radius_inliers(const KdTree& self, Radius radius, bind::Index min_neighbours, PyObject* out) {
    const std::size_t n = self.tree.size();
    std::vector<std::size_t> counts(n);
    tessary::answer_each_point(self.tree, tessary::CountWithinEach{radius.key}, false, counts.data(), nullptr,
                               PoolRanges{});
    return mask_of(self, out, [&](std::size_t i) { return counts[i] >= min_neighbours.value; });
}

// ---- Distances between clouds

// The nearest point of the tree to each query: (index, key of the squared
// distance).
std::vector<tessary::Neighbour> nearest_of_each(const KdTree& self, const Queries& queries) {
    const std::size_t m = queries.size();
    std::vector<tessary::Neighbour> out(m);
    queries.visit([&](const auto& query) {
        tessary::ask_each(self.tree, tessary::NearestEach{tessary::kNaNKey}, m, query, PoolRanges{},
                          [&](std::size_t i, tessary::NearestResult& result, auto&) { out[i] = result.answer(); });
    });
    return out;
}

// (distance, index in points, index in the tree): the greatest distance
// from a point with finite coordinates to its nearest in the tree, the
// lowest index among equals; (nan, len(points), len(tree)) for none.
std::tuple<double, std::size_t, std::size_t> directed_hausdorff(const KdTree& self, const Queries& points) {
    const std::vector<tessary::Neighbour> nearest = nearest_of_each(self, points);
    std::tuple<double, std::size_t, std::size_t> best{std::numeric_limits<double>::quiet_NaN(), points.size(),
                                                      self.tree.size()};
    points.visit([&](const auto& query) {
        for (std::size_t i = 0; i < nearest.size(); ++i) {
            if (!tessary::is_finite(query(i)) || nearest[i].index == self.tree.size()) continue;
            const double d = nearest[i].distance();
            if (std::get<1>(best) == points.size() || d > std::get<0>(best)) best = {d, i, nearest[i].index};
        }
    });
    return best;
}

// The mean, over the points with finite coordinates, of the distance to
// their nearest in the tree (or of its square, as
// Vec3d::distance_squared computes it): the exact mean rounded once; NaN
// for none.
double mean_distance(const KdTree& self, const Queries& points, bool squared) {
    const std::vector<tessary::Neighbour> nearest = nearest_of_each(self, points);
    tessary::ExactSum sum;
    std::uint64_t count = 0;
    points.visit([&](const auto& query) {
        for (std::size_t i = 0; i < nearest.size(); ++i) {
            if (!tessary::is_finite(query(i)) || nearest[i].index == self.tree.size()) continue;
            sum.add(squared ? nearest[i].squared() : nearest[i].distance());
            ++count;
        }
    });
    return count == 0 ? std::numeric_limits<double>::quiet_NaN() : sum.value().divided_rounded(count);
}

bind::Ref within_each(const KdTree& self, const Queries& queries, Radius radius) {
    const std::size_t m = queries.size();
    return listed(
        m,
        [&](Py_ssize_t* counts) {
            queries.visit([&](const auto& query) {
                tessary::answer_each(self.tree, tessary::CountWithinEach{radius.key}, m, query, counts, nullptr,
                                     PoolRanges{});
            });
        },
        [&](const Py_ssize_t* starts, Py_ssize_t* found) {
            queries.visit([&](const auto& query) {
                tessary::ask_each(self.tree, tessary::WithinEach{radius.key}, m, query, PoolRanges{},
                                  tessary::write_listed(starts, found));
            });
        });
}

bind::Ref within_each_point(const KdTree& self, Radius radius, bool include_self) {
    return listed(
        self.tree.size(),
        [&](Py_ssize_t* counts) {
            tessary::answer_each_point(self.tree, tessary::CountWithinEach{radius.key}, include_self, counts, nullptr,
                                       PoolRanges{});
        },
        [&](const Py_ssize_t* starts, Py_ssize_t* found) {
            tessary::ask_each_point(self.tree, tessary::WithinEach{radius.key}, include_self, PoolRanges{},
                                    tessary::write_listed(starts, found));
        });
}

using New = M::Constructor<"KdTree(points)", &make, stub_docs::KdTree::class_>;

PyMethodDef methods[] = {
    M::method<"nearest($self, point)", &nearest, stub_docs::KdTree::nearest>(),
    M::method<"nearest_k($self, point, k, *, max_distance=None)", &nearest_k, stub_docs::KdTree::nearest_k>(),
    M::method<"within($self, point, radius)", &within, stub_docs::KdTree::within>(),
    M::method<"count_within($self, point, radius)", &count_within, stub_docs::KdTree::count_within>(),
    M::method<"nearest_each($self, points, *, max_distance=None, out=None)",
              &each<tessary::NearestEach, MaxDistance>, stub_docs::KdTree::nearest_each>(),
    M::method<"nearest_k_each($self, points, k, *, max_distance=None, out=None)",
              &each<tessary::NearestKEach, PositiveCount, MaxDistance>, stub_docs::KdTree::nearest_k_each>(),
    M::method<"within_each($self, points, radius)", &within_each, stub_docs::KdTree::within_each>(),
    M::method<"count_within_each($self, points, radius, *, out=None)", &each<tessary::CountWithinEach, Radius>, stub_docs::KdTree::count_within_each>(),
    M::method<"nearest_k_each_point($self, k, *, max_distance=None, include_self=True, out=None)",
              &each_point<tessary::NearestKEach, PositiveCount, MaxDistance>, stub_docs::KdTree::nearest_k_each_point>(),
    M::method<"within_each_point($self, radius, *, include_self=True)", &within_each_point, stub_docs::KdTree::within_each_point>(),
    M::method<"count_within_each_point($self, radius, *, include_self=True, out=None)",
              &each_point<tessary::CountWithinEach, Radius>, stub_docs::KdTree::count_within_each_point>(),
    M::method<"normals($self, k=None, *, radius=None, out=None)", &surface<tessary::SurfaceOutput::kNormal>, stub_docs::KdTree::normals>(),
    M::method<"surface_variation($self, k=None, *, radius=None, out=None)",
              &surface<tessary::SurfaceOutput::kVariation>, stub_docs::KdTree::surface_variation>(),
    M::method<"covariances($self, k=None, *, radius=None, out=None)",
              &surface<tessary::SurfaceOutput::kCovariance>, stub_docs::KdTree::covariances>(),
    M::method<"orient_normals_towards($self, normals, viewpoint, *, out=None)", &orient_normals_towards, stub_docs::KdTree::orient_normals_towards>(),
    M::method<"orient_normals_along($self, normals, direction, *, out=None)", &orient_normals_along, stub_docs::KdTree::orient_normals_along>(),
    M::method<"orient_normals_consistently($self, normals, k, *, out=None)", &orient_normals_consistently, stub_docs::KdTree::orient_normals_consistently>(),
    M::method<"fpfh($self, normals, radius, *, max_neighbours=None, out=None)", &fpfh, stub_docs::KdTree::fpfh>(),
    M::method<"statistical_inliers($self, k, std_ratio, *, out=None)", &statistical_inliers, stub_docs::KdTree::statistical_inliers>(),
    M::method<"radius_inliers($self, radius, min_neighbours, *, out=None)", &radius_inliers, stub_docs::KdTree::radius_inliers>(),
    M::method<"directed_hausdorff($self, points)", &directed_hausdorff, stub_docs::KdTree::directed_hausdorff>(),
    M::method<"mean_distance($self, points, *, squared=False)", &mean_distance, stub_docs::KdTree::mean_distance>(),
    {},
};

PyGetSetDef properties[] = {
    M::getter<&points, stub_docs::KdTree::points>("points"),
    {},
};

PyType_Slot slots[] = {
    New::doc_slot(),
    New::new_slot(),
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    bind::slot(Py_tp_repr, &M::repr<&text>),
    bind::slot(Py_mp_length, &M::length<&length>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<KdTree>::build() { return bind::make_type<KdTree>(slots, &New::vectorcall); }
