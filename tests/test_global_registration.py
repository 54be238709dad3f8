"""Registration with no initial pose: KdTree.fpfh against a plain Python
reading of the definition and against Open3D, Transform.ransac recovering
known motions from matches with outliers, at map coordinates, at any
thread count, and every argument it refuses."""
import math

import numpy as np
import pytest

from conftest import run_with_pool
from tessary_py import AngleRadians, KdTree, Quat, Transform, Vec3d


# ---- A plain reading of the definition, every operation in the module's order

def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def pair_features(p1, n1, p2, n2):
    d = (p2[0] - p1[0], p2[1] - p1[1], p2[2] - p1[2])
    length = math.sqrt(dot(d, d))
    if length == 0:
        return 0.0, 0.0, 0.0
    a1, a2 = dot(n1, d) / length, dot(n2, d) / length
    u, nt, phi = n1, n2, a1
    if abs(a1) < abs(a2):
        u, nt, d, phi = n2, n1, (-d[0], -d[1], -d[2]), -a2
    v = cross(d, u)
    v_length = math.sqrt(dot(v, v))
    if v_length == 0:
        return 0.0, 0.0, 0.0
    v = (v[0] / v_length, v[1] / v_length, v[2] / v_length)
    w = cross(u, v)
    return math.atan2(dot(w, nt), dot(u, nt)), dot(v, nt), phi


def bin_of(f, low, span):
    return min(max(math.floor(11 * (f - low) / span), 0), 10)


def oracle_fpfh(points, normals, radius, max_neighbours):
    points = [tuple(map(float, p)) for p in points]
    normals = [tuple(map(float, n)) for n in normals]
    n = len(points)
    usable = [all(map(math.isfinite, points[i] + normals[i])) for i in range(n)]
    neighbours = []
    for i in range(n):
        near = sorted((dot(d, d), j) for j in range(n) if j != i
                      for d in [tuple(points[j][c] - points[i][c] for c in range(3))]
                      if math.sqrt(dot(d, d)) <= radius)[:max_neighbours - 1]
        neighbours.append([(d2, j) for d2, j in near if all(map(math.isfinite, normals[j]))])
    spfh = np.zeros((n, 33))
    for i in range(n):
        if not usable[i] or not neighbours[i]:
            continue
        step = 100.0 / len(neighbours[i])
        for _, j in neighbours[i]:
            f = pair_features(points[i], normals[i], points[j], normals[j])
            spfh[i, bin_of(f[0], -math.pi, 2 * math.pi)] += step
            spfh[i, 11 + bin_of(f[1], -1.0, 2.0)] += step
            spfh[i, 22 + bin_of(f[2], -1.0, 2.0)] += step
    out = np.zeros((n, 33))
    for i in range(n):
        if not usable[i]:
            continue
        weighted = np.zeros(33)
        for d2, j in neighbours[i]:
            if d2 > 0:
                weighted += spfh[j] / d2
        for h in range(3):
            total = weighted[11 * h:11 * h + 11].sum()
            if total != 0:
                weighted[11 * h:11 * h + 11] *= 100.0 / total
        out[i] = weighted + spfh[i]
    return out


# ---- Clouds

def wavy(n, seed, noise=0.0):
    rng = np.random.default_rng(seed)
    u = rng.uniform(0, 1, (n, 2))
    z = 0.25 * np.sin(5 * u[:, 0]) * np.cos(4 * u[:, 1]) + noise * rng.standard_normal(n)
    return np.c_[u, z]


def sphere(n, seed):
    rng = np.random.default_rng(seed)
    p = rng.standard_normal((n, 3))
    p /= np.linalg.norm(p, axis=1)[:, None]
    return p, p.copy()


def normals_of(points, k=20):
    return np.asarray(KdTree(points).normals(k))


def rotation(degrees, axis):
    return Quat.from_axis_angle(Vec3d(*axis).normalize(), AngleRadians(math.radians(degrees)))


def moved_rows(t, rows):
    return np.array([list(t.apply(Vec3d(*p))) for p in rows])


class TestFeatures:
    @pytest.mark.platform_dependent
    @pytest.mark.parametrize("name, points, normals, radius, max_neighbours", [
        ("surface, radius binding", wavy(150, 1), None, 0.12, 100),
        ("surface, neighbour cap binding", wavy(150, 2, noise=0.01), None, 0.3, 12),
        ("sphere with exact normals", *sphere(120, 3), 0.5, 30),
        ("only the point itself counted", wavy(40, 4), None, 0.3, 1),
    ])
    def test_the_definition(self, name, points, normals, radius, max_neighbours):
        normals = normals_of(points) if normals is None else normals
        got = np.asarray(KdTree(points).fpfh(normals, radius, max_neighbours=max_neighbours))
        want = oracle_fpfh(points, normals, radius, max_neighbours)
        assert got.shape == (len(points), 33)
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-9)
        if max_neighbours > 1:
            # Each histogram of a defined feature sums to 200: 100 of its own, 100 of its neighbours'.
            assert np.allclose(got.reshape(-1, 3, 11).sum(2)[got.any(1)], 200.0)
        else:
            assert not got.any()

    def test_same_bits_whether_the_neighbours_are_kept_or_searched_again(self):
        # Both caps exceed every neighbourhood within the radius (some 25
        # points), so the features are the same; only the smaller lets the
        # one search keep 9000 lists of max_neighbours - 1 indices and work
        # out each pair once for both its points (past 2**24 of them the
        # tree is searched twice and every pair worked out from each side).
        points = wavy(9000, 12)
        normals = normals_of(points)
        tree = KdTree(points)
        assert int(np.asarray(tree.count_within_each_point(0.03)).max()) < 200
        kept = np.asarray(tree.fpfh(normals, 0.03, max_neighbours=200))
        searched = np.asarray(tree.fpfh(normals, 0.03, max_neighbours=2000))
        assert kept.any(axis=1).mean() > 0.99
        assert kept.tobytes() == searched.tobytes()

    def test_points_without_a_feature(self):
        points = wavy(60, 5)
        normals = normals_of(points)
        points = np.vstack([points, [[9.0, 9.0, 9.0]], points[:2] + 1e-3])
        normals = np.vstack([normals, [[0.0, 0.0, 1.0]], [[math.nan, 0.0, 0.0]], [[0.0, math.inf, 0.0]]])
        got = np.asarray(KdTree(points).fpfh(normals, 0.3))
        # The isolated point and the two with non-finite normals: zeros.
        assert not got[60:].any()
        # The others read as if the two were not there.
        np.testing.assert_array_equal(got[:60], np.asarray(KdTree(points[:61]).fpfh(normals[:61], 0.3))[:60])
        assert np.isfinite(got).all()

    def test_non_finite_point_has_zeros(self):
        points = np.vstack([wavy(30, 6), [[math.nan, 0.0, 0.0]]])
        normals = np.vstack([normals_of(points[:30]), [[0.0, 0.0, 1.0]]])
        got = np.asarray(KdTree(points).fpfh(normals, 0.4))
        assert not got[30].any()
        np.testing.assert_array_equal(got[:30], np.asarray(KdTree(points[:30]).fpfh(normals[:30], 0.4)))

    def test_out_buffer(self):
        points = wavy(80, 7)
        normals = normals_of(points)
        tree = KdTree(points)
        out = np.full((80, 33), 7.0)
        assert tree.fpfh(normals, 0.2, out=out) is out
        np.testing.assert_array_equal(out, np.asarray(tree.fpfh(normals, 0.2)))
        with pytest.raises(ValueError, match="argument 'out'"):
            tree.fpfh(normals, 0.2, out=np.zeros((80, 32)))

    def test_equal_to_open3d(self):
        o3d = pytest.importorskip("open3d")
        points, normals = sphere(3000, 8)
        got = np.asarray(KdTree(points).fpfh(normals, 0.25, max_neighbours=40))
        cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))
        cloud.normals = o3d.utility.Vector3dVector(normals)
        want = np.asarray(o3d.pipelines.registration.compute_fpfh_feature(
            cloud, o3d.geometry.KDTreeSearchParamHybrid(radius=0.25, max_nn=40)).data).T
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-9 * 100)

    @pytest.mark.parametrize("call, error, message", [
        (lambda t, n: t.fpfh(n, 0.0), ValueError, "argument 'radius': expected a number greater than 0 and finite, got 0.0"),
        (lambda t, n: t.fpfh(n, math.inf), ValueError, "argument 'radius': expected a number greater than 0 and finite, got inf"),
        (lambda t, n: t.fpfh(n, math.nan), ValueError, "argument 'radius'"),
        (lambda t, n: t.fpfh(n, "1"), TypeError, "argument 'radius'"),
        (lambda t, n: t.fpfh(n, 0.1, max_neighbours=0), ValueError, "argument 'max_neighbours': expected an integer of at least 1, got 0"),
        (lambda t, n: t.fpfh(n[:-1], 0.1), ValueError, "argument 'normals': expected one normal per point, 10 for this tree, got 9"),
        (lambda t, n: t.fpfh(n[:, :2], 0.1), TypeError, "argument 'normals'"),
    ])
    def test_refusals(self, call, error, message):
        points = wavy(10, 9)
        with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
            call(KdTree(points), normals_of(points, 5))


# ---- RANSAC

def matched_clouds(n, outliers, motion, seed, offset=(0.0, 0.0, 0.0)):
    """A source cloud, the target (the source moved, then shuffled) and
    features that match each source point to its moved self but for a
    share `outliers` of them, matched to a random target point."""
    rng = np.random.default_rng(seed)
    source = wavy(n, seed) * [4.0, 4.0, 4.0] + offset
    target_offset = np.array(offset)
    moved = moved_rows(motion, source - offset) + target_offset
    order = rng.permutation(n)
    target = moved[order]
    target_features = rng.uniform(0, 100, (n, 33))
    source_features = target_features[np.argsort(order)].copy()
    wrong = rng.choice(n, int(outliers * n), replace=False)
    source_features[wrong] = target_features[rng.integers(0, n, len(wrong))] + rng.uniform(0, 1e-3, (len(wrong), 33))
    return source, target, source_features, target_features


def rotation_angle(a, b):
    return math.degrees(2 * math.acos(min(1.0, abs(a.rotation.dot(b.rotation)))))


class TestRansac:
    @pytest.mark.platform_dependent
    @pytest.mark.parametrize("degrees, axis, outliers", [
        (30, (0, 0, 1), 0.3),
        (45, (1, 2, 3), 0.6),
        (170, (1, -1, 0.2), 0.5),
    ])
    def test_recovers_known_motions(self, degrees, axis, outliers):
        motion = Transform(rotation(degrees, axis), Vec3d(0.4, -0.3, 0.2))
        source, target, fs, ft = matched_clouds(400, outliers, motion, seed=degrees)
        r = Transform.ransac(source, target, fs, ft, 0.05, seed=1)
        assert (r.status, r.converged) == ("converged", True)
        assert rotation_angle(r.transform, motion) < 1e-6
        assert (r.transform.translation - motion.translation).magnitude() < 1e-6
        assert r.correspondences == 400 - int(outliers * 400) or abs(r.fitness - (1 - outliers)) < 0.01
        assert r.inlier_rmse < 1e-9
        assert 0 < r.iterations < 100000

    @pytest.mark.platform_dependent
    def test_map_coordinates_give_the_moved_answer(self):
        motion = Transform(rotation(35, (0, 1, 1)), Vec3d(0.3, 0.1, -0.2))
        near = matched_clouds(300, 0.4, motion, seed=4)
        far = matched_clouds(300, 0.4, motion, seed=4, offset=(512000.0, 5430000.0, 231.0))
        a = Transform.ransac(*near, 0.05)
        b = Transform.ransac(*far, 0.05)
        assert a.status == b.status == "converged"
        assert a.correspondences == b.correspondences
        # b = shift o a o shift^-1 to within the rounding of the coordinates.
        shift = Transform(translation=Vec3d(512000.0, 5430000.0, 231.0))
        expected = shift * a.transform * shift.inverse()
        assert rotation_angle(b.transform, expected) < 1e-7
        # Points of the cloud land where the moved answer puts them (the
        # translation alone carries the rotation's rounding times 5e6).
        for p in far[0][::30]:
            assert (b.transform.apply(Vec3d(*p)) - expected.apply(Vec3d(*p))).magnitude() < 1e-6

    def test_mutual_keeps_only_mutual_matches(self):
        motion = Transform(rotation(20, (1, 0, 0)), Vec3d(0.1, 0.2, 0.3))
        source, target, fs, ft = matched_clouds(200, 0.5, motion, seed=5)
        plain = Transform.ransac(source, target, fs, ft, 0.05)
        mutual = Transform.ransac(source, target, fs, ft, 0.05, mutual=True)
        assert rotation_angle(mutual.transform, motion) < 1e-6
        # The wrong matches all share targets with right ones: mutual drops them.
        assert mutual.fitness > plain.fitness
        assert mutual.correspondences == plain.correspondences

    def test_no_pose_is_said_so(self):
        # The target is the source three times larger: no sample passes the edge check.
        source = wavy(100, 6)
        features = np.random.default_rng(6).uniform(0, 1, (100, 33))
        r = Transform.ransac(source, source * 3, features, features, 0.01, max_iterations=2000)
        assert (r.status, r.converged, r.correspondences, r.iterations) == ("no_pose", False, 0, 2000)
        assert all(math.isnan(x) for x in r.transform.translation)
        with pytest.raises(ValueError, match="argument 'initial'"):
            Transform.icp(source, source * 3, 0.1, initial=r.transform)

    def test_max_iterations_without_confidence(self):
        motion = Transform(rotation(30, (0, 0, 1)), Vec3d(0, 0, 0))
        source, target, fs, ft = matched_clouds(300, 0.9, motion, seed=7)
        r = Transform.ransac(source, target, fs, ft, 0.05, max_iterations=3)
        assert r.iterations == 3
        assert r.status in ("max_iterations", "no_pose") and not r.converged

    def test_seed_chooses_the_samples(self):
        motion = Transform(rotation(30, (0, 0, 1)), Vec3d(0, 0, 0))
        data = matched_clouds(300, 0.7, motion, seed=8)
        runs = {repr(Transform.ransac(*data, 0.05, seed=s, max_iterations=1)) for s in (0, 1, 2, 3, 2**64 - 1)}
        assert len(runs) > 1
        assert repr(Transform.ransac(*data, 0.05)) == repr(Transform.ransac(*data, 0.05, seed=0))

    def test_same_bits_at_any_thread_count_and_run(self):
        script = """
            import hashlib, math, numpy as np
            from tessary_py import AngleRadians, KdTree, Quat, Transform, Vec3d
            rng = np.random.default_rng(3)
            u = rng.uniform(0, 1, (4000, 2))
            p = np.c_[u, 0.25 * np.sin(5 * u[:, 0]) * np.cos(4 * u[:, 1])] * 4 + [5e5, 5e6, 50]
            t = Transform(Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.5)), Vec3d(0.3, 0.2, 0.1))
            q = np.array([list(t.apply(Vec3d(*x))) for x in p]) + rng.normal(0, 0.002, p.shape)
            fs = np.asarray(KdTree(p).fpfh(KdTree(p).normals(20), 0.25))
            ft = np.asarray(KdTree(q).fpfh(KdTree(q).normals(20), 0.25))
            print(hashlib.sha1(fs).hexdigest(), hashlib.sha1(ft).hexdigest())
            r = Transform.ransac(p, q, fs, ft, 0.03, max_iterations=20000)
            print(repr(r), [x.hex() for x in r.transform.translation], [x.hex() for x in (r.transform.rotation.w, r.transform.rotation.i, r.transform.rotation.j, r.transform.rotation.k)])
        """
        outputs = [run_with_pool(script, threads) for threads in (1, 2, 3, 2)]
        assert len(set(outputs)) == 1, outputs

    def test_whole_chain_then_icp(self):
        rng = np.random.default_rng(10)
        u = rng.uniform(0, 1, (3000, 2))
        source = np.c_[u, 0.25 * np.sin(5 * u[:, 0]) * np.cos(4 * u[:, 1])] * 4
        motion = Transform(rotation(40, (0.3, 0.2, 1)), Vec3d(0.4, 0.3, -0.2))
        target = moved_rows(motion, source)
        fs = np.asarray(KdTree(source).fpfh(normals_of(source), 0.5))
        ft = np.asarray(KdTree(target).fpfh(normals_of(target), 0.5))
        first = Transform.ransac(source, target, fs, ft, 0.1, seed=2)
        assert first.status == "converged"
        assert rotation_angle(first.transform, motion) < 2
        fine = Transform.icp(source, target, 0.1, initial=first.transform)
        assert fine.converged
        assert rotation_angle(fine.transform, motion) < 1e-3

    @pytest.mark.parametrize("change, error, message", [
        ({"distance": 0.0}, ValueError, "argument 'distance': expected a number greater than 0 and finite, got 0.0"),
        ({"distance": math.inf}, ValueError, "argument 'distance': expected a number greater than 0 and finite, got inf"),
        ({"distance": "x"}, TypeError, "argument 'distance'"),
        ({"max_iterations": 0}, ValueError, "argument 'max_iterations': expected an integer of at least 1, got 0"),
        ({"confidence": 1.0}, ValueError, "argument 'confidence': expected a number greater than 0 and less than 1, got 1.0"),
        ({"confidence": 0.0}, ValueError, "argument 'confidence'"),
        ({"edge_ratio": 1.5}, ValueError, "argument 'edge_ratio': expected a number from 0 to 1, got 1.5"),
        ({"seed": -1}, ValueError, "argument 'seed'"),
        ({"source_features": np.zeros((9, 33))}, ValueError,
         "argument 'source_features': expected one row per source point, 10, got 9"),
        ({"target_features": np.zeros((10, 3))}, TypeError, "argument 'target_features'"),
        ({"source": np.zeros((2, 3)), "source_features": np.zeros((2, 33))}, ValueError,
         "argument 'source': expected at least 3 points, got 2"),
        ({"target": np.zeros((2, 3)), "target_features": np.zeros((2, 33))}, ValueError,
         "argument 'target': expected at least 3 points, got 2"),
    ])
    def test_refusals(self, change, error, message):
        arguments = {"source": wavy(10, 1), "target": wavy(10, 2), "source_features": np.zeros((10, 33)),
                     "target_features": np.zeros((10, 33)), "distance": 0.1}
        arguments.update(change)
        positional = [arguments.pop(k) for k in ("source", "target", "source_features", "target_features", "distance")]
        with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
            Transform.ransac(*positional, **arguments)
