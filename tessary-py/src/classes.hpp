// Every native type that Python sees as a class, with its qualified name.
// Class files include this to convert each other's values.
#pragma once

#include <string>
#include <string_view>

#include "binding/members.hpp"
#include "binding/result_array.hpp"
#include "../../tessary/src/angle.hpp"
#include "../../tessary/src/geometry/circle.hpp"
#include "../../tessary/src/geometry/plane.hpp"
#include "../../tessary/src/quat.hpp"
#include "../../tessary/src/registration.hpp"
#include "../../tessary/src/transform.hpp"
#include "../../tessary/src/vec3d.hpp"
#include "kd_tree/kd_tree.hpp"
#include "vec_list/vec_list.hpp"

template <>
struct bind::Class<tessary::Vec3d> {
    static constexpr const char* qualified = "builtins.Vec3d";
    static PyTypeObject* build();
};

template <>
struct bind::Class<tessary::AngleRadians> {
    static constexpr const char* qualified = "builtins.AngleRadians";
    static PyTypeObject* build();
};

template <>
struct bind::Class<tessary::AngleDegrees> {
    static constexpr const char* qualified = "builtins.AngleDegrees";
    static PyTypeObject* build();
};

template <>
struct bind::Class<tessary::Quat> {
    static constexpr const char* qualified = "builtins.Quat";
    static PyTypeObject* build();
};

template <>
struct bind::Class<tessary::Circle> {
    static constexpr const char* qualified = "builtins.Circle";
    static PyTypeObject* build();
};

template <>
struct bind::Class<tessary::Plane> {
    static constexpr const char* qualified = "builtins.Plane";
    static PyTypeObject* build();
};

// The repr of one Vec3d, which VecList's repr repeats for every element.
void append_vec3d_repr(std::string& out, const tessary::Vec3d& v);

// The repr of one Quat, which Transform's repr holds.
void append_quat_repr(std::string& out, const tessary::Quat& q);

// The repr of one Transform, which RegistrationResult's repr holds.
void append_transform_repr(std::string& out, const tessary::Transform& t);

// Passed by reference: a list argument is read in place, not copied.
template <>
struct bind::Class<tessary_py::VecList> {
    static constexpr const char* qualified = "builtins.VecList";
    static constexpr bool shared_argument = true;
    static PyTypeObject* build();
};

template <>
struct bind::Class<tessary_py::VecListIterator> {
    static constexpr const char* qualified = "builtins.VecListIterator";
    static PyTypeObject* build();
};

template <>
struct bind::Class<tessary::Transform> {
    static constexpr const char* qualified = "builtins.Transform";
    static PyTypeObject* build();
};

// What VecList(list) accepts, as a list (sharing a VecList's array), with
// the messages naming `argument`.
tessary_py::VecList vec_list_from(PyObject* sequence, std::string_view argument);

// Not registered: Python code meets it as the result of bulk queries.
template <>
struct bind::Class<bind::ResultArray> {
    static constexpr const char* qualified = "builtins.ResultArray";
    static PyTypeObject* build();
};

template <>
struct bind::Class<tessary_py::KdTree> {
    static constexpr const char* qualified = "builtins.KdTree";
    static constexpr bool shared_argument = true;
    static PyTypeObject* build();
};

// The result of Transform.icp; not constructible from Python.
template <>
struct bind::Class<tessary::IcpResult> {
    static constexpr const char* qualified = "builtins.RegistrationResult";
    static PyTypeObject* build();
};
