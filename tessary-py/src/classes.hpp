// Every native type that Python sees as a class, with its qualified name.
// Class files include this to convert each other's values; it only
// declares them, so that a class file compiles only what it uses.
#pragma once

#include <string>

#include "binding/members.hpp"

namespace tessary {
struct AngleDegrees;
struct AngleRadians;
struct Circle;
struct IcpResult;
struct Plane;
struct Quat;
struct Transform;
struct Vec3d;
}  // namespace tessary

namespace tessary_py {
struct KdTree;
struct PlaneResult;
class VecList;
struct VecListIterator;
struct VoxelGrid;
}  // namespace tessary_py

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
    static constexpr const char* qualified = "tessary_py.Transform";
    static PyTypeObject* build();
};

template <>
struct bind::Class<tessary_py::KdTree> {
    static constexpr const char* qualified = "tessary_py.KdTree";
    static constexpr bool shared_argument = true;
    static PyTypeObject* build();
};

// The result of Transform.icp; not constructible from Python.
template <>
struct bind::Class<tessary::IcpResult> {
    static constexpr const char* qualified = "tessary_py.RegistrationResult";
    static PyTypeObject* build();
};

template <>
struct bind::Class<tessary_py::VoxelGrid> {
    static constexpr const char* qualified = "tessary_py.VoxelGrid";
    static PyTypeObject* build();
};

// The result of VecList.segment_plane; not constructible from Python.
template <>
struct bind::Class<tessary_py::PlaneResult> {
    static constexpr const char* qualified = "tessary_py.PlaneResult";
    static PyTypeObject* build();
};

// The reprs that other classes' reprs hold: VecList's repeats Vec3d's for
// every element, Transform's holds a Quat's and a Vec3d's, and
// RegistrationResult's a Transform's.
void append_vec3d_repr(std::string& out, const tessary::Vec3d& v);
void append_quat_repr(std::string& out, const tessary::Quat& q);
void append_transform_repr(std::string& out, const tessary::Transform& t);
