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
#include <type_traits>
#include <utility>
#include <vector>

#include "../binding/result_array.hpp"
#include "../classes.hpp"
#include "../platform.hpp"
#include "../pool/ranges.hpp"
#include "../vec_list/points_argument.hpp"
#include "kd_batch.hpp"
#include "kd_tree.hpp"
#include "kd_tree_class.hpp"
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
    std::string out = "KdTree(" + std::to_string(self.tree.size()) + " points";
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

using New = M::Constructor<"KdTree(points)", &make>;

PyMethodDef methods[] = {
    M::method<"nearest($self, point)", &nearest>(),
    M::method<"nearest_k($self, point, k, *, max_distance=None)", &nearest_k>(),
    M::method<"within($self, point, radius)", &within>(),
    M::method<"count_within($self, point, radius)", &count_within>(),
    M::method<"nearest_each($self, points, *, max_distance=None, out=None)",
              &each<tessary::NearestEach, MaxDistance>>(),
    M::method<"nearest_k_each($self, points, k, *, max_distance=None, out=None)",
              &each<tessary::NearestKEach, PositiveCount, MaxDistance>>(),
    M::method<"within_each($self, points, radius)", &within_each>(),
    M::method<"count_within_each($self, points, radius, *, out=None)", &each<tessary::CountWithinEach, Radius>>(),
    M::method<"nearest_k_each_point($self, k, *, max_distance=None, include_self=True, out=None)",
              &each_point<tessary::NearestKEach, PositiveCount, MaxDistance>>(),
    M::method<"within_each_point($self, radius, *, include_self=True)", &within_each_point>(),
    M::method<"count_within_each_point($self, radius, *, include_self=True, out=None)",
              &each_point<tessary::CountWithinEach, Radius>>(),
    M::method<"normals($self, k=None, *, radius=None, out=None)", &surface<tessary::SurfaceOutput::kNormal>>(),
    M::method<"surface_variation($self, k=None, *, radius=None, out=None)",
              &surface<tessary::SurfaceOutput::kVariation>>(),
    M::method<"covariances($self, k=None, *, radius=None, out=None)",
              &surface<tessary::SurfaceOutput::kCovariance>>(),
    {},
};

PyGetSetDef properties[] = {
    M::getter<&points>("points"),
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
