"""Plane-line and circle-circle intersections with tessary_py.geometry.

    python3 examples/geometry.py
"""

import math

from tessary_py import Vec3d, geometry


def plane_and_line() -> None:
    print("Plane and line")
    # A camera at (0, -5, 3) looks through a point of its image plane; where
    # does that ray meet the ground z = 0?
    camera, through = Vec3d(0, -5, 3), Vec3d(0.2, -4, 2.5)
    ground = geometry.Plane.xy()
    hit = geometry.plane_line(ground, camera, through)
    print(f"  the ray from {camera} through {through} meets the ground at {hit}")
    print(f"  on the ground: {ground.contains_point(hit)}")

    # The line is infinite: the answer may lie beyond either point.
    z5 = geometry.Plane(Vec3d(0, 0, 1), 5.0)  # the plane z = 5; its distance reads -5.0
    print(f"  Plane(k, 5.0) has distance {z5.distance}; the line x=1, y=2 meets it at "
          f"{geometry.plane_line(z5, Vec3d(1, 2, 0), Vec3d(1, 2, 1))}")

    # A plane through three points, oriented by the right-hand rule.
    ramp = geometry.Plane.from_points(Vec3d(0, 0, 1), Vec3d(1, 0, 1), Vec3d(0, 1, 2))
    print(f"  the ramp through three points has normal {ramp.normal}, distance {ramp.distance}")
    drop = geometry.plane_line(ramp, Vec3d(0.5, 3, 10), Vec3d(0.5, 3, 0))
    print(f"  dropping (0.5, 3) vertically lands at {drop}, {ramp.distance_to_point(drop):.1e} from it")

    # A parallel line is not an error: the components are infinite or NaN.
    parallel = geometry.plane_line(ground, Vec3d(0, 0, 1), Vec3d(1, 0, 1))
    finite = all(math.isfinite(c) for c in parallel)
    print(f"  a line parallel to the ground gives {parallel}; finite: {finite}")


def crossing_text(points: tuple[Vec3d, Vec3d] | None) -> str:
    # circle_circle returns None when there is no crossing: test before use.
    if points is None:
        return "no crossing"
    first, second = points
    return f"{first} and {second}"


def circle_and_circle() -> None:
    print("Circle and circle")
    flat = Vec3d(0, 0, 1)
    a = geometry.Circle(Vec3d(0, 0, 0), 5.0, flat)
    b = geometry.Circle(Vec3d(4, 0, 0), 3.0, flat)
    print(f"  radius 5 at the origin and radius 3 at (4, 0, 0) cross at {crossing_text(geometry.circle_circle(a, b))}")

    touching = geometry.Circle(Vec3d(8, 0, 0), 3.0, flat)
    print(f"  touching circles give the point twice: {crossing_text(geometry.circle_circle(a, touching))}")

    far = geometry.Circle(Vec3d(20, 0, 0), 3.0, flat)
    above = geometry.Circle(Vec3d(4, 0, 1), 3.0, flat)
    inside = geometry.Circle(Vec3d(1, 0, 0), 1.0, flat)
    for name, other in (("too far", far), ("in a parallel plane", above), ("inside", inside), ("the same", a)):
        print(f"  {name}: {crossing_text(geometry.circle_circle(a, other))}")

    # Circles in a tilted plane: the normals must match (or be opposite).
    tilted = Vec3d(0, 1, 1).normalize()
    c = geometry.Circle(Vec3d(0, 0, 0), 2.0, tilted)
    d = geometry.Circle(Vec3d(1.5, 0, 0), 1.0, tilted)
    points = geometry.circle_circle(c, d)
    print(f"  in the plane y + z = 0: {crossing_text(points)}")
    if points is not None:
        for p in points:
            # circle_point's tolerance is an absolute 2**-52, so a computed
            # point one rounding away from the circle fails it; compare
            # distances with a tolerance of your own when points are computed.
            print(f"    {p}: distances {p.distance_to(c.center)!r} and {p.distance_to(d.center)!r}; "
                  f"circle_point: {geometry.circle_point(c, p, False)} and {geometry.circle_point(d, p, False)}")


def main() -> None:
    plane_and_line()
    circle_and_circle()


if __name__ == "__main__":
    main()
