"""A short tour of tessary_py, printing real results."""

from tessary_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry


def show(label, value):
    print(f"{label:<40} {value!r}")


def main():
    v = Vec3d(1, 2, 3)
    w = Vec3d(0.5, -1, 4)
    print("Vectors")
    show("v", v)
    show("w", w)
    show("v + w", v + w)
    show("v - w", v - w)
    show("2 * v", 2 * v)
    show("v.dot(w)", v.dot(w))
    show("v.cross(w)", v.cross(w))
    show("v.magnitude()", v.magnitude())
    show("v.normalize()", v.normalize())
    show("Vec3d(0.6, 0.8, 0).is_unit()", Vec3d(0.6, 0.8, 0).is_unit())
    show("v.distance_to(w)", v.distance_to(w))
    show("v.project_onto_plane(k)", v.project_onto_plane(Vec3d.k()))
    show("Vec3d(1e-7, 1e21, -0.0)", Vec3d(1e-7, 1e21, -0.0))
    show("hash(Vec3d(1, 2, 3))", hash(Vec3d(1, 2, 3)))

    print("\nAngles and rotations")
    quarter_turn = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
    show("q = quarter turn about +z", quarter_turn)
    show("q.rotate(Vec3d.i())", quarter_turn.rotate(Vec3d.i()))
    show("q.to_axis_angle()", quarter_turn.to_axis_angle())
    show("q.to_rotation_matrix()", quarter_turn.to_rotation_matrix())
    show("AngleRadians.third_pi().to_degrees()", AngleRadians.third_pi().to_degrees())
    show("AngleDegrees(60).to_radians()", AngleDegrees(60).to_radians())
    show("Vec3d.i().angle_to(Vec3d.j())", Vec3d.i().angle_to(Vec3d.j()))

    print("\nVector lists (bulk work on the worker pool)")
    cloud = VecList([Vec3d(x, 0.5 * x, 1.0) for x in range(100_000)])
    moved = cloud * 2.0 + Vec3d(0, 0, -1)
    show("len(cloud)", len(cloud))
    show("(cloud * 2 + (0, 0, -1))[1]", moved[1])
    show("moved.magnitude()[:3]", moved.magnitude()[:3])
    cloud.rotate(quarter_turn)
    show("cloud.rotate(q); cloud[2]", cloud[2])
    show("minimum_distance_to((-5, 10, 1), 100)", cloud.minimum_distance_to(Vec3d(-5, 10, 1), 100))
    show("VecList([i, j])", VecList([Vec3d.i(), Vec3d.j()]))

    print("\nPlanes, circles, intersections")
    a = geometry.Circle(Vec3d(0, 0, 0), 5.0, Vec3d(0, 0, 1))
    b = geometry.Circle(Vec3d(4, 0, 0), 3.0, Vec3d(0, 0, 1))
    show("circle_circle(a, b)", geometry.circle_circle(a, b))
    show("circle_point(a, (3, 4, 0), False)", geometry.circle_point(a, Vec3d(3, 4, 0), False))
    show("plane_line(xy, (1,2,3), (2,2,1))", geometry.plane_line(geometry.Plane.xy(), Vec3d(1, 2, 3), Vec3d(2, 2, 1)))
    plane = geometry.Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0))
    show("from_points(...).normal", plane.normal)


if __name__ == "__main__":
    main()
