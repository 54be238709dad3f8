"""Downsampling: VoxelGrid and VecList.voxel_down_sample against exact
rational arithmetic, VecList.farthest_point_sample against the plain O(nk)
rule.

The voxel oracle takes each point's voxel as the floor of the exact
quotient (Fractions), groups the finite points in the order of their first
points, and gives each voxel the exact sum of each component rounded once
(float(Fraction) rounds to nearest, ties to even) divided by the count,
and the point nearest that centroid by the squared distance computed as
Vec3d.distance_squared computes it, ties to the lower index. The sampling
oracle updates every distance after every choice with numpy, whose
elementwise operations round each on its own as the module does."""

import hashlib
import math
import sys
from fractions import Fraction

import numpy as np
import pytest

from conftest import run_with_pool, same_bits
from tessary_py import Vec3d, VecList, VoxelGrid

pytestmark = pytest.mark.platform_dependent

INF, NAN = math.inf, math.nan


def rounded(value):
    """The nearest double, ties to even, or the infinity of the sign."""
    try:
        return float(value)
    except OverflowError:
        return INF if value > 0 else -INF


def squared(p, q):
    dx, dy, dz = p[0] - q[0], p[1] - q[1], p[2] - q[2]
    return (dx * dx + dy * dy) + dz * dz


def voxel_oracle(points, size, origin=(0.0, 0.0, 0.0)):
    """(centroids, counts, inverse, nearest) of the documented rules."""
    members = {}
    inverse = [None] * len(points)
    for i, p in enumerate(points):
        if not all(math.isfinite(c) for c in p):
            continue
        cell = tuple(math.floor((Fraction(c) - Fraction(o)) / Fraction(size)) for c, o in zip(p, origin))
        members.setdefault(cell, []).append(i)  # dicts keep the first points' order
    centroids, counts, nearest = [], [], []
    for v, indices in enumerate(members.values()):
        n = len(indices)
        c = tuple(rounded(sum(Fraction(points[i][a]) for i in indices)) / n for a in range(3))
        for i in indices:
            inverse[i] = v
        centroids.append(c)
        counts.append(n)
        nearest.append(min(indices, key=lambda i: (squared(points[i], c), i)))
    inverse = [len(counts) if v is None else v for v in inverse]
    return centroids, counts, inverse, nearest


def array(points):
    return np.array(points, dtype=np.float64).reshape(-1, 3)


def grid_results(grid):
    return [tuple(c) for c in grid.centroids], grid.counts().tolist(), grid.inverse().tolist(), grid.nearest().tolist()


def same_results(found, expected):
    (c1, n1, i1, k1), (c2, n2, i2, k2) = found, expected
    return (n1, i1, k1) == (n2, i2, k2) and len(c1) == len(c2) and all(same_bits(a, b) for a, b in zip(c1, c2))


def tenths_cloud():
    """Points on a grid of tenths (most exactly on voxel faces for the edges
    below, or a rounding away), a double either side of some, negative
    coordinates, both zeros, duplicates, NaN and infinite points."""
    rng = np.random.default_rng(5)
    points = [tuple(float(c) for c in row) for row in rng.integers(-20, 21, size=(600, 3)) * 0.1]
    points += [(math.nextafter(x, -INF), y, z) for x, y, z in points[:80]]
    points += [(x, math.nextafter(y, INF), z) for x, y, z in points[80:160]]
    points += [(-0.0, 0.0, -0.0), (0.0, -0.0, 0.0), points[3], points[3], points[10]]
    points += [(NAN, 0.0, 0.0), (0.0, INF, 1.0), (-INF, -INF, NAN)]
    return points


def map_cloud(n=3000, seed=1):
    """A patch of a lidar tile at UTM coordinates, centimetre structure."""
    rng = np.random.default_rng(seed)
    xy = rng.uniform(0, 4, size=(n, 2))
    z = 0.3 * np.sin(xy[:, 0]) + rng.normal(0, 0.01, n)
    return np.column_stack([512000.0 + xy[:, 0], 5430000.0 + xy[:, 1], 231.0 + z])


CLOUDS = {
    "tenths": tenths_cloud(),
    "map coordinates": [tuple(r) for r in map_cloud().tolist()],
    # Spread so wide, at so fine a voxel, that voxels are told apart by
    # hashes rather than packed offsets.
    "hashed": [tuple(r) for r in np.random.default_rng(2).uniform(-1e6, 1e6, size=(800, 3)).tolist()] * 2,
    # Voxels that reach down to tiny values: their sums need more than 128 bits.
    "tiny": [(1e-300, 0.5, 0.0), (0.25, 1e-310, 0.0), (0.75, 0.5, -1e-320), (5e-324, 0.125, 0.0), (0.5, 0.5, 0.5)],
    "empty": [],
    "not finite": [(NAN, 1.0, 2.0), (INF, 0.0, 0.0)],
}
GRIDS = [
    ("tenths", 0.1, None), ("tenths", 0.2, None), ("tenths", 0.3, None), ("tenths", 1 / 3, None),
    ("tenths", 0.5, (0.05, -0.3, 1e-3)), ("tenths", 7.0, (-0.0, 0.0, 0.0)),
    ("map coordinates", 0.01, None), ("map coordinates", 0.25, (512000.125, 0.0, -0.5)),
    ("hashed", 1e-6, None), ("hashed", 5e4, None), ("tiny", 1.0, None), ("empty", 1.0, None),
    ("not finite", 1.0, None),
]


@pytest.mark.parametrize("cloud, size, origin", GRIDS)
def test_voxel_grid_against_exact_oracle(cloud, size, origin):
    points = CLOUDS[cloud]
    grid = VoxelGrid(array(points), size, origin=None if origin is None else Vec3d(*origin))
    assert same_results(grid_results(grid), voxel_oracle(points, size, origin or (0.0, 0.0, 0.0)))
    assert len(grid) == len(grid.counts())
    down = VecList(array(points)).voxel_down_sample(size, origin=None if origin is None else Vec3d(*origin))
    assert same_bits([c for v in down for c in v], [c for v in grid.centroids for c in v])


def test_map_coordinates_keep_every_voxel_and_their_exact_centroids():
    # The tile patch at 1 cm: voxels by the thousand, each exact; small_gicp
    # packs 21 bits per axis and keeps one point of such a tile.
    points = map_cloud(20000, seed=7)
    grid = VoxelGrid(points, 0.01)
    expected = voxel_oracle([tuple(r) for r in points.tolist()], 0.01)
    assert len(grid) == len(expected[1]) > 15000
    assert same_results(grid_results(grid), expected)


@pytest.mark.parametrize("points", [
    [(1.0, 2.0, 3.0), (1.5, 2.25, 3.125), (1.0000000000000002, 2.5, 3.75)],
    [(0.1, 0.2, 0.3)] * 7 + [(0.3, 0.1, 0.2)],
    [(512000.01, 5430000.02, 231.03), (512000.011, 5430000.019, 231.031), (512000.0105, 5430000.0201, 231.0299)],
    [(1e308, 0.0, 0.0), (1.7e308, 0.0, 0.0)],  # an exact sum beyond the doubles: inf, as centroid()
    [(-0.0, -0.0, -0.0), (-0.0, -0.0, -0.0)],  # an exact zero: +0.0, as centroid()
])
def test_one_voxel_centroid_is_the_lists_centroid(points):
    cloud = VecList([Vec3d(*p) for p in points])
    grid = VoxelGrid(cloud, 1.7976931348623157e308)
    assert len(grid) == 1 and same_bits(list(grid.centroids[0]), list(cloud.centroid()))


@pytest.mark.parametrize("x, size, origin, expected", [
    (0.5, 0.25, 0.0, 2),                      # on a face: the voxel above
    (math.nextafter(0.5, 0), 0.25, 0.0, 1),
    (0.3, 0.1, 0.0, 2),                       # 0.3 < 3 * 0.1 exactly
    (0.7, 0.1, 0.0, 6),                       # 0.7 < 7 * 0.1 exactly, though 0.7 / 0.1 rounds to 7
    (-0.0, 1.0, 0.0, 0), (-1e-300, 1.0, 0.0, -1), (0.0, 1.0, 5e-324, -1),
    (5430000.03, 0.01, 0.0, 543000003), (5430000.0, 0.01, 0.0, 542999999),  # 0.01 is above 1/100
    (1.0, 2.0**-62, 0.0, 2**62), (-1.0, 2.0**-63, 0.0, -2**63),
    (1e-300, 1e-310, 0.0, 10**10), (1.7e308, 1e300, -1.7e308, 339999999),
])
def test_the_voxel_of_a_coordinate_is_the_exact_floor(x, size, origin, expected):
    # The known answer, then the grid of x, its neighbouring doubles and
    # the corners of the voxels around it against the oracle.
    assert math.floor((Fraction(x) - Fraction(origin)) / Fraction(size)) == expected
    corners = [float(Fraction(origin) + k * Fraction(size)) for k in range(expected - 1, expected + 3)
               if -2**63 <= k < 2**63]
    xs = [x, math.nextafter(x, -INF), math.nextafter(x, INF), *corners]
    points = [(v, 0.0, 0.0) for v in xs
              if math.isfinite(v) and -2**63 <= math.floor((Fraction(v) - Fraction(origin)) / Fraction(size)) < 2**63]
    grid = VoxelGrid([Vec3d(*p) for p in points], size, origin=Vec3d(origin, 0.0, 0.0))
    assert same_results(grid_results(grid), voxel_oracle(points, size, (origin, 0.0, 0.0)))


def test_a_voxel_beyond_64_bits_is_refused_naming_the_coordinate():
    with pytest.raises(ValueError, match=r"^argument 'voxel_size': the voxel of y = -1e\+300 is 2\*\*63 voxels or "
                                         r"more from the origin's; voxel indices are 64-bit integers$"):
        VoxelGrid([Vec3d(0, 0, 0), Vec3d(0, -1e300, 0)], 1e-10)
    with pytest.raises(ValueError, match="the voxel of x = 1.0 is 2"):
        VecList([Vec3d(1, 0, 0)]).voxel_down_sample(2.0**-63)


def test_points_left_out_and_the_order_of_voxels():
    points = [Vec3d(NAN, 0, 0), Vec3d(3.5, 0, 0), Vec3d(0.5, 0, 0), Vec3d(3.25, 0, 0), Vec3d(0, INF, 0)]
    grid = VoxelGrid(points, 1.0)
    assert repr(grid) == "VoxelGrid(2 voxels of 1 from 5 points, 2 not finite)"
    assert grid.inverse().tolist() == [2, 0, 1, 0, 2]  # the first finite point's voxel first
    assert grid.counts().tolist() == [2, 1] and grid.nearest().tolist() == [1, 2]
    assert repr(VoxelGrid(np.zeros((0, 3)), 0.5)) == "VoxelGrid(0 voxels of 0.5 from 0 points)"
    assert grid.voxel_size == 1.0 and grid.origin == Vec3d(0, 0, 0)


def test_nearest_point_ties_go_to_the_lower_index():
    grid = VoxelGrid([Vec3d(0.125, 0.5, 0), Vec3d(0.5, 0.25, 0), Vec3d(0.5, 0.75, 0), Vec3d(0.875, 0.5, 0)], 1.0)
    assert grid.centroids[0] == Vec3d(0.5, 0.5, 0)
    assert grid.nearest().tolist() == [1]  # points 1 and 2 are as near as each other


def test_buffers_in_any_layout_give_the_lists_grid():
    data = map_cloud(2000, seed=3)
    expected = grid_results(VoxelGrid(VecList(data), 0.05))
    wide = np.hstack([data, np.zeros((len(data), 2))])
    for view in (np.asfortranarray(data), wide[:, :3], [Vec3d(*p) for p in data.tolist()]):
        assert same_results(grid_results(VoxelGrid(view, 0.05)), expected)
    single = data.astype(np.float32)
    assert same_results(grid_results(VoxelGrid(single, 0.05)), grid_results(VoxelGrid(single.astype(np.float64), 0.05)))


def test_results_into_buffers_and_their_refusal():
    grid = VoxelGrid(map_cloud(500), 0.1)
    for method, size in ((grid.counts, len(grid)), (grid.nearest, len(grid)), (grid.inverse, 500)):
        out = np.full(size, -7, dtype=np.intp)
        assert method(out=out) is out and out.tolist() == method().tolist()
        wrong = np.full(size + 1, -7, dtype=np.intp)
        with pytest.raises(ValueError, match=r"^argument 'out': expected a writable C-contiguous buffer of shape"):
            method(out=wrong)
        with pytest.raises(TypeError, match=r"^argument 'out': "):
            method(out=np.zeros(size))
        assert (wrong == -7).all()
    # A result array is the caller's: changing it leaves the grid's own.
    counts = np.asarray(grid.counts())
    counts[:] = 0
    assert grid.counts().tolist() != counts.tolist()


@pytest.mark.parametrize("call, error, message", [
    (lambda p: VoxelGrid(p, 0.0), ValueError, "argument 'voxel_size': expected a number greater than 0 and finite, got 0.0"),
    (lambda p: VoxelGrid(p, -1), ValueError, "argument 'voxel_size': expected a number greater than 0 and finite, got -1.0"),
    (lambda p: VoxelGrid(p, NAN), ValueError, "argument 'voxel_size': expected a number greater than 0 and finite, got nan"),
    (lambda p: VoxelGrid(p, INF), ValueError, "argument 'voxel_size': expected a number greater than 0 and finite, got inf"),
    (lambda p: VoxelGrid(p, "1"), TypeError, "argument 'voxel_size': must be real number, not str"),
    (lambda p: VoxelGrid(p, 1.0, origin=Vec3d(NAN, 0, 0)), ValueError,
     "argument 'origin': expected finite coordinates, got Vec3d(NaN, 0, 0)"),
    (lambda p: VoxelGrid(p, 1.0, origin=(0, 0, 0)), TypeError, "argument 'origin': 'tuple' object cannot be cast as 'Vec3d'"),
    (lambda p: VoxelGrid(np.zeros((4, 2)), 1.0), TypeError, "argument 'points': expected an array of shape (n, 3), got (4, 2)"),
    (lambda p: VoxelGrid(p), TypeError, "VoxelGrid.__new__() missing 1 required positional argument: 'voxel_size'"),
    (lambda p: VecList(p).voxel_down_sample(-0.0), ValueError, "argument 'voxel_size': expected a number greater than 0"),
    (lambda p: VecList(p).farthest_point_sample(6), ValueError,
     "argument 'k': expected an integer from 0 to 5 (the number of points), got 6"),
    (lambda p: VecList(p).farthest_point_sample(-1), ValueError,
     "argument 'k': expected an integer from 0 to 5 (the number of points), got -1"),
    (lambda p: VecList(p).farthest_point_sample(1.0), TypeError,
     "argument 'k': 'float' object cannot be interpreted as an integer"),
    (lambda p: VecList(p).farthest_point_sample(2, start=5), ValueError,
     "argument 'start': expected an integer from 0 to 4 (an index of the list), got 5"),
    (lambda p: VecList(p).farthest_point_sample(2, start=-1), ValueError, "argument 'start': expected an integer from 0 to 4"),
    # With nothing to sample, start is any index the platform has: up to sys.maxsize on 32-bit ARM as on x86-64.
    (lambda p: VecList(p).farthest_point_sample(0, start=sys.maxsize + 1), ValueError,
     f"argument 'start': expected an integer from 0 to {sys.maxsize} (an index), got {sys.maxsize + 1}"),
    (lambda p: VecList(p).farthest_point_sample(2, out=np.zeros(3, dtype=np.intp)), ValueError,
     "argument 'out': expected a writable C-contiguous buffer of shape (2,)"),
    (lambda p: VecList(p).farthest_point_sample(2, out=np.zeros(2)), TypeError, "argument 'out': expected"),
])
def test_bad_arguments_are_refused_naming_them(call, error, message):
    points = [Vec3d(i, 0, 0) for i in range(5)]
    with pytest.raises(error) as raised:
        call(points)
    assert str(raised.value).startswith(message)


def plain_farthest(points, k, start=0):
    """The plain rule: every distance updated after every choice."""
    if k == 0:
        return []
    points = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    finite = np.isfinite(points).all(axis=1)
    chosen = [start]
    distance = np.full(len(points), INF)
    taken = np.zeros(len(points), dtype=bool)
    taken[start] = True
    last = start
    while len(chosen) < k:
        if finite[last]:
            d = points - points[last]
            distance = np.minimum(distance, (d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2])
        candidates = np.where(finite & ~taken, distance, -1.0)
        if candidates.max() < 0:
            break
        last = int(np.argmax(candidates))  # the first of the largest
        taken[last] = True
        chosen.append(last)
    chosen += [i for i in range(len(points)) if not finite[i] and not taken[i]][:k - len(chosen)]
    return chosen


def sampling_clouds():
    rng = np.random.default_rng(11)
    ties = rng.integers(0, 6, size=(900, 3)).astype(float)  # duplicates and equal distances everywhere
    ties[[4, 300, 777]] = [[NAN, 1, 1], [1, INF, 1], [-INF, 0, 0]]
    uniform = rng.uniform(-1, 1, size=(20000, 3))
    tile = map_cloud(5000, seed=4)
    clustered = np.concatenate([rng.normal(c, 0.01, size=(400, 3)) for c in rng.uniform(-50, 50, size=(10, 3))])
    # Nearly tied distances everywhere, which a bound off by a rounding
    # would get wrong.
    jittered = rng.integers(0, 12, size=(4000, 3)) + rng.uniform(-1e-9, 1e-9, size=(4000, 3))
    return {"ties": ties, "uniform": uniform, "tile": tile, "clustered": clustered, "jittered": jittered,
            "huge": np.array([[1e200, 0, 0], [-1e200, 0, 0], [0, 1e200, 0], [0, 0, 0], [1, 1, 1]])}


SAMPLING = sampling_clouds()


@pytest.mark.parametrize("cloud, k, start", [
    ("ties", 900, 0), ("ties", 60, 4), ("ties", 1, 7), ("ties", 0, 0), ("uniform", 700, 0), ("uniform", 50, 19999),
    ("tile", 400, 123), ("clustered", 300, 5), ("jittered", 1500, 0), ("huge", 5, 3),
])
def test_farthest_point_sample_is_the_plain_rule(cloud, k, start):
    points = SAMPLING[cloud]
    found = VecList(points).farthest_point_sample(k, start=start)
    assert found.tolist() == plain_farthest(points, k, start)
    out = np.full(k, -1, dtype=np.intp)
    assert VecList(points).farthest_point_sample(k, start=start, out=out) is out and out.tolist() == found.tolist()


def test_farthest_point_sample_of_small_lists():
    assert VecList.empty().farthest_point_sample(0).tolist() == []
    assert VecList([Vec3d(1, 2, 3)]).farthest_point_sample(0, start=sys.maxsize).tolist() == []
    assert VecList([Vec3d(1, 2, 3)]).farthest_point_sample(1).tolist() == [0]
    assert VecList([Vec3d(NAN, 0, 0), Vec3d(5, 0, 0), Vec3d(INF, 0, 0), Vec3d(1, 0, 0)]).farthest_point_sample(4).tolist() \
        == [0, 1, 3, 2]  # from a NaN point: the first finite one, then by distance, then the rest by index


def test_results_are_the_same_at_any_number_of_threads():
    script = """
    import hashlib, sys
    import numpy as np
    from tessary_py import VecList, VoxelGrid
    rng = np.random.default_rng(9)
    cloud = np.concatenate([rng.uniform(0, 1, size=(300000, 3)), rng.uniform(0, 1, size=(1000, 3)).repeat(40, axis=0)])
    cloud[::997] = np.nan
    tile = cloud * [30, 30, 5] + [512000, 5430000, 231]
    digest = hashlib.sha256()
    for points, size in ((cloud, 0.02), (tile, 0.01), (cloud, 1e-7)):
        grid = VoxelGrid(points, size)
        for part in (np.asarray(grid.centroids), grid.counts(), grid.inverse(), grid.nearest()):
            digest.update(memoryview(part).tobytes())
    digest.update(memoryview(VecList(cloud[:60000]).farthest_point_sample(3000, start=17)).tobytes())
    print(digest.hexdigest())
    """
    assert len({run_with_pool(script, threads) for threads in (1, 2, 3)}) == 1
