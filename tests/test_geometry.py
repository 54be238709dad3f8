"""Plane and Circle: constructors and their invariants, setters that bypass
them, strict tolerances, coplanarity, equality and the class shape."""

import ctypes
import importlib
import math
import random
import re
import sys
import weakref

import pytest

import geometry_reference as ref
import tessary_py
from conftest import bits
from geometry_objects import raw_circle, raw_plane, t, v
from geometry_reference import same_value
from tessary_py import Vec3d, geometry

Circle = geometry.Circle
Plane = geometry.Plane


# --- Plane -----------------------------------------------------------------

class TestPlaneConstruction:
    def test_constructor_normalises_and_negates_distance(self):
        p = Plane(v(0, 0, 2), 5.0)
        assert t(p.normal) == (0.0, 0.0, 1.0) and p.distance == -5.0
        assert p.contains_point(v(0, 0, 5)) and p.contains_point(v(3, -4, 5))
        assert p.distance_to_point(v(0, 0, 7)) == 2.0
        assert p.distance_to_point(v(0, 0, 3)) == 2.0

    def test_distance_argument_is_not_scaled_by_the_normal(self):
        assert Plane(v(0, 0, 10), 1.0).contains_point(v(0, 0, 1))

    def test_from_point(self):
        p = Plane.from_point(v(0, 0, 1), v(1, 2, 3))
        assert p.distance == -3.0 and p.contains_point(v(7, 8, 3))

    def test_from_points_is_right_handed(self):
        p = Plane.from_points(v(0, 0, 0), v(1, 0, 0), v(0, 1, 0))
        assert t(p.normal) == (0.0, 0.0, 1.0) and bits(p.distance) == bits(-0.0)
        q = Plane.from_points(v(0, 0, 0), v(0, 1, 0), v(1, 0, 0))
        assert t(q.normal) == (0.0, 0.0, -1.0)

    @pytest.mark.parametrize("points", [((0, 0, 0), (1, 1, 1), (2, 2, 2)), ((1, 2, 3),) * 3])
    def test_degenerate_points_give_a_nan_plane_that_contains_nothing(self, points):
        p = Plane.from_points(*(v(*q) for q in points))
        assert all(math.isnan(x) for x in (*t(p.normal), p.distance))
        assert not any(p.contains_point(v(*q)) for q in points)
        assert math.isnan(p.distance_to_point(v(0, 0, 0)))

    def test_zero_normal_gives_nan(self):
        # The constructor only negates its distance; the normal alone is 0/0.
        p = Plane(v(0, 0, 0), 1.0)
        assert all(math.isnan(x) for x in t(p.normal)) and p.distance == -1.0
        assert not p.contains_point(v(0, 0, 0))
        assert math.isnan(Plane.from_point(v(0, 0, 0), v(1, 1, 1)).distance)


class TestCoordinatePlanes:
    def test_xy(self):
        p = Plane.xy()
        assert t(p.normal) == (0.0, 0.0, 1.0) and bits(p.distance) == bits(-0.0)
        assert math.copysign(1.0, p.distance) == -1.0
        assert p.contains_point(v(0, 0, 0)) and p.contains_point(v(5, -2, 0))

    def test_xz_is_the_plane_y_equals_zero(self):
        p = Plane.xz()
        assert t(p.normal) == (0.0, 1.0, 0.0) and bits(p.distance) == bits(-0.0)
        assert p.contains_point(v(3, 0, -7)) and not p.contains_point(v(0, 1, 0))
        assert p.contains_point(v(0, 0, 1)) and p.distance_to_point(v(1, 4, 2)) == 4.0

    def test_yz_is_the_plane_x_equals_zero(self):
        p = Plane.yz()
        assert t(p.normal) == (1.0, 0.0, 0.0) and bits(p.distance) == bits(-0.0)
        assert p.contains_point(v(0, 5, -2)) and not p.contains_point(v(1, 0, 0))
        assert p.distance_to_point(v(-3, 1, 1)) == 3.0

    @pytest.mark.parametrize("name, points", [
        ("xy", ((0, 0, 0), (1, 0, 0), (0, 1, 0))),
        ("xz", ((0, 0, 0), (0, 0, 1), (1, 0, 0))),
        ("yz", ((0, 0, 0), (0, 1, 0), (0, 0, 1))),
    ])
    def test_each_equals_the_plane_through_its_axes(self, name, points):
        built = getattr(Plane, name)()
        expected = Plane.from_points(*(v(*q) for q in points))
        assert same_value((*t(built.normal), built.distance), (*t(expected.normal), expected.distance))


class TestPlaneTolerance:
    def test_contains_point_is_strict(self):
        assert not Plane.xy().contains_point(v(0, 0, 2.0**-52))
        assert Plane.xy().contains_point(v(0, 0, 2.0**-53))
        assert not Plane.xy().contains_point(v(0, 0, -(2.0**-52)))

    def test_tolerance_is_absolute(self):
        p = Plane(v(0, 0, 1), 1e20)
        assert p.contains_point(v(0, 0, 1e20))
        assert not p.contains_point(v(0, 0, math.nextafter(1e20, math.inf)))

    def test_stored_normal_is_used_unnormalised(self):
        p = raw_plane((0, 0, 2), -5.0)
        assert not p.contains_point(v(0, 0, 5)) and p.contains_point(v(0, 0, 2.5))
        assert p.distance_to_point(v(0, 0, 0)) == 5.0

    def test_distance_to_point_is_never_negative(self):
        assert Plane.xy().distance_to_point(v(0, 0, -3)) == 3.0
        assert bits(Plane.xy().distance_to_point(v(0, 0, 0))) == bits(0.0)


class TestPlaneProperties:
    def test_setters_store_unchanged(self):
        p = Plane(v(0, 0, 1), 0.0)
        p.normal = v(0, 0, 3)
        p.distance = 5.0
        assert t(p.normal) == (0.0, 0.0, 3.0) and p.distance == 5.0
        p.normal = v(0, 0, 1)
        assert p.contains_point(v(0, 0, -5))  # the plane z = -5

    def test_getter_returns_a_copy(self):
        p = Plane.xy()
        n = p.normal
        n.z = 9.0
        assert p.normal.z == 1.0 and p.normal is not p.normal

    def test_identity_comparison_and_hash(self):
        p = Plane.xy()
        assert p == p and not (p != p)
        assert Plane.xy() != Plane.xy() and not (Plane.xy() == Plane.xy())
        assert hash(p) == hash(p) and {p: 1}[p] == 1
        assert Plane.__hash__ is object.__hash__ and Plane.__eq__ is object.__eq__
        with pytest.raises(TypeError):
            Plane.xy() < Plane.xy()


# --- Circle ----------------------------------------------------------------

class TestCircleConstruction:
    def test_constructor_takes_absolute_radius_and_unit_normal(self):
        c = Circle(v(0, 0, 0), -2.0, v(0, 0, 5))
        assert c.radius == 2.0 and t(c.normal) == (0.0, 0.0, 1.0)
        assert c.normal == v(0, 0, 1)

    def test_negative_zero_radius_becomes_positive_zero(self):
        assert bits(Circle(v(0, 0, 0), -0.0, v(0, 0, 1)).radius) == bits(0.0)

    def test_none(self):
        n = Circle.none()
        assert t(n.center) == (0.0, 0.0, 0.0) and bits(n.radius) == bits(0.0)
        assert [bits(x) for x in t(n.normal)] == [0x7FF8000000000000] * 3
        assert n.is_degenerate() and bits(n.area) == bits(0.0)
        assert not (n == n) and n != n
        assert not n.in_same_plane(n) and not n.in_same_plane(Circle(v(0, 0, 0), 1.0, v(0, 0, 1)))

    def test_area(self):
        assert Circle(v(0, 0, 0), 1.0, v(0, 0, 1)).area == 3.141592653589793
        assert Circle(v(0, 0, 0), 2.0, v(0, 0, 1)).area == 12.566370614359172
        assert raw_circle((0, 0, 0), -2.0, (0, 0, 1)).area == 12.566370614359172

    def test_get_plane_normalises_the_stored_normal(self):
        p = raw_circle((0, 0, 5), 1.0, (0, 0, 2)).get_plane()
        assert t(p.normal) == (0.0, 0.0, 1.0) and p.distance == -5.0
        assert Circle(v(0, 0, 5), 1.0, v(0, 0, 1)).get_plane().distance == -5.0

    def test_is_degenerate_compares_exactly(self):
        assert raw_circle((0, 0, 0), -0.0, (0, 0, 1)).is_degenerate()
        assert not raw_circle((0, 0, 0), math.nan, (0, 0, 1)).is_degenerate()
        assert not raw_circle((0, 0, 0), 5e-324, (0, 0, 1)).is_degenerate()
        assert not raw_circle((0, 0, 0), -1.0, (0, 0, 1)).is_degenerate()


class TestCircleProperties:
    def test_setters_bypass_the_constructor_invariants(self):
        c = Circle(v(0, 0, 0), -2.0, v(0, 0, 5))
        c.radius = -3.0
        c.normal = v(0, 0, 2)
        c.center = v(1, 2, 3)
        assert c.radius == -3.0 and t(c.normal) == (0.0, 0.0, 2.0) and t(c.center) == (1.0, 2.0, 3.0)

    def test_getters_return_copies(self):
        c = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))
        c.center.x = 9.0
        c.normal.z = 9.0
        assert t(c.center) == (0.0, 0.0, 0.0) and t(c.normal) == (0.0, 0.0, 1.0)

    def test_radius_accepts_numbers(self):
        c = Circle(v(0, 0, 0), 1, v(0, 0, 1))
        c.radius = 4
        assert type(c.radius) is float and c.radius == 4.0

    def test_area_is_read_only(self):
        c = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))
        with pytest.raises(AttributeError):
            c.area = 2.0
        with pytest.raises(AttributeError):
            del c.area

    @pytest.mark.parametrize("obj, name", [
        (Circle(v(0, 0, 0), 1.0, v(0, 0, 1)), "center"),
        (Circle(v(0, 0, 0), 1.0, v(0, 0, 1)), "normal"),
        (Circle(v(0, 0, 0), 1.0, v(0, 0, 1)), "radius"),
        (Plane.xy(), "normal"),
        (Plane.xy(), "distance"),
    ])
    def test_deleting_a_property(self, obj, name):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(obj, name)

    def test_setter_errors_name_value_and_leave_the_object_alone(self):
        c = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))
        with pytest.raises(TypeError, match=r"^argument 'value': 'int' object cannot be cast as 'Vec3d'$"):
            c.center = 5
        with pytest.raises(TypeError, match=r"^argument 'value': must be real number, not str$") as info:
            c.radius = "a"
        assert isinstance(info.value.__cause__, TypeError)
        with pytest.raises(TypeError, match=r"^argument 'value': 'Circle' object cannot be cast as 'Vec3d'$"):
            Plane.xy().normal = c
        assert t(c.center) == (0.0, 0.0, 0.0) and c.radius == 1.0


class TestCircleEquality:
    def test_negated_normal_is_the_same_circle(self):
        a = Circle(v(1, 2, 3), 1.0, v(0, 0, 1))
        b = Circle(v(1, 2, 3), 1.0, v(0, 0, -1))
        assert a == b and not (a != b)

    def test_centers_within_epsilon_radii_exact(self):
        a = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))
        assert a == Circle(v(1e-17, 0, 0), 1.0, v(0, 0, 1))
        assert a != Circle(v(2.0**-52, 0, 0), 1.0, v(0, 0, 1))
        assert a != Circle(v(0, 0, 0), math.nextafter(1.0, 2.0), v(0, 0, 1))

    def test_normals_compared_as_stored(self):
        a = raw_circle((0, 0, 0), 1.0, (0, 0, 1))
        assert a != raw_circle((0, 0, 0), 1.0, (0, 0, 2))
        assert a == raw_circle((0, 0, 0), 1.0, (0, 0, 1 + 2.0**-53))
        assert a != raw_circle((0, 0, 0), 1.0, (0, 1, 0))

    def test_nan_is_unequal_even_to_itself(self):
        c = raw_circle((0, 0, 0), math.nan, (0, 0, 1))
        assert c != c and not (c == c)

    def test_other_types_and_orderings(self):
        c = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))
        assert (c == 5) is False and (c != 5) is True and (5 != c) is True
        assert c != Plane.xy() and c != v(0, 0, 0)
        with pytest.raises(TypeError, match="'<' not supported between instances of 'Circle' and 'Circle'"):
            c < c
        for op in ("__lt__", "__le__", "__gt__", "__ge__"):
            assert getattr(c, op)(c) is NotImplemented

    def test_not_equal_is_the_interpreters_equality_negated(self):
        c = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))

        class Loud:
            def __eq__(self, other):
                raise ValueError("from __eq__")

        class Claims:
            def __eq__(self, other):
                return "yes"  # truthy: so != is False

        with pytest.raises(ValueError, match="from __eq__"):
            c != Loud()
        assert (c != Claims()) is False
        assert (c == Claims()) == "yes"

    def test_unhashable(self):
        with pytest.raises(TypeError, match="unhashable type: 'Circle'"):
            hash(Circle(v(0, 0, 0), 1.0, v(0, 0, 1)))
        assert Circle.__hash__ is None

    def test_unknown_operator_code_panics(self):
        pythonapi = ctypes.pythonapi
        pythonapi.PyType_GetSlot.restype = ctypes.c_void_p
        pythonapi.PyType_GetSlot.argtypes = [ctypes.py_object, ctypes.c_int]
        richcompare = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)(
            pythonapi.PyType_GetSlot(Circle, 67))  # Py_tp_richcompare
        c = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))
        assert richcompare(c, c, 2) is True  # Py_EQ through the same entry
        with pytest.raises(BaseException) as info:
            richcompare(c, c, 6)
        assert type(info.value).__name__ == "PanicException"
        assert not isinstance(info.value, Exception) and info.value.args == ("invalid compareop",)


class TestInSamePlane:
    def test_equal_normals(self):
        a = Circle(v(0, 0, 5), 1.0, v(0, 0, 1))
        assert a.in_same_plane(Circle(v(3, 0, 5), 7.0, v(0, 0, 1)))
        assert not a.in_same_plane(Circle(v(3, 0, 6), 1.0, v(0, 0, 1)))

    def test_opposite_normals_compare_offsets_with_their_sign(self):
        up = Circle(v(0, 0, 5), 1.0, v(0, 0, 1))
        down_same = Circle(v(3, 0, 5), 2.0, v(0, 0, -1))
        down_mirror = Circle(v(3, 0, -5), 2.0, v(0, 0, -1))
        assert up.in_same_plane(down_same) and down_same.in_same_plane(up)
        assert not up.in_same_plane(down_mirror) and not down_mirror.in_same_plane(up)

    def test_opposite_normals_offset_tolerance_is_strict(self):
        up = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))
        assert up.in_same_plane(Circle(v(1, 0, 2.0**-53), 1.0, v(0, 0, -1)))
        assert not up.in_same_plane(Circle(v(1, 0, 2.0**-52), 1.0, v(0, 0, -1)))

    def test_offsets_use_the_stored_normals(self):
        a = raw_circle((0, 0, 1), 1.0, (0, 0, 0.5))
        assert a.in_same_plane(raw_circle((2, 0, 1), 1.0, (0, 0, 0.5)))
        assert not a.in_same_plane(raw_circle((2, 0, 1), 1.0, (0, 0, 1)))

    def test_normals_matching_both_ways_use_the_equal_normal_test(self):
        # Components below EPSILON: (0, 0, 1e-17) is within EPSILON of both
        # (0, 0, -1e-17) and its negation. Offsets here are 0.1 and -0.1.
        a = raw_circle((0, 0, 1e16), 1.0, (0, 0, 1e-17))
        b = raw_circle((0, 0, 1e16), 1.0, (0, 0, -1e-17))
        c = raw_circle((0, 0, -1e16), 1.0, (0, 0, -1e-17))
        assert not a.in_same_plane(b)
        assert a.in_same_plane(c)
        zero = raw_circle((1, 2, 3), 1.0, (0, 0, 0))
        assert zero.in_same_plane(raw_circle((4, 5, 6), 2.0, (0, 0, 0)))

    def test_nan_normal_or_center(self):
        a = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))
        assert not a.in_same_plane(raw_circle((0, 0, math.nan), 1.0, (0, 0, 1)))
        assert not a.in_same_plane(Circle.none())


# --- Differential against the pure-Python reference ---------------------------

class TestAgainstReference:
    N = 3000

    def test_plane_constructors(self):
        rng = random.Random(14)
        for _ in range(self.N):
            n, q1, q2, q3 = (ref.random_vector(rng) for _ in range(4))
            d = ref.random_double(rng)
            for got, want in (
                (Plane(Vec3d(*n), d), ref.plane(n, d)),
                (Plane.from_point(Vec3d(*n), Vec3d(*q1)), ref.from_point(n, q1)),
                (Plane.from_points(Vec3d(*q1), Vec3d(*q2), Vec3d(*q3)), ref.from_points(q1, q2, q3)),
            ):
                assert same_value((*t(got.normal), got.distance), (*want[0], want[1])), (n, d, q1, q2, q3)

    def test_plane_tests(self):
        rng = random.Random(15)
        for _ in range(self.N):
            pl = (ref.random_vector(rng), ref.random_double(rng))
            point = ref.random_vector(rng)
            p = raw_plane(*pl)
            assert p.contains_point(Vec3d(*point)) == ref.contains_point(pl, point)
            assert same_value(p.distance_to_point(Vec3d(*point)), ref.distance_to_point(pl, point))

    def test_circle_values(self):
        rng = random.Random(16)
        for _ in range(self.N):
            center, normal = ref.random_vector(rng), ref.random_vector(rng)
            radius = ref.random_double(rng)
            built = Circle(Vec3d(*center), radius, Vec3d(*normal))
            want = ref.circle(center, radius, normal)
            assert same_value((*t(built.center), built.radius, *t(built.normal)), (*want[0], want[1], *want[2]))
            stored = raw_circle(center, radius, normal)
            assert same_value(stored.area, ref.area((center, radius, normal)))
            got = stored.get_plane()
            want_plane = ref.get_plane((center, radius, normal))
            assert same_value((*t(got.normal), got.distance), (*want_plane[0], want_plane[1]))


# --- Class and module shape ---------------------------------------------------

class TestShape:
    @pytest.mark.parametrize("cls, signature", [
        (Circle, "(center, radius, normal)"), (Plane, "(normal, distance)")])
    def test_class_documentation_is_the_signature(self, cls, signature):
        name = cls.__name__
        assert cls.__text_signature__ == signature
        assert cls.__doc__ == ""
        assert cls.__module__ == "builtins" and cls.__qualname__ == name

    def test_method_signatures(self):
        expected = {
            Circle.none: "()", Circle.get_plane: "($self)", Circle.in_same_plane: "($self, other)",
            Circle.is_degenerate: "($self)", Plane.from_point: "(normal, point)",
            Plane.from_points: "(point1, point2, point3)", Plane.xy: "()", Plane.xz: "()", Plane.yz: "()",
            Plane.contains_point: "($self, point)", Plane.distance_to_point: "($self, point)",
        }
        assert {f: f.__text_signature__ for f in expected} == expected

    @pytest.mark.parametrize("obj", [Circle(v(0, 0, 0), 1.0, v(0, 0, 1)), Plane.xy()])
    def test_instances_are_closed(self, obj):
        cls = type(obj)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(AttributeError):
            obj.foo = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)
        assert cls.__repr__ is object.__repr__
        assert re.fullmatch(rf"<{cls.__name__} object at 0x[0-9a-f]+>", repr(obj))

    def test_arity_messages(self):
        c = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))
        cases = [
            (lambda: Circle(), "Circle.__new__() missing 3 required positional arguments: "
                               "'center', 'radius', and 'normal'"),
            (lambda: Plane(v(0, 0, 1)), "Plane.__new__() missing 1 required positional argument: 'distance'"),
            (lambda: Plane(v(0, 0, 1), 1.0, 2.0), "Plane.__new__() takes 2 positional arguments but 3 were given"),
            (lambda: c.in_same_plane(), "Circle.in_same_plane() missing 1 required positional argument: 'other'"),
            (lambda: Plane.from_point(normal=v(0, 0, 1)),
             "Plane.from_point() missing 1 required positional argument: 'point'"),
            (lambda: Plane.from_points(v(0, 0, 0), point3=v(0, 0, 0)),
             "Plane.from_points() missing 1 required positional argument: 'point2'"),
            (lambda: Plane.xy().contains_point(v(0, 0, 0), point=v(0, 0, 0)),
             "Plane.contains_point() got multiple values for argument 'point'"),
            (lambda: Plane.xy().distance_to_point(pt=v(0, 0, 0)),
             "Plane.distance_to_point() got an unexpected keyword argument 'pt'"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == message

    def test_keyword_arguments(self):
        c = Circle(normal=v(0, 0, 3), radius=-1.0, center=v(1, 1, 1))
        assert c.radius == 1.0 and t(c.normal) == (0.0, 0.0, 1.0)
        p = Plane(distance=2.0, normal=v(0, 0, 1))
        assert p.distance == -2.0
        assert Plane.from_points(point3=v(0, 1, 0), point2=v(1, 0, 0), point1=v(0, 0, 0)).normal.z == 1.0

    def test_no_argument_callables_refuse_arguments(self):
        with pytest.raises(TypeError, match="takes no arguments"):
            Circle.none(1)
        with pytest.raises(TypeError, match="takes no arguments"):
            Circle.none().is_degenerate(1)

    def test_argument_errors(self):
        cases = [
            (lambda: Circle(5, 1.0, v(0, 0, 1)), TypeError,
             "argument 'center': 'int' object cannot be cast as 'Vec3d'"),
            (lambda: Circle(v(0, 0, 0), "1", 5), TypeError, "argument 'radius': must be real number, not str"),
            (lambda: Circle(v(0, 0, 0), 1.0, None), TypeError,
             "argument 'normal': 'NoneType' object cannot be cast as 'Vec3d'"),
            (lambda: Plane(v(0, 0, 1), None), TypeError, "argument 'distance': must be real number, not NoneType"),
            (lambda: Circle.none().in_same_plane(5), TypeError,
             "argument 'other': 'int' object cannot be cast as 'Circle'"),
            (lambda: Plane.from_points(v(0, 0, 0), v(0, 0, 0), Plane.xy()), TypeError,
             "argument 'point3': 'Plane' object cannot be cast as 'Vec3d'"),
        ]
        for call, kind, message in cases:
            with pytest.raises(kind) as info:
                call()
            assert str(info.value) == message
        with pytest.raises(OverflowError) as info:
            Circle(v(0, 0, 0), 10**400, v(0, 0, 1))
        assert "radius" not in str(info.value)


class TestModule:
    def test_all_lists(self):
        # The submodule follows the classes registered before it; later
        # additions come after it.
        assert tessary_py.__all__.index("geometry") == 5
        assert geometry.__all__ == ["Circle", "circle_circle", "circle_point", "circle_point_unchecked",
                                    "plane_line", "Plane"]
        assert all(getattr(geometry, name) is not None for name in geometry.__all__)

    def test_submodule_identity(self):
        assert type(geometry) is type(sys)
        assert geometry.__name__ == "geometry" and geometry.__doc__ == ""
        assert tessary_py.geometry is geometry

    def test_not_importable_by_dotted_name(self):
        assert "tessary_py.geometry" not in sys.modules and "geometry" not in sys.modules
        with pytest.raises(ImportError):
            importlib.import_module("tessary_py.geometry")
        from tessary_py import geometry as again
        assert again is geometry

    def test_reimport_keeps_one_submodule(self):
        saved = sys.modules.pop("tessary_py")
        try:
            fresh = importlib.import_module("tessary_py")
        finally:
            sys.modules["tessary_py"] = saved
        assert fresh is saved and fresh.geometry is geometry
        assert fresh.__all__.count("geometry") == 1 and geometry.__all__.count("Circle") == 1
