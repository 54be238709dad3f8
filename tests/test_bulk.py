"""Bulk operations of VecList: every result equals the single-vector formula
bit for bit, whatever the length of the list and however the work is split.

NaN results are compared as NaN only: which of two NaN operands an addition
passes on (and so the sign of the NaN) depends on the processor and on
register allocation, not on the formula.
"""

import json
import math
import random
import struct
import sys

import numpy as np
import pytest

from tessary_py import AngleRadians, Quat, Vec3d, VecList

from conftest import bits, measure_peak, run_with_pool
from reference import WORD_MAX

pytestmark = pytest.mark.platform_dependent

INF = float("inf")
NAN = float("nan")
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
EPSILON = 2.0**-52
SPECIAL = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, -1e-310, 1e308, -1.7976931348623157e308, INF,
           -INF, NAN, NEG_NAN, 1.0, -1.0, 0.5]

# Around the sizes where work stops running inline, where list results are
# cut into blocks, and where ranges are split between threads.
LENGTHS = [0, 1, 2, 3, 7, 1000, 16383, 16384, 16385, 32767, 32768, 32769, 65535, 65536, 65537, 100003]


def random_value(rng):
    r = rng.random()
    if r < 0.2:
        return rng.choice(SPECIAL)
    if r < 0.5:
        return rng.uniform(-2.0, 2.0)
    return math.ldexp(rng.uniform(-1.0, 1.0), rng.randint(-1074, 1023))


def random_vectors(rng, n):
    out = []
    for _ in range(n):
        v = Vec3d(random_value(rng), random_value(rng), random_value(rng))
        if rng.random() < 0.1:
            v = v.normalize()  # near-unit vectors make is_unit interesting
        out.append(v)
    return out


def same(a, b):
    """Equal bit patterns, or NaN on both sides."""
    return bits(a) == bits(b) or (math.isnan(a) and math.isnan(b))


def same_all(got, want):
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    if got.shape != want.shape:
        return False
    nan = np.isnan(got)
    return bool(np.array_equal(nan, np.isnan(want)) and np.array_equal(got.view(np.uint64)[~nan],
                                                                         want.view(np.uint64)[~nan]))


def divide(a, b):
    """IEEE division (Python's raises on a zero divisor)."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


# The documented formulas, in pure Python (each operation rounds once).
def ref_cross(e, o):
    return (e[1] * o[2] - e[2] * o[1], e[2] * o[0] - e[0] * o[2], e[0] * o[1] - e[1] * o[0])


def ref_magnitude(e):
    return math.sqrt((e[0] * e[0] + e[1] * e[1]) + e[2] * e[2])


def ref_distance_squared(e, o):
    dx, dy, dz = e[0] - o[0], e[1] - o[1], e[2] - o[2]
    return (dx * dx + dy * dy) + dz * dz


VECTOR_MAPS = {
    "add": (lambda v, o, s: v + o, lambda e, o, s: (e[0] + o[0], e[1] + o[1], e[2] + o[2]),
            lambda p, o, s: p + o),
    "sub": (lambda v, o, s: v - o, lambda e, o, s: (e[0] - o[0], e[1] - o[1], e[2] - o[2]),
            lambda p, o, s: p - o),
    "mul": (lambda v, o, s: v * s, lambda e, o, s: (e[0] * s, e[1] * s, e[2] * s), lambda p, o, s: p * s),
    "rmul": (lambda v, o, s: s * v, lambda e, o, s: (s * e[0], s * e[1], s * e[2]), lambda p, o, s: s * p),
    "div": (lambda v, o, s: v / s, lambda e, o, s: tuple(divide(c, s) for c in e), lambda p, o, s: p / s),
    "cross": (lambda v, o, s: v.cross(o), lambda e, o, s: ref_cross(e, o), lambda p, o, s: p.cross(o)),
    "normalize": (lambda v, o, s: v.normalize(),
                  lambda e, o, s: tuple(divide(c, ref_magnitude(e)) for c in e), lambda p, o, s: p.normalize()),
    "collapse0": (lambda v, o, s: v.collapse(0), lambda e, o, s: (0.0, e[1], e[2]), None),
    "collapse1": (lambda v, o, s: v.collapse(1), lambda e, o, s: (e[0], 0.0, e[2]), None),
    "collapse2": (lambda v, o, s: v.collapse(2), lambda e, o, s: (e[0], e[1], 0.0), None),
}

FLOAT_MAPS = {
    "dot": (lambda v, o: v.dot(o), lambda e, o: (e[0] * o[0] + e[1] * o[1]) + e[2] * o[2], lambda p, o: p.dot(o)),
    "magnitude": (lambda v, o: v.magnitude(), lambda e, o: ref_magnitude(e), lambda p, o: p.magnitude()),
    "distance_squared": (lambda v, o: v.distance_squared(o), ref_distance_squared,
                         lambda p, o: p.distance_squared(o)),
    "distance_to": (lambda v, o: v.distance_to(o), lambda e, o: math.sqrt(ref_distance_squared(e, o)),
                    lambda p, o: p.distance_to(o)),
}


class TestAgainstFormulas:
    """Small lists full of special values, against the pure-Python formulas
    and against the Vec3d method applied to each element."""

    @pytest.mark.parametrize("seed", range(6))
    def test_vector_results(self, seed):
        rng = random.Random(seed)
        items = random_vectors(rng, rng.randint(0, 300))
        v = VecList(items)
        o = Vec3d(random_value(rng), random_value(rng), random_value(rng))
        for s in (random_value(rng), 0.0, -0.0, INF, NAN, 3):
            for name, (bulk, formula, single) in VECTOR_MAPS.items():
                result = bulk(v, o, s)
                assert type(result) is VecList and len(result) == len(items)
                for got, e in zip(result.to_array(), items):
                    want = formula(e.to_array(), o.to_array(), float(s))
                    assert all(same(a, b) for a, b in zip(got, want)), (name, e, o, s)
                if single is not None:
                    for got, e in zip(result.list, items):
                        assert all(same(a, b) for a, b in zip(got, single(e, o, s))), (name, e)

    @pytest.mark.parametrize("seed", range(6))
    def test_float_results(self, seed):
        rng = random.Random(100 + seed)
        items = random_vectors(rng, rng.randint(0, 300))
        v = VecList(items)
        o = Vec3d(random_value(rng), random_value(rng), random_value(rng))
        for name, (bulk, formula, single) in FLOAT_MAPS.items():
            result = bulk(v, o)
            assert type(result) is list and all(type(x) is float for x in result)
            assert len(result) == len(items)
            for got, e in zip(result, items):
                assert same(got, formula(e.to_array(), o.to_array())), (name, e, o)
                assert same(got, single(e, o)), (name, e, o)

    @pytest.mark.parametrize("seed", range(3))
    def test_is_unit(self, seed):
        rng = random.Random(200 + seed)
        items = random_vectors(rng, 300)
        result = VecList(items).is_unit()
        assert all(type(x) is bool for x in result)
        assert result == [abs(ref_magnitude(e.to_array()) + -1.0) < EPSILON for e in items]
        assert result == [e.is_unit() for e in items]
        assert any(result) and not all(result)


def numpy_reference(points, o, s):
    """The same formulas on whole columns: NumPy rounds each element
    operation exactly once, so this is an exact oracle for long lists."""
    x, y, z = (points[:, i].copy() for i in range(3))
    ox, oy, oz = o
    dx, dy, dz = x - ox, y - oy, z - oz
    m = np.sqrt((x * x + y * y) + z * z)
    d2 = (dx * dx + dy * dy) + dz * dz

    def vectors(*columns):
        return np.stack(columns, axis=1)

    zero = np.zeros_like(x)
    return {
        "add": vectors(x + ox, y + oy, z + oz),
        "sub": vectors(dx, dy, dz),
        "mul": vectors(x * s, y * s, z * s),
        "rmul": vectors(x * s, y * s, z * s),
        "div": vectors(x / s, y / s, z / s),
        "cross": vectors(y * oz - z * oy, z * ox - x * oz, x * oy - y * ox),
        "normalize": vectors(x / m, y / m, z / m),
        "collapse0": vectors(zero, y, z),
        "collapse1": vectors(x, zero, z),
        "collapse2": vectors(x, y, zero),
        "dot": (x * ox + y * oy) + z * oz,
        "magnitude": m,
        "distance_squared": d2,
        "distance_to": np.sqrt(d2),
        "is_unit": np.abs(m + -1.0) < EPSILON,
    }


class TestLongLists:
    """Lengths around every size where the work changes shape."""

    @pytest.mark.parametrize("n", LENGTHS)
    def test_every_operation(self, n):
        rng = random.Random(n)
        pool = random_vectors(rng, 997)
        chosen = [rng.randrange(len(pool)) for _ in range(n)]
        v = VecList([pool[i] for i in chosen])
        points = np.array([e.to_array() for e in pool], dtype=np.float64)[chosen].reshape(n, 3)
        o = (0.75, -1.5, 1e-300)
        s = -2.5
        with np.errstate(all="ignore"):
            want = numpy_reference(points, o, s)
        before = points.tobytes()
        p = Vec3d(*o)
        for name, (bulk, _, _) in VECTOR_MAPS.items():
            got = np.asarray(bulk(v, p, s)).reshape(n, 3)
            assert same_all(got, want[name]), name
        for name, (bulk, _, _) in FLOAT_MAPS.items():
            assert same_all(bulk(v, p), want[name]), name
        assert v.is_unit() == want["is_unit"].tolist()
        assert np.asarray(v).tobytes() == before  # the source is never changed, bit for bit


class TestOperators:
    def test_forms_that_apply(self):
        v = VecList([Vec3d(1, 2, 3), Vec3d(-4, 0.5, 0)])
        o = Vec3d(1, 1, 1)
        assert (v + o).to_array() == [[2, 3, 4], [-3, 1.5, 1]]
        assert (v - o).to_array() == [[0, 1, 2], [-5, -0.5, -1]]
        assert (v * 2).to_array() == (2 * v).to_array() == (v * 2.0).to_array() == [[2, 4, 6], [-8, 1, 0]]
        assert (v / 2).to_array() == [[0.5, 1, 1.5], [-2, 0.25, 0]]
        assert (v * True).to_array() == v.to_array()

    def test_division_by_zero(self):
        v = VecList([Vec3d(1, 2, 3), Vec3d(0, -1, 0)])
        assert repr(v / 0) == "[Vec3d(inf, inf, inf)\nVec3d(NaN, -inf, NaN)]"
        assert repr(v / -0.0) == "[Vec3d(-inf, -inf, -inf)\nVec3d(NaN, inf, NaN)]"

    @pytest.mark.parametrize("expression", [
        lambda v, o: 2 / v, lambda v, o: v + v, lambda v, o: o + v, lambda v, o: o - v, lambda v, o: v - v,
        lambda v, o: v * v, lambda v, o: v * o, lambda v, o: o * v, lambda v, o: v + 1, lambda v, o: 1 - v,
        lambda v, o: v * "a", lambda v, o: "a" * v, lambda v, o: v / o, lambda v, o: v / "2",
    ])
    def test_unsupported_operands_are_left_to_the_interpreter(self, expression):
        v, o = VecList([Vec3d(1, 2, 3)]), Vec3d(1, 1, 1)
        with pytest.raises(TypeError) as error:
            expression(v, o)
        assert "argument" not in str(error.value)  # never a conversion error of ours

    def test_no_in_place_forms(self):
        v = VecList([Vec3d(1, 2, 3)])
        w = v
        v += Vec3d(1, 1, 1)
        v *= 2
        assert w.to_array() == [[1, 2, 3]] and v.to_array() == [[4, 6, 8]] and v is not w

    def test_empty_list(self):
        e = VecList.empty()
        for result in (e + Vec3d(1, 1, 1), e - Vec3d(1, 1, 1), e * 2, 2 * e, e / 0, e.cross(Vec3d(1, 0, 0)),
                       e.normalize(), e.collapse(2)):
            assert type(result) is VecList and len(result) == 0
        p = Vec3d(1, 2, 3)
        assert e.dot(p) == e.magnitude() == e.is_unit() == e.distance_to(p) == e.distance_squared(p) == []


def panic(call):
    with pytest.raises(BaseException) as caught:
        call()
    error = caught.value
    assert type(error).__name__ == "PanicException" and not isinstance(error, Exception)
    return error.args[0]


class TestArguments:
    def test_wrong_vector_argument(self):
        v = VecList([Vec3d(1, 2, 3)])
        for method in ("dot", "cross", "distance_to", "distance_squared"):
            with pytest.raises(TypeError) as error:
                getattr(v, method)(5)
            assert str(error.value) == "argument 'other': 'int' object cannot be cast as 'Vec3d'"
        with pytest.raises(TypeError) as error:
            v.minimum_distance_to((1, 2, 3), 0)  # `other` is converted before `stride`
        assert str(error.value) == "argument 'other': 'tuple' object cannot be cast as 'Vec3d'"
        assert v.dot(other=Vec3d(1, 1, 1)) == [6.0]

    def test_collapse_axis(self):
        v = VecList([Vec3d(-1, 2, 3)])
        assert bits(v.collapse(0)[0].x) == bits(0.0)
        assert v.collapse(axis=True).to_array() == [[-1, 0, 3]]
        assert panic(lambda: v.collapse(3)) == "assertion failed: axis <= 2"
        assert panic(lambda: VecList.empty().collapse(WORD_MAX)) == "assertion failed: axis <= 2"
        with pytest.raises(OverflowError):
            v.collapse(WORD_MAX + 1)
        with pytest.raises(OverflowError):
            v.collapse(-1)
        with pytest.raises(TypeError, match="^argument 'axis': "):
            v.collapse(1.0)

    def test_collapse_writes_positive_zero(self):
        v = VecList([Vec3d(-0.0, -0.0, -0.0), Vec3d(NAN, -INF, -5e-324)])
        for axis in range(3):
            for row in v.collapse(axis).to_array():
                assert bits(row[axis]) == 0
        kept = v.collapse(0).to_array()[1]
        assert bits(kept[1]) == bits(-INF) and bits(kept[2]) == bits(-5e-324)

    def test_minimum_distance_to_checks(self):
        e = VecList.empty()
        p = Vec3d(0, 0, 0)
        assert panic(lambda: e.minimum_distance_to(p, 0)) == "assertion failed: stride != 0"
        assert panic(lambda: e.minimum_distance_to(p, 1)) == "called `Option::unwrap()` on a `None` value"
        assert panic(lambda: VecList([p]).minimum_distance_to(p, 0)) == "assertion failed: stride != 0"
        with pytest.raises(OverflowError):
            VecList([p]).minimum_distance_to(p, -1)
        with pytest.raises(TypeError, match="^argument 'stride': "):
            VecList([p]).minimum_distance_to(p, 1.5)


class TestUnitTest:
    def test_documented_cases(self):
        v = VecList([Vec3d(1, 0, 0), Vec3d(0, 0, -1), Vec3d(2, 0, 0), Vec3d(0.6, 0.8, 0), Vec3d(0, 0, 0),
                     Vec3d(1 + 2**-52, 0, 0), Vec3d(NAN, 0, 0), Vec3d(1 - 2**-53, 0, 0)])
        assert v.is_unit() == [True, True, False, True, False, False, False, True]
        assert repr(VecList([Vec3d(0, 0, 0)]).normalize()) == "[Vec3d(NaN, NaN, NaN)]"


def float_of(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


RANKED_NAN = float_of(0x7FF8000000000000)  # the positive quiet NaN


def nearest_rank(d):
    """Where a squared distance ranks: numbers by value, then every NaN as
    one, whatever its sign and payload."""
    return (1, 0.0) if math.isnan(d) else (0, d)


def nearest_reference(items, o, stride, d2=None):
    """The two passes spelled out: the smallest rank wins, the first
    position on ties. A NaN winner is reported as the positive quiet NaN.
    d2, the squared distances of items to o, when already at hand."""
    d2 = d2 or [ref_distance_squared(e, o) for e in items]
    n = len(d2)
    coarse = min(range(0, n, stride), key=lambda i: (nearest_rank(d2[i]), i))
    start = coarse - stride if coarse >= stride else 0
    end = min(coarse + stride, n)
    best = min(range(start, end), key=lambda i: (nearest_rank(d2[i]), i))
    return best, RANKED_NAN if math.isnan(d2[best]) else math.sqrt(d2[best])


def nearest_keys(rows, o):
    """The squared distances of an (n, 3) array's rows to o, with integer
    keys in nearest_rank's order: a number's bits (a sum of squares is
    never negative, so its bits order as its value), every NaN one key
    above infinity's."""
    with np.errstate(all="ignore"):
        p = rows - np.array(o, dtype=np.float64)
        d2 = (p[:, 0] * p[:, 0] + p[:, 1] * p[:, 1]) + p[:, 2] * p[:, 2]
    return np.where(np.isnan(d2), np.uint64(0x7FF8000000000000), d2.view(np.uint64)), d2


def nearest_reference_by_keys(keys, d2, stride):
    """nearest_reference's two passes over nearest_keys' keys (argmin takes
    the first position on ties)."""
    n = len(keys)
    coarse = int(np.argmin(keys[::stride])) * stride
    start = coarse - stride if coarse >= stride else 0
    best = start + int(np.argmin(keys[start:min(coarse + stride, n)]))
    return best, RANKED_NAN if math.isnan(d2[best]) else math.sqrt(float(d2[best]))


def check_nearest(items, o, stride):
    got = VecList(items).minimum_distance_to(Vec3d(*o), stride)
    want = nearest_reference([e.to_array() for e in items], o, stride)
    assert type(got) is tuple and type(got[0]) is int and type(got[1]) is float
    assert (got[0], bits(got[1])) == (want[0], bits(want[1])), (stride, got, want)


class TestNearest:
    def test_documented_example(self):
        v = VecList([Vec3d(5, 0, 0), Vec3d(0, 0, 0), Vec3d(9, 0, 0), Vec3d(9, 0, 0), Vec3d(4, 0, 0)])
        origin = Vec3d(0, 0, 0)
        assert v.minimum_distance_to(origin, 2) == (4, 4.0)  # position 1 is outside the window
        assert v.minimum_distance_to(origin, 1) == (1, 0.0)
        for stride in (5, 6, 1000, WORD_MAX // 2 + 1):
            assert v.minimum_distance_to(other=origin, stride=stride) == (1, 0.0)
        assert v.minimum_distance_to(Vec3d(8, 0, 0), 3) == (2, 1.0)

    def test_window_reaches_the_end(self):
        v = VecList([Vec3d(3, 0, 0), Vec3d(2, 0, 0), Vec3d(1, 0, 0)])
        assert v.minimum_distance_to(Vec3d(0, 0, 0), 5) == (2, 1.0)

    def test_huge_stride_does_not_wrap(self):
        v = VecList([Vec3d(i, 0, 0) for i in (4, 3, 2, 1, 2)])
        assert v.minimum_distance_to(Vec3d(0, 0, 0), WORD_MAX) == (3, 1.0)

    def test_stride_above_the_platform_word(self):
        v = VecList([Vec3d(1, 0, 0)])
        for stride in (WORD_MAX + 1, 2**64):
            with pytest.raises(OverflowError) as error:
                v.minimum_distance_to(Vec3d(0, 0, 0), stride)
            if stride < 2**64:  # a 32-bit word, narrowed from the 64 bits read
                assert str(error.value) == "out of range integral type conversion attempted"

    def test_ties_go_to_the_first_position(self):
        v = VecList([Vec3d(2, 0, 0), Vec3d(0, 1, 0), Vec3d(1, 0, 0), Vec3d(0, 0, -1), Vec3d(1, 0, 0)])
        assert v.minimum_distance_to(Vec3d(0, 0, 0), 1) == (1, 1.0)
        assert v.minimum_distance_to(Vec3d(0, 0, 0), 2) == (1, 1.0)

    def test_distance_is_the_root_of_the_squared_distance(self):
        e, o = Vec3d(0.1, 0.7, 1e-3), Vec3d(-2.3, 0.4, 5.0)
        _, d = VecList([e]).minimum_distance_to(o, 1)
        assert bits(d) == bits(math.sqrt(e.distance_squared(o)))

    @pytest.mark.parametrize("seed", range(40))
    def test_window_rule_on_short_lists(self, seed):
        rng = random.Random(seed)
        n = rng.randint(1, 60)
        # Small integer coordinates give many ties.
        items = [Vec3d(rng.randint(-3, 3), rng.randint(-2, 2), rng.randint(0, 1)) for _ in range(n)]
        o = (rng.randint(-2, 2), rng.randint(-2, 2), 0.0)
        for stride in {1, 2, 3, rng.randint(1, n + 2), n, n + 1, WORD_MAX // 256}:
            check_nearest(items, o, stride)

    @pytest.mark.parametrize("n", [32768, 65535, 65536, 65537, 100003])
    def test_window_rule_on_long_lists(self, n):
        rng = random.Random(n)
        rows = np.array([[rng.randint(-20, 20) for _ in range(3)] for _ in range(n)], dtype=np.float64)
        v, o = VecList(rows), (0.0, 0.0, 0.0)
        keys, d2 = nearest_keys(rows, o)
        for stride in (1, 2, 7, 1000, 16384, 40000, n - 1, n):
            position, distance = v.minimum_distance_to(Vec3d(*o), stride)
            want = nearest_reference_by_keys(keys, d2, stride)
            assert (position, bits(distance)) == (want[0], bits(want[1])), stride

    def test_ties_across_ranges(self):
        # Equal minima far apart land in different ranges of the split.
        n = 100_000
        items = [Vec3d(5, 5, 5)] * n
        for position in (70_000, 40_001, 99_999):
            items[position] = Vec3d(1, 0, 0)
        v = VecList(items)
        assert v.minimum_distance_to(Vec3d(0, 0, 0), 1) == (40_001, 1.0)
        assert VecList([Vec3d(1, 1, 1)] * n).minimum_distance_to(Vec3d(0, 0, 0), 1) == (0, math.sqrt(3))


def random_nan(rng):
    """A NaN of either sign, quiet or signalling, with a random payload."""
    quiet = rng.random() < 0.7
    payload = rng.getrandbits(51) | (0 if quiet else 1)
    return float_of((rng.getrandbits(1) << 63) | 0x7FF0000000000000 | (int(quiet) << 51) | payload)


def nan_mix(rng, n, nan_share):
    """Elements on a small grid (many ties), some with NaN components, in
    places next to NaNs of the other sign, and some infinite."""
    def component():
        r = rng.random()
        if r < nan_share:
            return random_nan(rng)
        return rng.choice([INF, -INF]) if r < nan_share + 0.03 else float(rng.randint(-3, 3))
    return [(component(), component(), component()) for _ in range(n)]


def nan_mix_bits(generator, n, nan_share):
    """nan_mix's kind of elements as the bits of an (n, 3) array, drawn by
    numpy for lists too long to draw one component at a time."""
    r = generator.random((n, 3))
    quiet = generator.random((n, 3)) < 0.7
    payload = generator.integers(0, 1 << 51, (n, 3), dtype=np.uint64) | np.where(quiet, 0, 1).astype(np.uint64)
    nan = ((generator.integers(0, 2, (n, 3), dtype=np.uint64) << np.uint64(63)) | np.uint64(0x7FF0000000000000)
           | (quiet.astype(np.uint64) << np.uint64(51)) | payload)
    number = generator.integers(-3, 4, (n, 3)).astype(np.float64)
    number = np.where(r < nan_share + 0.03, np.where(generator.random((n, 3)) < 0.5, INF, -INF), number)
    return np.where(r < nan_share, nan, number.view(np.uint64))


# Targets with infinite components make inf - inf, the processor's own NaN.
NAN_MIX_TARGETS = [(0.5, -1.25, 3.0), (0.0, 0.0, 0.0), (INF, 1.0, 0.0), (-INF, INF, 2.0)]


class TestNearestWithNaN:
    """Every NaN ranks after every number, +inf included, and NaNs tie among
    themselves: the answer depends on the data alone, never on which pass
    or thread computed a key, nor on the sign a processor gives a NaN."""

    def test_nan_of_mixed_signs_among_ties(self):
        # A sum of a -NaN and a +NaN: its sign was the compiler's choice.
        items = [Vec3d(1, 1, 1)] * 5 + [Vec3d(NEG_NAN, NAN, NAN)] + [Vec3d(1, 1, 1)] * 5
        v, o = VecList(items), Vec3d(0.5, -1.25, 3)
        want = (0, math.sqrt(9.3125))
        for stride in [*range(1, 13), WORD_MAX]:
            assert v.minimum_distance_to(o, stride) == want, stride
        first = VecList([Vec3d(NAN, NEG_NAN, 0)] + [Vec3d(1, 1, 1)] * 10)
        for stride in [*range(1, 13), WORD_MAX]:
            assert first.minimum_distance_to(o, stride) == (1, want[1]), stride

    def test_infinity_beats_nan(self):
        v = VecList([Vec3d(1, 0, 0), Vec3d(INF, 0, 0), Vec3d(NEG_NAN, 0, 0)])
        assert v.minimum_distance_to(Vec3d(INF, 0, 0), 1) == (0, INF)  # inf - inf at position 1
        assert VecList([Vec3d(NEG_NAN, 0, 0), Vec3d(-INF, 0, 0)]).minimum_distance_to(Vec3d.zero(), 1) == (1, INF)

    @pytest.mark.parametrize("stride", [1, 2, 3, 4, WORD_MAX])
    def test_only_nans_give_the_first_position(self, stride):
        rng = random.Random(stride)
        items = [Vec3d(random_nan(rng), rng.choice([0.0, random_nan(rng)]), 1.0) for _ in range(9)]
        position, distance = VecList(items).minimum_distance_to(Vec3d(1, 2, 3), stride)
        assert position == 0 and bits(distance) == bits(RANKED_NAN)

    @pytest.mark.parametrize("seed", range(30))
    def test_short_mixes_against_the_rule(self, seed):
        rng = random.Random(1000 + seed)
        n = rng.randint(1, 50)
        items = [Vec3d(*e) for e in nan_mix(rng, n, rng.choice([0.1, 0.3, 0.6, 1.0]))]
        for o in NAN_MIX_TARGETS:
            for stride in {1, 2, 3, rng.randint(1, n + 2), n, n + 1, WORD_MAX}:
                check_nearest(items, o, stride)


# The nearest search over lists written by the parent, with the pool sized
# by the environment: one JSON line per list, position and distance bits
# per (target, stride).
NEAREST_CHILD = """
    import json, struct, sys
    import numpy as np
    from tessary_py import Vec3d, VecList
    cases = json.load(open(sys.argv[1]))
    for case in cases:
        v = VecList(np.load(case["rows"]).view(np.float64))
        out = []
        for o in case["targets"]:
            for stride in case["strides"]:
                position, distance = v.minimum_distance_to(Vec3d(*o), stride)
                out.append([position, struct.unpack("<Q", struct.pack("<d", distance))[0]])
        print(json.dumps(out))
"""


class TestNearestWithNaNOnThreads:
    N = 100_003  # three ranges or more in each exhaustive pass at 2 and 3 threads

    def test_the_same_answer_at_every_pool_size(self, tmp_path):
        rng = random.Random(18)
        generator = np.random.default_rng(18)
        cases = []
        for nan_share in (0.05, 0.5, 0.97, 1.0):
            rows = nan_mix_bits(generator, self.N, nan_share)
            # The nearest numbers far apart, in different ranges of the split.
            for position in (rng.randrange(self.N // 2, self.N), rng.randrange(self.N // 3)):
                rows[position] = [bits(x) for x in (rng.choice([random_nan(rng), 0.5]), -1.25, 3.0)]
            path = tmp_path / f"rows-{len(cases)}.npy"
            np.save(path, rows)
            cases.append({"rows": str(path), "targets": NAN_MIX_TARGETS[:3],
                          "strides": [1, 2, 7, 1000, 40_000, self.N - 1, self.N, WORD_MAX]})
        path = tmp_path / "cases.json"
        path.write_text(json.dumps(cases))
        runs = {threads: run_with_pool(NEAREST_CHILD, threads, str(path)) for threads in (1, 2, 3)}
        assert runs[1] == runs[2] == runs[3]
        for case, line in zip(cases, runs[1].splitlines()):
            got = iter(json.loads(line))
            rows = np.load(case["rows"]).view(np.float64)
            for o in case["targets"]:
                exhaustive = []
                keys, d2 = nearest_keys(rows, o)
                for stride in case["strides"]:
                    position, distance_bits = next(got)
                    want = nearest_reference_by_keys(keys, d2, stride)
                    assert (position, distance_bits) == (want[0], bits(want[1])), (o, stride)
                    if stride in (1, self.N, WORD_MAX):
                        exhaustive.append(position)
                assert len(set(exhaustive)) == 1


def ref_rotate(q, e):
    """The documented rotation: the vector part of conj(q) (0, v) q."""
    w, i, j, k = q
    x, y, z = e
    m0 = ((x * i + w * 0.0) + y * j) + z * k
    m1 = ((x * w - i * 0.0) - z * j) + y * k
    m2 = ((y * w - j * 0.0) - x * k) + z * i
    m3 = ((z * w - k * 0.0) - y * i) + x * j
    return (((i * m0 + w * m1) + k * m2) - j * m3,
            ((w * m2 + j * m0) + i * m3) - k * m1,
            ((w * m3 + k * m0) + j * m1) - i * m2)


QUATERNIONS = [(1.0, 0.0, 0.0, 0.0), (0.9, 0.1, -0.3, 0.2), (1.0, 2.0, 3.0, 4.0), (0.0, 0.0, 0.0, 0.0),
               (INF, 0.0, 0.0, 0.0), (0.5, NAN, 0.5, 0.5), (-0.0, 1e-300, -1e300, 5e-324)]


class TestRotate:
    @pytest.mark.parametrize("seed", range(4))
    def test_against_the_formula(self, seed):
        rng = random.Random(300 + seed)
        items = random_vectors(rng, rng.randint(1, 200))
        axis = Vec3d(rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1)).normalize()
        made = Quat.from_axis_angle(axis, AngleRadians(rng.uniform(-7, 7)))
        for q in QUATERNIONS + [(made.w, made.i, made.j, made.k)]:
            v = VecList(items)
            assert v.rotate(Quat(*q)) is None
            assert len(v) == len(items)
            for got, e in zip(v.list, items):
                want = ref_rotate(q, e.to_array())
                assert all(same(a, b) for a, b in zip(got.to_array(), want)), (q, e)
                assert all(same(a, b) for a, b in zip(got.to_array(), Quat(*q).rotate(e).to_array()))

    @pytest.mark.parametrize("n", [16384, 32767, 32768, 32769, 65537])
    def test_long_lists(self, n):
        rng = random.Random(n)
        pool = random_vectors(rng, 499)
        items = [pool[rng.randrange(len(pool))] for _ in range(n)]
        q = Quat(0.9, 0.1, -0.3, 0.2)
        v = VecList(items)
        v.rotate(q)
        want = [c for e in items for c in q.rotate(e).to_array()]
        assert same_all([c for row in v.to_array() for c in row], want)

    def test_quarter_turn(self):
        v = VecList([Vec3d(1, 0, 0), Vec3d(0, 1, 0)])
        v.rotate(quat=Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi()))
        assert v.to_array() == [pytest.approx([0, 1, 0], abs=1e-15), pytest.approx([-1, 0, 0], abs=1e-15)]

    def test_in_place_with_earlier_snapshots_kept(self):
        items = [Vec3d(i, 1, 2) for i in range(40_000)]
        v = VecList(items)
        alias = v
        before = iter(v)
        copy = VecList(v)
        v.rotate(Quat(0, 1, 0, 0))  # half turn about x: (x, y, z) -> (x, -y, -z)
        assert alias is v
        assert v.to_array() == [[i, -1, -2] for i in range(40_000)]
        assert [e.to_array() for e in before] == [[i, 1, 2] for i in range(40_000)]
        assert copy.to_array() == [[i, 1, 2] for i in range(40_000)]

    def test_empty_and_wrong_argument(self):
        e = VecList.empty()
        assert e.rotate(Quat(1, 0, 0, 0)) is None and len(e) == 0
        v = VecList([Vec3d(1, 2, 3)])
        with pytest.raises(TypeError) as error:
            v.rotate(Vec3d(1, 0, 0))
        assert str(error.value) == "argument 'quat': 'Vec3d' object cannot be cast as 'Quat'"
        assert v.to_array() == [[1, 2, 3]]


# Peak memory of one operation on a list of a million vectors, in a fresh
# process: the peak resident size is reset just before the call.
MEMORY = """
import json, sys
from tessary_py import AngleRadians, Quat, Vec3d, VecList
v = VecList.empty()
chunk = VecList([Vec3d(1.5, -2, 3)] * 10_000)
for _ in range(100):
    v.extend(chunk)
p = Vec3d(1, 2, 3)
v.minimum_distance_to(p, 1)  # starts the pool without allocating anything large
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))
op = {"mul": lambda: v * 2.0, "normalize": lambda: v.normalize(), "dot": lambda: v.dot(p),
      "distance_to": lambda: v.distance_to(p), "is_unit": lambda: v.is_unit(),
      "nearest": lambda: v.minimum_distance_to(p, 1),
      "rotate": lambda: v.rotate(Quat(0.9, 0.1, -0.3, 0.2)), "repr": lambda: repr(v)}[sys.argv[1]]
before = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
result = op()
print(status("VmHWM:") - before)
"""


@pytest.mark.plain_allocator  # a sanitizer's allocator adds red zones and quarantine
@pytest.mark.interpreter_independent
class TestMemory:
    """No operation keeps a hidden copy the size of the list: the peak is the
    result plus a few blocks."""

    SLACK = 4 << 20

    @pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self")
    @pytest.mark.parametrize("name, result_bytes", [
        ("mul", 24_000_000), ("normalize", 24_000_000),
        ("rotate", 24_000_000),  # the replacement array; the old one is freed after
        # List slots and one float each; the allocator hands a float 32 bytes.
        ("dot", 40_000_000), ("distance_to", 40_000_000),
        ("is_unit", 8_000_000), ("nearest", 0),
        ("repr", 18_000_000),  # "Vec3d(1.5, -2, 3)" and a line feed per element
    ])
    def test_peak_is_the_result(self, name, result_bytes):
        assert int(measure_peak(MEMORY, name)) <= result_bytes + self.SLACK
