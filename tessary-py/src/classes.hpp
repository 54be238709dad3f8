// Every native type that Python sees as a class, with its qualified name.
// Class files include this to convert each other's values.
#pragma once

#include "binding/members.hpp"
#include "../../tessary/src/geometry/circle.hpp"
#include "../../tessary/src/geometry/plane.hpp"
#include "../../tessary/src/vec3d.hpp"

template <>
struct bind::Class<tessary::Vec3d> {
    static constexpr const char* qualified = "builtins.Vec3d";
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
