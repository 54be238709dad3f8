"""Registration of point sets: Transform.align (the best rigid transform of
paired points) and ICP (Transform.icp: point to point, point to plane,
generalized, each with the robust kernels).

scipy's align_vectors is the oracle for the rotation, exact rationals for
the centroids, a brute-force scan for the correspondences, and Open3D's
registration_icp and registration_generalized_icp for the whole loop."""

import math
import re
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

pytestmark = pytest.mark.platform_dependent

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
    # Open3D's residuals at map coordinates are a few of the coordinates'
    # roundings (1e-9 there) off.
    assert abs(ours.inlier_rmse - theirs.inlier_rmse) <= (1e-8 if any(far) else 1e-9)
    if any(far):
        # Open3D's own answer loses digits at map coordinates (its moved
        # points by up to 1e-4): the rotations, and the points moved.
        np.testing.assert_allclose(matrix(ours.transform)[:3, :3], theirs.transformation[:3, :3], rtol=0, atol=1e-9)
        np.testing.assert_allclose(moved(ours.transform, source), source @ theirs.transformation[:3, :3].T
                                   + theirs.transformation[:3, 3], rtol=0, atol=1e-4)
    else:
        np.testing.assert_allclose(matrix(ours.transform), theirs.transformation, rtol=0, atol=1e-7)


def numbers_in_repr(text):
    return dict(re.findall(r"(fitness|inlier_rmse)=([^,]+)", text))


@pytest.mark.parametrize("source, target, max_distance", [
    ([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0), Vec3d(0, 0, 1)],) * 2 + (0.1,),
    # Three of four pairs within reach, none exact: a fraction and a long RMSE.
    ([Vec3d(0, 0, 0.01), Vec3d(1, 0, 0.03), Vec3d(0, 1, 0), Vec3d(9, 9, 9)],
     [Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0), Vec3d(0, 0, 1)], 0.1),
    ([Vec3d(5, 5, 5)], [Vec3d(0, 0, 0)], 0.1),
])
def test_result_repr_writes_numbers_as_vec3d_does(source, target, max_distance):
    result = Transform.icp(source, target, max_distance, max_iterations=1)
    numbers = numbers_in_repr(repr(result))
    # Vec3d's repr writes each component in the module's shortest form.
    shown = repr(Vec3d(result.fitness, result.inlier_rmse, 0)).removeprefix("Vec3d(").split(", ")
    assert numbers == {"fitness": shown[0], "inlier_rmse": shown[1]}
    assert float(numbers["fitness"]) == result.fitness and float(numbers["inlier_rmse"]) == result.inlier_rmse
    assert "e" not in numbers["inlier_rmse"]  # never an exponent


def test_result_repr_of_an_exact_match():
    cloud = [Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0), Vec3d(0, 0, 1)]
    assert numbers_in_repr(repr(Transform.icp(cloud, cloud, 0.1))) == {"fitness": "1", "inlier_rmse": "0"}


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


METHODS = ["point_to_point", "point_to_plane", "generalized"]
# (kernel, kernel_scale)
KERNELS = [(None, None), ("l2", None), ("l1", None), ("huber", 0.01), ("cauchy", 0.01), ("geman_mcclure", 0.01),
           ("tukey", 0.1)]


@pytest.mark.parametrize("method", METHODS)
def test_every_variant_and_kernel_recovers_a_known_motion(method):
    source = surface(2000, 11)
    truth = pose(0.06, (0.3, 1, -0.2), (0.04, -0.03, 0.02))
    target = moved(truth, source[::-1])
    for kernel, scale in KERNELS:
        result = Transform.icp(source, target, 0.2, method=method, kernel=kernel, kernel_scale=scale,
                               max_iterations=100)
        assert result.converged and result.status == "converged" and result.fitness == 1.0, (kernel, result)
        np.testing.assert_allclose(matrix(result.transform), matrix(truth), rtol=0, atol=1e-9, err_msg=kernel)


@pytest.mark.parametrize("method", METHODS)
def test_robust_kernels_discount_outliers(method):
    # A tenth of the target pushed 5 cm off the surface: the least-squares
    # answer leans towards them, each robust kernel much less.
    source = surface(3000, 12)
    truth = pose(0.03, (0, 0, 1), (0.02, 0.01, 0.0))
    target = moved(truth, source)
    target[::10, 2] += 0.05
    def error(kernel, scale):
        result = Transform.icp(source, target, 0.1, method=method, kernel=kernel, kernel_scale=scale,
                               max_iterations=100)
        return np.abs(moved(result.transform, source) - moved(truth, source)).max()
    least_squares = error(None, None)
    # The outliers also spoil the target's normals and covariances near
    # them, which no kernel undoes: each kernel is asked to do better.
    for kernel, scale in [("l1", None), ("huber", 0.01), ("cauchy", 0.01), ("geman_mcclure", 0.01), ("tukey", 0.02)]:
        assert error(kernel, scale) < 0.9 * least_squares, kernel


def test_kernel_weights_follow_their_formulas():
    # One pair off by r along the normal of a plane of many exact pairs:
    # point to plane with one free direction (z) makes the step the
    # weighted mean of the residuals, so the weight is read back from it.
    grid = np.array([(x, y, 0.0) for x in np.linspace(-4, 4, 9) for y in np.linspace(-4, 4, 9)])
    normals = np.tile([0.0, 0.0, 1.0], (len(grid), 1))
    s = 0.5
    formulas = {
        "l1": lambda r: 1 / r, "huber": lambda r: 1.0 if r <= s else s / r,
        "cauchy": lambda r: 1 / (1 + (r / s) ** 2), "geman_mcclure": lambda r: (s * s / (s * s + r * r)) ** 2,
        "tukey": lambda r: (1 - (r / s) ** 2) ** 2 if r <= s else 0.0,
    }
    for r in (0.2, 0.9):
        target = grid.copy()
        target[40, 2] = r
        for kernel, weight in formulas.items():
            result = Transform.icp(grid, target, 2.0, method="point_to_plane", kernel=kernel, kernel_scale=s,
                                   target_normals=normals, max_iterations=1)
            w = weight(r)
            # Only z moves: tz = w r / (w + n - 1), the other pairs' weight 1
            # (L1's: 1 / 1e-12, its floor, for the exact pairs).
            others = 1e12 if kernel == "l1" else 1.0
            expected = w * r / (w + others * (len(grid) - 1))
            assert result.transform.translation.z == pytest.approx(expected, rel=1e-9, abs=1e-300), (kernel, r)


def test_given_normals_and_covariances_are_the_computed_ones():
    source, target = surface(1500, 13), moved(pose(0.04, (1, 0, 0), (0.01, 0.02, 0.0)), surface(1500, 14))
    tree = KdTree(target)
    assert repr(Transform.icp(source, tree, 0.2, method="point_to_plane")) == repr(
        Transform.icp(source, tree, 0.2, method="point_to_plane", target_normals=tree.normals(20)))
    assert repr(Transform.icp(source, tree, 0.2, method="generalized")) == repr(
        Transform.icp(source, target, 0.2, method="generalized", target_covariances=tree.covariances(20),
                      source_covariances=KdTree(source).covariances(20)))
    # Normals facing either way give the same step.
    flipped = -np.array(tree.normals(20))
    assert repr(Transform.icp(source, tree, 0.2, method="point_to_plane", target_normals=flipped)) == repr(
        Transform.icp(source, tree, 0.2, method="point_to_plane"))


@pytest.mark.parametrize("method", ["point_to_plane", "generalized"])
def test_points_that_are_not_finite_change_nothing(method):
    # NaN and infinite points, in the middle of the target (the tree keeps
    # them aside, so every later normal and covariance row is read by its
    # index) and at the end of the source: the same bits as without them.
    source = surface(1500, 17)
    target = moved(pose(0.05, (0, 0, 1), (0.02, 0.0, 0.0)), source)
    spoiled_target = np.vstack([target[:700], [[NAN, 0, 0], [0, INF, 0]], target[700:]])
    spoiled_source = np.vstack([source, [[NAN, 1, 1]]])
    spoiled = Transform.icp(spoiled_source, spoiled_target, 0.2, method=method)
    clean = Transform.icp(source, target, 0.2, method=method)
    assert spoiled.transform.to_matrix() == clean.transform.to_matrix()
    assert (spoiled.correspondences, spoiled.iterations, spoiled.status) == (1500, clean.iterations, "converged")


def regularised(covariances):
    """The plane-to-plane covariances: eigenvalues (1e-3, 1, 1)."""
    c = np.asarray(covariances)[:, [0, 1, 2, 1, 3, 4, 2, 4, 5]].reshape(-1, 3, 3)
    _, v = np.linalg.eigh(c)
    return v @ np.diag([1e-3, 1.0, 1.0]) @ np.transpose(v, (0, 2, 1))


# (method, kernel, kernel_scale, Open3D's kernel): Open3D's GMLoss(k) is
# geman_mcclure with the scale sqrt(k). Open3D weighs each of the three
# whitened rows of a generalized pair alone, so its kernels are compared
# for point to plane only.
OPEN3D_VARIANTS = [
    ("point_to_plane", None, None, None), ("point_to_plane", "huber", 0.01, ("HuberLoss", 0.01)),
    ("point_to_plane", "cauchy", 0.01, ("CauchyLoss", 0.01)), ("point_to_plane", "tukey", 0.05, ("TukeyLoss", 0.05)),
    ("point_to_plane", "geman_mcclure", 0.1, ("GMLoss", 0.01)),
    ("generalized", None, None, None),
]


@pytest.mark.parametrize("method, kernel, scale, theirs_kernel", OPEN3D_VARIANTS,
                         ids=[f"{v[0]}-{v[1]}" for v in OPEN3D_VARIANTS])
def test_variants_match_open3d(method, kernel, scale, theirs_kernel):
    o3d = pytest.importorskip("open3d", reason="Open3D is the outside oracle; CI does not install it")
    registration = o3d.pipelines.registration
    rng = np.random.default_rng(15)
    source = surface(3000, 15)
    target = moved(pose(0.05, (0.3, 1, -0.2), (0.03, -0.02, 0.01)), source[::-1])
    target += rng.normal(scale=0.002, size=target.shape)
    tree, source_tree = KdTree(target), KdTree(source)
    ours = Transform.icp(source, tree, 0.1, method=method, kernel=kernel, kernel_scale=scale,
                         relative_fitness=1e-12, relative_rmse=1e-12, max_iterations=60)
    clouds = [o3d.geometry.PointCloud(o3d.utility.Vector3dVector(p)) for p in (source, target)]
    robust = getattr(registration, theirs_kernel[0])(*theirs_kernel[1:]) if theirs_kernel else None
    criteria = registration.ICPConvergenceCriteria(1e-12, 1e-12, 60)
    if method == "point_to_plane":
        clouds[1].normals = o3d.utility.Vector3dVector(np.asarray(tree.normals(20)))
        estimation = registration.TransformationEstimationPointToPlane(*([robust] if robust else []))
        theirs = registration.registration_icp(*clouds, 0.1, np.eye(4), estimation, criteria)
    else:
        clouds[0].covariances = o3d.utility.Matrix3dVector(regularised(source_tree.covariances(20)))
        clouds[1].covariances = o3d.utility.Matrix3dVector(regularised(tree.covariances(20)))
        estimation = registration.TransformationEstimationForGeneralizedICP()
        theirs = registration.registration_generalized_icp(*clouds, 0.1, np.eye(4), estimation, criteria)
    assert ours.converged and ours.fitness == theirs.fitness
    assert ours.correspondences == len(theirs.correspondence_set)
    np.testing.assert_allclose(matrix(ours.transform), theirs.transformation, rtol=0, atol=1e-9)


def long_apply(t, points):
    """t applied to points in long double, from its quaternion."""
    w, i, j, k = (np.longdouble(x) for x in (t.rotation.w, t.rotation.i, t.rotation.j, t.rotation.k))
    textbook = np.array([[1 - 2 * (j * j + k * k), 2 * (i * j - w * k), 2 * (i * k + w * j)],
                         [2 * (i * j + w * k), 1 - 2 * (i * i + k * k), 2 * (j * k - w * i)],
                         [2 * (i * k - w * j), 2 * (j * k + w * i), 1 - 2 * (i * i + j * j)]])
    return points.astype(np.longdouble) @ textbook + np.array(list(t.translation), dtype=np.longdouble)


@pytest.mark.parametrize("method", METHODS)
def test_map_coordinates_reach_the_centred_answer(method):
    # Coordinates on a grid of 2**-20, so that the shift to map coordinates
    # is exact and both runs see the same clouds.
    rng = np.random.default_rng(16)
    source = np.round(surface(3000, 16) * 2**20) / 2**20
    target = moved(pose(0.1, (0.2, 0.3, 1), (0.05, -0.04, 0.02)), source[::-1])
    target = np.round((target + rng.normal(scale=0.003, size=target.shape)) * 2**20) / 2**20
    far = np.array([512000.0, 5430000.0, 231.0])
    centred = Transform.icp(source, target, 0.2, method=method, kernel="huber", kernel_scale=0.01)
    mapped = Transform.icp(source + far, target + far, 0.2, method=method, kernel="huber", kernel_scale=0.01)
    assert (mapped.iterations, mapped.fitness, mapped.status) == (centred.iterations, centred.fitness, "converged")
    relative = mapped.transform.rotation * centred.transform.rotation.conjugate()
    assert np.linalg.norm(relative.to_rotation_vector().to_array()) < 1e-9
    # The points moved agree to a few units in the last place of the map
    # coordinates themselves (one is 9.3e-10 at 5.43e6).
    gap = long_apply(mapped.transform, source + far) - far.astype(np.longdouble) - long_apply(centred.transform, source)
    assert float(np.abs(gap).max()) < 8 * math.ulp(5.43e6)


def test_every_variant_is_the_same_bits_at_any_thread_count():
    script = """
        import numpy as np
        from tessary_py import AngleRadians, Quat, Transform, Vec3d
        rng = np.random.default_rng(19)
        xy = rng.uniform(-1, 1, size=(20000, 2))
        source = np.column_stack([xy, 0.3 * np.sin(3 * xy[:, 0]) * np.cos(2 * xy[:, 1])]) + [5e5, 5e6, 50]
        t = Transform(Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.03)), Vec3d(0.02, -0.01, 0.005))
        m = np.array(t.to_matrix())
        target = source @ m[:3, :3].T + m[:3, 3] + rng.normal(scale=0.002, size=source.shape)
        print(Transform.align(source, target, rng.uniform(0, 1, size=20000)))
        print(Transform.icp(source, target[::-1], 0.05))
        for method in ("point_to_plane", "generalized"):
            for kernel in (None, "cauchy"):
                print(Transform.icp(source, target[::-1], 0.05, method=method, kernel=kernel, kernel_scale=0.01))
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
    (lambda: RegistrationResult(), TypeError, "cannot create 'tessary_py.RegistrationResult' instances"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, method="plane"), ValueError,
     "argument 'method': expected 'point_to_point', 'point_to_plane' or 'generalized', got 'plane'"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, method=1), TypeError,
     "argument 'method': 'int' object cannot be cast as 'str'"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, kernel="welsch"), ValueError,
     "argument 'kernel': expected 'l2', 'l1', 'huber', 'cauchy', 'geman_mcclure' or 'tukey', got 'welsch'"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, kernel="huber"), ValueError,
     "argument 'kernel_scale': expected a number greater than 0 for the 'huber' kernel, got None"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, kernel="tukey", kernel_scale=-1), ValueError,
     "argument 'kernel_scale': expected a number finite and greater than 0, got -1.0"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, method="point_to_plane",
                           target_normals=np.ones((2, 3))), ValueError,
     "argument 'target_normals': expected one row per target point, 3, got 2"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, method="generalized",
                           source_covariances=np.ones((3, 3))), TypeError,
     "argument 'source_covariances': expected an array of shape (n, 6), got (3, 3)"),
    (lambda: Transform.icp(np.ones((3, 3)), np.ones((3, 3)), 1, method="generalized",
                           target_covariances=np.ones((4, 6))), ValueError,
     "argument 'target_covariances': expected one row per target point, 3, got 4"),
]


@pytest.mark.parametrize("call, kind, message", REFUSALS)
def test_refusals(call, kind, message):
    with pytest.raises(kind) as error:
        call()
    assert str(error.value) == message
