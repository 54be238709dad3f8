"""tessary_py_dask gives, bit for bit, what one VecList or KdTree over the
whole cloud gives, on clouds built so that neighbourhoods and voxels meet
the tile edges: points on the edges, clusters split by them, duplicates
across them, NaN and infinite points, and a tile at map coordinates."""

import os
import signal
import threading
import time

import numpy as np
import pytest

pytest.importorskip("dask", reason="dask is not installed")
pytest.importorskip("dask.distributed", reason="dask.distributed is not installed")
import dask  # noqa: E402
import dask.array as da  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

import tessary_py as tp  # noqa: E402
import tessary_py_dask as td  # noqa: E402

pytestmark = pytest.mark.interpreter_independent

TILE = 1.0


def seam_cloud(seed=5, offset=(0.0, 0.0, 0.0)):
    """About 4000 points on a wavy sheet over [-2, 2)², with every tile edge of a grid of TILE
    (and of a voxel grid of 0.25) crossed by something."""
    rng = np.random.default_rng(seed)
    uv = rng.uniform(-2, 2, (3000, 2))
    sheet = np.c_[uv, 0.2 * np.sin(2 * uv[:, 0]) + 0.01 * rng.standard_normal(3000)]
    # Clusters centred on edges and corners of tiles, so that each is split.
    centres = np.array([[0.0, 0.0, 0.0], [1.0, -1.0, 0.1], [-1.0, 0.5, 0.0], [1.0, 1.0, 0.0]])
    clusters = (centres[:, None, :] + 0.03 * rng.standard_normal((4, 150, 3))).reshape(-1, 3)
    # Points exactly on the edges and voxel faces, and duplicates of them.
    on_edges = np.round(rng.uniform(-2, 2, (200, 3)) * 4) / 4
    on_edges[:, 2] *= 0.05
    points = np.concatenate([sheet, clusters, on_edges, on_edges[:50], rng.uniform(-2, 2, (30, 3)) * [1, 1, 4]])
    points = points[rng.permutation(len(points))] + np.array(offset)
    points[[7, 700]] = np.nan
    points[1500, 1] = np.inf
    points[2000, 0] = -np.inf
    return points


def bits_equal(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a.view(np.uint8), b.view(np.uint8))


def nan_equal(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    same = a.view(np.uint64) == b.view(np.uint64)
    return a.shape == b.shape and bool(np.all(same | (np.isnan(a) & np.isnan(b))))


def finite(points):
    return np.where(np.isfinite(points), points, 0.5)


CLOUD = seam_cloud()
CHUNKS = (1000, 1, 1500, 1800)  # a one-row chunk among them
ARRAY = da.from_array(CLOUD, chunks=(CHUNKS + (len(CLOUD) - sum(CHUNKS),), 3))
TREE = tp.KdTree(CLOUD)


@pytest.fixture(scope="module")
def tiled():
    with dask.config.set(scheduler="threads"):
        yield td.tile(ARRAY, TILE)


@pytest.fixture(autouse=True)
def threads():
    with dask.config.set(scheduler="threads"):
        yield


def test_tiles_keep_every_point_and_its_index(tiled):
    parts = dask.compute(*tiled.tiles)
    indices = np.concatenate([p[0] for p in parts])
    assert np.array_equal(np.sort(indices), np.arange(len(CLOUD)))
    for idx, pts in parts:
        assert np.all(np.diff(idx) > 0)
        assert bits_equal(pts, CLOUD[idx])
    assert tiled.counts == tuple(len(p[0]) for p in parts)


@pytest.mark.parametrize("size, origin, per_tile, offset", [
    (0.25, None, 4, (0, 0, 0)),            # tile edges on the points placed on quarters
    (0.25, (0.125, 0, -0.1), 3, (0, 0, 0)),
    (0.1, None, 7, (0, 0, 0)),             # 0.1 not a double: edges at m * 0.7 exactly
    (0.01, (512000.0, 5430000.0, 231.0), 150, (512000.0, 5430000.0, 231.0)),
    (0.3, None, None, (0, 0, 0)),          # tiles chosen from the bounds
])
def test_voxel_down_sample(size, origin, per_tile, offset):
    cloud = seam_cloud(offset=offset)
    got = td.voxel_down_sample(da.from_array(cloud, chunks=(1100, 3)), size, origin=origin, voxels_per_tile=per_tile)
    grid = tp.VoxelGrid(cloud, size, origin=None if origin is None else tp.Vec3d(*origin))
    assert bits_equal(got.centroids, np.asarray(grid.centroids))
    for name in ("counts", "inverse", "nearest"):
        assert np.array_equal(getattr(got, name), np.asarray(getattr(grid, name)())), name


QUERIES = np.concatenate([
    np.random.default_rng(9).uniform(-2.5, 2.5, (300, 3)),
    CLOUD[[0, 1, 2, 3]],                    # points of the cloud, duplicates among them
    [[0.0, 0.0, 0.0], [1.0, 1.0, 0.0], [0.5, 0.5, 0.5]],   # on edges and corners
    [[np.nan, 0.0, 0.0], [np.inf, 0.0, 0.0]],
])


@pytest.mark.parametrize("k, max_distance", [(1, None), (6, None), (6, 0.05), (400, None)])
def test_nearest_k(tiled, k, max_distance):
    indices, distances = td.nearest_k(tiled, QUERIES, k, max_distance=max_distance, batch=100)
    expected = TREE.nearest_k_each(QUERIES, k, max_distance=max_distance)
    assert np.array_equal(indices, np.asarray(expected[0]))
    assert nan_equal(distances, expected[1])
    if k == 1:
        one = td.nearest(tiled, QUERIES)
        assert np.array_equal(one[0], np.asarray(TREE.nearest_each(QUERIES)[0]))


@pytest.mark.parametrize("k, radius, margin", [(12, None, None), (12, None, 0.01), (None, 0.15, None), (8, 0.1, 0.02)])
def test_normals(tiled, k, radius, margin):
    assert nan_equal(td.normals(tiled, k, radius=radius, margin=margin), TREE.normals(k, radius=radius))


@pytest.mark.parametrize("k, ratio, margin", [(10, 1.0, None), (4, 0.5, 0.001)])
def test_statistical_inliers(tiled, k, ratio, margin):
    got = td.statistical_inliers(tiled, k, ratio, margin=margin)
    assert np.array_equal(got, np.asarray(TREE.statistical_inliers(k, ratio)))


MAP = (512000.0, 5430000.0, 231.0)


@pytest.fixture(scope="module")
def tiled_far():
    """The seam cloud at map coordinates, cut on tiles whose edges meet its clusters."""
    cloud = seam_cloud(offset=MAP)
    with dask.config.set(scheduler="threads"):
        yield cloud, tp.KdTree(cloud), td.tile(da.from_array(cloud, chunks=(1300, 3)), TILE, origin=MAP)


@pytest.mark.parametrize("k, radius, margin", [
    (12, None, None), (12, None, 0.004),   # a margin narrower than most neighbourhoods: asked again
    (3, None, 0.0),                        # no margin: every edge point asked again
    (None, 0.12, None), (40, 0.2, 0.03),
])
def test_normals_at_map_coordinates(tiled_far, k, radius, margin):
    cloud, tree, tiled = tiled_far
    assert nan_equal(td.normals(tiled, k, radius=radius, margin=margin), tree.normals(k, radius=radius))


@pytest.mark.parametrize("k, ratio, margin", [(10, 1.0, None), (6, 0.2, 0.002), (30, 2.0, 0.0)])
def test_statistical_inliers_at_map_coordinates(tiled_far, k, ratio, margin):
    cloud, tree, tiled = tiled_far
    got = td.statistical_inliers(tiled, k, ratio, margin=margin)
    assert np.array_equal(got, np.asarray(tree.statistical_inliers(k, ratio)))


def test_voxels_of_a_cloud_with_no_finite_point():
    for cloud in (np.empty((0, 3)), np.full((5, 3), np.nan)):
        got = td.voxel_down_sample(da.from_array(cloud, chunks=(2, 3)), 0.5)
        grid = tp.VoxelGrid(cloud, 0.5)
        assert got.centroids.shape == (0, 3) and got.counts.size == 0 and got.nearest.size == 0
        assert np.array_equal(got.inverse, np.asarray(grid.inverse()))


def brute_kth(points, queries, k):
    d = np.sqrt(((queries[:, None, :] - points[None, :, :]) ** 2).sum(axis=2))
    return np.sort(d, axis=1)[:, k - 1]


def grid_corners(n=6):
    axis = np.arange(n) * 0.5
    return np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), axis=-1).reshape(-1, 3)


@pytest.mark.parametrize("points, k, scale", [
    (np.random.default_rng(1).uniform(0, 4, (1500, 3)), 8, 0.5),
    (finite(seam_cloud())[:1500], 12, 0.05),                                 # a sheet: cubes hold few
    (finite(seam_cloud())[:1500] + MAP, 12, 0.05),                            # its coordinates rounded coarsely
    (np.repeat(np.random.default_rng(2).uniform(0, 1, (40, 3)), 5, axis=0), 5, 0.01),   # duplicates
    (grid_corners() + [512000.0, 5430000.0, 231.0], 8, 2.0),                  # points on the cubes' faces
    (np.random.default_rng(3).uniform(0, 1, (20, 3)), 30, 1.0),               # fewer points than k
])
def test_kth_distance_bounds_are_never_below_the_true_distance(points, k, scale):
    from tessary_py_dask import _kth_bounds

    queries = points[::3]
    bounds = _kth_bounds(points, queries, k, scale)
    if len(points) < k:
        assert np.all(np.isinf(bounds))
    else:
        assert np.all(bounds >= brute_kth(points, queries, k))
        assert np.isfinite(bounds).mean() > 0.5   # and most are bounded, or nothing is saved


def test_halo_takes_every_point_in_each_box(tiled):
    from tessary_py_dask import _box, _halo

    cloud = tiled
    parts = dask.compute(*cloud.tiles)
    for u in cloud.occupied[::5]:
        low, high = _box(cloud, u)
        boxes = [_box(cloud, t) for t in cloud.occupied if t != u]
        for reach in (0.0, 0.05, 0.6, 1.5):   # up to past the next tile
            lows = np.stack([b[0] - reach for b in boxes])
            highs = np.stack([b[1] + reach for b in boxes])
            pieces = _halo(parts[u], low, high, reach, lows, highs)
            idx, pts = parts[u]
            for (got_idx, got_pts), lo, hi in zip(pieces, lows, highs):
                inside = np.all((pts >= lo) & (pts <= hi), axis=1)
                assert np.array_equal(got_idx, idx[inside]) and bits_equal(got_pts, pts[inside])


def test_radius_inliers(tiled):
    assert np.array_equal(td.radius_inliers(tiled, 0.05, 3), np.asarray(TREE.radius_inliers(0.05, 3)))


def test_distances_between_clouds(tiled):
    other = seam_cloud(seed=11)[:2500] * 1.1
    source = da.from_array(other, chunks=(600, 3))
    indices, distances = td.cloud_distances(tiled, source)
    expected = TREE.nearest_each(other)
    assert np.array_equal(indices, np.asarray(expected[0])) and nan_equal(distances, expected[1])
    assert nan_equal(td.directed_hausdorff(tiled, source), TREE.directed_hausdorff(other))
    for squared in (False, True):
        assert nan_equal(td.mean_distance(tiled, source, squared=squared), TREE.mean_distance(other, squared=squared))


@pytest.mark.parametrize("points", [
    finite(CLOUD) + [512000.0, 5430000.0, 231.0],       # map coordinates
    np.array([[1e308, 1, 0], [1e308, 2, 0], [-1e300, 3, 0]]),   # a sum beyond the doubles
    np.array([[1e-320, -0.0, 5e-324], [3e-310, 0.0, 1e300]]),   # subnormals, signed zeros
    CLOUD,                                              # NaN and infinities
    np.array([[np.inf, 1, 2], [-np.inf, 1, 2]]),
    np.array([[np.inf, 1, 2], [3, 1, 2]]),
    np.empty((0, 3)),
    np.array([[1.0, 2.0, 3.0]]),
], ids=["map", "overflow", "tiny", "nan", "both-infinities", "infinity", "empty", "one"])
def test_centroid_and_covariance(points):
    chunked = da.from_array(points, chunks=(max(1, len(points) // 3), 3))
    whole = tp.VecList(points)
    assert nan_equal(td.centroid(chunked), whole.centroid().to_array())
    for ddof in (None, 1):
        assert nan_equal(td.covariance(chunked, ddof=ddof), whole.covariance(ddof=ddof))


@pytest.mark.parametrize("call, message", [
    (lambda: td.tile(ARRAY.rechunk((1000, 2)), 1.0), "argument 'points': expected chunks that span the three columns"),
    (lambda: td.tile(da.zeros((10, 2), chunks=5), 1.0), "argument 'points': expected an array of shape (n, 3)"),
    (lambda: td.centroid(np.zeros(6)), "argument 'points': expected an array of shape (n, 3), got (6,)"),
    (lambda: td.tile(ARRAY, float("nan")), "argument 'tile_size'"),
    (lambda: td.tile(ARRAY, 0.0), "argument 'tile_size'"),
    (lambda: td.tile(ARRAY, 1e-6), "argument 'tile_size': 1e-06 cuts the cloud into more than"),
    (lambda: td.tile(ARRAY, 1.0, origin=(0, float("inf"), 0)), "argument 'origin'"),
    (lambda: td.voxel_down_sample(ARRAY, -1.0), "argument 'voxel_size'"),
    (lambda: td.voxel_down_sample(ARRAY, 0.5, voxels_per_tile=0), "argument 'voxels_per_tile'"),
    (lambda: td.centroid(ARRAY.rechunk((1000, 1))), "argument 'points': expected chunks"),
    (lambda: td.covariance(ARRAY, ddof=-1), "argument 'ddof'"),
])
def test_bad_arguments(call, message):
    with pytest.raises(ValueError) as error:
        call()
    assert message in str(error.value)


@pytest.mark.parametrize("call, message", [
    (lambda c: td.normals(c, 5, margin=float("nan")), "argument 'margin'"),
    (lambda c: td.normals(c, 5, margin=float("inf")), "argument 'margin'"),
    (lambda c: td.normals(c), "argument 'k'"),
    (lambda c: td.normals(c, 0), "argument 'k'"),
    (lambda c: td.normals(c, radius=-1.0), "argument 'radius'"),
    (lambda c: td.nearest_k(c, QUERIES, 0), "argument 'k'"),
    (lambda c: td.nearest_k(c, QUERIES[:, :2], 1), "argument 'queries'"),
    (lambda c: td.nearest(c, QUERIES, max_distance=float("nan")), "argument 'max_distance'"),
    (lambda c: td.statistical_inliers(c, 3, float("nan")), "argument 'std_ratio'"),
    (lambda c: td.radius_inliers(c, 0.1, -1), "argument 'min_neighbours'"),
])
def test_bad_arguments_of_queries(tiled, call, message):
    with pytest.raises(ValueError, match=message):
        call(tiled)


def slow_copy(block):
    time.sleep(0.25)
    return block.copy()


def test_worker_processes_and_a_lost_worker():
    """On two worker processes, one killed while the tiles are being made: Dask computes its
    tasks again elsewhere, and every answer is the one of a single machine."""
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        before = set(client.run(os.getpid).values())
        victim = max(before)
        slow = da.map_blocks(slow_copy, da.from_array(CLOUD, chunks=(700, 3)), dtype=np.float64)
        killer = threading.Timer(0.4, os.kill, (victim, signal.SIGKILL))
        killer.start()
        try:
            tiled = td.tile(slow, 2 * TILE)   # 2 x 2 x 8 tiles: a task's overhead on a cluster is ms
        finally:
            killer.join()
        normals = td.normals(tiled, 10)
        indices, _ = td.nearest_k(tiled, QUERIES, 3)
        inliers = td.statistical_inliers(tiled, 8, 1.0, margin=0.01)
        voxels = td.voxel_down_sample(slow, 0.25, voxels_per_tile=8)
        client.wait_for_workers(2, timeout=30)
        assert victim not in set(client.run(os.getpid).values())
    assert nan_equal(normals, TREE.normals(10))
    assert np.array_equal(indices, np.asarray(TREE.nearest_k_each(QUERIES, 3)[0]))
    assert np.array_equal(inliers, np.asarray(TREE.statistical_inliers(8, 1.0)))
    grid = tp.VoxelGrid(CLOUD, 0.25)
    assert bits_equal(voxels.centroids, np.asarray(grid.centroids))
    assert np.array_equal(voxels.inverse, np.asarray(grid.inverse()))
