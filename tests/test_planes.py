"""RANSAC plane detection: VecList.segment_plane and segment_planes, and
Plane.segment and segment_all for any points.

Known planes among outliers are the oracle for what is found, Plane.fit
over the inliers for the refit, numpy for the inlier test and the RMS, and
other thread counts, other runs and the same cloud at map coordinates for
the bits."""

import itertools
import math

import numpy as np
import pytest
from conftest import run_with_pool
from tessary_py import PlaneResult, Vec3d, VecList, geometry

Plane = geometry.Plane
MAP = np.array([512000.0, 5430000.0, 231.0])


def room(n, seed=1, floor=0.2, noise=0.005):
    """A 10 x 8 x 3 m room (floor 20 % of the points, ceiling, four walls)
    with a sphere of radius 1 m in it, each point moved by `noise`."""
    rng = np.random.default_rng(seed)
    nf = int(n * floor)
    k = (n - nf) // 6
    u = rng.uniform
    parts = [
        np.c_[u(0, 10, nf), u(0, 8, nf), np.zeros(nf)],
        np.c_[u(0, 10, k), u(0, 8, k), np.full(k, 3.0)],
        np.c_[np.zeros(k), u(0, 8, k), u(0, 3, k)],
        np.c_[np.full(k, 10.0), u(0, 8, k), u(0, 3, k)],
        np.c_[u(0, 10, k), np.zeros(k), u(0, 3, k)],
    ]
    m = n - nf - 4 * k
    v = rng.normal(size=(m, 3))
    parts.append(v / np.linalg.norm(v, axis=1)[:, None] + [5, 4, 1.5])
    points = np.vstack(parts)
    return points + rng.normal(0, noise, points.shape)


def floor_and_walls(seed=2):
    """A floor (z = 0, 3000 points), two walls (x = 0 and a wall tilted
    about z, 2000 points each) and as many points again uniform in the box."""
    rng = np.random.default_rng(seed)
    floor = np.c_[rng.uniform(0, 6, 3000), rng.uniform(0, 6, 3000), np.zeros(3000)]
    wall = np.c_[np.zeros(2000), rng.uniform(0, 6, 2000), rng.uniform(0, 3, 2000)]
    s, h = rng.uniform(0, 6, 2000), rng.uniform(0, 3, 2000)
    tilted = np.c_[6 - 0.5 * s, s * math.sqrt(0.75), h]  # through (6, 0), along (-1/2, sqrt(3)/2)
    planes = np.vstack([floor, wall, tilted]) + rng.normal(0, 0.003, (7000, 3))
    outliers = rng.uniform([0, 0, 0], [6, 6, 3], (7000, 3))
    truth = [((0, 0, 1), 0.0), ((1, 0, 0), 0.0), ((math.sqrt(0.75), 0.5, 0), -6 * math.sqrt(0.75))]
    return np.vstack([planes, outliers]), truth, [range(0, 3000), range(3000, 5000), range(5000, 7000)]


def angle(a, b):
    a, b = np.asarray(a, float), np.asarray(b, float)
    return math.atan2(np.linalg.norm(np.cross(a, b)), abs(a @ b))


def as_array(v):
    return np.array([v.x, v.y, v.z])


def offsets(points, plane):
    return points @ as_array(plane.normal) + plane.distance


class TestFound:
    CLOUD, TRUTH, MEMBERS = floor_and_walls()

    @pytest.mark.platform_dependent
    @pytest.mark.parametrize("entry", ["method", "static"])
    def test_largest_plane_among_half_outliers(self, entry):
        points = self.CLOUD
        r = VecList(points).segment_plane(0.01) if entry == "method" else Plane.segment(points, 0.01)
        assert r.found and isinstance(r, PlaneResult)
        assert angle(as_array(r.plane.normal), self.TRUTH[0][0]) < 2e-3
        inliers = set(np.asarray(r.inliers).tolist())
        assert len(inliers & set(self.MEMBERS[0])) > 0.99 * 3000
        # Besides the floor only the outliers and wall points within 1 cm of it.
        assert len(inliers) - len(inliers & set(self.MEMBERS[0])) < 200

    def test_every_plane_in_turn(self):
        found = VecList(self.CLOUD).segment_planes(0.01, count=3)
        assert len(found) == 3
        for r, (normal, distance), members in zip(found, self.TRUTH, self.MEMBERS):
            assert angle(as_array(r.plane.normal), normal) < 3e-3
            sign = 1 if as_array(r.plane.normal) @ normal > 0 else -1
            assert abs(sign * r.plane.distance - distance) < 0.01
            assert len(set(np.asarray(r.inliers).tolist()) & set(members)) > 0.97 * len(members)

    def test_refit_is_plane_fit_of_the_inliers_and_rmse_its_distances(self):
        r = VecList(self.CLOUD).segment_plane(0.01, seed=5)
        inliers = np.asarray(r.inliers)
        fitted = Plane.fit(self.CLOUD[inliers])
        assert (r.plane.normal, r.plane.distance) == (fitted.normal, fitted.distance)
        assert r.inlier_count == len(inliers)
        assert np.array_equal(np.flatnonzero(np.asarray(r.mask)), inliers)
        assert np.all(np.diff(inliers) > 0)
        rms = math.sqrt(np.mean(offsets(self.CLOUD[inliers], r.plane) ** 2))
        assert r.inlier_rmse == pytest.approx(rms, rel=1e-12)

    @pytest.mark.platform_dependent
    @pytest.mark.parametrize("shift", [np.zeros(3), MAP], ids=["origin", "map"])
    def test_inliers_are_those_of_the_winning_sample_by_the_documented_test(self, shift):
        # numpy repeats the documented arithmetic: the centre of the box of
        # the points, the sample's plane in that frame, and the test.
        points = self.CLOUD + shift
        r = VecList(points).segment_plane(0.01, seed=8)
        assert len(set(r.sample)) == 3 and set(r.sample) <= set(np.asarray(r.inliers).tolist())
        lo, hi = points.min(axis=0), points.max(axis=0)
        q = points - (lo * 0.5 + hi * 0.5)
        q0, q1, q2 = q[list(r.sample)]
        e1, e2 = q1 - q0, q2 - q0
        c = np.array([e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]])
        n = c / math.sqrt((c[0] * c[0] + c[1] * c[1]) + c[2] * c[2])
        d = -((n[0] * q0[0] + n[1] * q0[1]) + n[2] * q0[2])
        within = np.abs(((n[0] * q[:, 0] + n[1] * q[:, 1]) + n[2] * q[:, 2]) + d) <= 0.01
        assert np.array_equal(np.asarray(r.mask), within)

    def test_points_that_are_not_finite_are_never_inliers(self):
        points = self.CLOUD.copy()
        points[[0, 10, 20]] = [[math.nan, 0, 0], [0, math.inf, 0], [0, 0, -math.inf]]
        r = VecList(points).segment_plane(0.01)
        assert not np.asarray(r.mask)[[0, 10, 20]].any()
        assert math.isfinite(r.plane.distance) and math.isfinite(r.inlier_rmse)

    def test_any_points_argument_reads_alike(self):
        points = self.CLOUD[:3000:2]
        expected = repr(VecList(points).segment_plane(0.01, iterations=50))
        strided = np.asfortranarray(self.CLOUD[:3000])[::2]
        for given in (points, strided, list(VecList(points))):
            assert repr(Plane.segment(given, 0.01, iterations=50)) == expected
        single = points.astype(np.float32)
        assert repr(Plane.segment(single, 0.01, iterations=50)) == \
            repr(VecList(single.astype(float)).segment_plane(0.01, iterations=50))

    def test_three_points_are_their_own_plane(self):
        r = VecList([Vec3d(0, 0, 1), Vec3d(1, 0, 1), Vec3d(0, 1, 1)]).segment_plane(0.1, iterations=5)
        assert r.found and r.inlier_count == 3 and r.iterations == 5 and r.degenerate == 0
        assert (r.plane.normal, r.plane.distance) == (Vec3d(0, 0, 1), -1.0)


class TestDegenerate:
    def test_collinear_points_find_nothing(self):
        line = np.c_[np.arange(50.0), 2 * np.arange(50.0), np.zeros(50)]
        r = VecList(line).segment_plane(0.1, iterations=100)
        assert (r.found, r.plane, r.inlier_count, r.iterations, r.degenerate) == (False, None, 0, 100, 100)
        assert len(r.inliers) == 0 and not np.asarray(r.mask).any() and math.isnan(r.inlier_rmse)
        assert repr(r) == "PlaneResult(found=False, inlier_count=0, inlier_rmse=nan, iterations=100, degenerate=100)"

    def test_coincident_samples_are_skipped_and_counted(self):
        # 40 copies of one point and 10 points of a plane: most samples hold
        # two copies.
        points = np.vstack([np.tile([1.0, 2.0, 0.0], (40, 1)),
                            np.c_[np.arange(10.0), np.arange(10.0) % 3, np.zeros(10)]])
        r = VecList(points).segment_plane(0.01, iterations=300)
        assert r.found and r.inlier_count == 50
        # A sample holds at most one copy with probability
        # (C(10, 3) + 40 C(10, 2)) / C(50, 3), about 0.1.
        assert 0.8 * 300 < r.degenerate < 300

    def test_none_found_ends_the_extraction(self):
        line = np.c_[np.arange(20.0), np.zeros(20), np.zeros(20)]
        assert VecList(line).segment_planes(0.1, iterations=10) == []


class TestSeveral:
    POINTS = room(60000, seed=4)

    def test_room_surfaces_in_turn_with_indices_into_the_cloud(self):
        found = VecList(self.POINTS).segment_planes(0.02, count=5)
        assert len(found) == 5
        assert angle(as_array(found[0].plane.normal), (0, 0, 1)) < 1e-3  # the floor is the largest
        normals = sorted(tuple(np.round(np.abs(as_array(r.plane.normal)))) for r in found)
        assert normals == [(0, 0, 1)] * 2 + [(0, 1, 0)] + [(1, 0, 0)] * 2
        assert all(r.inlier_count > 0.97 * 8000 for r in found)
        seen = np.concatenate([np.asarray(r.inliers) for r in found])
        assert len(np.unique(seen)) == len(seen)  # each point in at most one plane
        for r in found:
            idx = np.asarray(r.inliers)
            fitted = Plane.fit(self.POINTS[idx])
            assert (r.plane.normal, r.plane.distance) == (fitted.normal, fitted.distance)
            assert len(r.mask) == len(self.POINTS) and np.asarray(r.mask).sum() == r.inlier_count
            assert set(r.sample) <= set(idx.tolist())  # the winning sample, in the cloud's indices
        # The first run is segment_plane's.
        assert repr(found[0]) == repr(VecList(self.POINTS).segment_plane(0.02))

    def test_min_inliers_stops_before_a_smaller_plane(self):
        counts = [r.inlier_count for r in VecList(self.POINTS).segment_planes(0.02, count=7)]
        limit = counts[4] + 1
        stopped = VecList(self.POINTS).segment_planes(0.02, min_inliers=limit)
        assert [r.inlier_count for r in stopped] == list(itertools.takewhile(lambda c: c >= limit, counts))
        # By default a plane needs 1 % of the points (600 here).
        default = VecList(self.POINTS).segment_planes(0.02)
        more = VecList(self.POINTS).segment_planes(0.02, min_inliers=1, count=len(default) + 1)
        assert [repr(r) for r in more[:len(default)]] == [repr(r) for r in default]
        assert min(r.inlier_count for r in default) >= 600 and more[-1].inlier_count < 600
        first_two = Plane.segment_all(self.POINTS, 0.02, count=2)
        assert [repr(r) for r in first_two] == [repr(r) for r in VecList(self.POINTS).segment_planes(0.02)[:2]]


M64 = (1 << 64) - 1


def splitmix(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return z ^ (z >> 31)


def drawn(seed, stream, trial, n):
    """The documented sample of a trial: three hashed counters scaled to
    below n, n - 1 and n - 2, then moved past the indices already taken."""
    h = splitmix((seed + 0x9E3779B97F4A7C15) & M64)
    h = splitmix((h + (stream + 1) * 0xD1B54A32D192ED03) & M64)
    h = splitmix((h + (trial + 1) * 0xAEF17502108EF2D9) & M64)
    a, b, c = (splitmix((h + (k + 1) * 0x9E3779B97F4A7C15) & M64) * (n - k) >> 64 for k in range(3))
    b += b >= a
    c += c >= min(a, b)
    c += c >= max(a, b)
    return a, b, c


@pytest.mark.platform_dependent
def test_the_first_sample_of_the_most_inliers_wins():
    # Two parallel grids of 100 points each: half the samples' planes hold
    # 100 inliers, so the earliest of them must win, whatever the threads.
    grid = np.array([(x, y) for x in range(10) for y in range(10)], float)
    points = np.vstack([np.c_[grid, np.zeros(100)], np.c_[grid + 0.5, np.full(100, 4.0)]])
    r = VecList(points).segment_plane(0.01, iterations=64, seed=12345)
    q = points - (points.min(axis=0) * 0.5 + points.max(axis=0) * 0.5)
    counts = []
    for t in range(64):
        a, b, c = (q[i] for i in drawn(12345, 0, t, len(points)))
        n = np.cross(b - a, c - a)
        if n @ n <= 2.0**-40 * ((b - a) @ (b - a)) * ((c - a) @ (c - a)):
            counts.append(-1)
            continue
        n = n / math.sqrt(n @ n)
        counts.append(int(np.count_nonzero(np.abs(q @ n - n @ a) <= 0.01)))
    assert max(counts) == 100 and counts.count(100) > 1
    assert r.sample == drawn(12345, 0, counts.index(100), len(points))
    assert r.degenerate == counts.count(-1) and r.inlier_count == 100


class TestReproducible:
    @pytest.mark.platform_dependent
    def test_map_coordinates_give_the_planes_moved(self):
        points = room(40000, seed=6)
        here = VecList(points).segment_planes(0.02, count=3)
        there = VecList(points + MAP).segment_planes(0.02, count=3)
        extent = np.ptp(points, axis=0).max()
        for a, b in zip(here, there):
            assert np.array_equal(np.asarray(a.inliers), np.asarray(b.inliers))
            assert angle(as_array(a.plane.normal), as_array(b.plane.normal)) < 1e-9
            # The offsets of the cloud's points from either plane: the
            # offset field itself is ill-conditioned 5e6 m from the origin.
            members = points[np.asarray(a.inliers)]
            here_offsets = offsets(members, a.plane)
            there_offsets = offsets(members + MAP, b.plane)
            assert np.abs(there_offsets - here_offsets).max() < 1e-9 * extent

    def test_confidence_stops_early_at_the_first_trials_answer(self):
        points = room(20000, seed=7)
        early = VecList(points).segment_plane(0.02, iterations=5000, confidence=0.999)
        assert early.iterations < 5000
        w = early.inlier_count / len(points)
        assert early.iterations >= math.log(1 - 0.999) / math.log(1 - w ** 3)
        # Stopping early is taking only the first trials.
        plain = VecList(points).segment_plane(0.02, iterations=early.iterations)
        assert repr(plain) == repr(early)

    def test_seed_chooses_the_samples(self):
        points = room(5000, seed=9)
        runs = {repr(VecList(points).segment_plane(0.02, iterations=20, seed=s)) for s in (0, 1, 2**64 - 1)}
        assert len(runs) == 3
        assert repr(VecList(points).segment_plane(0.02, iterations=20)) == \
            repr(VecList(points).segment_plane(0.02, iterations=20, seed=0))

    def test_same_bits_at_any_thread_count_and_run(self):
        script = """
            import hashlib, numpy as np
            from tessary_py import VecList, geometry
            rng = np.random.default_rng(3)
            p = np.vstack([np.c_[rng.uniform(0, 9, 30000), rng.uniform(0, 9, 30000), np.zeros(30000)],
                           rng.uniform(0, 9, (30000, 3))]) + rng.normal(0, 0.005, (60000, 3)) + [5e5, 5e6, 50]
            for r in [VecList(p).segment_plane(0.02, confidence=0.99)] + VecList(p).segment_planes(0.02, count=3):
                print(r.plane.normal.x.hex(), r.plane.normal.y.hex(), r.plane.normal.z.hex(),
                      r.plane.distance.hex(), r.inlier_rmse.hex(), r, hashlib.sha1(np.asarray(r.inliers)).hexdigest())
        """
        outputs = [run_with_pool(script, threads) for threads in (1, 2, 3, 2)]
        assert len(set(outputs)) == 1, outputs


class TestResultClass:
    def test_read_only_and_not_constructible(self):
        r = VecList([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0)]).segment_plane(0.1)
        for name in ("found", "plane", "inliers", "mask", "inlier_count", "inlier_rmse", "iterations", "degenerate"):
            with pytest.raises(AttributeError):
                setattr(r, name, None)
        with pytest.raises(TypeError, match="cannot create 'tessary_py.PlaneResult' instances"):
            PlaneResult()
        assert repr(r) == ("PlaneResult(found=True, normal=Vec3d(0, 0, 1), distance=-0.0, inlier_count=3, "
                           "inlier_rmse=0.0, iterations=1000, degenerate=0)")


THREE = [Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0)]
REFUSALS = [
    (dict(distance=0.0), ValueError, "argument 'distance': expected a number greater than 0 and finite, got 0.0"),
    (dict(distance=-1), ValueError, "argument 'distance': expected a number greater than 0 and finite, got -1.0"),
    (dict(distance=math.nan), ValueError, "argument 'distance': expected a number greater than 0 and finite, got nan"),
    (dict(distance=math.inf), ValueError, "argument 'distance': expected a number greater than 0 and finite, got inf"),
    (dict(distance="1"), TypeError, "argument 'distance': must be real number, not str"),
    (dict(iterations=0), ValueError, "argument 'iterations': expected an integer of at least 1, got 0"),
    (dict(iterations=-3), ValueError, "argument 'iterations': expected an integer of at least 1, got -3"),
    (dict(iterations=1.5), TypeError, "argument 'iterations': 'float' object cannot be interpreted as an integer"),
    (dict(confidence=0.0), ValueError,
     "argument 'confidence': expected a number greater than 0 and less than 1, got 0.0"),
    (dict(confidence=1), ValueError, "argument 'confidence': expected a number greater than 0 and less than 1, got 1.0"),
    (dict(confidence=math.nan), ValueError,
     "argument 'confidence': expected a number greater than 0 and less than 1, got nan"),
    (dict(seed=-1), ValueError, "argument 'seed': expected an integer from 0 to 2**64 - 1, got -1"),
    (dict(seed=2**64), ValueError, "argument 'seed': expected an integer from 0 to 2**64 - 1, got 18446744073709551616"),
    (dict(seed="0"), TypeError, "argument 'seed': 'str' object cannot be interpreted as an integer"),
]
EXTRACTION_REFUSALS = [
    (dict(count=0), ValueError, "argument 'count': expected an integer of at least 1, got 0"),
    (dict(min_inliers=0), ValueError, "argument 'min_inliers': expected an integer of at least 1, got 0"),
    (dict(min_inliers=None, count=2.0), TypeError, "argument 'count': 'float' object cannot be interpreted as an integer"),
]


def call(entry, points, **kwargs):
    distance = kwargs.pop("distance", 0.1)
    if entry == "segment_plane":
        return VecList(points).segment_plane(distance, **kwargs)
    if entry == "segment_planes":
        return VecList(points).segment_planes(distance, **kwargs)
    if entry == "segment":
        return Plane.segment(points, distance, **kwargs)
    return Plane.segment_all(points, distance, **kwargs)


ENTRIES = ["segment_plane", "segment_planes", "segment", "segment_all"]


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("kwargs, error, message", REFUSALS, ids=[m for _, _, m in REFUSALS])
def test_refusals(entry, kwargs, error, message):
    with pytest.raises(error) as caught:
        call(entry, THREE, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("entry", ["segment_planes", "segment_all"])
@pytest.mark.parametrize("kwargs, error, message", EXTRACTION_REFUSALS, ids=[m for _, _, m in EXTRACTION_REFUSALS])
def test_extraction_refusals(entry, kwargs, error, message):
    with pytest.raises(error) as caught:
        call(entry, THREE, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("entry", ENTRIES)
def test_too_few_points(entry):
    argument = "self" if entry.startswith("segment_plane") else "points"
    for points in (THREE[:2], np.zeros((0, 3))):
        with pytest.raises(ValueError) as caught:
            call(entry, points)
        assert str(caught.value) == f"argument '{argument}': a plane needs at least 3 points, got {len(points)}"


def test_points_of_the_wrong_shape():
    with pytest.raises(TypeError, match=r"argument 'points': expected an array of shape \(n, 3\), got \(4, 2\)"):
        Plane.segment(np.zeros((4, 2)), 0.1)
