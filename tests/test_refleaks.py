"""Reference and memory balance of the hot paths and of every error path.

Each instance holds a reference to its (heap) class, so a leaked result shows
up in the class's reference count; leaked arguments show up in theirs; and
tracemalloc sees every object allocation, leaked or not.
"""

import sys
from collections import deque
import tracemalloc

import numpy as np
import pytest

from tessary_py import AngleRadians, KdTree, Quat, Transform, Vec3d, VecList, VoxelGrid

ROUNDS = 2000


def swallow(call):
    try:
        call()
    except BaseException:
        pass


def vec3d_calls():
    v, w, u = Vec3d(1, 2, 3), Vec3d(-0.5, 4, 1e-3), Vec3d(7, 8, 9)
    big = 10**400

    calls = [
        lambda: Vec3d(1.0, 2.0, 3.0), lambda: Vec3d(x=1, y=2, z=3), lambda: Vec3d.zero(),
        lambda: Vec3d.new_from_to(v, w), lambda: v + w, lambda: v - w, lambda: v * 2.0, lambda: 2 * v,
        lambda: v / 3, lambda: -v, lambda: v.dot(w), lambda: v.cross(w), lambda: v.magnitude(),
        lambda: v.normalize(), lambda: v.is_unit(), lambda: v.distance_to(w), lambda: v.distance_squared(w),
        lambda: v.distance_to_line(w, u), lambda: v.project_onto_line(line_r=w, line_q=u),
        lambda: v.project_onto_plane(w), lambda: v.scalar_triple_product(w, u), lambda: v.to_array(),
        lambda: v[1], lambda: list(v), lambda: repr(v), lambda: hash(v), lambda: v == w, lambda: v != 3,
        lambda: v.x, lambda: setattr(u, "y", 8.0),
        # error paths
        lambda: swallow(lambda: Vec3d("a", 1, 2)), lambda: swallow(lambda: Vec3d(big, 1, 2)),
        lambda: swallow(lambda: Vec3d(1, 2)), lambda: swallow(lambda: Vec3d(1, 2, 3, q=1)),
        lambda: swallow(lambda: v.dot(5)), lambda: swallow(lambda: v.dot(w, other=w)),
        lambda: swallow(lambda: v[3]), lambda: swallow(lambda: v[-1]), lambda: swallow(lambda: v[1.5]),
        lambda: swallow(lambda: v * "a"), lambda: swallow(lambda: v < w), lambda: swallow(lambda: setattr(v, "x", "a")),
        lambda: swallow(lambda: delattr(v, "x")), lambda: swallow(lambda: v.magnitude(1)),
    ]
    return calls, (Vec3d, v, w, u, big)


def output_calls():
    """VecList's results written into buffers, and each refusal of one."""
    v, p = VecList([Vec3d(1, 2, 3), Vec3d(0, 0, 1), Vec3d(-4, 5, 6)]), Vec3d(1, 1, 1)
    floats, flags, short = np.zeros(3), np.zeros(3, dtype=bool), np.zeros(2)
    read_only = np.zeros(3)
    read_only.flags.writeable = False
    calls = [
        lambda: v.dot(p, out=floats), lambda: v.magnitude(out=floats), lambda: v.is_unit(out=flags),
        lambda: v.distance_to(other=p, out=floats), lambda: v.distance_squared(p, out=None),
        lambda: swallow(lambda: v.dot(p, out=short)), lambda: swallow(lambda: v.magnitude(out=flags)),
        lambda: swallow(lambda: v.magnitude(out=read_only)), lambda: swallow(lambda: v.is_unit(out=[0] * 3)),
        lambda: swallow(lambda: v.distance_to(p, out=v)), lambda: swallow(lambda: v.dot(5, out=floats)),
        lambda: swallow(lambda: v.magnitude(floats)),
    ]
    return calls, (VecList, Vec3d, v, p, floats, flags, short, read_only)


def rotation_calls():
    a, b = Quat(0.9, 0.1, -0.3, 0.2), Quat(0.5, 0.5, -0.5, 0.5)
    rows = a.to_rotation_matrix()
    matrix = np.array(rows)
    points = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
    quats, array = [a, b], np.array([[0.9, 0.1, -0.3, 0.2], [1, 0, 0, 0]])
    calls = [
        lambda: a * b, lambda: a.inverse(), lambda: a.dot(b), lambda: a.slerp(b, 0.3), lambda: a.slerp(other=b, t=1),
        lambda: Quat.from_rotation_matrix(rows), lambda: Quat.from_rotation_matrix(matrix),
        lambda: points.rotate_each(quats), lambda: points.rotate_each(array), lambda: points.rotate_each(deque(quats)),
        # error paths
        lambda: swallow(lambda: a * 2), lambda: swallow(lambda: a.slerp(b, "t")), lambda: swallow(lambda: a.dot(5)),
        lambda: swallow(lambda: Quat.from_rotation_matrix(rows[:2])),
        lambda: swallow(lambda: Quat.from_rotation_matrix([[1, 0, 0], [0, "1", 0], [0, 0, 1]])),
        lambda: swallow(lambda: Quat.from_rotation_matrix(matrix[:, :2])),
        lambda: swallow(lambda: points.rotate_each(quats[:1])), lambda: swallow(lambda: points.rotate_each([a, 1])),
        lambda: swallow(lambda: points.rotate_each(array[:, :3])), lambda: swallow(lambda: points.rotate_each(5)),
    ]
    return calls, (Quat, VecList, a, b, rows, matrix, points, quats, array)


def pose_calls():
    a = Transform(Quat(0.9, 0.1, -0.3, 0.2).normalize(), Vec3d(1, 2, 3))
    b, v, q = Transform(translation=Vec3d(-1, 0, 2)), Vec3d(0.5, -1, 2), Quat(0.5, 0.5, -0.5, 0.5)
    x = AngleRadians(0.3)
    matrix, rows = np.array(a.to_matrix()), a.to_matrix()
    points = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
    poses, array = [a, b], np.array([[1, 0, 0, 0, 1, 2, 3], [0, 1, 0, 0, 0, 0, 0]], dtype=float)
    calls = [
        lambda: Transform(q, v), lambda: Transform(), lambda: Transform(translation=v), lambda: Transform.identity(),
        lambda: a * b, lambda: a.inverse(), lambda: a.apply(v), lambda: a.apply_direction(v=v),
        lambda: a.interpolate(b, 0.3), lambda: a.to_matrix(), lambda: np.asarray(a), lambda: a.rotation,
        lambda: a.translation, lambda: repr(a), lambda: hash(a), lambda: a == b,
        lambda: Transform.from_matrix(matrix), lambda: Transform.from_matrix(rows[:3]),
        lambda: Quat.from_euler("zyx", x, x, x), lambda: q.to_euler("XYX"), lambda: Quat.from_rotation_vector(v),
        lambda: q.to_rotation_vector(), lambda: points.transform(a), lambda: points.transform_each(poses),
        lambda: points.transform_each(array),
        # error paths
        lambda: swallow(lambda: Transform(v)), lambda: swallow(lambda: Transform(q, q)), lambda: swallow(lambda: a * 2),
        lambda: swallow(lambda: a.interpolate(b, "t")), lambda: swallow(lambda: setattr(a, "rotation", q)),
        lambda: swallow(lambda: Transform.from_matrix(2 * matrix)),
        lambda: swallow(lambda: Transform.from_matrix(matrix[:2])),
        lambda: swallow(lambda: Transform.from_matrix([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, "1", 0]])),
        lambda: swallow(lambda: Transform.from_matrix(rows[:3] + [[0, 0, 1, 1]])),
        lambda: swallow(lambda: Quat.from_euler("xxy", x, x, x)), lambda: swallow(lambda: q.to_euler(3)),
        lambda: swallow(lambda: Quat.from_euler("\udc80yz", x, x, x)),
        lambda: swallow(lambda: Quat.from_euler("xyz", x, 1, x)),
        lambda: swallow(lambda: points.transform(q)), lambda: swallow(lambda: points.transform_each(poses[:1])),
        lambda: swallow(lambda: points.transform_each([a, q])),
        lambda: swallow(lambda: points.transform_each(array[:, :4])),
    ]
    return calls, (Transform, Quat, Vec3d, VecList, AngleRadians, a, b, v, q, x, matrix, rows, points, poses, array)


def statistics_calls():
    """The exact statistics and fits, and each refusal."""
    from tessary_py import geometry

    rng = np.random.default_rng(4)
    array = np.column_stack([5e5 + rng.uniform(0, 100, 300), rng.normal(size=300), rng.normal(size=300)])
    points = VecList(array)
    weights, short = np.ones(300), [1.0, 2.0]
    calls = [
        lambda: points.centroid(), lambda: points.bounds(), lambda: points.covariance(),
        lambda: points.covariance(ddof=1), lambda: points.principal_axes(), lambda: geometry.Plane.fit(points),
        lambda: geometry.Plane.fit(array), lambda: Quat.align(points, array), lambda: Quat.align(array, array, weights),
        lambda: Quat.align(array, points, weights.tolist()),
        # error paths
        lambda: swallow(lambda: geometry.Plane.fit(array[:2])), lambda: swallow(lambda: geometry.Plane.fit("a")),
        lambda: swallow(lambda: Quat.align(array, array[:5])), lambda: swallow(lambda: Quat.align(array, array, short)),
        lambda: swallow(lambda: Quat.align(array, array, -weights)), lambda: swallow(lambda: Quat.align(array, 5)),
        lambda: swallow(lambda: points.covariance(ddof="1")), lambda: swallow(lambda: points.covariance(ddof=-1)),
    ]
    return calls, (VecList, Quat, points, array, weights, short)


def kd_tree_calls():
    """Every query of KdTree, one point and many, into new arrays and into
    buffers, and each refusal."""
    points = np.array([[x, y, z] for x in range(6) for y in range(6) for z in range(6)], dtype=float)
    tree, p, queries = KdTree(points), Vec3d(2.5, 1, 3), points[::9] + 0.5
    ints, floats, counts = np.zeros((24, 3), dtype=np.intp), np.zeros((24, 3)), np.zeros(24, dtype=np.intp)
    calls = [
        lambda: KdTree(points), lambda: KdTree(VecList(points)), lambda: tree.points, lambda: repr(tree),
        lambda: tree.nearest(p), lambda: tree.nearest_k(p, 5), lambda: tree.nearest_k(p, 300, max_distance=1.5),
        lambda: tree.within(p, 1.5), lambda: tree.count_within(point=p, radius=2),
        lambda: tree.nearest_each(queries), lambda: tree.nearest_k_each(queries, 3),
        lambda: tree.nearest_k_each(queries, 3, out=(ints, floats)), lambda: tree.within_each(queries, 1.0),
        lambda: tree.count_within_each(queries, 1.0, out=counts), lambda: tree.count_within_each(queries, 1.0).tolist(),
        lambda: np.asarray(tree.nearest_each(queries)[1]),
        # error paths
        lambda: swallow(lambda: KdTree(points[:, :2])), lambda: swallow(lambda: KdTree([p, 1])),
        lambda: swallow(lambda: tree.nearest_k(p, 0)), lambda: swallow(lambda: tree.within(p, -1.0)),
        lambda: swallow(lambda: tree.nearest_k(p, 2, max_distance="x")),
        lambda: swallow(lambda: tree.nearest_k_each(queries, 3, out=(floats, ints))),
        lambda: swallow(lambda: tree.nearest_k_each(queries, 3, out=[ints, floats])),
        lambda: swallow(lambda: tree.count_within_each(queries, 1.0, out=floats[:, 0])),
        lambda: swallow(lambda: tree.nearest_each(queries, out=(ints[:, 0], 1))),
    ]
    return calls, (KdTree, VecList, Vec3d, tree, p, points, queries, ints, floats, counts)


def registration_calls():
    """Transform.align and Transform.icp, their result, and each refusal."""
    rng = np.random.default_rng(6)
    source = rng.normal(size=(50, 3))  # a leak is per call, whatever the size
    target = source + [0.01, -0.02, 0.0]
    tree, weights, start = KdTree(target), np.ones(len(source)), Transform(translation=Vec3d(0.01, 0, 0))
    result = Transform.icp(source, tree, 0.5)
    calls = [
        lambda: Transform.align(source, target), lambda: Transform.align(VecList(source), target, weights),
        lambda: Transform.align([Vec3d(1, 2, 3)], [Vec3d(2, 2, 3)]), lambda: Transform.icp(source, target, 0.5),
        lambda: Transform.icp(source, tree, 0.5, initial=start, max_iterations=3, relative_fitness=0,
                              relative_rmse=0.0),
        lambda: repr(result), lambda: result.transform, lambda: result.fitness, lambda: result.converged,
        # error paths
        lambda: swallow(lambda: Transform.align(source, target[:5])),
        lambda: swallow(lambda: Transform.align(source, target, weights[:3])),
        lambda: swallow(lambda: Transform.align(source, "x")), lambda: swallow(lambda: Transform.icp(source, 5, 1)),
        lambda: swallow(lambda: Transform.icp(source, tree, -1.0)),
        lambda: swallow(lambda: Transform.icp(source, tree, 1.0, max_iterations=0)),
        lambda: swallow(lambda: Transform.icp(source, tree, 1.0, initial=Transform(Quat(0, 0, 0, 0)))),
        lambda: swallow(lambda: Transform.icp(source, tree, 1.0, relative_rmse="x")),
        lambda: swallow(lambda: type(result)()),
    ]
    return calls, (Transform, KdTree, VecList, Vec3d, source, target, tree, weights, start, result)


def downsampling_calls():
    """VoxelGrid and its results, voxel_down_sample and
    farthest_point_sample, into new arrays and into buffers, and each
    refusal."""
    rng = np.random.default_rng(8)
    array = rng.uniform(0, 1, size=(400, 3))
    array[7] = np.nan
    points, grid = VecList(array), VoxelGrid(array, 0.25)
    counts, inverse, sample = np.zeros(len(grid), dtype=np.intp), np.zeros(400, dtype=np.intp), np.zeros(9, dtype=np.intp)
    calls = [
        lambda: VoxelGrid(array, 0.25), lambda: VoxelGrid(points, 0.1, origin=Vec3d(0.5, 0, 0)), lambda: repr(grid),
        lambda: grid.centroids, lambda: grid.counts(), lambda: grid.inverse(out=inverse), lambda: grid.nearest(),
        lambda: grid.counts(out=counts), lambda: grid.voxel_size, lambda: grid.origin,
        lambda: points.voxel_down_sample(0.3), lambda: points.farthest_point_sample(9, start=3),
        lambda: points.farthest_point_sample(9, out=sample),
        # error paths
        lambda: swallow(lambda: VoxelGrid(array, -1.0)), lambda: swallow(lambda: VoxelGrid(array, 0.1, origin=1)),
        lambda: swallow(lambda: VoxelGrid(array[:, :2], 0.1)), lambda: swallow(lambda: VoxelGrid(array * 1e300, 1e-300)),
        lambda: swallow(lambda: grid.counts(out=inverse)), lambda: swallow(lambda: points.farthest_point_sample(401)),
        lambda: swallow(lambda: points.farthest_point_sample(3, start="0")),
        lambda: swallow(lambda: points.voxel_down_sample(0.1, origin=Vec3d(float("inf"), 0, 0))),
    ]
    return calls, (VoxelGrid, VecList, Vec3d, array, points, grid, counts, inverse, sample)


GROUPS = {"vec3d": vec3d_calls, "out": output_calls, "rotations": rotation_calls, "poses": pose_calls,
          "statistics": statistics_calls, "kdtree": kd_tree_calls, "registration": registration_calls,
          "downsampling": downsampling_calls}


@pytest.mark.parametrize("group", GROUPS)
def test_reference_counts_stay_flat(group):
    calls, watched = GROUPS[group]()
    for call in calls:
        call()
    before = [sys.getrefcount(w) for w in watched]
    for call in calls:
        for _ in range(ROUNDS):
            call()
    after = [sys.getrefcount(w) for w in watched]
    assert after == before


@pytest.mark.parametrize("group, index", [(g, i) for g, make in GROUPS.items() for i in range(len(make()[0]))])
def test_memory_stays_flat(group, index):
    calls, _ = GROUPS[group]()
    call = calls[index]
    for _ in range(100):
        call()
    tracemalloc.start()
    try:
        for _ in range(ROUNDS):
            call()
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(ROUNDS):
            call()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # A leak of one small object per call would be >= 2000 * 48 bytes.
    assert second - first < 20_000
