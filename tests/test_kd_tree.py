"""KdTree: every answer is that of a scan of every point.

The oracle ranks points by the squared distance computed as
Vec3d.distance_squared computes it (point minus query, ((dx*dx + dy*dy) +
dz*dz)), every NaN after every number, equal distances by index; a point is
within r when sqrt(squared) <= r. It runs on clouds built to tie (integer
grids, duplicates, every point equal, lines, planes), on degenerate ones and
on NaN and infinite coordinates, through every query method, one point at a
time and many at once."""

import math
from pathlib import Path

import numpy as np
import pytest

from conftest import run_with_pool, same_bits
from tessary_py import KdTree, Vec3d, VecList

pytestmark = pytest.mark.platform_dependent

ROOT = Path(__file__).resolve().parent.parent
INF, NAN = math.inf, math.nan


def squared(p, q):
    dx, dy, dz = p[0] - q[0], p[1] - q[1], p[2] - q[2]
    return (dx * dx + dy * dy) + dz * dz


class Oracle:
    """The answers of a scan of `points` for the query q."""

    def __init__(self, points, q):
        self.n = len(points)
        self.squares = [squared(p, q) for p in points]
        self.order = sorted(range(self.n), key=lambda i: (math.isnan(self.squares[i]),
                                                          0.0 if math.isnan(self.squares[i]) else self.squares[i], i))

    def distance(self, i):
        return math.sqrt(self.squares[i])

    def within(self, i, radius):
        return math.sqrt(self.squares[i]) <= radius  # never for NaN

    def nearest_k(self, k, max_distance=None):
        found = [i for i in self.order if max_distance is None or self.within(i, max_distance)][:k]
        return (found + [self.n] * (k - len(found)),
                [self.distance(i) for i in found] + [INF] * (k - len(found)))

    def within_radius(self, radius):
        return [i for i in self.order if self.within(i, radius)]


def grid(side, step=1.0):
    return [(x * step, y * step, z * step) for x in range(side) for y in range(side) for z in range(side)]


def cube(side):
    """grid(side) as a numpy array."""
    return np.array(grid(side))


def interleave(points, extra, every):
    out = list(points)
    for j, e in enumerate(extra):
        out.insert(min(len(out), (j + 1) * every), e)
    return out


RANDOM = np.random.default_rng(21).uniform(-2, 2, (300, 3)).tolist()
CLOUDS = {
    "grid": grid(7),
    "duplicates": grid(4) * 3,
    "all equal": [(1.5, -2.0, 0.25)] * 90,
    "collinear": [(t, 2.0 * t, -t) for t in range(-40, 41)] * 2,
    "coplanar": [(x, y, 0.0) for x in range(13) for y in range(13)],
    "one point": [(0.5, -0.5, 0.5)],
    "no points": [],
    "non-finite": interleave(grid(5), [(NAN, 0, 0), (INF, 0, 0), (-INF, 1, 1), (1, NAN, 2), (INF, INF, INF),
                                       (-0.0, NAN, -NAN)], 17),
    "only non-finite": [(NAN, 1, 2), (INF, 0, 0), (0, -INF, NAN)],
    "wide range": [(1e300, 0, 0), (-1e300, 0, 0), (0, 1e-300, 0), (5e-324, 0, 0), (-0.0, 0.0, -0.0), (1e308, 1e308, 0),
                   (0, 0, -1.7e308)] * 6,
    "random": RANDOM,
}
QUERIES = [(0, 0, 0), (3, 3, 3), (2.5, 2.5, 2.5), (1.5, 1, 0.5), (-0.0, 0.0, -0.0), (6.5, -1, 3), (40, 40, 40),
           (-3, 7, 1e3), (1.5, -2.0, 0.25), (0.5, -0.5, 0.5), (1e300, 1, 0), (-1e308, 0, 1e308),
           (NAN, 0, 0), (INF, 0, 0), (0, -INF, 0), (INF, -INF, NAN), *RANDOM[:6], (RANDOM[7][0] + 0.01, 0, 1)]
KS = (1, 2, 7, 40, 500)
RADII = (0.0, 0.5, 1.0, math.sqrt(2), math.nextafter(math.sqrt(2), 0), 2.5, INF)


@pytest.fixture(scope="module", params=list(CLOUDS))
def case(request):
    points = CLOUDS[request.param]
    return points, KdTree(VecList([Vec3d(*p) for p in points])), [Oracle(points, q) for q in QUERIES]


def radii(oracle):
    """The fixed radii, and for this query the distances of some points
    exactly (the boundary, included) and just below them (excluded)."""
    picked = [oracle.distance(i) for i in oracle.order[:12:3] if not math.isnan(oracle.distance(i))]
    return [*RADII, *picked, *(math.nextafter(r, 0) for r in picked if r > 0)]


def same_answers(got, want):
    indices, distances = got
    return list(indices) == list(want[0]) and same_bits(list(map(float, distances)), list(map(float, want[1])))


class TestAgainstTheOracle:
    def test_nearest(self, case):
        _, tree, oracles = case
        for q, oracle in zip(QUERIES, oracles):
            index, distance = tree.nearest(Vec3d(*q))
            assert same_answers(([index], [distance]), oracle.nearest_k(1)), q

    def test_nearest_k_with_and_without_a_bound(self, case):
        _, tree, oracles = case
        for q, oracle in zip(QUERIES, oracles):
            for k in KS:
                for bound in (None, 0.0, 1.0, 2.5, INF):
                    got = tree.nearest_k(Vec3d(*q), k, max_distance=bound)
                    assert same_answers(got, oracle.nearest_k(k, bound)), (q, k, bound)

    def test_within_and_its_count(self, case):
        _, tree, oracles = case
        for q, oracle in zip(QUERIES, oracles):
            for r in radii(oracle):
                want = oracle.within_radius(r)
                assert tree.within(Vec3d(*q), r) == want, (q, r)
                assert tree.count_within(Vec3d(*q), r) == len(want), (q, r)

    def test_many_queries_answer_as_one_at_a_time(self, case):
        points, tree, oracles = case
        queries = VecList([Vec3d(*q) for q in QUERIES])
        m = len(QUERIES)
        for bound in (None, 1.0):
            indices, distances = tree.nearest_each(queries, max_distance=bound)
            assert memoryview(indices).shape == (m,) and memoryview(distances).shape == (m,)
            for i, oracle in enumerate(oracles):
                assert same_answers(([indices.tolist()[i]], [distances.tolist()[i]]), oracle.nearest_k(1, bound))
            for k in (1, 7):
                indices, distances = tree.nearest_k_each(queries, k, max_distance=bound)
                assert memoryview(indices).shape == (m, k)
                for i, oracle in enumerate(oracles):
                    assert same_answers((indices.tolist()[i], distances.tolist()[i]), oracle.nearest_k(k, bound))
        for r in (0.0, 1.0, math.sqrt(2), INF):
            counts = tree.count_within_each(queries, r).tolist()
            offsets, found = tree.within_each(queries, r)
            offsets, found = offsets.tolist(), found.tolist()
            assert offsets[0] == 0 and offsets[-1] == len(found) and len(offsets) == m + 1
            for i, oracle in enumerate(oracles):
                want = oracle.within_radius(r)
                assert counts[i] == len(want) and found[offsets[i]:offsets[i + 1]] == want

    def test_every_point_of_the_tree_with_and_without_itself(self, case):
        points, tree, _ = case
        n = len(points)
        own = VecList([Vec3d(*p) for p in points])
        for k, bound in ((1, None), (3, None), (7, 1.0), (40, INF)):
            with_self = tree.nearest_k_each_point(k, max_distance=bound)
            assert [bytes(memoryview(a)) for a in with_self] == [
                bytes(memoryview(a)) for a in tree.nearest_k_each(own, k, max_distance=bound)]
            indices, distances = tree.nearest_k_each_point(k, max_distance=bound, include_self=False)
            for i in range(0, n, 3):
                oracle = Oracle(points, points[i])
                others = [j for j in oracle.order if j != i and (bound is None or oracle.within(j, bound))][:k]
                want = (others + [n] * (k - len(others)), [oracle.distance(j) for j in others] + [INF] * (k - len(others)))
                assert same_answers((indices.tolist()[i], distances.tolist()[i]), want), (i, k, bound)
        for r in (0.0, 1.0, INF):
            assert bytes(memoryview(tree.count_within_each_point(r))) == bytes(memoryview(tree.count_within_each(own, r)))
            counts = tree.count_within_each_point(r, include_self=False).tolist()
            offsets, found = (a.tolist() for a in tree.within_each_point(r, include_self=False))
            for i in range(n):
                want = [j for j in Oracle(points, points[i]).within_radius(r) if j != i]
                assert counts[i] == len(want) and found[offsets[i]:offsets[i + 1]] == want, (i, r)

    def test_length_and_repr(self, case):
        points, tree, _ = case
        assert len(tree) == len(points)
        aside = sum(not all(math.isfinite(c) for c in p) for p in points)
        noun = "point" if len(points) == 1 else "points"
        assert repr(tree) == f"KdTree({len(points)} {noun}" + (f", {aside} not finite)" if aside else ")")


NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("points, text", [
    ([], "KdTree(0 points)"),
    ([Vec3d(1, 2, 3)], "KdTree(1 point)"),
    ([Vec3d(1, 2, 3), Vec3d(1, 2, 3)], "KdTree(2 points)"),
    ([Vec3d(NAN, 0, 0)], "KdTree(1 point, 1 not finite)"),
    ([Vec3d(0, 0, 0), Vec3d(INF, 0, 0), Vec3d(0, NAN, 0)], "KdTree(3 points, 2 not finite)"),
])
def test_repr_counts_points_in_words(points, text):
    assert repr(KdTree(points)) == text


def numpy_nearest(points, queries, k):
    """The oracle in numpy, for larger clouds: elementwise float64 operations
    round as Python's do."""
    rows = []
    index = np.arange(len(points))
    for q in queries:
        d = points - q
        s = (d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]
        nan = np.isnan(s)
        order = np.lexsort((index, np.where(nan, 0.0, s), nan))[:k]
        rows.append((order, np.sqrt(s[order])))
    return rows


class TestLargerClouds:
    """Deep enough for many levels of the tree, and for the pool to share
    out both the building and the queries."""

    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    def test_ties_on_an_integer_cloud(self, dtype):
        rng = np.random.default_rng(3)
        points = rng.integers(0, 10, (8_000, 3)).astype(dtype)
        points[::397] = np.nan
        queries = np.concatenate([rng.integers(-1, 11, (40, 3)), rng.integers(0, 20, (40, 3)) / 2])
        tree = KdTree(points)
        widened = points.astype(np.float64)
        indices, distances = tree.nearest_k_each(queries, 9)
        counts = np.asarray(tree.count_within_each(queries, 1.5))
        for row, (order, dist) in enumerate(numpy_nearest(widened, queries, 9)):
            assert list(np.asarray(indices)[row]) == list(order)
            assert np.asarray(distances)[row].tobytes() == dist.tobytes()
        for row, q in enumerate(queries):
            d = widened - q
            s = (d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]
            assert counts[row] == np.count_nonzero(np.sqrt(s) <= 1.5)

    def test_agrees_with_scipy_where_no_distances_tie(self):
        spatial = pytest.importorskip("scipy.spatial")
        rng = np.random.default_rng(8)
        points, queries = rng.standard_normal((20_000, 3)), rng.standard_normal((2_000, 3))
        tree, theirs = KdTree(points), spatial.cKDTree(points)
        for k in (1, 8):
            distances, indices = theirs.query(queries, k=k)
            mine = tree.nearest_each(queries) if k == 1 else tree.nearest_k_each(queries, k)
            assert np.array_equal(np.asarray(mine[0]), indices)
            # scipy's builds for aarch64 fuse the multiply-adds of its distances,
            # which moves them by a few roundings (2 ulps seen)
            np.testing.assert_array_max_ulp(np.asarray(mine[1]), distances, maxulp=4)
        lengths = theirs.query_ball_point(queries, 0.2, return_length=True)
        assert np.array_equal(np.asarray(tree.count_within_each(queries, 0.2)), lengths)

    def test_the_same_answers_at_any_pool_size(self):
        script = """
            import hashlib
            import numpy as np
            from tessary_py import KdTree
            rng = np.random.default_rng(5)
            points = rng.integers(0, 16, (40_000, 3)).astype(float)  # built in parallel from 32768 on
            points[::1013] = [np.inf, 0, 0]
            queries = rng.integers(-2, 34, (3_000, 3)) / 2
            tree = KdTree(points)
            digest = hashlib.sha256()
            for result in (*tree.nearest_each(queries), *tree.nearest_k_each(queries, 6),
                           tree.count_within_each(queries, 1.5), *tree.within_each(queries, 1.0),
                           *tree.nearest_k_each_point(8, include_self=False), tree.count_within_each_point(1.5),
                           *tree.within_each_point(1.0, include_self=False)):
                digest.update(bytes(memoryview(result)))
            print(digest.hexdigest())
        """
        assert len({run_with_pool(script, threads) for threads in (1, 2, 3)}) == 1


class TestInputs:
    def test_every_kind_of_points_gives_the_same_tree(self):
        points = np.array(grid(5) * 2, dtype=np.float64)
        want = KdTree(points).nearest_k_each(points[::7], 5)
        for source in (VecList(points), [Vec3d(*p) for p in points], np.asfortranarray(points),
                       points.astype(np.float32), points.astype(np.int16), np.ascontiguousarray(points[::-1])[::-1]):
            got = KdTree(source).nearest_k_each(points[::7], 5)
            assert [bytes(memoryview(a)) for a in got] == [bytes(memoryview(a)) for a in want]

    def test_queries_in_any_layout(self):
        points = np.array(RANDOM)
        tree = KdTree(points)
        queries = np.array(QUERIES[:10])
        want = [bytes(memoryview(a)) for a in tree.nearest_k_each(VecList(queries), 3)]
        for source in (queries, np.asfortranarray(queries), queries[::-1].copy()[::-1], [Vec3d(*q) for q in queries],
                       queries.astype(">f8")):
            assert [bytes(memoryview(a)) for a in tree.nearest_k_each(source, 3)] == want
        narrow = queries.astype(np.float32)
        got = tree.nearest_k_each(narrow, 3)
        assert [bytes(memoryview(a)) for a in got] == [bytes(memoryview(a)) for a in
                                                       tree.nearest_k_each(VecList(narrow), 3)]

    def test_later_changes_to_the_source_change_nothing(self):
        points = np.array(grid(4))
        from_array, listed = KdTree(points), VecList(points)
        from_list = KdTree(listed)
        q = Vec3d(0.2, 0.1, 0)
        points[:] = 100.0
        listed.append(Vec3d(0.2, 0.1, 0))
        listed.rotate(__import__("tessary_py").Quat(0, 0, 0, 1))
        assert from_array.nearest(q) == from_list.nearest(q) == (0, math.sqrt(0.05000000000000001))

    def test_points_come_back_in_their_order_bit_for_bit(self):
        points = np.array([(-0.0, 1.5, NAN), (INF, -INF, 0), (1e-320, 2, 3)] * 20)
        for source in (points, VecList(points)):
            again = KdTree(source).points
            assert isinstance(again, VecList) and np.asarray(again).tobytes() == points.tobytes()
        assert len(KdTree([]).points) == 0


class TestResultArrays:
    def test_buffer_shape_format_and_repr(self):
        tree = KdTree(cube(3))
        indices, distances = tree.nearest_k_each(cube(2), 4)
        for array, fmt in ((indices, "l"), (distances, "d")):
            view = memoryview(array)
            assert (view.format, view.shape, view.readonly, view.c_contiguous) == (fmt, (8, 4), False, True)
            assert repr(array) == f"ResultArray(shape=(8, 4), format='{fmt}')" and len(array) == 8
            assert np.asarray(array).tolist() == array.tolist() == view.tolist()
        assert np.asarray(indices).dtype == np.intp
        assert repr(tree.count_within_each([], 1.0)) == "ResultArray(shape=(0,), format='l')"

    def test_numpy_views_them_without_a_copy_and_may_write(self):
        indices = KdTree(cube(3)).nearest_each(cube(3))[0]
        first, second = np.asarray(indices), np.asarray(indices)
        first[0] = -5
        assert second[0] == -5 and indices.tolist()[0] == -5

    def test_a_result_can_be_an_out_buffer(self):
        tree = KdTree(cube(3))
        counts = tree.count_within_each(cube(3), 1.0)
        assert tree.count_within_each(cube(3), 0.0, out=counts) is counts
        assert counts.tolist() == [1] * 27


class TestOut:
    def test_written_in_place_and_returned(self):
        tree = KdTree(cube(4))
        queries = np.array(grid(3)) + 0.25
        for dtype in (np.intp, np.int64 if np.intp == np.int64 else np.int32):
            out = (np.full((27, 3), -7, dtype=dtype), np.full((27, 3), -7.0))
            assert tree.nearest_k_each(queries, 3, out=out) is out
            want = tree.nearest_k_each(queries, 3)
            assert out[0].tolist() == want[0].tolist() and out[1].tobytes() == bytes(memoryview(want[1]))
        single = (np.empty(27, dtype=np.intp), np.empty(27))
        assert tree.nearest_each(queries, out=single) is single
        counts = np.empty(27, dtype=np.intp)
        assert tree.count_within_each(queries, 1.0, out=counts) is counts
        assert counts.tolist() == tree.count_within_each(queries, 1.0).tolist()


def bad_calls():
    """(call, exception, message) for each refusal; `out` arrays must come
    through unchanged."""
    tree = KdTree(cube(3))
    q = Vec3d(0, 0, 0)
    m = np.zeros((4, 3))
    ints, floats = np.full((4, 2), 9, dtype=np.intp), np.full((4, 2), 9.0)
    read_only = np.full((4, 2), 9.0)
    read_only.flags.writeable = False
    # Indices and distances over the same bytes, whatever the index's width.
    shared = np.full(8, 9.0)
    overlapping = (shared.view(np.intp)[:8].reshape(4, 2), shared.reshape(4, 2))
    shapes = "argument 'out': expected a writable C-contiguous buffer of shape (4, 2) and format"
    k_message = "argument 'k': expected an integer of at least 1, got {}"
    radius_message = "argument '{}': expected a number of at least 0, got {}"
    return [
        (lambda: tree.nearest_k(q, 0), ValueError, k_message.format(0)),
        (lambda: tree.nearest_k(q, -3), ValueError, k_message.format(-3)),
        (lambda: tree.nearest_k(q, -(10**30)), ValueError, k_message.format(-(10**30))),
        (lambda: tree.nearest_k_each(m, 0), ValueError, k_message.format(0)),
        (lambda: tree.nearest_k(q, 1.5), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        (lambda: tree.nearest_k(q, 10**30), OverflowError, "out of range integral type conversion attempted"),
        (lambda: tree.within(q, -1.0), ValueError, radius_message.format("radius", "-1.0")),
        (lambda: tree.count_within(q, NAN), ValueError, radius_message.format("radius", "nan")),
        (lambda: tree.within_each(m, -INF), ValueError, radius_message.format("radius", "-inf")),
        (lambda: tree.count_within_each(m, -0.5), ValueError, radius_message.format("radius", "-0.5")),
        (lambda: tree.nearest_k(q, 2, max_distance=-1), ValueError, radius_message.format("max_distance", "-1.0")),
        (lambda: tree.nearest_each(m, max_distance=NAN), ValueError, radius_message.format("max_distance", "nan")),
        (lambda: tree.nearest_k(q, 2, max_distance="1"), TypeError, "argument 'max_distance': must be real number, not str"),
        (lambda: tree.within(q, "1"), TypeError, "argument 'radius': must be real number, not str"),
        (lambda: tree.nearest((0, 0, 0)), TypeError, "argument 'point': 'tuple' object cannot be cast as 'Vec3d'"),
        (lambda: KdTree(np.zeros((5, 4))), TypeError, "argument 'points': expected an array of shape (n, 3), got (5, 4)"),
        (lambda: KdTree("abc"), TypeError, "argument 'points': Can't extract `str` to `Vec`"),
        (lambda: KdTree([q, 5]), TypeError, "argument 'points': 'int' object cannot be cast as 'Vec3d'"),
        (lambda: tree.nearest_each(np.zeros(3)), TypeError, "argument 'points': expected an array of shape (n, 3), got (3,)"),
        (lambda: tree.count_within_each({1, 2}, 1.0), TypeError, "argument 'points': 'set' object cannot be cast as 'Sequence'"),
        (lambda: tree.nearest_k_each(m, 2, out=[ints, floats]), TypeError,
         "argument 'out': expected a tuple of two buffers (indices, distances), got 'list' object"),
        (lambda: tree.nearest_k_each(m, 2, out=(ints,)), TypeError,
         "argument 'out': expected a tuple of two buffers (indices, distances), got 'tuple' object of length 1"),
        (lambda: tree.nearest_k_each(m, 2, out=(floats, ints)), TypeError,
         f"{shapes} 'l', got a writable C-contiguous buffer of shape (4, 2) and format 'd'"),
        (lambda: tree.nearest_k_each(m, 2, out=(ints, read_only)), TypeError,
         f"{shapes} 'd', got a read-only C-contiguous buffer of shape (4, 2) and format 'd'"),
        (lambda: tree.nearest_k_each(m, 3, out=(ints, floats)), ValueError,
         "argument 'out': expected a writable C-contiguous buffer of shape (4, 3) and format 'l', got a writable "
         "C-contiguous buffer of shape (4, 2) and format 'l'" if np.dtype(np.intp).char == "l" else None),
        (lambda: tree.nearest_k_each(m, 2, out=(ints, np.asfortranarray(floats))), ValueError,
         f"{shapes} 'd', got a writable non-contiguous buffer of shape (4, 2) and format 'd'"),
        (lambda: tree.nearest_k_each(m, 2, out=overlapping), ValueError,
         "argument 'out': the indices and the distances overlap"),
        (lambda: tree.nearest_each(m, out=(ints[:, 0].copy(), 5)), TypeError,
         "argument 'out': expected a writable C-contiguous buffer of shape (4,) and format 'd', got 'int' object, "
         "which exports no buffer"),
        (lambda: tree.nearest_k_each_point(0), ValueError, k_message.format(0)),
        (lambda: tree.nearest_k_each_point(2, include_self=1), TypeError,
         "argument 'include_self': 'int' object cannot be cast as 'bool'"),
        (lambda: tree.count_within_each_point(-1.0), ValueError, radius_message.format("radius", "-1.0")),
        (lambda: tree.within_each_point(1.0, include_self="no"), TypeError,
         "argument 'include_self': 'str' object cannot be cast as 'bool'"),
        (lambda: tree.nearest_k_each_point(2, out=(ints, floats)), ValueError,
         "argument 'out': expected a writable C-contiguous buffer of shape (27, 2) and format 'l', got a writable "
         "C-contiguous buffer of shape (4, 2) and format 'l'" if np.dtype(np.intp).char == "l" else None),
        (lambda: tree.count_within_each(m, 1.0, out=floats[:, 0].copy()), TypeError,
         "argument 'out': expected a writable C-contiguous buffer of shape (4,) and format 'l', got a writable "
         "C-contiguous buffer of shape (4,) and format 'd'"),
    ], (ints, floats, read_only)


def test_bad_input_is_refused_naming_the_argument_and_writes_nothing():
    calls, outs = bad_calls()
    before = [o.copy() for o in outs]
    for call, kind, message in calls:
        with pytest.raises(kind) as info:
            call()
        if message is not None:
            assert str(info.value) == message
    assert all(np.array_equal(a, b) for a, b in zip(outs, before))


def test_results_overlapping_the_queries_are_refused():
    tree = KdTree(cube(3))
    shared = np.zeros(12)
    with pytest.raises(ValueError, match="^argument 'out': the buffer overlaps the elements the results are"):
        tree.nearest_each(shared.reshape(4, 3), out=(np.zeros(4, dtype=np.intp), shared[8:]))


@pytest.mark.per_compiler
def test_the_core_passes_its_native_tests(native_tests):
    # The tree, the exact sums, the moments, the alignments and ICP's steps,
    # each against its scan or oracle, in the native test program
    # (tests/native), built with this compiler.
    out = native_tests()
    assert out.endswith("ok\n"), out
