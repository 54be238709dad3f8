"""Poses: Transform, Euler angles and rotation vectors on Quat, and
VecList.transform / transform_each.

The pure-Python formulas here, in the module's evaluation order, are exact
oracles for the bits (the C library's sin, cos, atan2 and hypot are called
through Python, so they agree on the same machine). scipy's Rotation and
RigidTransform are the outside oracle for meaning, to 1e-12: a Quat q is
scipy's Rotation.from_quat([-q.i, -q.j, -q.k, q.w]).
"""

import hashlib
from fractions import Fraction
import itertools
import math
import struct
import warnings
from collections import deque

import numpy as np
import pytest
import test_quat as quat_ref
import test_rotations as rotation_ref
from conftest import needs_scipy_conventions, run_with_pool, same_bits
from float_reference import agree, atan2, cases, cos, div, hypot, sin
from reference import platform_hash, siphash13, sqrt
from scipy.spatial.transform import Rotation, Slerp
from tessary_py import AngleDegrees, AngleRadians, Quat, Transform, Vec3d, VecList

TOLERANCE = 1e-12
PI = math.pi
GIMBAL = 1e-7
# The twelve axis sequences; each is read extrinsic as written and
# intrinsic in capitals.
SEQUENCES = [a + b + c for a, b, c in itertools.product("xyz", repeat=3) if a != b != c]
READINGS = SEQUENCES + [s.upper() for s in SEQUENCES]


def components(value):
    if isinstance(value, Quat):
        return (value.w, value.i, value.j, value.k)
    if isinstance(value, Transform):
        return components(value.rotation) + tuple(value.translation)
    return tuple(value)


def angles(a, b, c):
    return AngleRadians(a), AngleRadians(b), AngleRadians(c)


# Reference formulas, each in the module's evaluation order.

def ref_apply(t, v):
    r = quat_ref.ref_rotate(*t[:4], *v)
    return (r[0] + t[4], r[1] + t[5], r[2] + t[6])


def ref_compose(a, b):
    return rotation_ref.ref_mul(a[:4], b[:4]) + ref_apply(a, b[4:])


def ref_inverse(t):
    back = rotation_ref.ref_inverse(t[:4])
    return back + tuple(rotation_ref.flip(c) for c in quat_ref.ref_rotate(*back, *t[4:]))


def ref_interpolate(a, b, t):
    if t == 0:
        return a
    if t == 1:
        return b
    return rotation_ref.ref_slerp(a[:4], b[:4], t) + tuple(x + t * (y - x) for x, y in zip(a[4:], b[4:]))


def ref_to_matrix(t):
    x, y, z = (quat_ref.ref_rotate(*t[:4], *e) for e in ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)))
    return [[x[0], y[0], z[0], t[4]], [x[1], y[1], z[1], t[5]], [x[2], y[2], z[2], t[6]], [0.0, 0.0, 0.0, 1.0]]


def applied_order(sequence):
    """The axes in the order their turns apply, and whether that reverses
    the sequence as written (intrinsic)."""
    axes = ["xyz".index(c) for c in sequence.lower()]
    return (axes, False) if sequence.islower() else (axes[::-1], True)


def permutation_sign(p, q, r):
    return 1.0 if (p - q) * (q - r) * (r - p) > 0 else -1.0


def ref_from_euler(sequence, a, b, c):
    """third * (second * first) without the products with zeros."""
    (p, q, d), intrinsic = applied_order(sequence)
    halves = [angle * -0.5 for angle in ((c, b, a) if intrinsic else (a, b, c))]
    s, k = [sin(h) for h in halves], [cos(h) for h in halves]
    w = k[0] * k[1]
    v = [0.0] * 3
    v[p], v[q], v[3 - p - q] = s[0] * k[1], k[0] * s[1], permutation_sign(p, q, 3 - p - q) * (s[0] * s[1])
    out = [w * s[2] + v[m] * k[2] if m == d else
           v[m] * k[2] + permutation_sign(m, 3 - m - d, d) * (v[3 - m - d] * s[2]) for m in range(3)]
    return (w * k[2] - v[d] * s[2], *out)


def ref_from_euler_by_products(sequence, a, b, c):
    """The same turns composed by whole Hamilton products, as `*` does."""
    axes, intrinsic = applied_order(sequence)
    turns = [quat_ref.ref_from_axis_angle(*(float(n == axis) for n in range(3)), angle)
             for axis, angle in zip(axes, (c, b, a) if intrinsic else (a, b, c))]
    return rotation_ref.ref_mul(turns[2], rotation_ref.ref_mul(turns[1], turns[0]))


def wrap(angle):
    return angle + 2.0 * PI if angle < -PI else angle - 2.0 * PI if angle > PI else angle


def ref_to_euler(q, sequence):
    (p, m, last), intrinsic = applied_order(sequence)
    v = [rotation_ref.flip(c) for c in q[1:]]
    proper = p == last
    r = 3 - p - m if proper else last
    sign = permutation_sign(p, m, r)
    if proper:
        a, b, c, d = q[0], v[p], v[m], v[r] * sign
    else:
        a, b, c, d = q[0] - v[m], v[p] + v[r] * sign, v[m] + q[0], v[r] * sign - v[p]
    middle = 2.0 * atan2(hypot(c, d), hypot(a, b))
    half_sum, half_diff = atan2(b, a), atan2(d, c)
    near_zero, near_pi = abs(middle) <= GIMBAL, abs(middle - PI) <= GIMBAL
    if not (near_zero or near_pi):
        first, end = half_sum - half_diff, half_sum + half_diff
        end = end if proper else end * sign
    elif not intrinsic:
        first, end = (2.0 * half_sum if near_zero else -(2.0 * half_diff)), 0.0
    else:
        first, end = 0.0, 2.0 * half_sum if near_zero else 2.0 * half_diff
        end = end if proper else end * sign
    result = [wrap(first), wrap(middle if proper else middle - PI / 2.0), wrap(end)]
    return result[::-1] if intrinsic else result


def ref_from_rotation_vector(v):
    theta = sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2])
    h = theta * 0.5
    s = 0.5 if theta == 0.0 else div(sin(h), theta)
    return (cos(h),) + tuple(rotation_ref.flip(s) * c for c in v)


def moderately_scaled(q):
    """The components times 2**-e where the largest is 2**e with |e| > 400
    (their squares would overflow or underflow), else unchanged."""
    largest = max(abs(c) for c in q)
    if not (0 < largest < math.inf) or math.isnan(sum(q)):
        return q
    e = math.frexp(largest)[1] - 1
    return q if -400 <= e <= 400 else tuple(math.ldexp(c, -e) for c in q)


def ref_to_rotation_vector(q):
    w, i, j, k = moderately_scaled(q)
    x, y, z = (rotation_ref.flip(c) for c in (i, j, k))
    negate = w < 0 or (w == 0 and (x < 0 or (x == 0 and (y < 0 or (y == 0 and z < 0)))))
    axis, scalar = ((i, j, k), rotation_ref.flip(w)) if negate else ((x, y, z), w)
    n = sqrt((axis[0] * axis[0] + axis[1] * axis[1]) + axis[2] * axis[2])
    angle = 2.0 * atan2(n, scalar)
    scale = div(2.0, scalar) if n == 0.0 else div(angle, n)
    return tuple(c * scale for c in axis)


TRANSFORMS = cases(600, 7, seed=61)
VECTORS = cases(600, 3, seed=62)


class TestAgainstTheFormulas:
    """Every component to the last bit, specials and non-unit values included."""

    def test_transform_operations(self):
        ts = [t for (t,) in cases(len(TRANSFORMS), 1, seed=63)]
        for a, b, v, t in zip(TRANSFORMS, TRANSFORMS[1:] + TRANSFORMS[:1], VECTORS, ts):
            ta, tb, vv = Transform(Quat(*a[:4]), Vec3d(*a[4:])), Transform(Quat(*b[:4]), Vec3d(*b[4:])), Vec3d(*v)
            assert agree(components(ta.apply(vv)), ref_apply(a, v)), (a, v)
            assert agree(components(ta.apply_direction(vv)), quat_ref.ref_rotate(*a[:4], *v)), (a, v)
            assert agree(components(ta * tb), ref_compose(a, b)), (a, b)
            assert agree(components(ta.inverse()), ref_inverse(a)), a
            assert agree(ta.to_matrix(), ref_to_matrix(a)), a
            assert agree(np.asarray(ta).tolist(), ref_to_matrix(a)), a
            for u in (t, 0.0, 1.0, 0.5, -0.25):
                assert agree(components(ta.interpolate(tb, u)), ref_interpolate(a, b, u)), (a, b, u)

    @pytest.mark.parametrize("sequence", READINGS)
    def test_euler(self, sequence):
        poles = [0.0, PI] if sequence[0].lower() == sequence[2].lower() else [PI / 2, -PI / 2]
        given = cases(120, 3, seed=64) + [(a, pole + e, c) for a, c in ((0.3, -1.2), (2.5, 0.0))
                                          for pole in poles for e in (0.0, 1e-9, -3e-8, 1e-6)]
        for a, b, c in given:
            got = components(Quat.from_euler(sequence, *angles(a, b, c)))
            assert agree(got, ref_from_euler(sequence, a, b, c))
            # Only products with zeros are left out: every value is the whole
            # products' (== lets a zero differ in sign; NaN is NaN).
            whole = ref_from_euler_by_products(sequence, a, b, c)
            assert all(x == y or x != x and y != y for x, y in zip(got, whole)), (a, b, c)
        quats = cases(120, 4, seed=65) + [ref_from_euler(sequence, *abc) for abc in given[-16:]]
        for q in quats:
            assert agree([x.angle for x in Quat(*q).to_euler(sequence)], ref_to_euler(q, sequence)), q

    def test_rotation_vectors(self):
        vectors = cases(800, 3, seed=66) + [(0.0, -0.0, 0.0), (1e-170, 0.0, 0.0), (1e-300, -2e-300, 1e-300),
                                            (PI, 0.0, 0.0), (0.0, -PI, 0.0)]
        for v in vectors:
            assert agree(components(Quat.from_rotation_vector(Vec3d(*v))), ref_from_rotation_vector(v)), v
        quats = cases(800, 4, seed=67) + [
            (0.0, 0.0, 0.0, 0.0), (1.0, -1e-170, 0.0, 0.0), (-1.0, 0.0, 0.0, 0.0), (0.0, 1.0, 0.0, 0.0),
            (0.0, -1.0, 0.0, 0.0), (-0.0, 0.0, 1.0, 0.0), (0.0, 0.0, 0.0, -1.0), (0.0, -0.0, -0.0, 1.0),
            (-1e-300, 0.6, 0.8, 0.0)]
        for q in quats:
            assert agree(components(Quat(*q).to_rotation_vector()), ref_to_rotation_vector(q)), q

    def test_hash_and_repr(self):
        for t in TRANSFORMS[:300] + [(-0.0, 0.0, math.nan, -math.nan, 1e-7, 1e21, -0.0)]:
            pose = Transform(Quat(*t[:4]), Vec3d(*t[4:]))
            keys = [0x7FF8000000000000 if c != c else struct.unpack("<Q", struct.pack("<d", c + 0.0))[0] for c in t]
            assert hash(pose) == platform_hash(siphash13(struct.pack("<7Q", *keys)))
            assert repr(pose) == f"Transform({pose.rotation!r}, {pose.translation!r})"
            if all(math.isfinite(c) for c in t):
                # The same doubles back ("-0" reads back as 0).
                again = eval(repr(pose), {"Transform": Transform, "Quat": Quat, "Vec3d": Vec3d})
                assert components(again) == components(pose)


def to_scipy(q):
    return rotation_ref.to_scipy(q)


def unit_transforms(rng, n):
    quats = rng.normal(size=(n, 4))
    quats /= np.linalg.norm(quats, axis=1)[:, None]
    return [Transform(Quat(*q), Vec3d(*t)) for q, t in zip(quats, rng.normal(size=(n, 3)) * 5)]


def rigid(t):
    """scipy's RigidTransform of a Transform, through the documented recipe."""
    from scipy.spatial.transform import RigidTransform
    return RigidTransform.from_components(list(t.translation), to_scipy(t.rotation))


def close(a, b, tolerance=TOLERANCE):
    return np.abs(np.asarray(a, dtype=float) - np.asarray(b, dtype=float)).max() < tolerance


def same_angles(a, b):
    """Equal to the tolerance, -pi and pi being the same angle."""
    difference = np.abs(np.asarray(a) - np.asarray(b))
    return np.minimum(difference, 2 * PI - difference).max() < TOLERANCE


class TestAgainstScipy:
    @needs_scipy_conventions
    @pytest.mark.parametrize("sequence", READINGS)
    def test_euler(self, sequence):
        rng = np.random.default_rng(sum(map(ord, sequence)))
        given = rng.uniform(-PI, PI, size=(160, 3))
        # Both poles of the middle angle, on them and just inside the
        # gimbal-lock threshold.
        poles = [0.0, PI] if sequence[0].lower() == sequence[2].lower() else [PI / 2, -PI / 2]
        given[::4, 1] = np.resize(np.array([[p, p + 1e-9, p - 1e-9] for p in poles]).ravel(), len(given[::4]))
        points = rng.normal(size=(len(given), 3))
        for abc, p in zip(given, points):
            q = Quat.from_euler(sequence, *angles(*abc))
            r = Rotation.from_euler(sequence, abc)
            assert close(q.rotate(Vec3d(*p)).to_array(), r.apply(p)), (sequence, abc)
            ours = [x.angle for x in q.to_euler(sequence)]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # scipy's gimbal-lock warning
                theirs = to_scipy(q).as_euler(sequence)
            assert same_angles(ours, theirs), (sequence, abc, ours, theirs)
            again = Quat.from_euler(sequence, *angles(*ours))
            assert close(to_scipy(again).as_matrix(), r.as_matrix(), 1e-7 if min(
                abs(abc[1] - pole) for pole in poles) <= GIMBAL else TOLERANCE), (sequence, abc)

    def test_euler_exactly_at_the_poles_reproduces_the_rotation(self):
        for sequence in READINGS:
            poles = [0.0, PI] if sequence[0].lower() == sequence[2].lower() else [PI / 2, -PI / 2]
            for pole in poles:
                q = Quat.from_euler(sequence, *angles(0.4, pole, -1.3))
                with warnings.catch_warnings():
                    warnings.simplefilter("error")  # ours does not warn
                    a, b, c = q.to_euler(sequence)
                assert c.angle == 0.0 and abs(b.angle - pole) < 1e-7
                assert close(to_scipy(Quat.from_euler(sequence, a, b, c)).as_matrix(), to_scipy(q).as_matrix())

    @needs_scipy_conventions
    def test_rotation_vectors(self):
        rng = np.random.default_rng(68)
        directions = rng.normal(size=(3000, 3))
        directions /= np.linalg.norm(directions, axis=1)[:, None]
        lengths = np.concatenate([[0.0, 1e-300, 1e-20, 1e-9, 1e-4, 1e-3, 2e-3], rng.uniform(0, 2 * PI, 1000),
                                  PI - np.array([0.0, 1e-15, 1e-12, 1e-9, 1e-6]), PI + np.array([1e-12, 1e-6])])
        for w in directions * np.resize(lengths, len(directions))[:, None]:
            q = Quat.from_rotation_vector(Vec3d(*w))
            r = Rotation.from_rotvec(w)
            assert close(q.rotate(Vec3d(1, 2, 3)).to_array(), r.apply([1, 2, 3]))
            back = q.to_rotation_vector().to_array()
            assert close(back, to_scipy(q).as_rotvec()) or abs(np.linalg.norm(back) - PI) < 1e-9
            assert close(to_scipy(Quat.from_rotation_vector(Vec3d(*back))).as_matrix(), r.as_matrix())
        # Half turns: the sign scipy picks, and a scaled quaternion's direction.
        for q in (Quat(0, 1, 0, 0), Quat(0, -1, 0, 0), Quat(-0.0, 0, -0.6, 0.8), Quat(0, 0, 0, 2)):
            assert close(q.to_rotation_vector().to_array(), to_scipy(q).as_rotvec())

    def test_transforms(self):
        pytest.importorskip("scipy", minversion="1.16", reason="RigidTransform is new in scipy 1.16")
        rng = np.random.default_rng(69)
        ts = unit_transforms(rng, 400)
        points = rng.normal(size=(200, 3)) * 3
        for a, b, p in zip(ts[::2], ts[1::2], points):
            assert close((a * b).to_matrix(), (rigid(a) * rigid(b)).as_matrix())
            assert close(a.inverse().to_matrix(), rigid(a).inv().as_matrix())
            assert close(a.apply(Vec3d(*p)).to_array(), rigid(a).apply(p))
            assert close((a * b).apply(Vec3d(*p)).to_array(), a.apply(b.apply(Vec3d(*p))).to_array())
            assert close(np.asarray(a), rigid(a).as_matrix())
            back = Transform.from_matrix(rigid(a).as_matrix())
            assert close(back.to_matrix(), a.to_matrix())

    def test_how_the_matrices_relate(self):
        """to_matrix's 3x3 block is the map that apply uses, scipy's
        as_matrix(), and the transpose of Quat.to_rotation_matrix()."""
        rng = np.random.default_rng(70)
        for t in unit_transforms(rng, 500):
            m = np.array(t.to_matrix())
            assert close(m[:3, :3], to_scipy(t.rotation).as_matrix(), 1e-15)
            assert close(m[:3, :3], np.array(t.rotation.to_rotation_matrix()).T, 1e-15)
            assert close(m[:3, :3] @ [1, 2, 3] + m[:3, 3], t.apply(Vec3d(1, 2, 3)).to_array())
            for c, e in enumerate((Vec3d.i(), Vec3d.j(), Vec3d.k())):
                assert same_bits(tuple(m[:3, c]), components(t.apply_direction(e)))

    def test_interpolation(self):
        rng = np.random.default_rng(71)
        ts = unit_transforms(rng, 400)
        for a, b in zip(ts[::2], ts[1::2]):
            ends = Rotation.concatenate([to_scipy(a.rotation), to_scipy(b.rotation)])
            for u in (0.25, 0.5, 0.9):
                mid = a.interpolate(b, u)
                assert close(to_scipy(mid.rotation).as_matrix(), Slerp([0, 1], ends)(u).as_matrix())
                assert close(mid.translation.to_array(),
                             (1 - u) * np.array(a.translation.to_array()) + u * np.array(b.translation.to_array()))
            # Exactly the ends, even where the shorter arc ends at -b.rotation.
            assert same_bits(components(a.interpolate(b, 0)), components(a))
            assert same_bits(components(a.interpolate(b, 1.0)), components(b))


class TestNonUnitRotations:
    """A rotation of magnitude m turns and scales by m**2, as Quat.rotate:
    every operation keeps that meaning, and the inverse undoes it."""

    def test_a_similarity_throughout(self):
        t = Transform(Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi()) * Quat(2, 0, 0, 0), Vec3d(1, 0, 0))
        v = Vec3d(1, 0, 0)
        assert close(t.apply(v).to_array(), [1, 4, 0], 1e-14)
        assert close(t.inverse().apply(t.apply(v)).to_array(), v.to_array(), 1e-15)
        assert close((t * t.inverse()).to_matrix(), np.eye(4), 1e-15)
        assert close((t * t).apply(v).to_array(), t.apply(t.apply(v)).to_array(), 1e-13)
        assert close(np.array(t.to_matrix()) @ [1, 0, 0, 1], [1, 4, 0, 1], 1e-14)

    def test_the_zero_rotation_has_no_inverse(self):
        assert all(math.isnan(c) for c in components(Transform(Quat(0, 0, 0, 0), Vec3d(1, 2, 3)).inverse()))


# Magnitudes from the smallest subnormal to near the largest double.
EXTREME_SCALES = [5e-324, 1e-310, 1e-300, 1e-200, 1e-160, 1e-100, 1.0, 1e100, 1e154, 1e155, 1e200, 1e300, 1e307]


class TestExtremeMagnitudes:
    """The conversions that depend only on a rotation's direction give, at
    any finite non-zero magnitude, what they give for the unit quaternion."""

    ROTATIONS = [(0.3, -0.5, 0.1, 0.8), (0.0, 1.0, 0.0, 0.0), (1e-3, 1.0, 0.0, 0.0), (-0.9, 0.1, 0.3, -0.2)]

    @staticmethod
    def scaled(q, s):
        # Scaled in exact rationals, then rounded once: no intermediate
        # overflow or underflow.
        return Quat(*(float(Fraction(x) * Fraction(s)) for x in q))

    @pytest.mark.parametrize("scale", EXTREME_SCALES)
    def test_rotation_vector_and_euler_of_the_direction(self, scale):
        for unit in self.ROTATIONS:
            big = self.scaled(unit, scale)
            # The oracle: the direction of the components as stored (at the
            # smallest magnitudes, the few digits a subnormal keeps), each
            # divided by the largest in exact rationals.
            stored = [Fraction(x) for x in (big.w, big.i, big.j, big.k)]
            largest = max(map(abs, stored))
            q = Quat(*(float(x / largest) for x in stored)).normalize()
            assert close(big.to_rotation_vector().to_array(), q.to_rotation_vector().to_array()), (unit, scale)
            for sequence in ("xyz", "ZXZ"):
                assert same_angles([a.angle for a in big.to_euler(sequence)],
                                   [a.angle for a in q.to_euler(sequence)]), (unit, scale, sequence)

    def test_the_issue_cases(self):
        assert Quat(0, 1e155, 0, 0).to_rotation_vector().to_array() == [PI, 0.0, 0.0]
        assert close(Quat(1e-203, 1e-200, 0, 0).to_rotation_vector().to_array(),
                     Quat(1e-3, 1, 0, 0).to_rotation_vector().to_array())
        assert close(Quat(0, 1e-200, 0, 0).to_rotation_vector().to_array(), [PI, 0, 0])

    def test_moderate_magnitudes_keep_their_bits(self):
        # Rescaling happens only where the squares would overflow or
        # underflow: elsewhere the result is the formula's own.
        for q in (Quat(2e100, -3e99, 1e100, 5e99), Quat(3e-100, 1e-100, -2e-100, 0.0)):
            x, y, z = -q.i, -q.j, -q.k
            n = math.sqrt((x * x + y * y) + z * z)
            scale = 2.0 * math.atan2(n, q.w) / n
            assert q.to_rotation_vector().to_array() == [x * scale, y * scale, z * scale]


class TestValue:
    def test_construction(self):
        q, v = Quat(0, 1, 0, 0), Vec3d(1, 2, 3)
        assert components(Transform()) == (1, 0, 0, 0, 0, 0, 0) == components(Transform.identity())
        assert components(Transform(q)) == (0, 1, 0, 0, 0, 0, 0)
        assert components(Transform(translation=v)) == (1, 0, 0, 0, 1, 2, 3)
        assert components(Transform(None, v)) == components(Transform(rotation=None, translation=v))
        assert components(Transform(translation=v, rotation=q)) == (0, 1, 0, 0, 1, 2, 3)
        assert Transform.__text_signature__ == "(rotation=None, translation=None)"

    def test_properties_are_read_only_copies(self):
        t = Transform(Quat(0, 1, 0, 0), Vec3d(1, 2, 3))
        rotation, translation = t.rotation, t.translation
        rotation.w, translation.x = 5, 5
        assert components(t) == (0, 1, 0, 0, 1, 2, 3) and t.rotation is not t.rotation
        for name in ("rotation", "translation"):
            with pytest.raises(AttributeError):
                setattr(t, name, getattr(t, name))
            with pytest.raises(AttributeError):
                delattr(t, name)

    def test_equality_and_hash(self):
        a = Transform(Quat(1, 0, 0, 0), Vec3d(0, 0, 0))
        near = Transform(Quat(1, 0, 0, 1e-17), Vec3d(0, -0.0, 1e-17))
        assert a == near and (a != near) is False and hash(a) != hash(near)
        assert hash(a) == hash(Transform(Quat(1, -0.0, 0, 0), Vec3d(-0.0, 0, 0)))
        assert a != Transform(Quat(1, 0, 0, 3e-16)) and a != Transform(translation=Vec3d(0, 0, 3e-16))
        assert a != Transform(Quat(-1, 0, 0, 0))  # the same rotation, another value
        nan = Transform(translation=Vec3d(math.nan, 0, 0))
        assert nan != nan and hash(nan) == hash(Transform(translation=Vec3d(-math.nan, 0, 0)))
        assert (a == (1, 0, 0, 0)) is False and a != Quat(1, 0, 0, 0)
        with pytest.raises(TypeError):
            a < a  # noqa: B015
        assert len({a, Transform(), near}) == 2

    def test_operators(self):
        t = Transform(translation=Vec3d(1, 2, 3))
        for operation in (lambda: t * Vec3d(1, 2, 3), lambda: t * 2, lambda: 2 * t, lambda: t * Quat(1, 0, 0, 0),
                          lambda: Quat(1, 0, 0, 0) * t, lambda: t + t, lambda: t @ t):
            with pytest.raises(TypeError, match="unsupported operand"):
                operation()

    def test_buffer(self):
        t = Transform(Quat(0, 0, 0, 1), Vec3d(1, 2, 3))
        m = np.asarray(t)
        assert m.shape == (4, 4) and m.dtype == np.float64 and not m.flags.writeable and m.flags.c_contiguous
        assert m.tolist() == t.to_matrix() == [[-1, 0, 0, 1], [0, -1, 0, 2], [0, 0, 1, 3], [0, 0, 0, 1]]
        view = memoryview(t)
        assert view.shape == (4, 4) and view.readonly and view.format == "d"


class TestFromMatrix:
    def test_every_input_form(self):
        t = unit_transforms(np.random.default_rng(72), 1)[0]
        m = np.array(t.to_matrix())
        wanted = components(Transform.from_matrix(m))
        wide = np.zeros((4, 8))
        wide[:, ::2] = m
        for given in (m, m.tolist(), tuple(map(tuple, m)), m[:3], m[:3].tolist(), np.asfortranarray(m),
                      wide[:, ::2], m[::-1][::-1], memoryview(m.tobytes()).cast("d", (4, 4))):
            assert same_bits(components(Transform.from_matrix(given)), wanted)
        assert same_bits(components(Transform.from_matrix(m=m)), wanted)
        transposed = np.ascontiguousarray(m[:3, :3].T)
        assert same_bits(wanted[:4], components(Quat.from_rotation_matrix(transposed)))
        assert wanted[4:] == tuple(m[:3, 3])
        # float32, off by up to 6e-8, is still a rotation.
        assert close(Transform.from_matrix(m.astype(np.float32)).to_matrix(), m, 1e-6)
        assert components(Transform.from_matrix(np.eye(4, dtype=np.int64))) == (1, 0, 0, 0, 0, 0, 0)

    @pytest.mark.parametrize("block, got", [
        (np.diag([1.0, 1.0, 1.000002]), "entries up to 4e-06 and determinant 1"),
        (np.diag([1.0, 1.0, -1.0]), "entries up to 0 and determinant -1"),
        (np.zeros((3, 3)), "entries up to 1 and determinant 0"),
        (np.array([[1, 0.5, 0], [0, 1, 0], [0, 0, 1]]), "entries up to 0.5 and determinant 1"),
        (np.diag([1.0, math.nan, 1.0]), "entries up to nan and determinant nan"),
    ])
    def test_not_a_rotation(self, block, got):
        m = np.eye(4)
        m[:3, :3] = block
        for given in (m, m[:3], m.tolist()):
            with pytest.raises(ValueError) as error:
                Transform.from_matrix(given)
            assert str(error.value) == ("argument 'm': expected a rotation in the upper-left 3x3 block (every "
                                        f"entry of |R^T R - I| at most 1e-06, determinant positive), got {got}")
        m[:3, :3] = np.diag([1.0, 1.0, 1.0000004])  # 8e-7 from a rotation: accepted, as the nearest one
        assert components(Transform.from_matrix(m)) == (1, 0, 0, 0, 0, 0, 0)

    @pytest.mark.parametrize("row, text", [((0, 0, 0, 2), "(0, 0, 0, 2)"),
                                           ((0, 0, 1e-20, 1), "(0, 0, 0.00000000000000000001, 1)"),
                                           ((0, 0, 0, math.nan), "(0, 0, 0, NaN)")])
    def test_last_row(self, row, text):
        m = np.eye(4)
        m[3] = row
        with pytest.raises(ValueError, match=r"^argument 'm': expected the last row \(0, 0, 0, 1\), got ") as error:
            Transform.from_matrix(m)
        assert str(error.value).endswith(text)
        m[3] = (-0.0, 0, -0.0, 1)
        assert components(Transform.from_matrix(m)) == (1, 0, 0, 0, 0, 0, 0)

    @pytest.mark.parametrize("given, got", [
        (np.eye(3), "(3, 3)"), (np.zeros((4, 3)), "(4, 3)"), (np.zeros((2, 4)), "(2, 4)"), (np.zeros(16), "(16,)"),
        (np.zeros((4, 4, 1)), "(4, 4, 1)"), ([[1, 0, 0, 0]] * 5, "(5, 4)"), ([[1, 0, 0]] * 4, "(4, 3)"), ([], "(0,)"),
    ])
    def test_wrong_shapes(self, given, got):
        with pytest.raises(TypeError) as error:
            Transform.from_matrix(given)
        assert str(error.value) == f"argument 'm': expected an array of shape (4, 4) or (3, 4), got {got}"

    def test_wrong_types(self):
        for given, message in ((5, "argument 'm': 'int' object cannot be cast as 'Sequence'"),
                               ("abcd", "argument 'm': 'str' object cannot be cast as 'Sequence'"),
                               ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, "1", 0]],
                                "argument 'm': must be real number, not str")):
            with pytest.raises(TypeError) as error:
                Transform.from_matrix(given)
            assert str(error.value) == message


class TestEulerArguments:
    def test_the_twelve_sequences_both_ways(self):
        for sequence in READINGS:
            q = Quat.from_euler(sequence, *angles(0.1, 0.2, 0.3))
            assert [round(x.angle, 12) for x in q.to_euler(sequence)] == [0.1, 0.2, 0.3]
            assert q.to_euler(sequence=sequence) == q.to_euler(sequence)
        assert Quat.from_euler.__text_signature__ == "(sequence, a, b, c)"
        assert Quat.to_euler.__text_signature__ == "($self, sequence)"

    @pytest.mark.parametrize("sequence", ["xxy", "xyy", "XYY", "xYz", "Xyz", "xy", "xyzx", "", "abc", "xyw", "x y",
                                          "XYZ ", "xy\u017a", "\udc80yz", "\uff58yz"])
    def test_not_a_sequence(self, sequence):
        for call in (lambda: Quat.from_euler(sequence, *angles(0, 0, 0)), lambda: Quat(1, 0, 0, 0).to_euler(sequence)):
            with pytest.raises(ValueError) as error:
                call()
            assert str(error.value) == ("argument 'sequence': expected three axes, all from 'xyz' (extrinsic) or all "
                                        f"from 'XYZ' (intrinsic), none the same as the one before it, got {sequence!r}")

    def test_wrong_types(self):
        zero = AngleRadians(0)
        for call, message in (
                (lambda: Quat.from_euler(b"xyz", zero, zero, zero),
                 "argument 'sequence': 'bytes' object cannot be cast as 'str'"),
                (lambda: Quat.from_euler(None, zero, zero, zero),
                 "argument 'sequence': 'NoneType' object cannot be cast as 'str'"),
                (lambda: Quat.from_euler("xyz", 0.1, zero, zero),
                 "argument 'a': 'float' object cannot be cast as 'AngleRadians'"),
                (lambda: Quat.from_euler("xyz", zero, AngleDegrees(3), zero),
                 "argument 'b': 'AngleDegrees' object cannot be cast as 'AngleRadians'"),
                (lambda: Quat(1, 0, 0, 0).to_euler(["x", "y", "z"]),
                 "argument 'sequence': 'list' object cannot be cast as 'str'"),
                (lambda: Quat.from_rotation_vector((1, 2, 3)),
                 "argument 'v': 'tuple' object cannot be cast as 'Vec3d'")):
            with pytest.raises(TypeError) as error:
                call()
            assert str(error.value) == message
        # The first argument that fails decides.
        with pytest.raises(ValueError, match="argument 'sequence'"):
            Quat.from_euler("xxx", zero, zero, zero)


def flat(vectors):
    return [c for v in vectors for c in v]


def pose_rows(rng, n):
    """(n, 7) rows of (qw, qi, qj, qk, tx, ty, tz), rotations not unit (the scaling must agree too)."""
    return np.hstack([rng.normal(size=(n, 4)), rng.normal(size=(n, 3)) * 10])


class TestBulk:
    @pytest.mark.parametrize("n", [0, 1, 7, 16385, 33_001])
    def test_bit_for_bit_as_apply(self, n):
        rng = np.random.default_rng(n)
        points, rows = rng.normal(size=(n, 3)) * 10, pose_rows(rng, n)
        poses = [Transform(Quat(*r[:4]), Vec3d(*r[4:])) for r in rows]
        one, each = VecList(points), VecList(points)
        assert one.transform(poses[0] if n else Transform()) is None and each.transform_each(poses) is None
        vectors = [Vec3d(*p) for p in points]
        assert same_bits(flat(one), flat((poses[0] if n else Transform()).apply(v) for v in vectors))
        assert same_bits(flat(each), flat(t.apply(v) for t, v in zip(poses, vectors)))

    def test_special_values(self):
        vectors, rows = cases(400, 3, seed=73), cases(400, 7, seed=74)
        vl = VecList([Vec3d(*v) for v in vectors])
        vl.transform_each([Transform(Quat(*r[:4]), Vec3d(*r[4:])) for r in rows])
        assert agree(flat(vl), [c for r, v in zip(rows, vectors) for c in ref_apply(r, v)])

    def test_every_input_form(self):
        rng = np.random.default_rng(75)
        points, rows = rng.normal(size=(50, 3)), pose_rows(rng, 50)
        poses = [Transform(Quat(*r[:4]), Vec3d(*r[4:])) for r in rows]
        wanted = flat(t.apply(Vec3d(*p)) for t, p in zip(poses, points))
        wide = np.zeros((50, 14))
        wide[:, 1::2] = rows
        for given in (poses, tuple(poses), deque(poses), rows, np.asfortranarray(rows), wide[:, 1::2],
                      memoryview(rows.tobytes()).cast("d", (50, 7))):
            vl = VecList(points)
            vl.transform_each(given)
            assert same_bits(flat(vl), wanted)
        # Any real number type, read as its astype(float64).
        for narrow in (rows.astype(np.float32), rows.astype(np.float16), (rows * 4).astype(np.int32),
                       rows.astype(">f8")):
            read, by_poses = VecList(points), VecList(points)
            read.transform_each(narrow)
            by_poses.transform_each([Transform(Quat(*r[:4]), Vec3d(*r[4:])) for r in narrow.astype(float)])
            assert same_bits(flat(read), flat(by_poses)), narrow.dtype

    @pytest.mark.parametrize("given, count", [([], 0), ([Transform()] * 2, 2), (np.zeros((4, 7)), 4)])
    def test_count_mismatch_changes_nothing(self, given, count):
        vl = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6), Vec3d(7, 8, 9)])
        with pytest.raises(ValueError) as error:
            vl.transform_each(given)
        assert str(error.value) == ("argument 'transforms': expected one transform per element, 3 for this list, "
                                    f"got {count}")
        assert vl.to_array() == [[1, 2, 3], [4, 5, 6], [7, 8, 9]]

    @pytest.mark.parametrize("given, message", [
        ([Transform(), Quat(1, 0, 0, 0)], "argument 'transforms': 'Quat' object cannot be cast as 'Transform'"),
        (np.zeros((2, 4)), "argument 'transforms': expected an array of shape (n, 7), got (2, 4)"),
        (5, "argument 'transforms': 'int' object cannot be cast as 'Sequence'"),
    ])
    def test_wrong_arguments_change_nothing(self, given, message):
        vl = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
        with pytest.raises(TypeError) as error:
            vl.transform_each(given)
        assert str(error.value) == message
        with pytest.raises(TypeError, match="^argument 'transform': 'Quat' object cannot be cast as 'Transform'$"):
            vl.transform(Quat(1, 0, 0, 0))
        assert vl.to_array() == [[1, 2, 3], [4, 5, 6]]

    @pytest.mark.parametrize("each", [False, True])
    def test_earlier_snapshots_keep_the_old_elements(self, each):
        n = 20_000
        vl = VecList([Vec3d(i, 1, 2) for i in range(n)])
        alias, before, copy, exported = vl, iter(vl), VecList(vl), np.asarray(vl)
        half_turn = Transform(Quat(0, 1, 0, 0), Vec3d(0, 0, 1))  # (x, y, z) -> (x, -y, 1 - z)
        vl.transform_each([half_turn] * n) if each else vl.transform(half_turn)
        assert alias is vl and vl.to_array() == [[i, -1, -1] for i in range(n)]
        assert [e.to_array() for e in before] == [[i, 1, 2] for i in range(n)]
        assert copy.to_array() == [[i, 1, 2] for i in range(n)] and exported[-1].tolist() == [n - 1, 1, 2]


SIZED_RUN = """
    import hashlib
    import numpy as np
    from tessary_py import Quat, Transform, Vec3d, VecList
    rng = np.random.default_rng(7)
    points, rows = rng.normal(size=(40_001, 3)), rng.normal(size=(40_001, 7))
    one, each = VecList(points), VecList(points)
    one.transform(Transform(Quat(*rows[0, :4]), Vec3d(*rows[0, 4:])))
    each.transform_each(rows)
    print(hashlib.sha256(np.asarray(one).tobytes() + np.asarray(each).tobytes()).hexdigest())
"""


@pytest.mark.platform_dependent
def test_bulk_results_are_the_same_at_every_pool_size():
    """Each pool size gives the bits of one transform at a time."""
    rng = np.random.default_rng(7)
    points, rows = rng.normal(size=(40_001, 3)), rng.normal(size=(40_001, 7))
    poses = [Transform(Quat(*r[:4]), Vec3d(*r[4:])) for r in rows.tolist()]
    vectors = [Vec3d(*p) for p in points.tolist()]
    one = [c for v in vectors for c in poses[0].apply(v)]
    each = [c for t, v in zip(poses, vectors) for c in t.apply(v)]
    want = hashlib.sha256(struct.pack(f"={len(one) + len(each)}d", *one, *each)).hexdigest()
    assert {run_with_pool(SIZED_RUN, threads).strip() for threads in (1, 2, 3)} == {want}
