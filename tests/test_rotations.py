"""Composing, inverting, interpolating and converting rotations, and
rotating each element of a list by its own rotation.

scipy's Rotation is the outside oracle: a Quat q is the scipy rotation
Rotation.from_quat([-q.i, -q.j, -q.k, q.w]) (scalar last, conjugated), the
recipe the documentation gives. The pure-Python formulas here, in the
module's evaluation order, are exact oracles for the bits.
"""

import hashlib
import math
import os
import subprocess
import struct
import sys
import textwrap

import numpy as np
import pytest
from scipy.spatial.transform import Rotation, Slerp

from conftest import same_bits
from float_reference import acos, agree, cases, div, sin
from tessary_py import AngleRadians, Quat, Vec3d, VecList

TOLERANCE = 1e-12
LINEAR_ABOVE = 1.0 - 2.0**-32


def components(q):
    return (q.w, q.i, q.j, q.k)


def flip(x):
    return math.copysign(abs(x), -math.copysign(1.0, x)) if x == x else x


def to_scipy(q):
    return Rotation.from_quat([-q.i, -q.j, -q.k, q.w])


def from_scipy(r):
    x, y, z, w = r.as_quat()
    return Quat(w, -x, -y, -z)


def unit_quats(rng, n):
    return [Quat(*row) for row in (lambda a: a / np.linalg.norm(a, axis=1)[:, None])(rng.normal(size=(n, 4)))]


def assert_same_rotation(q, r):
    """q and the scipy rotation r agree: the same matrix to 1e-12."""
    assert np.abs(to_scipy(q).as_matrix() - r.as_matrix()).max() < TOLERANCE, (q, r.as_quat())


def ref_mul(a, b):
    """a * b: the Hamilton product b (x) a."""
    (qw, qi, qj, qk), (pw, pi, pj, pk) = a, b
    return (((pw * qw - pi * qi) - pj * qj) - pk * qk,
            ((pw * qi + pi * qw) + pj * qk) - pk * qj,
            ((pw * qj - pi * qk) + pj * qw) + pk * qi,
            ((pw * qk + pi * qj) - pj * qi) + pk * qw)


def ref_dot(a, b):
    return ((a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]) + a[3] * b[3]


def ref_inverse(q):
    n = ref_dot(q, q)
    return (div(q[0], n), div(flip(q[1]), n), div(flip(q[2]), n), div(flip(q[3]), n))


def ref_normalize(q):
    m = math.sqrt(ref_dot(q, q)) if ref_dot(q, q) >= 0 else math.nan
    return tuple(div(c, m) for c in q)


def ref_slerp(a, b, t):
    d = ref_dot(a, b)
    end = tuple(flip(c) for c in b) if d < 0 else b
    if d < 0:
        d = flip(d)
    if t == 0:
        return a
    if t == 1:
        return end
    if d > LINEAR_ABOVE:
        return ref_normalize(tuple(x + t * (y - x) for x, y in zip(a, end)))
    theta = acos(d)
    s = sin(theta)
    start, stop = div(sin((1.0 - t) * theta), s), div(sin(t * theta), s)
    return tuple(start * x + stop * y for x, y in zip(a, end))


PAIRS = list(zip(cases(1500, 4, seed=21), cases(1500, 4, seed=22)))


class TestAgainstTheFormulas:
    """Every component to the last bit, specials and non-unit values included."""

    def test_product_inverse_dot(self):
        for a, b in PAIRS:
            qa, qb = Quat(*a), Quat(*b)
            assert agree(components(qa * qb), ref_mul(a, b)), (a, b)
            assert agree(components(qa.inverse()), ref_inverse(a)), a
            assert agree(qa.dot(qb), ref_dot(a, b)), (a, b)

    def test_slerp(self):
        ts = cases(len(PAIRS), 1, seed=23)
        for (a, b), (t,) in zip(PAIRS, ts):
            for u in (t, 0.5, 0.25, -1.5):
                assert agree(components(Quat(*a).slerp(Quat(*b), u)), ref_slerp(a, b, u)), (a, b, u)

    def test_a_product_with_the_inverse_is_the_identity_within_two_ulps(self):
        # What the documentation promises: within 2**-51 of (1, 0, 0, 0)
        # for any size whose |q|**2 stays finite and normal, and exact when
        # |q|**2 is a power of two and at most two components are non-zero.
        rng = np.random.default_rng(24)
        sizes = 10.0 ** rng.uniform(-60, 60, (4000, 1))
        sparse = rng.standard_normal((4000, 4)) * (rng.random((4000, 4)) < 0.5)
        exact = 0
        for row in np.vstack([rng.standard_normal((4000, 4)) * sizes, sparse]):
            if not row.any():
                continue
            q = Quat(*row)
            for r in (q, q.normalize()):
                product = components(r * r.inverse())
                assert max(abs(product[0] - 1), *map(abs, product[1:])) <= 2.0**-51, components(r)
                if math.frexp(r.dot(r))[0] == 0.5 and np.count_nonzero(components(r)) <= 2:
                    assert product == (1, 0, 0, 0), components(r)
                    exact += 1
        assert exact > 1000

    def test_the_operands_are_left_as_they_were(self):
        a, b = Quat(1, 2, 3, 4), Quat(-0.5, 0.25, 2, 1)
        a * b, a.inverse(), a.dot(b), a.slerp(b, 0.3)
        assert components(a) == (1, 2, 3, 4) and components(b) == (-0.5, 0.25, 2, 1)


class TestAgainstScipy:
    def test_composition_applies_the_right_operand_first(self):
        rng = np.random.default_rng(31)
        qs = unit_quats(rng, 4000)
        points = rng.normal(size=(2000, 3))
        for a, b, p in zip(qs[::2], qs[1::2], points):
            assert_same_rotation(a * b, to_scipy(a) * to_scipy(b))
            v = Vec3d(*p)
            both, one_by_one = (a * b).rotate(v), a.rotate(b.rotate(v))
            assert np.abs(np.array(list(both)) - list(one_by_one)).max() < TOLERANCE
            assert np.abs(np.array(list(both)) - to_scipy(a).apply(to_scipy(b).apply(p))).max() < TOLERANCE

    def test_composition_order_by_a_quarter_turn(self):
        about_z = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
        about_x = Quat.from_axis_angle(Vec3d.i(), AngleRadians.half_pi())
        # x first takes +y to +z, which z leaves alone; z first takes +y to -x.
        assert (about_z * about_x).rotate(Vec3d.j()) == about_z.rotate(about_x.rotate(Vec3d.j()))
        assert np.allclose(list((about_z * about_x).rotate(Vec3d.j())), [0, 0, 1], atol=1e-15)
        assert np.allclose(list((about_x * about_z).rotate(Vec3d.j())), [-1, 0, 0], atol=1e-15)

    def test_inverse(self):
        rng = np.random.default_rng(32)
        for q in unit_quats(rng, 2000):
            assert_same_rotation(q.inverse(), to_scipy(q).inv())
        # A non-unit quaternion scales by |q|^2 when it rotates; its inverse
        # undoes the turn and the scaling.
        q, v = Quat(1, 2, 3, 4), Vec3d(0.5, -1, 2)
        assert np.allclose(list(q.inverse().rotate(q.rotate(v))), list(v), atol=1e-14)
        assert components(q * q.inverse()) == pytest.approx((1, 0, 0, 0), abs=1e-16)

    def test_dot_is_the_cosine_of_half_the_angle_between(self):
        rng = np.random.default_rng(33)
        qs = unit_quats(rng, 2000)
        for a, b in zip(qs[::2], qs[1::2]):
            angle = (to_scipy(a).inv() * to_scipy(b)).magnitude()
            assert abs(abs(a.dot(b)) - math.cos(angle / 2)) < TOLERANCE

    @pytest.mark.parametrize("spread", [math.pi, 1.0, 1e-3, 3e-5, 1e-5, 1e-7, 1e-10])
    def test_slerp(self, spread):
        rng = np.random.default_rng(34)
        for a in unit_quats(rng, 300):
            turn = Rotation.from_rotvec(rng.normal(size=3) * spread / 2)
            b = from_scipy(to_scipy(a) * turn)
            if rng.random() < 0.5:
                b = Quat(-b.w, -b.i, -b.j, -b.k)  # the same rotation: the shorter arc is still taken
            ra, rb = to_scipy(a), to_scipy(b)
            ts = rng.uniform(0, 1, size=5)
            for t, r in zip(ts, Slerp([0, 1], Rotation.concatenate([ra, rb]))(ts)):
                assert_same_rotation(a.slerp(b, t), r)
            # Beyond the ends, along the same great circle.
            delta = (ra.inv() * rb).as_rotvec()
            for t in (-1.5, 2.0, 3.25):
                assert_same_rotation(a.slerp(b, t), ra * Rotation.from_rotvec(t * delta))

    def test_from_rotation_matrix(self):
        rng = np.random.default_rng(35)
        for q in unit_quats(rng, 3000):
            m = np.array(q.to_rotation_matrix())
            back = Quat.from_rotation_matrix(m)
            assert_same_rotation(back, Rotation.from_matrix(m.T))
            closest = min(np.abs(np.array(components(back)) - sign * np.array(components(q))).max()
                          for sign in (1, -1))
            assert closest < 1e-15
            assert abs(back.magnitude() - 1) < 1e-15


class TestSlerpEnds:
    def test_exact_at_zero_and_one(self):
        rng = np.random.default_rng(41)
        qs = unit_quats(rng, 2000)
        for a, b in zip(qs[::2], qs[1::2]):
            assert same_bits(components(a.slerp(b, 0)), components(a))
            end = components(a.slerp(b, 1.0))
            if a.dot(b) < 0:
                assert same_bits(end, tuple(-c for c in components(b)))
            else:
                assert same_bits(end, components(b))

    def test_midpoints_are_unit(self):
        rng = np.random.default_rng(42)
        qs = unit_quats(rng, 4000)
        for a, b in zip(qs[::2], qs[1::2]):
            for t in (0.5, 0.1, 0.9):
                assert abs(a.slerp(b, t).magnitude() - 1) < 4e-16
        near = Quat(*components(qs[0]))
        near.w += 1e-12
        assert abs(qs[0].slerp(near.normalize(), 0.5).magnitude() - 1) < 4e-16

    def test_the_shorter_arc(self):
        a = Quat.identity()
        b = Quat.from_axis_angle(Vec3d.k(), AngleRadians(3.0))
        minus_b = Quat(-b.w, -b.i, -b.j, -b.k)
        assert a.slerp(minus_b, 0.5) == a.slerp(b, 0.5)
        half = a.slerp(b, 0.5).to_axis_angle()[1].angle
        assert half == pytest.approx(1.5, abs=1e-15)

    def test_degenerate_input_is_no_error(self):
        q = Quat(1, 0, 0, 0)
        assert all(math.isnan(c) for c in components(q.slerp(Quat(0, math.nan, 0, 0), 0.5)))
        assert all(math.isnan(c) for c in components(q.slerp(q, math.nan)))
        assert components(q.slerp(q, 0.5)) == (1, 0, 0, 0)
        assert all(math.isnan(c) for c in components(Quat(0, 0, 0, 0).inverse()))


def rotation_with_largest(index):
    """A unit quaternion whose component `index` is the largest."""
    values = [0.1, -0.2, 0.3, -0.25]
    values[index] = 0.9
    return Quat(*values).normalize()


class TestFromRotationMatrix:
    @pytest.mark.parametrize("largest", range(4))
    def test_every_branch_round_trips(self, largest):
        q = rotation_with_largest(largest)
        back = Quat.from_rotation_matrix(q.to_rotation_matrix())
        assert np.allclose(components(back), components(q), atol=1e-15)
        assert components(back)[largest] > 0

    def test_sign_follows_the_largest_component(self):
        q = Quat(-0.9, 0.1, 0.3, -0.2).normalize()
        back = Quat.from_rotation_matrix(q.to_rotation_matrix())
        assert np.allclose(components(back), [-c for c in components(q)], atol=1e-15)

    def test_every_input_form(self):
        q = Quat.from_axis_angle(Vec3d(1, 2, 2) / 3, AngleRadians(0.7))
        rows = q.to_rotation_matrix()
        m = np.array(rows)
        wanted = components(Quat.from_rotation_matrix(rows))
        wide = np.zeros((3, 6))
        wide[:, ::2] = m
        for given in (tuple(tuple(r) for r in rows), m, np.asfortranarray(m), m[::-1][::-1], wide[:, ::2],
                      memoryview(m.tobytes()).cast("d", (3, 3)), [list(map(np.float64, r)) for r in rows]):
            assert same_bits(components(Quat.from_rotation_matrix(given)), wanted)
        assert same_bits(components(Quat.from_rotation_matrix(m=m)), wanted)
        # Narrower numbers are widened exactly.
        single = m.astype(np.float32)
        assert same_bits(components(Quat.from_rotation_matrix(single)),
                         components(Quat.from_rotation_matrix(single.astype(np.float64).tolist())))
        assert components(Quat.from_rotation_matrix(np.eye(3, dtype=np.int64))) == (1, 0, 0, 0)

    def test_not_a_rotation_gives_a_unit_result(self):
        assert components(Quat.from_rotation_matrix(np.zeros((3, 3)))) == (1, 0, 0, 0)
        for m in (-np.eye(3), np.random.default_rng(5).normal(size=(3, 3)), 2 * np.eye(3),
                  [[1, 1e-6, 0], [0, 1, 0], [0, 0, 1]]):
            assert abs(Quat.from_rotation_matrix(m).magnitude() - 1) < 1e-15
        assert all(math.isnan(c) for c in components(Quat.from_rotation_matrix(np.full((3, 3), np.nan))))

    @pytest.mark.parametrize("given, got", [
        (np.zeros((3, 4)), "(3, 4)"), (np.zeros((2, 3)), "(2, 3)"), (np.zeros(9), "(9,)"),
        (np.zeros((3, 3, 1)), "(3, 3, 1)"), (np.zeros((0, 3), dtype=np.float32), "(0, 3)"),
        ([[1, 2, 3]] * 2, "(2, 3)"), ([[1, 2], [3, 4], [5, 6]], "(3, 2)"), ([], "(0,)"),
        # Rows of several lengths have no shape: the first one that is not
        # three long is named.
        ([[1, 0, 0], [0, 1, 0], [0, 0]], "a row of length 2"), ([[1, 0], [0, 1, 0], [0, 0, 1]], "a row of length 2"),
        ([[1, 0, 0], [0, 1, 0, 5]], "a row of length 4"), ([[1, 0, 0], [0, 1, 0], [0, 0, 1], [0]], "a row of length 1"),
        ("abc", None), (5, None), ([1, 2, 3], None),
    ])
    def test_wrong_shapes(self, given, got):
        with pytest.raises(TypeError) as error:
            Quat.from_rotation_matrix(given)
        message = str(error.value)
        assert message.startswith("argument 'm': ")
        if got is not None:
            assert message == f"argument 'm': expected an array of shape (3, 3), got {got}"

    def test_numbers_are_converted_as_arguments(self):
        with pytest.raises(TypeError, match=r"^argument 'm': must be real number, not str$"):
            Quat.from_rotation_matrix([[1, 0, 0], [0, "1", 0], [0, 0, 1]])

    def test_a_conversion_cannot_change_what_is_read(self):
        rows = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]

        class Clearing:
            def __float__(self):
                rows.clear()
                return 1.0

        rows[0][0] = Clearing()
        assert components(Quat.from_rotation_matrix(rows)) == (1, 0, 0, 0)


class TestOperator:
    def test_other_operands_are_not_implemented(self):
        q = Quat(1, 2, 3, 4)
        assert Quat.__mul__(q, 2) is NotImplemented and Quat.__mul__(q, Vec3d(1, 2, 3)) is NotImplemented
        for operation in (lambda: q * 2, lambda: 2 * q, lambda: q * Vec3d(1, 2, 3), lambda: Vec3d(1, 2, 3) * q,
                          lambda: q * (1, 0, 0, 0), lambda: q * VecList.empty(), lambda: VecList.empty() * q):
            with pytest.raises(TypeError, match="unsupported operand type|can.t multiply sequence"):
                operation()

    def test_no_in_place_form(self):
        q = a = Quat(0, 1, 0, 0)
        q *= Quat(0, 0, 1, 0)
        assert q is not a and components(a) == (0, 1, 0, 0)

    def test_signatures(self):
        assert Quat.from_rotation_matrix.__text_signature__ == "(m)"
        assert Quat.inverse.__text_signature__ == "($self)"
        assert Quat.dot.__text_signature__ == "($self, other)"
        assert Quat.slerp.__text_signature__ == "($self, other, t)"
        assert VecList.rotate_each.__text_signature__ == "($self, quats)"

    def test_argument_errors(self):
        q = Quat(1, 0, 0, 0)
        with pytest.raises(TypeError, match=r"^argument 'other': 'Vec3d' object cannot be cast as 'Quat'$"):
            q.slerp(Vec3d(1, 2, 3), 0.5)
        with pytest.raises(TypeError, match=r"^argument 't': must be real number, not str$"):
            q.slerp(q, "half")
        with pytest.raises(TypeError, match=r"^argument 'other': 'int' object cannot be cast as 'Quat'$"):
            q.dot(1)
        assert components(q.slerp(t=1, other=Quat(0, 1, 0, 0))) == (0, 1, 0, 0)


def rotate_one_by_one(points, quats):
    return [q.rotate(v) for q, v in zip(quats, points)]


def flat(vectors):
    return [c for v in vectors for c in v]


class TestRotateEach:
    @pytest.mark.parametrize("n", [0, 1, 5, 16383, 16384, 16385, 40_001])
    def test_bit_for_bit_as_rotate(self, n):
        rng = np.random.default_rng(n)
        points = [Vec3d(*p) for p in rng.normal(size=(n, 3)) * 10]
        quats = [Quat(*q) for q in rng.normal(size=(n, 4))]  # not unit: the scaling must agree too
        vl = VecList(points)
        assert vl.rotate_each(quats) is None
        assert same_bits(flat(vl), flat(rotate_one_by_one(points, quats)))

    def test_special_values(self):
        specials = cases(400, 4, seed=51)
        vectors = cases(400, 3, seed=52)
        vl = VecList([Vec3d(*v) for v in vectors])
        vl.rotate_each([Quat(*q) for q in specials])
        wanted = [Quat(*q).rotate(Vec3d(*v)) for q, v in zip(specials, vectors)]
        assert agree(flat(vl), flat(wanted))

    def test_every_input_form(self):
        rng = np.random.default_rng(53)
        points = rng.normal(size=(50, 3))
        array = rng.normal(size=(50, 4))
        quats = [Quat(*row) for row in array]
        wanted = flat(rotate_one_by_one([Vec3d(*p) for p in points], quats))
        wide = np.zeros((50, 8))
        wide[:, 1::2] = array

        class Items:
            def __len__(self):
                return len(quats)

            def __getitem__(self, i):
                return quats[i]

        for given in (quats, tuple(quats), Items(), array, np.asfortranarray(array),
                      wide[:, 1::2], array[::-1][::-1], memoryview(array.tobytes()).cast("d", (50, 4))):
            vl = VecList(points)
            vl.rotate_each(given)
            assert same_bits(flat(vl), wanted)
        single = array.astype(np.float32)
        vl, by_quats = VecList(points), VecList(points)
        vl.rotate_each(single)
        by_quats.rotate_each([Quat(*row) for row in single.astype(np.float64)])
        assert same_bits(flat(vl), flat(by_quats))
        vl = VecList(points)
        vl.rotate_each(quats=quats)
        assert same_bits(flat(vl), wanted)

    @pytest.mark.parametrize("given, count", [([], 0), ([Quat(1, 0, 0, 0)] * 2, 2), (np.zeros((4, 4)), 4)])
    def test_length_mismatch_changes_nothing(self, given, count):
        vl = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6), Vec3d(7, 8, 9)])
        with pytest.raises(ValueError) as error:
            vl.rotate_each(given)
        assert str(error.value) == f"argument 'quats': expected one rotation per element, 3 for this list, got {count}"
        assert vl.to_array() == [[1, 2, 3], [4, 5, 6], [7, 8, 9]]

    @pytest.mark.parametrize("given, message", [
        ([Quat(1, 0, 0, 0), Vec3d(1, 2, 3)], "argument 'quats': 'Vec3d' object cannot be cast as 'Quat'"),
        (np.zeros((2, 3)), "argument 'quats': expected an array of shape (n, 4), got (2, 3)"),
        (5, "argument 'quats': 'int' object cannot be cast as 'Sequence'"),
        (np.zeros((2, 4), dtype=complex),
         "argument 'quats': expected real numbers in rows of 4, got an array of format 'Zd' (complex)"),
    ])
    def test_wrong_arguments_change_nothing(self, given, message):
        vl = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
        with pytest.raises(TypeError) as error:
            vl.rotate_each(given)
        assert str(error.value) == message
        assert vl.to_array() == [[1, 2, 3], [4, 5, 6]]

    def test_earlier_snapshots_keep_the_old_elements(self):
        n = 40_000
        points = [Vec3d(i, 1, 2) for i in range(n)]
        vl = VecList(points)
        alias, before, copy, exported = vl, iter(vl), VecList(vl), np.asarray(vl)
        vl.rotate_each([Quat(0, 1, 0, 0)] * n)  # half turns about x: (x, y, z) -> (x, -y, -z)
        assert alias is vl and vl.to_array() == [[i, -1, -2] for i in range(n)]
        assert [e.to_array() for e in before] == [[i, 1, 2] for i in range(n)]
        assert copy.to_array() == [[i, 1, 2] for i in range(n)]
        assert exported[-1].tolist() == [n - 1, 1, 2]

    def test_the_list_is_held_while_a_sequence_is_read(self):
        vl = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
        seen = []

        class Peeking:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i >= 2:
                    raise IndexError(i)
                try:
                    vl.append(Vec3d(0, 0, 0))
                except RuntimeError as error:
                    seen.append(str(error))
                try:
                    len(vl)
                except RuntimeError as error:
                    seen.append(str(error))
                return Quat(0, 1, 0, 0)

        vl.rotate_each(Peeking())
        assert seen == ["Already borrowed", "Already mutably borrowed"] * 2
        assert vl.to_array() == [[1, -2, -3], [4, -5, -6]]


# rotate_each at several pool sizes gives the same bits as Quat.rotate; the
# pool is sized once per process, so each size runs in its own interpreter.
SIZED_RUN = """
    import hashlib, struct
    import numpy as np
    from tessary_py import Quat, Vec3d, VecList
    rng = np.random.default_rng(7)
    points, quats = rng.normal(size=(100_003, 3)), rng.normal(size=(100_003, 4))
    vl = VecList(points)
    vl.rotate_each(quats)
    print(hashlib.sha256(np.asarray(vl).tobytes()).hexdigest())
"""


@pytest.mark.platform_dependent
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="sizes the pool through the environment")
def test_rotate_each_is_the_same_at_every_pool_size():
    # Here, at this process's pool size, the bulk result must be the formula
    # element by element (the first and last 64 and every 97th: the whole
    # list in Python takes minutes under an emulator); each pool size's
    # result must hash the same.
    rng = np.random.default_rng(7)
    points, quats = rng.normal(size=(100_003, 3)), rng.normal(size=(100_003, 4))
    here = VecList(points)
    here.rotate_each(quats)
    for i in [*range(64), *range(64, len(points) - 64, 97), *range(len(points) - 64, len(points))]:
        assert struct.pack("<3d", *here[i]) == struct.pack("<3d", *Quat(*quats[i]).rotate(Vec3d(*points[i]))), i
    want = np.asarray(here).tobytes()
    for threads in ("1", "2", "3"):
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        env["RAYON_NUM_THREADS"] = threads
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(SIZED_RUN)], env=env, capture_output=True,
                                text=True, timeout=300)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == hashlib.sha256(want).hexdigest(), threads
