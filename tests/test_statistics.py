"""Exact statistics and fits of point sets: centroid, bounds, covariance,
principal axes, Plane.fit and Quat.align.

The oracle for sums is exact rational arithmetic: the centroid must be the
exact column sum rounded once, divided by n, and every covariance entry the
exact covariance about the exact mean, rounded once."""

import math
import struct
from fractions import Fraction

import numpy as np
import pytest

from conftest import needs_scipy_conventions, run_with_pool, same_bits
from tessary_py import Quat, Vec3d, VecList, geometry

pytestmark = pytest.mark.platform_dependent

Plane = geometry.Plane
INF, NAN = math.inf, math.nan
TINY = 5e-324


def rounded(value: Fraction) -> float:
    """The nearest double (ties to even), or the infinity of the sign."""
    try:
        return float(value)
    except OverflowError:
        return INF if value > 0 else -INF


def special_sum(column):
    """The documented rule for non-finite values, or None when all are finite."""
    if any(math.isnan(x) for x in column) or (INF in column and -INF in column):
        return NAN
    if INF in column or -INF in column:
        return INF if INF in column else -INF
    return None


def exact_centroid(rows):
    n = len(rows)
    out = []
    for j in range(3):
        column = [r[j] for r in rows]
        total = special_sum(column)
        if total is None:
            total = rounded(sum(map(Fraction, column), Fraction(0)))
        out.append(total / n if n else NAN)
    return out


def exact_covariance(rows, ddof=0):
    n = len(rows)
    columns = [[r[j] for r in rows] for j in range(3)]
    finite = [special_sum(c) is None for c in columns]
    fractions = [list(map(Fraction, c)) if f else None for c, f in zip(columns, finite)]
    out = [[NAN] * 3 for _ in range(3)]
    for j in range(3):
        for k in range(3):
            if n > ddof and finite[j] and finite[k]:
                mean_j, mean_k = sum(fractions[j]) / n, sum(fractions[k]) / n
                total = sum((x - mean_j) * (y - mean_k) for x, y in zip(fractions[j], fractions[k]))
                out[j][k] = rounded(total / (n - ddof))
    return out


def tile(rng, n):
    """A map-coordinate ground tile: 100 m x 100 m at x ~ 5e5, y ~ 5e6."""
    return np.column_stack([5e5 + rng.uniform(0, 100, n), 5e6 + rng.uniform(0, 100, n),
                            250 + rng.normal(0, 0.05, n)])


def clouds():
    rng = np.random.default_rng(23)
    mixed = rng.normal(size=(60, 3)) * np.exp(rng.uniform(-690, 690, (60, 3)))
    spread = tile(rng, 200)
    spread[60] = [-3.0, 0.0, 1e-310]  # the first block leaves the fast path
    return {
        # Sizes around the fast path's blocks (64 and 128 points) and tails.
        "tile 1": tile(rng, 1), "tile 63": tile(rng, 63), "tile 64": tile(rng, 64), "tile 129": tile(rng, 129),
        "tile 300": tile(rng, 300), "tile with an outlier": spread,
        # Spreads near the fast path's limits, and a binade boundary inside
        # each block.
        "near the limits": np.column_stack([2.0**20 + rng.uniform(-2.0**17, 2.0**17, 600),
                                            256 + rng.uniform(-1, 1, 600), -(2.0**-30) * rng.uniform(0.7, 1.4, 600)]),
        "sphere": rng.normal(size=(150, 3)), "integers": rng.integers(-5, 5, (70, 3)).astype(float),
        "huge": rng.normal(size=(40, 3)) * 1e300, "tiny": rng.normal(size=(40, 3)) * 1e-300,
        "subnormal": rng.integers(-9, 9, (40, 3)) * TINY, "mixed magnitudes": mixed,
        "cancelling": np.array([[1e308, 1.0, 3.0], [-1e308, 1e-300, 3.0], [1e-300, -1.0, 3.0]]),
        "overflowing sum": np.array([[1e308, -1e308, 0.0], [1e308, -1e308, 0.0]]),
        "signed zeros": np.array([[-0.0, 0.0, -0.0], [-0.0, -0.0, 0.0]]),
        "infinities": np.array([[INF, INF, 1.0], [1.0, -INF, 2.0], [2.0, 3.0, 3.0]]),
        "nan": np.array([[NAN, 1.0, 2.0], [1.0, 2.0, 3.0], [2.0, 4.0, 5.0]]),
        "empty": np.empty((0, 3)),
    }


CLOUDS = clouds()


@pytest.mark.parametrize("name", CLOUDS)
def test_centroid_is_the_exact_sum_rounded_once_then_divided(name):
    rows = CLOUDS[name].tolist()
    assert same_bits(list(VecList(CLOUDS[name]).centroid()), exact_centroid(rows))


@pytest.mark.parametrize("name", CLOUDS)
@pytest.mark.parametrize("ddof", [0, 1])
def test_covariance_is_the_exact_covariance_rounded_once(name, ddof):
    rows = CLOUDS[name].tolist()
    got = VecList(CLOUDS[name]).covariance(ddof=ddof)
    assert same_bits([x for row in got for x in row], [x for row in exact_covariance(rows, ddof) for x in row])


def test_covariance_defaults_and_numpy():
    points = VecList(CLOUDS["tile 300"])
    assert points.covariance() == points.covariance(ddof=None) == points.covariance(ddof=0)
    # numpy's cov divides by n - 1: close, but it loses digits at map scale.
    assert np.allclose(points.covariance(ddof=1), np.cov(CLOUDS["tile 300"].T), rtol=1e-6)
    assert np.array(points.covariance()).shape == (3, 3)
    assert same_bits([x for row in VecList(CLOUDS["tile 1"]).covariance(ddof=5) for x in row], [NAN] * 9)


def palette_cloud(seed):
    """Points drawn from values that stress the paths of the exact sums:
    powers of two, zeros of both signs, subnormals, huge values, clustered
    map coordinates and plain normals, in runs and mixed."""
    rng = np.random.default_rng(seed)
    palette = np.concatenate([
        2.0 ** rng.integers(-1074, 1023, 8), [0.0, -0.0, TINY, -3 * TINY, 1e308, -1e308, 1.0, -2.0],
        5e5 + rng.uniform(0, 100, 8), rng.normal(size=8), rng.normal(size=8) * 1e-5,
    ])
    n = int(rng.integers(0, 160))
    if seed % 2:
        return rng.choice(palette, (n, 3))
    return np.column_stack([5e5 + rng.uniform(0, 100, n), rng.choice(palette, n), 250 + rng.normal(0, 0.05, n)])


@pytest.mark.parametrize("seed", range(24))
def test_random_clouds_against_the_exact_oracle(seed):
    data = palette_cloud(seed)
    rows = data.tolist()
    points = VecList(data)
    assert same_bits(list(points.centroid()), exact_centroid(rows))
    assert same_bits([x for row in points.covariance() for x in row], [x for row in exact_covariance(rows) for x in row])


@pytest.mark.parametrize("column, expected", [
    ([1e308, -1e308, 1e-300], 1e-300 / 3),  # massive cancellation
    ([2.0**1023, 2.0**1023, -(2.0**1023)], 2.0**1023 / 3),  # an intermediate beyond the range
    ([2.0**1023, 2.0**1023], INF),  # the exact sum itself overflows
    ([1.0, 2.0**-1074, -1.0], 2.0**-1074 / 3),
    ([1.0, 2.0**-53, 2.0**-105], (1.0 + 2.0**-52) / 3),  # a tie broken by the lowest bit
    ([1.0, 2.0**-53], 1.0 / 2),  # a tie to even
    ([0.1] * 10, 1.0 / 10),
    ([INF, -INF], NAN), ([INF, 1.0], INF), ([-INF, 1e308], -INF), ([NAN, INF], NAN),
])
def test_exact_sums_on_adversarial_columns(column, expected):
    rows = [[x, -x, 0.0] for x in column]
    got = VecList(np.array(rows)).centroid()
    assert same_bits([got.x, got.y], [expected, -expected])
    assert same_bits(got.x, exact_centroid(rows)[0])


def test_the_same_bits_at_any_thread_count():
    script = """
        import numpy as np, struct
        from tessary_py import VecList, Quat, geometry
        rng = np.random.default_rng(5)
        n = 70_000
        tile = np.column_stack([5e5 + rng.uniform(0, 100, n), 5e6 + rng.uniform(0, 100, n), rng.normal(250, 0.05, n)])
        sphere = rng.normal(size=(n, 3))
        tile[40_000] = [1e-300, -7.0, 3.0]
        out = []
        for points in (VecList(tile), VecList(sphere)):
            out += list(points.centroid()) + [x for row in points.covariance() for x in row]
            out += [x for v in points.bounds() for x in v] + points.principal_axes()[0]
        q, residual = Quat.align(sphere, tile - tile.mean(axis=0))
        plane = geometry.Plane.fit(tile)
        out += [q.w, q.i, q.j, q.k, residual, plane.distance, *plane.normal]
        print(struct.pack(f"<{len(out)}d", *out).hex())
    """
    runs = {run_with_pool(script, threads) for threads in (1, 2, 3)}
    assert len(runs) == 1


def test_bounds():
    points = VecList([Vec3d(1, NAN, 0.0), Vec3d(-2, NAN, -0.0), Vec3d(NAN, NAN, 5)])
    low, high = points.bounds()
    assert same_bits(list(low), [-2.0, NAN, -0.0]) and same_bits(list(high), [1.0, NAN, 5.0])
    low, high = VecList([Vec3d(-0.0, 0.0, INF), Vec3d(0.0, -0.0, -INF)]).bounds()
    assert same_bits(list(low), [-0.0, -0.0, -INF]) and same_bits(list(high), [0.0, 0.0, INF])
    assert same_bits([x for v in VecList.empty().bounds() for x in v], [NAN] * 6)
    data = CLOUDS["tile 300"]
    low, high = VecList(data).bounds()
    assert list(low) == data.min(axis=0).tolist() and list(high) == data.max(axis=0).tolist()


def test_principal_axes():
    rng = np.random.default_rng(3)
    data = rng.normal(size=(500, 3)) * [5.0, 1.0, 0.1]
    variances, axes = VecList(data).principal_axes()
    assert variances == sorted(variances)
    frame = np.array([list(a) for a in axes])
    assert np.allclose(frame @ frame.T, np.eye(3), atol=1e-14)
    assert np.allclose(variances, np.linalg.eigvalsh(np.array(VecList(data).covariance())), rtol=1e-12)
    for axis in frame:  # the largest component of each axis is positive
        assert axis[np.argmax(np.abs(axis))] > 0
    assert np.allclose(np.abs(frame), np.eye(3)[::-1], atol=0.05)


def exact_plane_points(normal, offset, rng, n=50):
    """Points with integer coordinates on normal . p = offset (integers)."""
    a, b, c = normal
    pts = []
    while len(pts) < n:
        x, y = (int(v) for v in rng.integers(-1000, 1000, 2))
        if c and (offset - a * x - b * y) % c == 0:
            pts.append((x, y, (offset - a * x - b * y) // c))
    return np.array(pts, dtype=float)


@pytest.mark.parametrize("normal, offset", [((0, 0, 1), 7), ((1, 2, 2), 30), ((-3, 4, 12), -26), ((0, 1, 1), 0)])
def test_plane_fit_on_exact_planes(normal, offset):
    rng = np.random.default_rng(abs(sum(normal) + offset))
    data = exact_plane_points(normal, offset, rng)
    plane = Plane.fit(data)
    unit = np.array(normal, dtype=float) / np.linalg.norm(normal)
    unit = unit if unit[np.argmax(np.abs(unit))] > 0 else -unit  # the documented sign
    assert np.allclose(list(plane.normal), unit, atol=1e-14)
    assert all(abs(plane.distance_to_point(Vec3d(*p))) < 1e-9 for p in data)
    for same in (Plane.fit(VecList(data)), Plane.fit(data.astype(np.int32))):
        assert same_bits([*same.normal, same.distance], [*plane.normal, plane.distance])
    # It is from_point with the least-variance axis through the centroid.
    reference = Plane.from_point(VecList(data).principal_axes()[1][0], VecList(data).centroid())
    assert same_bits([*reference.normal, reference.distance], [*plane.normal, plane.distance])


def test_plane_fit_on_map_coordinates_and_float32():
    rng = np.random.default_rng(8)
    data = tile(rng, 2000)
    plane = Plane.fit(data)
    assert abs(plane.normal.z - 1) < 1e-6 and plane.normal.z > 0
    assert plane.distance_to_point(VecList(data).centroid()) < 1e-9
    narrow = data.astype(np.float32)
    assert same_bits(list(Plane.fit(narrow).normal), list(Plane.fit(narrow.astype(float)).normal))
    nan_plane = Plane.fit(np.vstack([data[:10], [[NAN, 0.0, 0.0]]]))
    assert math.isnan(nan_plane.distance) and all(math.isnan(c) for c in nan_plane.normal)


@pytest.mark.parametrize("points, message", [
    (np.empty((0, 3)), "argument 'points': a plane needs at least 3 points, got 0"),
    ([Vec3d(1, 2, 3), Vec3d(4, 5, 6)], "argument 'points': a plane needs at least 3 points, got 2"),
    ([Vec3d(1, 2, 3)] * 5, "argument 'points': the points lie on one line (or are one point), so no single plane fits them"),
    ([Vec3d(t, 2 * t, 3 * t + 1) for t in (0.1, 0.7, 3.0, -2.5)],
     "argument 'points': the points lie on one line (or are one point), so no single plane fits them"),
])
def test_plane_fit_refuses_degenerate_clouds(points, message):
    with pytest.raises(ValueError) as error:
        Plane.fit(points if isinstance(points, np.ndarray) else VecList(points))
    assert str(error.value) == message


def scipy_align(a, b, weights=None):
    """scipy's best rotation of a onto b, as the module's quaternion."""
    rotation = pytest.importorskip("scipy.spatial.transform").Rotation
    r, rssd = rotation.align_vectors(b, a, weights=weights)  # scipy maps its second argument onto its first
    x, y, z, w = r.as_quat()
    return np.array([w, -x, -y, -z]), rssd


def same_rotation(q, expected, tolerance=1e-12):
    got = np.array([q.w, q.i, q.j, q.k])
    return min(np.max(np.abs(got - expected)), np.max(np.abs(got + expected))) <= tolerance


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("weighted", [False, True])
def test_align_agrees_with_scipy(seed, weighted):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(200, 3))
    q0 = Quat(*rng.normal(size=4)).normalize()
    b = np.array([list(q0.rotate(Vec3d(*p))) for p in a]) + rng.normal(size=(200, 3)) * 0.01 * seed
    weights = rng.uniform(0, 2, 200) if weighted else None
    q, residual = Quat.align(a, VecList(b), weights)
    if weighted:  # weights read from a float32 array are those numbers widened
        narrow = weights.astype(np.float32)
        (q1, r1), (q2, r2) = Quat.align(a, b, narrow), Quat.align(a, b, narrow.astype(float))
        assert same_bits([q1.w, q1.i, q1.j, q1.k, r1], [q2.w, q2.i, q2.j, q2.k, r2])
    expected, _ = scipy_align(a, b, weights)
    assert same_rotation(q, expected)
    assert q.w >= 0 and abs(q.magnitude() - 1) < 1e-15
    rotated = np.array([list(q.rotate(Vec3d(*p))) for p in a])
    direct = math.sqrt(np.sum((weights if weighted else 1.0) * np.sum((rotated - b) ** 2, axis=1)))
    assert abs(residual - direct) <= 1e-12 * max(1.0, direct)
    if seed == 0:
        assert residual < 1e-12  # an exact rotation


@needs_scipy_conventions
def test_align_degenerate_inputs():
    # A single pair: the shortest arc, as scipy.
    a, b = np.array([[1.0, 2.0, 3.0]]), np.array([[-2.0, 0.5, 1.0]])
    q, _ = Quat.align(a, b)
    assert same_rotation(q, scipy_align(a, b)[0])
    # All on one line: the smallest rotation that maps the line's direction.
    line = np.outer([1.0, -2.0, 0.5], [0.0, 0.6, 0.8])
    q, residual = Quat.align(line, line[:, [1, 2, 0]])
    assert same_rotation(q, scipy_align(line[:1], line[:1, [1, 2, 0]])[0]) and residual < 1e-14
    # Opposite directions: a half turn, about an axis across them.
    q, residual = Quat.align(np.array([[1.0, 0.0, 0.0]]), np.array([[-1.0, 0.0, 0.0]]))
    assert q.w == 0 and q.rotate(Vec3d(1, 0, 0)) == Vec3d(-1, 0, 0) and residual < 1e-15
    # Nothing to align: the identity.
    for a, b, w in [(np.empty((0, 3)), np.empty((0, 3)), None), (np.ones((3, 3)), np.ones((3, 3)), [0.0] * 3),
                    (np.zeros((2, 3)), np.ones((2, 3)), None)]:
        q, residual = Quat.align(a, b, w)
        assert same_bits([q.w, q.i, q.j, q.k], [1.0, 0.0, 0.0, 0.0])
    assert Quat.align(np.zeros((2, 3)), np.ones((2, 3)))[1] == math.sqrt(6)
    # Zero weights drop pairs.
    rng = np.random.default_rng(1)
    a, b = rng.normal(size=(5, 3)), rng.normal(size=(5, 3))
    with_zero, _ = Quat.align(np.vstack([a, [[9.0, 9.0, 9.0]]]), np.vstack([b, [[1.0, -4.0, 2.0]]]), [1.0] * 5 + [0.0])
    without, _ = Quat.align(a, b)
    assert same_rotation(with_zero, np.array([without.w, without.i, without.j, without.k]))


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_non_finite_coordinates_give_nan_fits(bad):
    data = np.array([[1.0, 2.0, 3.0], [4.0, 0.0, 2.0], [0.5, 1.0, 1.0], [2.0, 2.0, 2.0]])
    data[1, 1] = bad
    q, residual = Quat.align(data, data[::-1])
    assert all(math.isnan(c) for c in (q.w, q.i, q.j, q.k, residual))
    variances, axes = VecList(data).principal_axes()
    assert all(math.isnan(x) for x in variances + [c for axis in axes for c in axis])
    plane = Plane.fit(data)
    assert all(math.isnan(x) for x in [*plane.normal, plane.distance])


@pytest.mark.parametrize("call, kind, message", [
    (lambda: Quat.align(np.ones((3, 3)), np.ones((2, 3))), ValueError,
     "argument 'b': expected as many vectors as 'a', 3, got 2"),
    (lambda: Quat.align(np.ones((3, 3)), np.ones((3, 3)), [1.0, 2.0]), ValueError,
     "argument 'weights': expected one weight per pair, 3, got 2"),
    (lambda: Quat.align(np.ones((2, 3)), np.ones((2, 3)), np.array([1.0, -1.0])), ValueError,
     "argument 'weights': expected finite non-negative numbers, got a weight at index 1 that is negative, "
     "infinite or NaN"),
    (lambda: Quat.align(np.ones((1, 3)), np.ones((1, 3)), [NAN]), ValueError,
     "argument 'weights': expected finite non-negative numbers, got a weight at index 0 that is negative, "
     "infinite or NaN"),
    (lambda: Quat.align(np.ones((1, 3)), np.ones((1, 3)), np.ones((1, 1))), TypeError,
     "argument 'weights': expected an array of shape (n,), got (1, 1)"),
    (lambda: Quat.align(np.ones((1, 3)), np.ones((1, 3)), 5), TypeError,
     "argument 'weights': 'int' object cannot be cast as 'Sequence'"),
    (lambda: Quat.align(5, np.ones((1, 3))), TypeError, "argument 'a': 'int' object cannot be cast as 'Sequence'"),
    (lambda: Quat.align(np.ones((1, 3)), np.ones((1, 4))), TypeError,
     "argument 'b': expected an array of shape (n, 3), got (1, 4)"),
    (lambda: Plane.fit("points"), TypeError, "argument 'points': Can't extract `str` to `Vec`"),
    (lambda: VecList.empty().covariance(ddof=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: VecList.empty().covariance(ddof=1.0), TypeError,
     "argument 'ddof': 'float' object cannot be interpreted as an integer"),
    (lambda: VecList.empty().covariance(1), TypeError,
     "VecList.covariance() takes no arguments (1 given)"),
])
def test_refusals(call, kind, message):
    with pytest.raises(kind) as error:
        call()
    assert str(error.value).startswith(message)


def test_results_are_plain_values():
    points = VecList(CLOUDS["tile 64"])
    assert all(type(x) is float for row in points.covariance() for x in row)
    low, high = points.bounds()
    assert type(low) is Vec3d and type(high) is Vec3d
    assert struct.pack("<3d", *points.centroid()) == struct.pack("<3d", *exact_centroid(CLOUDS["tile 64"].tolist()))


# The core's exact sums, driven through the native test program, with
# the native 128-bit integers and the portable ones of targets without
# them (32-bit ARM).
@pytest.fixture(scope="module")
def exact_sum_driver(native_tests):
    def run(lines):
        return native_tests("exact-sums", input="\n".join(lines) + "\n").split("\n")[:-1]
    return run


def sum_cases():
    rng = np.random.default_rng(11)

    def wide(k):
        """k doubles of any sign and exponent."""
        return (rng.choice([-1.0, 1.0], k) * 2.0 ** rng.integers(-1074, 1023, k) * rng.uniform(1, 2, k)).tolist()

    cases = [
        ([1e308, 1e308], [], 1, 1), ([1e308, 1e308, -1e308], [], 3, 1), ([TINY] * 7, [], 2, 1),
        ([], [(TINY, TINY)] * 3, 1, 1), ([1.0], [(TINY, TINY)], 1, 1), ([-1.0], [(-TINY, TINY)], 1, 1),
        ([2.0**1023], [(2.0**1023, 2.0**1023)], 2**63, 2**63 - 1), ([0.1] * 3, [(0.1, 0.1)], 3, 2),
        ([INF, 1.0], [], 1, 1), ([INF], [(-INF, 1.0)], 1, 1), ([1.0], [(INF, 0.0)], 1, 1), ([NAN], [], 1, 1),
        ([], [], 5, 4), ([1.0, -1.0], [(3.0, -3.0), (-3.0, -3.0)], 1, 1),
    ]
    for divisors in [(1, 1), (3, 1), (2**32 + 15, 7), (2**64 - 1, 2**33 + 1), (10**10, 10**10 - 1)]:
        for _ in range(6):
            products = list(zip(wide(20), wide(20)))
            cases.append((wide(40), products, *divisors))
    return cases


def exact_quotient(values, products, d1, d2):
    # A product of finite numbers is exact, however large or small; only
    # infinite or NaN factors make a special term.
    terms = values + [a * b for a, b in products if not (math.isfinite(a) and math.isfinite(b))]
    special = special_sum(terms)
    if special is not None:
        return special
    total = sum(map(Fraction, values), Fraction(0)) + sum(Fraction(a) * Fraction(b) for a, b in products)
    return rounded(total / (d1 * d2))


@pytest.mark.per_compiler
def test_exact_sums_in_the_core(exact_sum_driver):
    cases = sum_cases()
    lines = [" ".join(["S", str(d1), str(d2), str(len(v)), *map(float.hex, v), str(len(p)),
                       *(float.hex(x) for pair in p for x in pair)]) for v, p, d1, d2 in cases]
    got = [float(x) if x.lstrip("-") in ("inf", "nan") else float.fromhex(x) for x in exact_sum_driver(lines)]
    for (values, products, d1, d2), value in zip(cases, got, strict=True):
        assert same_bits(value, exact_quotient(values, products, d1, d2)), (values[:3], products[:2], d1, d2)


@pytest.mark.per_compiler
@pytest.mark.parametrize("integers", ["I", "P"], ids=["native", "portable"])
def test_128_bit_partial_sums_in_the_core(exact_sum_driver, integers):
    rng = np.random.default_rng(12)
    lines, expected = [], []
    for _ in range(200):
        ops, total = [], 0
        for _ in range(int(rng.integers(1, 12))):
            kind = rng.choice(["a", "p", "s", "q"])
            a, b = (int(x) for x in rng.integers(-(2**57), 2**57, 2))
            shift = int(rng.integers(0, 8))
            if kind == "a":
                ops.append(f"a {a}")
                total += a
            elif kind == "p":
                ops.append(f"p {a} {b}")
                total += a * b
            elif kind == "s":
                shift = int(rng.integers(0, 63))
                ops.append(f"s {a} {shift}")
                total += a << shift
            else:
                ops.append(f"q {a} {b} {shift}")
                total += (a * b) << shift
        lines.append(f"{integers} {len(ops)} " + " ".join(ops))
        expected.append(total)
    for line, total in zip(exact_sum_driver(lines), expected, strict=True):
        negative, high, low = line.split()
        value = (int(high, 16) << 64) | int(low, 16)
        assert (-value if negative == "1" else value) == total
