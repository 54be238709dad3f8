// Python class Quat.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "../../tessary/src/text.hpp"
#include "binding/buffer.hpp"
#include "classes.hpp"
#include "vec_list/statistics.hpp"

namespace {

using tessary::Quat;
using M = bind::Members<Quat>;

Quat make(double w, double i, double j, double k) { return {w, i, j, k}; }

std::string text(const Quat& q) {
    std::string out;
    tessary::append_fields(out, "Quat", {q.w, q.i, q.j, q.k});
    return out;
}

using Matrix = std::array<std::array<double, 3>, 3>;

// Three rows of three numbers: any (3, 3) buffer of real numbers,
// or a sequence of three sequences of three numbers.
Matrix read_matrix(PyObject* m) {
    Matrix rows;
    bind::BufferView held;
    if (const std::optional<bind::FloatRows> floats = bind::import_float_rows(m, held, "m", 3, 3)) {
        for (std::size_t r = 0; r < 3; ++r) {
            for (std::size_t c = 0; c < 3; ++c) rows[r][c] = floats->at(r, c);
        }
        return rows;
    }
    // The items, owned: converting a number may run Python code, which
    // must not be able to change what is read next. Read by iteration, so
    // that a length (a hint only) is never trusted.
    auto items = [](PyObject* sequence) {
        if (!PySequence_Check(sequence) || PyUnicode_Check(sequence)) {
            bind::raise_wrong_class("m", sequence, "Sequence");
        }
        std::vector<bind::Ref> read;
        bind::Ref iterator(PyObject_GetIter(sequence));
        if (!iterator) bind::reraise_for_argument("m");
        while (bind::Ref item{PyIter_Next(iterator.get())}) read.push_back(std::move(item));
        if (PyErr_Occurred()) bind::reraise_for_argument("m");
        return read;
    };
    const std::vector<bind::Ref> outer = items(m);
    std::vector<std::vector<bind::Ref>> inner;
    for (const bind::Ref& row : outer) inner.push_back(items(row.get()));
    const auto wrong = std::ranges::find_if(inner, [](const auto& row) { return row.size() != 3; });
    if (outer.size() != 3 || wrong != inner.end()) {
        // Rows of one length have a shape; rows of several lengths do not,
        // and the first that is not three long is what is wrong.
        const bool even = std::ranges::all_of(inner, [&](const auto& row) { return row.size() == inner[0].size(); });
        std::string got = "(" + std::to_string(outer.size());
        got += outer.empty() ? ",)" : ", " + std::to_string(inner[0].size()) + ")";
        if (!even) got = "a row of length " + std::to_string(wrong->size());
        bind::raise_wrong_shape("m", 3, 3, got);
    }
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < 3; ++c) {
            rows[r][c] = bind::Arg<double>::convert(inner[r][c].get(), "m");
        }
    }
    return rows;
}

Quat from_rotation_matrix(PyObject* m) { return Quat::from_rotation_matrix(read_matrix(m)); }

using New = M::Constructor<"Quat(w, i, j, k)", &make>;

PyMethodDef methods[] = {
    M::static_method<"identity()", &Quat::identity>(),
    M::static_method<"from_axis_angle(axis, angle)", &Quat::from_axis_angle>(),
    M::method<"conjugate($self)", &Quat::conjugate>(),
    M::method<"magnitude($self)", &Quat::magnitude>(),
    M::method<"normalize($self)", &Quat::normalize>(),
    M::method<"is_unit($self)", &Quat::is_unit>(),
    M::method<"rotate($self, v)", &Quat::rotate>(),
    M::method<"to_axis_angle($self)", &Quat::to_axis_angle>(),
    M::method<"to_rotation_matrix($self)", &Quat::to_rotation_matrix>(),
    M::method<"to_vec3d($self)", &Quat::to_vec3d>(),
    M::static_method<"from_rotation_matrix(m)", &from_rotation_matrix>(),
    M::method<"inverse($self)", &Quat::inverse>(),
    M::method<"dot($self, other)", &Quat::dot>(),
    M::method<"slerp($self, other, t)", &Quat::slerp>(),
    M::static_method<"align(a, b, weights=None)", &tessary_py::statistics::align>(),
    {},
};

PyGetSetDef properties[] = {
    M::field<&Quat::w>("w"),
    M::field<&Quat::i>("i"),
    M::field<&Quat::j>("j"),
    M::field<&Quat::k>("k"),
    {},
};

PyType_Slot slots[] = {
    New::doc_slot(),
    New::new_slot(),
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    bind::slot(Py_tp_repr, &M::repr<&text>),
    bind::slot(Py_tp_richcompare, &M::equality<&Quat::approx_eq>),
    bind::slot(Py_nb_multiply, &M::binary<&Quat::mul>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<Quat>::build() { return bind::make_type<Quat>(slots, &New::vectorcall); }
