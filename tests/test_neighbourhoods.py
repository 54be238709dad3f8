"""The neighbourhood of every point: normals, surface variation and
covariances against an exact oracle (rational covariances about the exact
mean, then numpy's eigenvectors of them), at map coordinates, on the
degenerate neighbourhoods, at every pool size, and every bad argument."""

import math
from fractions import Fraction

import numpy as np
import pytest

from conftest import run_with_pool
from tessary_py import KdTree, Vec3d

NAN = math.nan
MAP = np.array([512_000.0, 5_430_000.0, 231.0])


def surface(n, seed):
    """A wavy sheet with noise, and a bump: planes everywhere, no ties."""
    rng = np.random.default_rng(seed)
    xy = rng.uniform(-3, 3, (n, 2))
    z = 0.3 * np.sin(xy[:, 0]) * np.cos(xy[:, 1]) + 0.02 * rng.standard_normal(n)
    return np.column_stack([xy, z])


def exact_covariance(points):
    """The covariance about the exact mean, divided by n, as Fractions
    (xx, xy, xz, yy, yz, zz)."""
    cols = [[Fraction(float(p[a])) for p in points] for a in range(3)]
    n = len(points)
    means = [sum(c) / n for c in cols]
    return [sum((cols[a][i] - means[a]) * (cols[b][i] - means[b]) for i in range(n)) / n
            for a, b in ((0, 0), (0, 1), (0, 2), (1, 1), (1, 2), (2, 2))]


def oracle_normal(cov):
    c = np.array([[cov[0], cov[1], cov[2]], [cov[1], cov[3], cov[4]], [cov[2], cov[4], cov[5]]], dtype=float)
    values, vectors = np.linalg.eigh(c)
    normal = vectors[:, 0]
    lead = int(np.argmax(np.abs(normal)))
    return (normal if normal[lead] > 0 else -normal), values


NEIGHBOURHOODS = [{"k": 5}, {"k": 12}, {"radius": 0.6}, {"k": 10, "radius": 0.5}]


@pytest.mark.parametrize("around", NEIGHBOURHOODS, ids=lambda a: ",".join(f"{k}={v}" for k, v in a.items()))
def test_against_exact_covariances(around):
    points = surface(400, 1)
    tree = KdTree(points)
    normals = np.asarray(tree.normals(**around))
    covariances = np.asarray(tree.covariances(**around))
    variation = np.asarray(tree.surface_variation(**around))
    if "radius" in around:
        offsets, found = (np.asarray(a) for a in tree.within_each_point(around["radius"]))
        members = [found[offsets[i]:offsets[i + 1]][:around.get("k")] for i in range(len(points))]
    else:
        indices = np.asarray(tree.nearest_k_each_point(around["k"])[0])
        members = list(indices)
    for i in range(0, len(points), 7):
        neighbourhood = points[members[i]]
        exact = exact_covariance(neighbourhood)
        trace = float(exact[0] + exact[3] + exact[5])
        assert np.all(np.abs(covariances[i] - np.array([float(e) for e in exact])) <= 1e-13 * trace), i
        if len(neighbourhood) < 3:
            assert np.all(np.isnan(normals[i])) and math.isnan(variation[i])
            continue
        normal, values = oracle_normal(exact)
        assert abs(abs(float(normals[i] @ normal)) - 1) < 1e-12, i
        assert normals[i][np.argmax(np.abs(normals[i]))] > 0
        assert math.isclose(variation[i], values[0] / values.sum(), rel_tol=1e-9, abs_tol=1e-15)


def test_at_map_coordinates():
    # On a grid of 2**-20, so that the move is exact: the same bits.
    points = np.round(surface(3000, 2) * 2**20) / 2**20
    far = points + MAP
    assert np.array_equal(far - MAP, points)
    for around in ({"k": 16}, {"radius": 0.4}):
        for method in ("normals", "covariances", "surface_variation"):
            near_result = getattr(KdTree(points), method)(**around)
            far_result = getattr(KdTree(far), method)(**around)
            assert bytes(memoryview(near_result)) == bytes(memoryview(far_result)), (method, around)
    # Moved by an offset that rounds each coordinate: the normals of the
    # cloud as rounded there, within 1e-6 rad of those at the origin.
    moved = surface(3000, 2) + [512_000.1234567, 5_430_000.7654321, 231.3]
    back = moved - [512_000.1234567, 5_430_000.7654321, 231.3]
    a, b = np.asarray(KdTree(back).normals(16)), np.asarray(KdTree(moved).normals(16))
    angles = np.arccos(np.clip(np.abs(np.sum(a * b, axis=1)), -1, 1))
    assert np.nanmax(angles) < 1e-6


def test_degenerate_neighbourhoods():
    line = KdTree([Vec3d(t, 2 * t, -t) for t in range(10)])
    assert np.all(np.isnan(np.asarray(line.normals(4))))
    assert np.allclose(np.asarray(line.surface_variation(4)), 0.0, atol=1e-15)
    same = KdTree([Vec3d(1, 2, 3)] * 6)
    assert np.all(np.isnan(np.asarray(same.normals(4)))) and np.all(np.isnan(np.asarray(same.surface_variation(4))))
    assert np.all(np.asarray(same.covariances(4)) == 0.0)
    few = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0)])
    assert np.all(np.isnan(np.asarray(few.normals(2))))  # two points a neighbourhood
    assert np.asarray(few.normals(3)).tolist() == [[0.0, 0.0, 1.0]] * 3
    # A NaN point's own normal is NaN, and so is that of every point whose
    # neighbourhood reaches it (only once no finite point is left).
    spoiled = KdTree([Vec3d(x, y, 0) for x in range(3) for y in range(3)] + [Vec3d(NAN, 0, 0)])
    normals = np.asarray(spoiled.normals(4))
    assert np.all(np.isnan(normals[9])) and not np.any(np.isnan(normals[:9]))
    assert np.all(np.isnan(np.asarray(spoiled.normals(10))))
    assert np.asarray(KdTree([]).normals(3)).shape == (0, 3)


def test_the_same_bits_at_any_pool_size():
    script = """
        import hashlib
        import numpy as np
        from tessary_py import KdTree
        rng = np.random.default_rng(4)
        xy = rng.uniform(-20, 20, (60_000, 2))
        points = np.column_stack([xy, np.sin(xy[:, 0] / 3) + 0.01 * rng.standard_normal(60_000)]) + [5e5, 5e6, 50]
        tree = KdTree(points)
        digest = hashlib.sha256()
        for result in (tree.normals(12), tree.normals(radius=0.4), tree.surface_variation(20),
                       tree.covariances(8, radius=0.3)):
            digest.update(bytes(memoryview(result)))
        print(digest.hexdigest())
    """
    assert len({run_with_pool(script, threads) for threads in (1, 2, 3)}) == 1


@pytest.mark.parametrize("call, kind, message", [
    (lambda t: t.normals(), ValueError, "argument 'k': expected an integer of at least 1, or a radius, got neither"),
    (lambda t: t.normals(0), ValueError, "argument 'k': expected an integer of at least 1, got 0"),
    (lambda t: t.covariances(radius=-1.0), ValueError, "argument 'radius': expected a number of at least 0, got -1.0"),
    (lambda t: t.surface_variation(radius=NAN), ValueError, "argument 'radius': expected a number of at least 0, got nan"),
    (lambda t: t.normals(2.5), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    (lambda t: t.normals(3, out=np.zeros((4, 2))), ValueError,
     "argument 'out': expected a writable C-contiguous buffer of shape (4, 3) and format 'd', got a writable "
     "C-contiguous buffer of shape (4, 2) and format 'd'"),
    (lambda t: t.covariances(3, out=np.zeros((4, 6), dtype=np.float32)), TypeError, None),
])
def test_bad_arguments_are_refused_and_nothing_is_written(call, kind, message):
    tree = KdTree(surface(4, 3))
    with pytest.raises(kind) as info:
        call(tree)
    if message is not None:
        assert str(info.value) == message
    out = np.full((4, 3), 7.0)
    assert tree.normals(3, out=out) is out and not np.any(out == 7.0)
