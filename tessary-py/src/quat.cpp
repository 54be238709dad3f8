// Python class Quat.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "align.hpp"
#include "binding/matrix.hpp"
#include "classes.hpp"
#include "stub_docs.hpp"
#include "euler.hpp"
#include "pool/ranges.hpp"
#include "quat.hpp"
#include "text.hpp"
#include "vec_list/paired_points.hpp"
#include "vec_list/points_argument.hpp"

// An axis sequence argument: a str of three letters, all of "xyz"
// (extrinsic) or all of "XYZ" (intrinsic), none the same as the one before.
template <>
struct bind::Arg<tessary::EulerSequence> {
    using Held = tessary::EulerSequence;
    static tessary::EulerSequence convert(PyObject* object, std::string_view name) {
        // Only an ASCII str can be a sequence; its characters are its bytes.
        if (PyUnicode_Check(object) && PyUnicode_IS_COMPACT_ASCII(object)) [[likely]] {
            const std::string_view text{static_cast<const char*>(PyUnicode_DATA(object)),
                                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(object))};
            const std::optional<tessary::EulerSequence> parsed = tessary::EulerSequence::parse(text);
            if (parsed) [[likely]] return *parsed;
        }
        refuse(object, name);
    }

    // Out of line, so that the call above stays small enough to inline.
    [[noreturn, gnu::cold, gnu::noinline]] static void refuse(PyObject* object, std::string_view name) {
        if (!PyUnicode_Check(object)) bind::raise_wrong_class(name, object, "str");
        const bind::Ref shown = bind::check(PyObject_Repr(object));
        const char* shown_text = PyUnicode_AsUTF8(shown.get());
        if (shown_text == nullptr) throw bind::PythonError{};
        std::string message = "argument '";
        message.append(name).append("': expected three axes, all from 'xyz' (extrinsic) or all from 'XYZ' ");
        message.append("(intrinsic), none the same as the one before it, got ").append(shown_text);
        bind::raise(PyExc_ValueError, message);
    }
};

namespace {

using tessary::AngleRadians;
using tessary::EulerSequence;
using tessary::Quat;
using M = bind::Members<Quat>;

Quat make(double w, double i, double j, double k) { return {w, i, j, k}; }

std::string text(const Quat& q) {
    std::string out;
    append_quat_repr(out, q);
    return out;
}

// Three rows of three numbers: any (3, 3) buffer of real numbers,
// or a sequence of three sequences of three numbers.
Quat from_rotation_matrix(PyObject* m) {
    static constexpr std::size_t heights[] = {3};
    std::array<double, 9> read;
    bind::read_matrix(m, "m", heights, 3, read.data());
    return Quat::from_rotation_matrix({{{read[0], read[1], read[2]}, {read[3], read[4], read[5]},
                                        {read[6], read[7], read[8]}}});
}

std::tuple<AngleRadians, AngleRadians, AngleRadians> to_euler(const Quat& q, const EulerSequence& sequence) {
    const auto [a, b, c] = tessary::quat_to_euler(q, sequence);
    return {a, b, c};
}

// (rotation, residual): the rotation that best maps the vectors `a` onto
// the vectors `b`, with the root of the weighted sum of squared distances.
std::pair<Quat, double> align(const tessary_py::PointsArgument& a, const tessary_py::PointsArgument& b,
                              PyObject* weights) {
    const tessary_py::PairedPoints paired(a, b, "a", "b", weights, "vectors");
    const tessary::RotationFit fit =
        paired.weighted() ? tessary::rotation_align<true>(paired.size(), paired.pairs(), tessary_py::PoolRanges{})
                          : tessary::rotation_align<false>(paired.size(), paired.pairs(), tessary_py::PoolRanges{});
    return {fit.rotation, fit.residual};
}

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
    M::static_method<"from_rotation_matrix(m)", &from_rotation_matrix, stub_docs::Quat::from_rotation_matrix>(),
    M::method<"inverse($self)", &Quat::inverse, stub_docs::Quat::inverse>(),
    M::method<"dot($self, other)", &Quat::dot, stub_docs::Quat::dot>(),
    M::method<"slerp($self, other, t)", &Quat::slerp, stub_docs::Quat::slerp>(),
    M::static_method<"align(a, b, weights=None)", &align, stub_docs::Quat::align>(),
    M::static_method<"from_euler(sequence, a, b, c)", &tessary::quat_from_euler, stub_docs::Quat::from_euler>(),
    M::method<"to_euler($self, sequence)", &to_euler, stub_docs::Quat::to_euler>(),
    M::static_method<"from_rotation_vector(v)", &Quat::from_rotation_vector, stub_docs::Quat::from_rotation_vector>(),
    M::method<"to_rotation_vector($self)", &Quat::to_rotation_vector, stub_docs::Quat::to_rotation_vector>(),
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

void append_quat_repr(std::string& out, const Quat& q) { tessary::append_fields(out, "Quat", {q.w, q.i, q.j, q.k}); }

PyTypeObject* bind::Class<Quat>::build() { return bind::make_type<Quat>(slots, &New::vectorcall); }
