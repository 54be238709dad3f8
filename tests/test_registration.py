"""Registration of point sets: Transform.align (the best rigid transform of
paired points) and point-to-point ICP (Transform.icp).

scipy's align_vectors is the oracle for the rotation, exact rationals for
the centroids, a brute-force scan for the correspondences, and Open3D's
registration_icp for the whole loop."""

import math
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest
from conftest import run_with_pool
from tessary_py import (
    AngleRadians,
    KdTree,
    Quat,
    RegistrationResult,
    Transform,
    Vec3d,
    VecList,
)

ROOT = Path(__file__).resolve().parent.parent
NAN, INF = math.nan, math.inf


def exact_mean(points, weights):
    """The exact weighted mean of each coordinate, rounded once."""
    total = sum(map(Fraction, weights))
    return np.array([float(sum(Fraction(w) * Fraction(x) for w, x in zip(weights, column)) / total)
                     for column in points.T])


def matrix(t):
    return np.array(t.to_matrix())


def pose(angle, axis, shift):
    return Transform(Quat.from_axis_angle(Vec3d(*axis).normalize(), AngleRadians(angle)), Vec3d(*shift))


def moved(t, points):
    m = matrix(t)
    return points @ m[:3, :3].T + m[:3, 3]


def surface(n, seed, offset=(0.0, 0.0, 0.0)):
    """A bumpy sheet of n points: no symmetry for ICP to slide along."""
    rng = np.random.default_rng(seed)
    xy = rng.uniform(-1, 1, size=(n, 2))
    z = 0.3 * np.sin(3 * xy[:, 0]) * np.cos(2 * xy[:, 1]) + 0.2 * xy[:, 0] ** 2
    return np.column_stack([xy, z]) + offset


# ---- Transform.align


@pytest.mark.parametrize("offset, weighted", [((0, 0, 0), False), ((0, 0, 0), True),
                                              ((5e5, 5e6, 120.0), False), ((5e5, 5e6, 120.0), True)])
def test_align_matches_scipy(offset, weighted):
    Rotation = pytest.importorskip("scipy.spatial.transform").Rotation
    rng = np.random.default_rng(7)
    source = rng.normal(size=(2000, 3)) * [30, 20, 5] + offset
    truth = pose(0.7, (1, -2, 0.5), (3.0, -1.0, 2.0))
    target = moved(truth, source) + rng.normal(scale=0.01, size=source.shape)
    weights = rng.uniform(0.0, 2.0, size=len(source)) if weighted else None
    t, residual = Transform.align(source, target, weights)
    w = np.ones(len(source)) if weights is None else weights
    ca, cb = exact_mean(source, w), exact_mean(target, w)
    expected, _ = Rotation.align_vectors(target - cb, source - ca, weights=w)
    got = matrix(t)
    np.testing.assert_allclose(got[:3, :3], expected.as_matrix(), rtol=0, atol=1e-12)
    # The translation takes the centroid of the source to that of the
    # target (to the rounding of rotating coordinates this large).
    np.testing.assert_allclose(got[:3, :3] @ ca + got[:3, 3], cb, rtol=0, atol=1e-15 * np.abs(cb).max() * 8)
    # scipy derives its residual from the eigenvalues, losing digits: the
    # distances themselves are the oracle.
    d = (source - ca) @ expected.as_matrix().T - (target - cb)
    assert residual == pytest.approx(math.sqrt(math.fsum(w * np.einsum("ij,ij->i", d, d))), rel=1e-9)
    # Every form of points gives the same bits.
    forms = [VecList(source), [Vec3d(*p) for p in source], np.asfortranarray(source)]
    assert all(repr(Transform.align(f, VecList(target), weights)) == repr((t, residual)) for f in forms)


def test_align_centroids_are_exact_weighted_means():
    # Parallel lines: the rotation is the identity, so the translation is
    # the difference of the centroids, each the exact weighted mean
    # rounded once.
    rng = np.random.default_rng(3)
    x = 5e5 + rng.uniform(0, 100, size=300)
    w = rng.uniform(0.1, 3.0, size=300)
    source = np.column_stack([x, np.full(300, 0.25), np.zeros(300)])
    target = source + [0.0, 7.5, 1e-3]
    t, _ = Transform.align(source, target, w)
    assert t.rotation == Quat(1, 0, 0, 0)

    def mean(column):
        return float(sum(Fraction(a) * Fraction(b) for a, b in zip(w, column)) / sum(map(Fraction, w)))

    ca = [mean(source[:, j]) for j in range(3)]
    cb = [mean(target[:, j]) for j in range(3)]
    assert list(t.translation) == [b - a for a, b in zip(ca, cb)]


# (source, target, weights) -> documented transform and residual.
DEGENERATE = [
    ("no pairs", [], [], None, Transform(), 0.0),
    ("a single pair: the translation alone", [(1, 2, 3)], [(4, 5, 6)], None,
     Transform(translation=Vec3d(3, 3, 3)), 0.0),
    ("every weight zero", [(1, 2, 3), (1, 0, 0)], [(4, 5, 6), (0, 0, 1)], [0, 0], Transform(), 0.0),
    ("a zero weight drops its pair", [(1, 2, 3), (1, 0, 0)], [(4, 5, 6), (0, 0, 1)], [1, 0],
     Transform(translation=Vec3d(3, 3, 3)), 0.0),
    ("opposite directions: a half turn", [(0, 0, 0), (1, 0, 0)], [(0, 0, 0), (-1, 0, 0)], None,
     Transform(Quat(0, 0, 1, 0)), 0.0),
    ("collinear: the smallest angle", [(0, 0, 0), (2, 0, 0), (4, 0, 0)], [(1, 1, 1), (1, 3, 1), (1, 5, 1)], None,
     Transform(Quat(math.sqrt(0.5), 0, 0, -math.sqrt(0.5)), Vec3d(1, 1, 1)), 0.0),
    ("NaN coordinate", [(1, 2, NAN)], [(4, 5, 6)], None,
     Transform(Quat(NAN, NAN, NAN, NAN), Vec3d(NAN, NAN, NAN)), NAN),
    ("infinite coordinate", [(1, 2, 3), (0, 0, 0)], [(4, 5, 6), (0, INF, 0)], None,
     Transform(Quat(NAN, NAN, NAN, NAN), Vec3d(NAN, NAN, NAN)), NAN),
]


@pytest.mark.parametrize("source, target, weights, transform, residual",
                         [case[1:] for case in DEGENERATE], ids=[case[0] for case in DEGENERATE])
def test_align_degenerate_inputs(source, target, weights, transform, residual):
    t, r = Transform.align([Vec3d(*p) for p in source], [Vec3d(*p) for p in target], weights)
    def components(t):
        return [t.rotation.w, t.rotation.i, t.rotation.j, t.rotation.k, *t.translation]

    got, want = [*components(t), r], [*components(transform), residual]
    assert all(math.isnan(b) if math.isnan(a) else abs(a - b) <= 1e-15 for a, b in zip(want, got)), (t, r)
    assert not any(math.isnan(x) for x in got) or all(math.isnan(x) for x in got)


# ---- ICP


def test_icp_recovers_a_known_pose():
    source = surface(3000, 1)
    truth = pose(0.08, (0.3, 1, -0.2), (0.05, -0.03, 0.02))
    result = Transform.icp(source, moved(truth, source), 0.2, max_iterations=100)
    assert isinstance(result, RegistrationResult)
    assert result.converged and result.fitness == 1.0 and result.correspondences == 3000
    np.testing.assert_allclose(matrix(result.transform), matrix(truth), rtol=0, atol=1e-9)
    assert result.inlier_rmse < 1e-9
    # From a tree of the target, and from the truth itself.
    tree = KdTree(moved(truth, source))
    assert repr(Transform.icp(source, tree, 0.2, max_iterations=100)) == repr(result)
    start = Transform.icp(source, tree, 0.2, initial=truth)
    assert start.iterations == 1 and start.transform == truth


# (name, source, target pose, max_distance, initial, noise): clouds on which
# both converge, overlapping fully or in part.
OPEN3D_CASES = [
    ("full overlap", slice(None), pose(0.05, (0, 0, 1), (0.03, 0.01, 0.0)), 0.1, None, 0.0),
    ("noisy", slice(None), pose(0.04, (1, 1, 0), (0.0, 0.02, 0.01)), 0.05, None, 0.003),
    ("partial overlap", slice(0, 2500), pose(0.03, (0, 1, 0), (0.02, 0.0, 0.01)), 0.08, None, 0.001),
    ("from an initial pose", slice(None), pose(0.5, (1, 0, 1), (0.4, 0.2, -0.1)), 0.1,
     pose(0.48, (1, 0, 1), (0.38, 0.21, -0.1)), 0.0),
    ("far from the origin", slice(None), pose(0.02, (0, 0, 1), (0.02, -0.01, 0.0)), 0.1, None, 0.0),
]


@pytest.mark.parametrize("part, truth, max_distance, initial, noise", [c[1:] for c in OPEN3D_CASES],
                         ids=[c[0] for c in OPEN3D_CASES])
def test_icp_matches_open3d(part, truth, max_distance, initial, noise):
    o3d = pytest.importorskip("open3d")
    far = (5e5, 5e6, 100.0) if truth is OPEN3D_CASES[-1][2] else (0.0, 0.0, 0.0)
    cloud = surface(4000, 2)
    rng = np.random.default_rng(5)
    source = cloud[part] + far
    # The motion about the cloud itself, wherever it is.
    target = moved(truth, cloud[::-1][part]) + far + rng.normal(scale=noise, size=source.shape) * (noise > 0)
    ours = Transform.icp(source, target, max_distance, initial=initial)
    clouds = [o3d.geometry.PointCloud(o3d.utility.Vector3dVector(p)) for p in (source, target)]
    theirs = o3d.pipelines.registration.registration_icp(
        *clouds, max_distance, np.eye(4) if initial is None else matrix(initial),
        o3d.pipelines.registration.TransformationEstimationPointToPoint())
    assert ours.converged
    assert ours.fitness == theirs.fitness and ours.correspondences == len(theirs.correspondence_set)
    assert abs(ours.inlier_rmse - theirs.inlier_rmse) <= 1e-9
    if any(far):
        # Open3D's own answer loses digits at map coordinates (its moved
        # points by up to 1e-4): the rotations, and the points moved.
        np.testing.assert_allclose(matrix(ours.transform)[:3, :3], theirs.transformation[:3, :3], rtol=0, atol=1e-9)
        np.testing.assert_allclose(moved(ours.transform, source), source @ theirs.transformation[:3, :3].T
                                   + theirs.transformation[:3, 3], rtol=0, atol=1e-4)
    else:
        np.testing.assert_allclose(matrix(ours.transform), theirs.transformation, rtol=0, atol=1e-7)


def test_icp_edge_cases():
    cloud = surface(200, 4)
    # No correspondence is a failure, reported before any iteration.
    none = Transform.icp(cloud, cloud + [10, 0, 0], 0.5)
    assert (none.fitness, none.inlier_rmse, none.correspondences, none.iterations, none.converged, none.status) == (
        0, 0, 0, 0, False, "no_correspondences")
    assert none.transform == Transform()
    empty = Transform.icp([], cloud, 1.0)
    assert (empty.fitness, empty.correspondences, empty.converged) == (0.0, 0, False)
    # Points with a NaN or infinite coordinate never correspond; the others
    # register as they would without them.
    spoiled = np.vstack([cloud, [[NAN, 0, 0], [0, INF, 0]]])
    shifted = cloud + [0.01, 0, 0]
    a, b = Transform.icp(spoiled, shifted, 0.5), Transform.icp(cloud, shifted, 0.5)
    assert a.correspondences == b.correspondences == 200 and a.fitness == 200 / 202
    assert a.transform == b.transform
    # A tolerance of zero runs every iteration; any distance is allowed.
    assert Transform.icp(cloud, shifted, INF, relative_rmse=0, relative_fitness=0, max_iterations=7).iterations == 7


# Magnitudes of the initial rotation from the smallest subnormal to near
# the largest double: each is used normalised.
INITIAL_SCALES = [5e-324, 1e-310, 1e-200, 1e-160, 1e-20, 1.0, 3.0, 1e20, 1e154, 1e155, 1e200, 1e300, 1e307]


@pytest.mark.parametrize("scale", INITIAL_SCALES)
def test_initial_rotation_of_any_magnitude_is_used_normalised(scale):
    cloud = surface(400, 6)
    shifted = cloud + [0.01, 0, 0]
    reference = Transform.icp(cloud, shifted, 0.2)
    scaled = Transform.icp(cloud, shifted, 0.2, initial=Transform(Quat(scale, 0, 0, 0)))
    assert repr(scaled) == repr(reference) and scaled.converged
    # A rotation other than the identity, scaled by a power of two so that
    # its direction is exact: the run from its unit quaternion, bit for bit.
    turn = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.01)).normalize()
    power = 2.0 ** round(math.log2(scale)) if scale >= 1e-300 else 2.0 ** -1000
    given = Transform(Quat(turn.w * power, turn.i * power, turn.j * power, turn.k * power))
    assert repr(Transform.icp(cloud, shifted, 0.2, initial=given)) == repr(
        Transform.icp(cloud, shifted, 0.2, initial=Transform(turn)))


# (name, source, target, keywords, status): runs that fail say so, and
# never report converged.
plane = np.column_stack([np.random.default_rng(8).uniform(-1, 1, size=(600, 2)), np.zeros(600)])
FAILURES = [
    ("no overlap", surface(300, 4), surface(300, 4) + [10, 0, 0], {}, "no_correspondences"),
    ("no source points", np.empty((0, 3)), surface(30, 4), {}, "no_correspondences"),
    ("every source point NaN", np.full((5, 3), NAN), surface(30, 4), {}, "no_correspondences"),
    ("sums that overflow", surface(300, 4) * 1e154, surface(300, 4) * 1.0001e154, {"max_distance": INF},
     "non_finite"),
    ("a line, point to point", np.column_stack([np.linspace(0, 1, 50), np.zeros(50), np.zeros(50)]),
     np.column_stack([np.linspace(0, 1, 50), np.zeros(50), np.zeros(50)]) + [0.005, 0, 0], {}, "degenerate"),
    ("two points, point to point", np.array([[0.0, 0, 0], [1, 0, 0]]), np.array([[0.0, 0, 0], [1, 0, 0]]), {},
     "degenerate"),
    ("a plane, point to plane", plane, plane + [0.01, 0.02, 0.03], {"method": "point_to_plane"}, "degenerate"),
]


@pytest.mark.parametrize("source, target, keywords, status", [c[1:] for c in FAILURES], ids=[c[0] for c in FAILURES])
def test_failures_are_reported(source, target, keywords, status):
    keywords = {"max_distance": 0.2, **keywords}
    result = Transform.icp(source, target, keywords.pop("max_distance"), **keywords)
    assert result.status == status and not result.converged
    t = result.transform
    assert all(math.isfinite(x) for x in (t.rotation.w, t.rotation.i, t.rotation.j, t.rotation.k, *t.translation))


def test_same_bits_at_any_thread_count():
    script = """
        import numpy as np
        from tessary_py import AngleRadians, Quat, Transform, Vec3d
        rng = np.random.default_rng(9)
        xy = rng.uniform(-1, 1, size=(12000, 2))
        source = np.column_stack([xy, 0.3 * np.sin(3 * xy[:, 0]) * np.cos(2 * xy[:, 1])]) + [5e5, 5e6, 50]
        t = Transform(Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.03)), Vec3d(0.02, -0.01, 0.005))
        m = np.array(t.to_matrix())
        target = source @ m[:3, :3].T + m[:3, 3] + rng.normal(scale=0.002, size=source.shape)
        print(Transform.align(source, target, rng.uniform(0, 1, size=12000)))
        print(Transform.icp(source, target[::-1], 0.05))
    """
    outputs = {run_with_pool(script, threads) for threads in (1, 2, 3)}
    assert len(outputs) == 1, outputs


REFUSALS = [
    (lambda: Transform.align(np.ones((3, 3)), np.ones((2, 3))), ValueError,
     "argument 'target': expected as many points as 'source', 3, got 2"),
    (lambda: Transform.align(np.ones((3, 3)), np.ones((3, 3)), [1.0, 2.0]), ValueError,
     "argument 'weights': expected one weight per pair, 3, got 2"),
    (lambda: Transform.align(np.ones((2, 3)), np.ones((2, 3)), [1.0, INF]), ValueError,
     ("argument 'weights': expected finite non-negative numbers, got a weight at index 1 that is negative, "
     "infinite or NaN")),
    (lambda: Transform.align(5, np.ones((1, 3))), TypeError, ("argument 'source': 'int' object cannot be cast as "
     "'Sequence'")),
    (lambda: Transform.align(np.ones((1, 3)), np.ones((1, 4))), TypeError,
     "argument 'target': expected an array of shape (n, 3), got (1, 4)"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 0.0), ValueError,
     "argument 'max_distance': expected a number greater than 0, got 0.0"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), NAN), ValueError,
     "argument 'max_distance': expected a number greater than 0, got nan"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), "1"), TypeError,
     "argument 'max_distance': must be real number, not str"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, max_iterations=0), ValueError,
     "argument 'max_iterations': expected an integer of at least 1, got 0"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, max_iterations=2.0), TypeError,
     "argument 'max_iterations': 'float' object cannot be interpreted as an integer"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, relative_fitness=-1), ValueError,
     "argument 'relative_fitness': expected a number of at least 0, got -1.0"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, relative_rmse=NAN), ValueError,
     "argument 'relative_rmse': expected a number of at least 0, got nan"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, initial=Transform(Quat(0, 0, 0, 0))), ValueError,
     ("argument 'initial': expected finite components and a rotation other than zero, got "
     "Transform(Quat(0, 0, 0, 0), Vec3d(0, 0, 0))")),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, initial=Transform(translation=Vec3d(INF, 0, 0))),
     ValueError, ("argument 'initial': expected finite components and a rotation other than zero, got "
     "Transform(Quat(1, 0, 0, 0), Vec3d(inf, 0, 0))")),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, initial=Vec3d(1, 2, 3)), TypeError,
     "argument 'initial': 'Vec3d' object cannot be cast as 'Transform'"),
    (lambda: Transform.icp(np.ones((3, 3)), "target", 1), TypeError,
     "argument 'target': Can't extract `str` to `Vec`"),
    (lambda: Transform.icp(np.ones((3, 2)), np.ones((3, 3)), 1), TypeError,
     "argument 'source': expected an array of shape (n, 3), got (3, 2)"),
    (lambda: RegistrationResult(), TypeError, "cannot create 'builtins.RegistrationResult' instances"),
]


@pytest.mark.parametrize("call, kind, message", REFUSALS)
def test_refusals(call, kind, message):
    with pytest.raises(kind) as error:
        call()
    assert str(error.value) == message
