// Python class Quat.
#include <array>
#include <optional>
#include <string>

#include "../../tessary/src/text.hpp"
#include "binding/buffer.hpp"
#include "classes.hpp"

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

// Three rows of three numbers: any (3, 3) buffer of floating-point numbers,
// or a sequence of three sequences of three numbers.
Matrix read_matrix(PyObject* m) {
    Matrix rows;
    bind::ImportedBuffer held;
    if (const std::optional<bind::FloatRows> floats = bind::import_float_rows(m, held, "m", 3, 3)) {
        for (std::size_t r = 0; r < 3; ++r) {
            for (std::size_t c = 0; c < 3; ++c) rows[r][c] = floats->at(r, c);
        }
        return rows;
    }
    // Tuples of the items: converting a number may run Python code, which
    // must not be able to change what is read next.
    auto fast = [](PyObject* sequence) {
        if (!PySequence_Check(sequence) || PyUnicode_Check(sequence)) {
            bind::raise_wrong_class("m", sequence, "Sequence");
        }
        bind::Ref items(PySequence_Tuple(sequence));
        if (!items) bind::reraise_for_argument("m");
        return items;
    };
    const bind::Ref outer = fast(m);
    const Py_ssize_t count = PyTuple_GET_SIZE(outer.get());
    // The rows are all taken before any is checked, so that the shape in a
    // message is that of the whole input.
    std::array<bind::Ref, 3> inner;
    std::string shape = "(" + std::to_string(count);
    bool fits = count == 3;
    for (Py_ssize_t r = 0; r < count && r < 3; ++r) {
        inner[r] = fast(PyTuple_GET_ITEM(outer.get(), r));
        fits = fits && PyTuple_GET_SIZE(inner[r].get()) == 3;
    }
    if (!fits) {
        shape += count == 0 ? ",)" : ", " + std::to_string(PyTuple_GET_SIZE(inner[0].get())) + ")";
        bind::raise_wrong_shape("m", 3, 3, shape);
    }
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < 3; ++c) {
            rows[r][c] = bind::Arg<double>::convert(PyTuple_GET_ITEM(inner[r].get(), c), "m");
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
