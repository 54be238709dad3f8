"""A tour of tessary_py that prints a Python session you can paste.

Every line it prints is Python: statements as they are, and each
expression followed by a comment holding its repr, so a line copied into
the interpreter (after the lines above it) gives the result shown. After the
vectors, rotations, lists and planes come the point-cloud tools: neighbours
(KdTree), poses (Transform), statistics, normals and outliers,
downsampling and registration (ICP). The numpy part and the timing run
when numpy and scipy are installed.

    python3 examples/tour.py
"""

import time
from collections.abc import Callable

from tessary_py import AngleDegrees, AngleRadians, KdTree, Quat, Transform, Vec3d, VecList, VoxelGrid, geometry


def run(code: str) -> None:
    """Print a statement of the session."""
    print(code)


def show(code: str, value: object) -> None:
    """Print an expression of the session with its result."""
    print(f"{code:<52}  # {value!r}")


def section(title: str) -> None:
    print(f"\n# --- {title} ---")


def vectors() -> None:
    section("Vectors")
    run("from tessary_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry")
    run("v, w = Vec3d(1, 2, 3), Vec3d(0.5, -1, 4)")
    v, w = Vec3d(1, 2, 3), Vec3d(0.5, -1, 4)
    show("v + w", v + w)
    show("2 * v - w", 2 * v - w)
    show("v.dot(w), v.cross(w)", (v.dot(w), v.cross(w)))
    show("v.magnitude()", v.magnitude())
    show("Vec3d(0, 3, 4).normalize()", Vec3d(0, 3, 4).normalize())
    show("Vec3d(0.6, 0.8, 0).is_unit()", Vec3d(0.6, 0.8, 0).is_unit())
    show("v.distance_to(w)", v.distance_to(w))
    show("v.project_onto_plane(Vec3d.k())", v.project_onto_plane(Vec3d.k()))
    show("v[2], list(v)", (v[2], list(v)))
    show("Vec3d(1e-7, 1e21, -0.0)", Vec3d(1e-7, 1e21, -0.0))
    show("Vec3d(1, 2, 3) / 0", Vec3d(1, 2, 3) / 0)

    section("Equality is within 2**-52, absolute; hashes are exact")
    show("Vec3d(0, 0, 0) == Vec3d(1e-17, 0, 0)", Vec3d(0, 0, 0) == Vec3d(1e-17, 0, 0))
    show("Vec3d(1, 0, 0) == Vec3d(1 + 2**-52, 0, 0)", Vec3d(1, 0, 0) == Vec3d(1 + 2**-52, 0, 0))
    show("len({Vec3d(0, 0, 0), Vec3d(1e-17, 0, 0)})", len({Vec3d(0, 0, 0), Vec3d(1e-17, 0, 0)}))


def rotations() -> None:
    section("Angles and rotations: +θ about the axis, right-handed")
    show("AngleRadians.third_pi().to_degrees()", AngleRadians.third_pi().to_degrees())
    show("AngleDegrees(60).to_radians() == AngleRadians.third_pi()",
         AngleDegrees(60).to_radians() == AngleRadians.third_pi())
    show("Vec3d.i().angle_to(Vec3d.j())", Vec3d.i().angle_to(Vec3d.j()))
    run("q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())")
    q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
    show("q", q)
    show("q.rotate(Vec3d.i())", q.rotate(Vec3d.i()))
    run("# to_axis_angle reports the conjugate's axis: -k for a turn about +k")
    show("q.to_axis_angle()", q.to_axis_angle())
    run("# to_rotation_matrix is the transpose of the map rotate applies")
    show("q.to_rotation_matrix()", q.to_rotation_matrix())

    section("Composing, inverting, interpolating rotations")
    run("tilt = Quat.from_axis_angle(Vec3d.i(), AngleRadians.half_pi())")
    tilt = Quat.from_axis_angle(Vec3d.i(), AngleRadians.half_pi())
    run("# q * tilt applies tilt first, then q")
    show("(q * tilt).rotate(Vec3d.j())", (q * tilt).rotate(Vec3d.j()))
    show("q.rotate(tilt.rotate(Vec3d.j()))", q.rotate(tilt.rotate(Vec3d.j())))
    show("q * q.inverse() == Quat.identity()", q * q.inverse() == Quat.identity())
    show("Quat.identity().slerp(q, 0.5)", Quat.identity().slerp(q, 0.5))
    show("Quat.identity().slerp(q, 0.5).to_axis_angle()[1]", Quat.identity().slerp(q, 0.5).to_axis_angle()[1])
    show("Quat.from_rotation_matrix(q.to_rotation_matrix()) == q",
         Quat.from_rotation_matrix(q.to_rotation_matrix()) == q)
    run("spun = VecList([Vec3d.i(), Vec3d.i()])")
    spun = VecList([Vec3d.i(), Vec3d.i()])
    run("spun.rotate_each([q, tilt * q])")
    spun.rotate_each([q, tilt * q])
    show("spun.list", spun.list)


def vector_lists() -> None:
    section("Vector lists: bulk work on the worker pool")
    run("cloud = VecList([Vec3d(x, 0.5 * x, 1.0) for x in range(100_000)])")
    cloud = VecList([Vec3d(x, 0.5 * x, 1.0) for x in range(100_000)])
    show("len(cloud)", len(cloud))
    show("(cloud * 2 + Vec3d(0, 0, -1))[1]", (cloud * 2 + Vec3d(0, 0, -1))[1])
    show("cloud.magnitude()[:3]", cloud.magnitude()[:3])
    show("cloud.collapse(2)[4]", cloud.collapse(2)[4])
    run("cloud.rotate(Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi()))")
    cloud.rotate(Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi()))
    show("cloud[2]", cloud[2])
    run("# nearest point: every 100th sampled, then the window around the best sample")
    show("cloud.minimum_distance_to(Vec3d(-5, 10, 1), 100)", cloud.minimum_distance_to(Vec3d(-5, 10, 1), 100))
    run("# an element outside that window is not found even when it is nearer")
    run("line = VecList([Vec3d(5, 0, 0), Vec3d(0, 0, 0), Vec3d(9, 0, 0), Vec3d(9, 0, 0), Vec3d(4, 0, 0)])")
    line = VecList([Vec3d(5, 0, 0), Vec3d(0, 0, 0), Vec3d(9, 0, 0), Vec3d(9, 0, 0), Vec3d(4, 0, 0)])
    show("line.minimum_distance_to(Vec3d.zero(), 2)", line.minimum_distance_to(Vec3d.zero(), 2))
    show("line.minimum_distance_to(Vec3d.zero(), 1)", line.minimum_distance_to(Vec3d.zero(), 1))
    run("# the pool size comes from RAYON_NUM_THREADS, else the usable processors")


def planes_and_circles() -> None:
    section("Planes, circles, intersections")
    run("# Plane(n, d) is the plane n·p = d, stored as n·p + distance = 0")
    run("z5 = geometry.Plane(Vec3d(0, 0, 1), 5.0)")
    z5 = geometry.Plane(Vec3d(0, 0, 1), 5.0)
    show("z5.distance", z5.distance)
    show("geometry.plane_line(z5, Vec3d(1, 2, 0), Vec3d(1, 2, 1))",
         geometry.plane_line(z5, Vec3d(1, 2, 0), Vec3d(1, 2, 1)))
    run("a = geometry.Circle(Vec3d(0, 0, 0), 5.0, Vec3d(0, 0, 1))")
    run("b = geometry.Circle(Vec3d(4, 0, 0), 3.0, Vec3d(0, 0, 1))")
    a = geometry.Circle(Vec3d(0, 0, 0), 5.0, Vec3d(0, 0, 1))
    b = geometry.Circle(Vec3d(4, 0, 0), 3.0, Vec3d(0, 0, 1))
    show("geometry.circle_circle(a, b)", geometry.circle_circle(a, b))
    show("geometry.circle_circle(a, a)", geometry.circle_circle(a, a))
    show("geometry.circle_point(a, Vec3d(3, 4, 0), inner=False)", geometry.circle_point(a, Vec3d(3, 4, 0), inner=False))
    show("geometry.Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0)).normal",
         geometry.Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0)).normal)


def neighbours() -> None:
    section("Neighbours: exact nearest, k-nearest and radius queries (KdTree)")
    run("from tessary_py import KdTree, Transform, VoxelGrid")
    run("# a 6 x 6 patch of terrain, heights in steps of 0.25")
    run("terrain = [Vec3d(x, y, 0.25 * ((x * y) % 3)) for x in range(6) for y in range(6)]")
    terrain = [Vec3d(x, y, 0.25 * ((x * y) % 3)) for x in range(6) for y in range(6)]
    run("tree = KdTree(terrain)")
    tree = KdTree(terrain)
    show("tree", tree)
    run("# (index, distance), the lower index first among equal distances")
    show("tree.nearest(Vec3d(2.2, 3.1, 0))", tree.nearest(Vec3d(2.2, 3.1, 0)))
    show("tree.nearest_k(Vec3d(2.2, 3.1, 0), 3)", tree.nearest_k(Vec3d(2.2, 3.1, 0), 3))
    show("tree.within(Vec3d(2, 3, 0), 1.0)", tree.within(Vec3d(2, 3, 0), 1.0))
    run("# many queries in one call, on the worker pool; results read by numpy without a copy")
    run("indices, distances = tree.nearest_each([Vec3d(0.1, 0, 0), Vec3d(5, 5, 5)])")
    indices, distances = tree.nearest_each([Vec3d(0.1, 0, 0), Vec3d(5, 5, 5)])
    show("indices, indices.tolist(), distances.tolist()", (indices, indices.tolist(), distances.tolist()))


def poses() -> None:
    section("Poses: a rotation, then a translation (Transform)")
    run("quarter = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())")
    quarter = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
    run("pose = Transform(quarter, Vec3d(10, 0, 0))")
    pose = Transform(quarter, Vec3d(10, 0, 0))
    show("pose.apply(Vec3d(1, 0, 0))", pose.apply(Vec3d(1, 0, 0)))
    show("pose.apply_direction(Vec3d(1, 0, 0))", pose.apply_direction(Vec3d(1, 0, 0)))
    run("# a * b applies b first; inverse undoes")
    show("(pose * pose.inverse()) == Transform.identity()", (pose * pose.inverse()) == Transform.identity())
    run("# the 4x4 matrix moves column vectors, as scipy's and Open3D's")
    show("[row[3] for row in pose.to_matrix()]", [row[3] for row in pose.to_matrix()])
    show("Transform.from_matrix(pose.to_matrix()).apply(Vec3d(1, 0, 0))",
         Transform.from_matrix(pose.to_matrix()).apply(Vec3d(1, 0, 0)))


def statistics() -> None:
    section("Statistics: exact sums, rounded once")
    run("patch = VecList(terrain)")
    terrain = [Vec3d(x, y, 0.25 * ((x * y) % 3)) for x in range(6) for y in range(6)]
    patch = VecList(terrain)
    show("patch.centroid()", patch.centroid())
    show("patch.bounds()", patch.bounds())
    show("patch.covariance()[2]", patch.covariance()[2])
    run("# the same bits at map coordinates, where one-pass sums lose their digits")
    run("far = patch + Vec3d(512_000, 5_430_000, 231)")
    far = patch + Vec3d(512_000, 5_430_000, 231)
    show("far.covariance() == patch.covariance()", far.covariance() == patch.covariance())
    show("geometry.Plane.fit(patch).normal.z > 0.99", geometry.Plane.fit(patch).normal.z > 0.99)


def normals_and_outliers() -> None:
    section("Normals and neighbourhoods: normals, orientation, outliers")
    run("floor = KdTree([Vec3d(x, y, 0) for x in range(4) for y in range(4)] + [Vec3d(1.5, 1.5, 9)])")
    floor = KdTree([Vec3d(x, y, 0) for x in range(4) for y in range(4)] + [Vec3d(1.5, 1.5, 9)])
    run("normals = floor.normals(4)")
    normals = floor.normals(4)
    show("normals.tolist()[0]", normals.tolist()[0])
    run("# signs follow a fixed rule; turn them towards the scanner, here below the floor")
    run("up = floor.orient_normals_towards(normals, Vec3d(0, 0, -10))")
    up = floor.orient_normals_towards(normals, Vec3d(0, 0, -10))
    show("up.tolist()[0]", up.tolist()[0])
    run("# masks of the points kept: the one far above the floor is an outlier")
    show("floor.statistical_inliers(4, 1.0).tolist()[-3:]", floor.statistical_inliers(4, 1.0).tolist()[-3:])
    show("floor.radius_inliers(1.0, 2).tolist().count(False)", floor.radius_inliers(1.0, 2).tolist().count(False))


def downsampling() -> None:
    section("Downsampling: voxel grids and farthest points")
    terrain = [Vec3d(x, y, 0.25 * ((x * y) % 3)) for x in range(6) for y in range(6)]
    run("grid = VoxelGrid(terrain, 2.0)")
    grid = VoxelGrid(terrain, 2.0)
    show("grid", grid)
    run("# each voxel's exact centroid, in the order of their first points")
    show("grid.centroids[0], grid.counts().tolist()[:3]", (grid.centroids[0], grid.counts().tolist()[:3]))
    show("grid.inverse().tolist()[:8]", grid.inverse().tolist()[:8])
    show("VecList(terrain).voxel_down_sample(2.0)[0] == grid.centroids[0]",
         VecList(terrain).voxel_down_sample(2.0)[0] == grid.centroids[0])
    show("VecList(terrain).farthest_point_sample(4).tolist()", VecList(terrain).farthest_point_sample(4).tolist())


def registration() -> None:
    section("Registration: ICP onto a moved copy")
    terrain = [Vec3d(x, y, 0.25 * ((x * y) % 3)) for x in range(6) for y in range(6)]
    run("moved = Transform(Quat.from_axis_angle(Vec3d.k(), AngleRadians(0.05)), Vec3d(0.1, -0.05, 0.02))")
    moved = Transform(Quat.from_axis_angle(Vec3d.k(), AngleRadians(0.05)), Vec3d(0.1, -0.05, 0.02))
    run("result = Transform.icp(terrain, [moved.apply(p) for p in terrain], 0.5)")
    result = Transform.icp(terrain, [moved.apply(p) for p in terrain], 0.5)
    show("result.status, result.fitness, result.iterations", (result.status, result.fitness, result.iterations))
    show("[round(c, 12) for c in result.transform.translation]",
         [round(c, 12) for c in result.transform.translation])
    show("round(result.transform.rotation.to_axis_angle()[1].angle, 12)",
         round(result.transform.rotation.to_axis_angle()[1].angle, 12))
    run("# point to plane and generalized ICP: method=\"point_to_plane\" or \"generalized\"")


def with_numpy() -> None:
    section("numpy in and out")
    try:
        import numpy as np
    except ImportError:
        run("# numpy is not installed; `python3 -m pip install numpy scipy` adds this part")
        return
    run("import numpy as np")
    run("points = np.arange(12.0).reshape(4, 3)")
    points = np.arange(12.0).reshape(4, 3)
    run("vl = VecList(points)")
    vl = VecList(points)
    show("vl[1]", vl[1])
    show("np.asarray(vl).shape, np.asarray(vl).flags.writeable",
         (np.asarray(vl).shape, np.asarray(vl).flags.writeable))
    show("np.asarray(Vec3d(1, 2, 3))", np.asarray(Vec3d(1, 2, 3)))
    run("snapshot = np.asarray(vl)")
    snapshot = np.asarray(vl)
    run("vl.rotate(Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi()))")
    vl.rotate(Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi()))
    run("# an exported array is a snapshot: rotate copied the elements first")
    show("snapshot[1].tolist(), np.asarray(vl)[1].round(12).tolist()",
         (snapshot[1].tolist(), np.asarray(vl)[1].round(12).tolist()))
    run("# one rotation per element, as rows of (w, i, j, k)")
    run("turns = np.array([[1.0, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]])")
    turns = np.array([[1.0, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]])
    run("vl = VecList(points)")
    vl = VecList(points)
    run("vl.rotate_each(turns)")
    vl.rotate_each(turns)
    show("np.asarray(vl).tolist()", np.asarray(vl).tolist())


def timing() -> None:
    section("Timing: rotating 200 000 points")
    try:
        import numpy as np
        from scipy.spatial.transform import Rotation
    except ImportError:
        run("# numpy and scipy are not installed; `python3 -m pip install numpy scipy` adds this part")
        return
    points = np.random.default_rng(0).normal(size=(200_000, 3))
    q = Quat.from_axis_angle(Vec3d(1, 2, 2) / 3, AngleRadians(0.7))
    r = Rotation.from_quat([-q.i, -q.j, -q.k, q.w])  # the same rotation: see Conventions
    matrix = r.as_matrix()
    vl = VecList(points)

    def best(work: Callable[[], object]) -> float:
        times = []
        for _ in range(3):
            start = time.perf_counter()
            work()
            times.append(time.perf_counter() - start)
        return min(times) * 1e3

    ours = best(lambda: vl.rotate(q))
    scipy_time = best(lambda: r.apply(points))
    numpy_time = best(lambda: points @ matrix.T)
    run(f"# VecList.rotate {ours:.2f} ms, scipy Rotation.apply {scipy_time:.2f} ms, "
        f"numpy points @ R.T {numpy_time:.2f} ms (best of 3; ours is bit-exact)")


def main() -> None:
    vectors()
    rotations()
    vector_lists()
    planes_and_circles()
    neighbours()
    poses()
    statistics()
    normals_and_outliers()
    downsampling()
    registration()
    with_numpy()
    timing()


if __name__ == "__main__":
    main()
