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

pytestmark = pytest.mark.platform_dependent

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


def brute_nearest(points, queries):
    """(index, squared distance) of each query's nearest point, ties to the
    lower index, squares as Vec3d.distance_squared computes them."""
    out = []
    for q in queries:
        d = points - q
        s = (d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]
        i = int(np.argmin(s))
        out.append((i, float(s[i])))
    return out


class TestOrientation:
    def test_towards_and_along_flip_by_the_sign_of_the_product(self):
        rng = np.random.default_rng(6)
        points, normals = rng.standard_normal((500, 3)), rng.standard_normal((500, 3))
        normals[::50] = NAN
        tree = KdTree(points)
        view, views = Vec3d(3, -2, 1), rng.standard_normal((500, 3))
        for got, products in ((tree.orient_normals_towards(normals, view),
                               np.sum(normals * ([3, -2, 1] - points), axis=1)),
                              (tree.orient_normals_towards(normals, views), np.sum(normals * (views - points), axis=1)),
                              (tree.orient_normals_along(normals, Vec3d(0, 0, 1)), normals[:, 2])):
            want = np.where((products < 0)[:, None], -normals, normals)
            assert np.asarray(got).tobytes() == want.tobytes()
        in_place = normals.copy()
        assert tree.orient_normals_along(in_place, Vec3d(1, 0, 0), out=in_place) is in_place
        assert np.array_equal(in_place[:, 0] >= 0, ~np.isnan(in_place[:, 0]) & (in_place[:, 0] >= 0))

    @pytest.mark.parametrize("shape", ["sphere", "torus"])
    def test_consistently_on_a_closed_surface(self, shape):
        rng = np.random.default_rng(7)
        u, v = rng.uniform(0, 2 * np.pi, (2, 6000))
        if shape == "sphere":
            d = rng.standard_normal((6000, 3))
            points = 2 * d / np.linalg.norm(d, axis=1)[:, None]
            outward = points
        else:
            ring = np.column_stack([np.cos(u), np.sin(u), np.zeros_like(u)])
            points = 3 * ring + np.column_stack([np.cos(v) * ring[:, 0], np.cos(v) * ring[:, 1], np.sin(v)])
            outward = points - 3 * ring
        points += rng.normal(scale=0.003, size=points.shape)
        tree = KdTree(points)
        normals = np.asarray(tree.normals(12)) * rng.choice([-1.0, 1.0], (6000, 1))
        normals[0] *= np.sign(normals[0] @ outward[0])  # the root decides
        oriented = np.asarray(tree.orient_normals_consistently(normals, 10))
        assert np.all(np.sum(oriented * outward, axis=1) > 0)

    def test_each_part_is_decided_by_its_lowest_index(self):
        plane = np.array([(x, y, 0.0) for x in range(6) for y in range(6)])
        points = np.vstack([plane, plane + [100, 0, 0]])
        normals = np.tile([0.0, 0.0, 1.0], (72, 1))
        normals[1::2] *= -1
        normals[36] = [0, 0, -1]
        normals[40] = NAN
        got = np.asarray(KdTree(points).orient_normals_consistently(normals, 4))
        assert np.all(got[:36, 2] == 1) and np.all(got[[i for i in range(36, 72) if i != 40], 2] == -1)
        assert np.all(np.isnan(got[40]))

    def test_the_same_at_any_pool_size(self):
        script = """
            import hashlib
            import numpy as np
            from tessary_py import KdTree
            rng = np.random.default_rng(2)
            d = rng.standard_normal((40_000, 3))
            points = d / np.linalg.norm(d, axis=1)[:, None]
            tree = KdTree(points)
            normals = tree.normals(10)
            print(hashlib.sha256(bytes(memoryview(tree.orient_normals_consistently(normals, 8)))).hexdigest())
        """
        assert len({run_with_pool(script, threads) for threads in (1, 2, 3)}) == 1


class TestOutliers:
    def test_statistical_against_the_rule(self):
        rng = np.random.default_rng(8)
        points = rng.standard_normal((800, 3))
        points[::97] *= 6
        points[5] = NAN
        tree = KdTree(points)
        for k, ratio in ((4, 1.0), (10, 0.5), (1, 2.0), (10, -0.5)):
            mask = np.asarray(tree.statistical_inliers(k, ratio))
            distances = np.asarray(tree.nearest_k_each_point(k)[1])
            means = np.array([sum(row.tolist(), 0.0) / k for row in distances])
            finite = np.isfinite(points).all(axis=1)
            m = [Fraction(float(x)) for x in means[finite]]
            mean = sum(m) / len(m)
            variance = sum((x - mean) ** 2 for x in m) / (len(m) - 1)
            threshold = float(mean) + ratio * math.sqrt(float(variance))
            assert np.array_equal(mask, finite & (means <= threshold)), (k, ratio)

    def test_radius_against_the_rule(self):
        rng = np.random.default_rng(9)
        points = np.round(rng.uniform(0, 4, (600, 3)), 1)  # ties on the boundary
        tree = KdTree(points)
        for radius, least in ((0.3, 1), (0.5, 3), (0.0, 1), (1.0, 0)):
            d = np.sqrt(np.sum((points[:, None, :] - points[None, :, :]) ** 2, axis=2))
            others = np.sum(d <= radius, axis=1) - 1
            assert np.array_equal(np.asarray(tree.radius_inliers(radius, least)), others >= least), (radius, least)

    def test_as_open3d_keeps_them_where_no_distances_tie(self):
        o3d = pytest.importorskip("open3d")
        rng = np.random.default_rng(10)
        points = rng.standard_normal((5000, 3))
        cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))
        tree = KdTree(points)
        _, kept = cloud.remove_statistical_outlier(nb_neighbors=12, std_ratio=1.0)
        assert np.array_equal(np.flatnonzero(np.asarray(tree.statistical_inliers(12, 1.0))), np.sort(kept))
        _, kept = cloud.remove_radius_outlier(nb_points=5, radius=0.25)
        assert np.array_equal(np.flatnonzero(np.asarray(tree.radius_inliers(0.25, 5))), np.sort(kept))

    @pytest.mark.parametrize("call, kind, message", [
        (lambda t: t.statistical_inliers(0, 1.0), ValueError, "argument 'k': expected an integer of at least 1, got 0"),
        (lambda t: t.statistical_inliers(3, NAN), ValueError,
         "argument 'std_ratio': expected a number that is finite, got nan"),
        (lambda t: t.radius_inliers(-1.0, 2), ValueError, "argument 'radius': expected a number of at least 0, got -1.0"),
        (lambda t: t.radius_inliers(1.0, -1), OverflowError, None),
        (lambda t: t.radius_inliers(1.0, 2, out=np.zeros(3, dtype=bool)), ValueError, None),
    ])
    def test_bad_arguments(self, call, kind, message):
        with pytest.raises(kind) as info:
            call(KdTree(surface(4, 3)))
        if message is not None:
            assert str(info.value) == message


class TestDistancesBetweenClouds:
    def test_hausdorff_and_mean_distances_against_a_scan(self):
        rng = np.random.default_rng(11)
        a, b = rng.standard_normal((300, 3)), rng.standard_normal((200, 3)) + 0.2
        b[7] = [NAN, 0, 0]
        tree = KdTree(a)
        finite = [i for i in range(len(b)) if np.isfinite(b[i]).all()]
        nearest = brute_nearest(a, b[finite])
        distances = [math.sqrt(s) for _, s in nearest]
        far = max(range(len(finite)), key=lambda j: (distances[j], -finite[j]))
        assert tree.directed_hausdorff(b) == (distances[far], finite[far], nearest[far][0])
        assert tree.mean_distance(b) == float(sum(map(Fraction, distances)) / len(distances))
        assert tree.mean_distance(b, squared=True) == float(sum(Fraction(s) for _, s in nearest) / len(nearest))
        spatial = pytest.importorskip("scipy.spatial")
        assert tree.directed_hausdorff(b[finite])[0] == spatial.distance.directed_hausdorff(b[finite], a)[0]

    def test_nothing_to_measure(self):
        tree = KdTree([Vec3d(0, 0, 0)])
        d, i, j = tree.directed_hausdorff([Vec3d(NAN, 0, 0)])
        assert math.isnan(d) and (i, j) == (1, 1) and math.isnan(tree.mean_distance([]))
        assert math.isnan(KdTree([]).mean_distance([Vec3d(0, 0, 0)]))
