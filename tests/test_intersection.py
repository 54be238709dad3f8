"""plane_line, circle_point, circle_point_unchecked and circle_circle: the
documented cases, every circle_circle outcome, the `inner` conversion,
argument errors, and bit-exact agreement with the pure-Python reference."""

import math
import random

import numpy as np
import pytest

import geometry_reference as ref
from geometry_objects import raw_circle, t, v
from geometry_reference import same_value
from tessary_py import Vec3d, geometry

Circle, Plane = geometry.Circle, geometry.Plane
plane_line = geometry.plane_line
circle_point = geometry.circle_point
circle_point_unchecked = geometry.circle_point_unchecked
circle_circle = geometry.circle_circle

Z = (0.0, 0.0, 1.0)

def points(result):
    assert type(result) is tuple and len(result) == 2
    assert all(type(p) is Vec3d for p in result)
    return tuple(t(p) for p in result)


class TestPlaneLine:
    def test_crossing_lines(self):
        assert t(plane_line(Plane.xy(), v(0, 0, 1), v(0, 0, 3))) == (0.0, 0.0, 0.0)
        assert t(plane_line(Plane.xy(), v(0, 0, -1), v(0, 0, 1))) == (0.0, 0.0, 0.0)

    def test_intersection_outside_the_segment(self):
        assert t(plane_line(Plane(v(0, 0, 1), 5.0), v(1, 2, 0), v(1, 2, 1))) == (1.0, 2.0, 5.0)

    def test_parallel_line_gives_non_finite_vector(self):
        for a, b in (((0, 0, 1), (1, 0, 1)), ((0, 0, 0), (1, 0, 0)), ((1, 1, 1), (1, 1, 1))):
            result = plane_line(Plane.xy(), v(*a), v(*b))
            assert type(result) is Vec3d
            assert not all(math.isfinite(x) for x in t(result))

    def test_uses_the_stored_normal(self):
        p = Plane.xy()
        p.normal, p.distance = v(0, 0, 2), -4.0  # 2z - 4 = 0
        assert t(plane_line(p, v(0, 0, 0), v(0, 0, 1))) == (0.0, 0.0, 2.0)


class TestCirclePoint:
    unit = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))

    @pytest.mark.parametrize("point, on, inside, unchecked_inside", [
        ((1, 0, 0), True, True, True),
        ((0.5, 0, 0), False, True, True),
        ((0, 0, 0.5), False, False, True),
        ((2, 0, 0), False, False, False),
        ((0, 0, 1), False, False, True),  # on the sphere, off the plane
    ])
    def test_unit_circle(self, point, on, inside, unchecked_inside):
        p = v(*point)
        assert circle_point(self.unit, p, False) is on
        assert circle_point(self.unit, p, True) is inside
        assert circle_point_unchecked(self.unit, p, True) is unchecked_inside

    def test_circumference_tolerance_is_absolute(self):
        c = Circle(v(0, 0, 0), 5.0, v(0, 0, 1))
        p = v(1.6, 4.737087712930804, 0)
        assert p.distance_to(v(0, 0, 0)) == 4.999999999999999
        assert circle_point(c, p, False) is False and circle_point(c, p, True) is True
        # The one distance just below 1.0 that passes against radius 1.
        assert circle_point(self.unit, v(0.9999999999999999, 0, 0), False)
        assert not circle_point(self.unit, v(0.9999999999999998, 0, 0), False)

    def test_plane_test_is_strict(self):
        assert circle_point(self.unit, v(1, 0, 2.0**-53), False)
        assert not circle_point(self.unit, v(1, 0, 2.0**-52), False)

    def test_plane_test_normalises_the_stored_normal(self):
        c = raw_circle((0, 0, 3), 1.0, (0, 0, 7))
        assert circle_point(c, v(0, 1, 3), False)

    def test_degenerate_circle_contains_only_its_center(self):
        c = Circle(v(1, 1, 0), 0.0, v(0, 0, 1))
        for inner in (False, True):
            assert circle_point(c, v(1, 1, 0), inner)
            assert circle_point(c, v(1 + 1e-17, 1, 0), inner)
            assert not circle_point(c, v(1 + 1e-15, 1, 0), inner)

    def test_zero_or_nan_normal_fails_the_plane_test(self):
        assert not circle_point(raw_circle((0, 0, 0), 1.0, (0, 0, 0)), v(1, 0, 0), True)
        assert not circle_point(Circle.none(), v(0, 0, 0), True)
        assert circle_point_unchecked(Circle.none(), v(0, 0, 0), True)

    def test_negative_stored_radius(self):
        c = raw_circle((0, 0, 0), -1.0, Z)
        assert not circle_point(c, v(1, 0, 0), True) and not circle_point(c, v(0, 0, 0), True)


class TestInner:
    c = Circle(v(0, 0, 0), 1.0, v(0, 0, 1))
    inside = v(0.5, 0, 0)

    @pytest.mark.parametrize("fn", [circle_point, circle_point_unchecked])
    @pytest.mark.parametrize("value, type_name", [
        (0, "int"), (1, "int"), (1.0, "float"), (None, "NoneType"), ("yes", "str"),
        (np.int64(1), "int64"), (np.float64(1.0), "float64"), (np.array(True), "ndarray"),
    ])
    def test_refused(self, fn, value, type_name):
        with pytest.raises(TypeError) as info:
            fn(self.c, self.inside, value)
        assert str(info.value) == f"argument 'inner': '{type_name}' object cannot be cast as 'bool'"

    @pytest.mark.parametrize("fn", [circle_point, circle_point_unchecked])
    def test_numpy_bool_accepted(self, fn):
        assert fn(self.c, self.inside, np.True_) is True
        assert fn(self.c, self.inside, np.bool_(False)) is False
        assert fn(self.c, self.inside, np.array([True])[0]) is True
        assert fn(self.c, self.inside, inner=np.False_) is False

    def test_recognised_by_type_name_and_module(self):
        def scalar(name, module, **body):
            return type(name, (), {"__module__": module, **body})()

        assert circle_point(self.c, self.inside, scalar("bool_", "numpy", __bool__=lambda s: True))
        assert not circle_point(self.c, self.inside, scalar("bool", "numpy", __bool__=lambda s: False))
        with pytest.raises(TypeError, match=r"^argument 'inner': 'bool_' object cannot be cast as 'bool'$"):
            circle_point(self.c, self.inside, scalar("bool_", "mylib", __bool__=lambda s: True))
        with pytest.raises(TypeError) as info:
            circle_point(self.c, self.inside, scalar("bool_", "numpy"))
        assert str(info.value).endswith(")' does not define a '__bool__' conversion")

        def fails(self):
            raise ZeroDivisionError("bad truth")

        with pytest.raises(ZeroDivisionError, match="bad truth"):
            circle_point(self.c, self.inside, scalar("bool", "numpy", __bool__=fails))

    def test_earlier_argument_errors_come_first(self):
        with pytest.raises(TypeError, match=r"^argument 'point': 'int'"):
            circle_point(self.c, 5, 5)
        with pytest.raises(TypeError, match=r"^argument 'circle': 'int'"):
            circle_point(5, 5, 5)


class TestCircleCircle:
    def test_crossing(self):
        c1, c2 = Circle(v(0, 0, 0), 1.0, v(*Z)), Circle(v(1, 0, 0), 1.0, v(*Z))
        assert points(circle_circle(c1, c2)) == ((0.5, -0.8660254037844386, 0.0), (0.5, 0.8660254037844386, 0.0))
        c3 = Circle(v(4, 0, 0), 3.0, v(*Z))
        assert points(circle_circle(Circle(v(0, 0, 0), 5.0, v(*Z)), c3)) == ((4.0, -3.0, 0.0), (4.0, 3.0, 0.0))

    def test_swapping_arguments(self):
        c1, c2 = Circle(v(0, 0, 0), 5.0, v(*Z)), Circle(v(4, 0, 0), 3.0, v(*Z))
        assert points(circle_circle(c2, c1)) == ((4.0, 3.0, 0.0), (4.0, -3.0, 0.0))
        flipped = Circle(v(4, 0, 0), 3.0, v(0, 0, -1))
        assert points(circle_circle(c1, flipped)) == ((4.0, 3.0, 0.0), (4.0, -3.0, 0.0))
        assert points(circle_circle(flipped, c1)) == ((4.0, 3.0, 0.0), (4.0, -3.0, 0.0))

    def test_touching_gives_the_point_twice(self):
        c1, c2 = Circle(v(0, 0, 0), 1.0, v(*Z)), Circle(v(2, 0, 0), 1.0, v(*Z))
        assert points(circle_circle(c1, c2)) == ((1.0, 0.0, 0.0), (1.0, 0.0, 0.0))
        inner = Circle(v(1, 0, 0), 1.0, v(*Z))
        assert points(circle_circle(Circle(v(0, 0, 0), 2.0, v(*Z)), inner)) == ((2.0, 0.0, 0.0), (2.0, 0.0, 0.0))

    @pytest.mark.parametrize("d, r1, r2, near", [
        (0.4, 0.1, 0.3, (0.1, 0.0, 0.0)),    # outside each other
        (1.0, 0.3, 0.7, (0.3, 0.0, 0.0)),
        (0.8, 0.5, 0.3, (0.5, 0.0, 0.0)),
        (0.3, 0.3, 0.6, (-0.3, 0.0, 0.0)),   # one inside the other
        (0.2, 1.9, 1.7, (1.9, 0.0, 0.0)),
    ])
    def test_touching_when_the_radicand_rounds_negative(self, d, r1, r2, near):
        c1, c2 = (0.0, 0.0, 0.0), (d, 0.0, 0.0)
        D = d
        h = (r1 * r1 - r2 * r2) / (D * D + D * D) + 0.5
        assert r1 * r1 - (D * D) * (h * h) < 0.0  # the case this test is about
        result = points(circle_circle(Circle(v(*c1), r1, v(*Z)), Circle(v(*c2), r2, v(*Z))))
        assert result[0] == result[1]
        assert all(abs(a - b) < 1e-15 for a, b in zip(result[0], near))
        assert same_value(result, ref.circle_circle((c1, r1, Z), (c2, r2, Z)))

    def test_nan_radius_is_not_clamped(self):
        # NaN fails both distance tests, so it reaches the square root.
        c1 = Circle(v(0, 0, 0), 1.0, v(*Z))
        result = points(circle_circle(c1, raw_circle((1, 0, 0), math.nan, Z)))
        assert all(math.isnan(x) for p in result for x in p)
        c2 = raw_circle((math.inf, 0, 0), 1.0, Z)
        assert circle_circle(c1, c2) is None

    @pytest.mark.parametrize("c2", [
        ((3, 0, 0), 1.0, Z),            # apart
        ((2.0000000000000004, 0, 0), 1.0, Z),
        ((0, 0, 0), 0.5, Z),            # concentric, different radii
        ((0.2, 0, 0), 0.5, Z),          # nested off center
        ((0, 0, 0), 1.0, Z),            # the same circle
        ((0, 0, 0), 1.0, (0, 0, -1)),   # the same circle, negated normal
        ((1e-17, 0, 0), 1.0, Z),        # equal within EPSILON
        ((0, 0, 1), 1.0, Z),            # parallel planes
        ((1, 0, 0), 1.0, (0, 1, 0)),    # crossing planes
        ((1, 0, 0), 1.0, (0, 0, 2)),    # coplanar, but the stored normals differ
        ((1, 0, 0), 1.0, (0, 0, -2)),
    ])
    def test_no_intersection(self, c2):
        assert circle_circle(Circle(v(0, 0, 0), 1.0, v(*Z)), raw_circle(*c2)) is None

    def test_none_circle(self):
        c = Circle(v(0, 0, 0), 1.0, v(*Z))
        assert circle_circle(c, Circle.none()) is None and circle_circle(Circle.none(), c) is None

    def test_opposite_normals_need_matching_offsets(self):
        c1 = Circle(v(0, 0, 5), 1.0, v(*Z))
        assert circle_circle(c1, Circle(v(1, 0, 5), 1.0, v(0, 0, -1))) is not None
        assert circle_circle(c1, Circle(v(1, 0, -5), 1.0, v(0, 0, -1))) is None

    def test_equal_unnormalised_normals(self):
        a, b = raw_circle((0, 0, 0), 1.0, (0, 0, 2)), raw_circle((1, 0, 0), 1.0, (0, 0, 2))
        unit = circle_circle(Circle(v(0, 0, 0), 1.0, v(*Z)), Circle(v(1, 0, 0), 1.0, v(*Z)))
        assert points(circle_circle(a, b)) == points(unit)

    def test_zero_normals_give_nan_pairs(self):
        a, b = raw_circle((0, 0, 0), 1.0, (0, 0, 0)), raw_circle((1, 0, 0), 1.0, (0, 0, 0))
        result = points(circle_circle(a, b))
        assert all(math.isnan(x) for p in result for x in p)

    def test_other_planes(self):
        # In the plane x = 3: u = (0, 4, 0) × (1, 0, 0) points along -z.
        a = Circle(v(3, 0, 0), 5.0, v(1, 0, 0))
        b = Circle(v(3, 4, 0), 3.0, v(1, 0, 0))
        assert points(circle_circle(a, b)) == ((3.0, 4.0, -3.0), (3.0, 4.0, 3.0))


class TestFunctionShape:
    def test_signatures(self):
        assert plane_line.__text_signature__ == "(plane, a, b)"
        assert circle_point.__text_signature__ == "(circle, point, inner)"
        assert circle_point_unchecked.__text_signature__ == "(circle, point, inner)"
        assert circle_circle.__text_signature__ == "(circle1, circle2)"

    def test_keywords(self):
        c = Circle(v(0, 0, 0), 1.0, v(*Z))
        assert circle_point(circle=c, point=v(1, 0, 0), inner=False)
        assert circle_point_unchecked(inner=True, point=v(0, 0, 0.5), circle=c)
        assert t(plane_line(b=v(0, 0, 3), a=v(0, 0, 1), plane=Plane.xy())) == (0.0, 0.0, 0.0)
        assert circle_circle(circle2=c, circle1=Circle(v(1, 0, 0), 1.0, v(*Z))) is not None

    def test_arity_and_argument_messages(self):
        c = Circle(v(0, 0, 0), 1.0, v(*Z))
        p = v(1, 0, 0)
        cases = [
            (lambda: circle_point(circle=c, point=p), "circle_point() missing 1 required positional argument: 'inner'"),
            (lambda: circle_point_unchecked(c), "circle_point_unchecked() missing 2 required positional arguments: "
                                                "'point' and 'inner'"),
            (lambda: plane_line(), "plane_line() missing 3 required positional arguments: 'plane', 'a', and 'b'"),
            (lambda: circle_circle(c, c, c), "circle_circle() takes 2 positional arguments but 3 were given"),
            (lambda: circle_circle(c, circle1=c), "circle_circle() got multiple values for argument 'circle1'"),
            (lambda: plane_line(Plane.xy(), p, p, c=p), "plane_line() got an unexpected keyword argument 'c'"),
            (lambda: plane_line(c, p, p), "argument 'plane': 'Circle' object cannot be cast as 'Plane'"),
            (lambda: plane_line(Plane.xy(), p, (0, 0, 1)), "argument 'b': 'tuple' object cannot be cast as 'Vec3d'"),
            (lambda: circle_circle(c, 5), "argument 'circle2': 'int' object cannot be cast as 'Circle'"),
            (lambda: circle_circle(Plane.xy(), c), "argument 'circle1': 'Plane' object cannot be cast as 'Circle'"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == message


class TestAgainstReference:
    N = 3000

    def test_plane_line(self):
        rng = random.Random(21)
        for _ in range(self.N):
            pl = (ref.random_vector(rng), ref.random_double(rng))
            a, b = ref.random_vector(rng), ref.random_vector(rng)
            p = Plane.xy()
            p.normal, p.distance = Vec3d(*pl[0]), pl[1]
            assert same_value(t(plane_line(p, Vec3d(*a), Vec3d(*b))), ref.plane_line(pl, a, b)), (pl, a, b)

    def test_circle_point(self):
        rng = random.Random(22)
        for _ in range(self.N):
            c = (ref.random_vector(rng), ref.random_double(rng), ref.random_vector(rng))
            if rng.random() < 0.5:  # a point at the right distance in the plane
                c = ((rng.uniform(-9, 9), rng.uniform(-9, 9), 0.0), rng.uniform(0, 9), Z)
                angle = rng.uniform(0, 7)
                point = (c[0][0] + c[1] * math.cos(angle), c[0][1] + c[1] * math.sin(angle), rng.choice(
                    [0.0, 2.0**-53, 2.0**-52]))
            else:
                point = ref.random_vector(rng)
            circle = raw_circle(*c)
            for inner in (False, True):
                assert circle_point(circle, Vec3d(*point), inner) == ref.circle_point(c, point, inner)
                assert circle_point_unchecked(circle, Vec3d(*point), inner) == \
                    ref.circle_point_unchecked(c, point, inner)

    @staticmethod
    def circle_pair(rng):
        """Mostly circles of one axis-aligned plane that may cross, some of
        them with negated, scaled, zero or random normals."""
        if rng.random() < 0.15:
            return [(ref.random_vector(rng), ref.random_double(rng), ref.random_vector(rng)) for _ in range(2)]
        axis = rng.randrange(3)
        level = rng.choice([0.0, -0.0, 1.0, rng.uniform(-5, 5)])
        normal = [0.0, 0.0, 0.0]
        normal[axis] = 1.0
        circles = []
        for _ in range(2):
            center = [float(rng.randint(-3, 3)) if rng.random() < 0.5 else rng.uniform(-3, 3) for _ in range(3)]
            center[axis] = level
            radius = float(rng.randint(0, 4)) if rng.random() < 0.5 else rng.uniform(0, 4)
            n = list(normal)
            pick = rng.random()
            if pick < 0.2:
                n[axis] = -1.0
            elif pick < 0.25:
                n[axis] = 2.0
            elif pick < 0.3:
                n = [0.0, 0.0, 0.0]
            elif pick < 0.35:
                n = list(ref.random_vector(rng))
            circles.append((tuple(center), radius, tuple(n)))
        if rng.random() < 0.1:  # touching
            c1, c2 = circles
            r2 = ref.distance(c1[0], c2[0]) - c1[1]
            circles[1] = (c2[0], r2, c2[2])
        return circles

    def test_circle_circle_and_circle_predicates(self):
        rng = random.Random(23)
        crossings = 0
        for _ in range(self.N):
            c1, c2 = self.circle_pair(rng)
            a, b = raw_circle(*c1), raw_circle(*c2)
            want = ref.circle_circle(c1, c2)
            got = circle_circle(a, b)
            if want is None:
                assert got is None, (c1, c2)
            else:
                crossings += 1
                assert same_value(points(got), want), (c1, c2)
            assert (a == b) == ref.circles_equal(c1, c2)
            assert (a != b) == (not ref.circles_equal(c1, c2))
            assert a.in_same_plane(b) == ref.in_same_plane(c1, c2)
        assert crossings > self.N // 4
