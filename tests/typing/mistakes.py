"""Mistakes that mypy --strict catches against the stubs.

Each line marked `# error: CODE` must give exactly that mypy error code, and
no other line may give one.
"""

from tessary_py import AngleRadians, Quat, Vec3d, VecList, geometry

v = Vec3d(1, 2, 3)
v.dot((1, 2, 3))  # error: arg-type
Quat.from_axis_angle(Vec3d.k(), 1.5)  # error: arg-type
VecList([(1.0, 2.0, 3.0)])  # error: list-item
VecList(v for v in [v])  # error: arg-type
v.extend  # error: attr-defined
v.magnitude(1)  # error: call-arg
len(v)  # error: arg-type
2.0 + v  # error: operator
v * v  # error: operator
2 * AngleRadians(1)  # error: operator
Quat.identity() * 2.0  # error: operator
vl0 = VecList([v])
vl0.rotate_each([v])  # error: list-item
AngleRadians(1) + 1.0  # error: operator
v.x = "1"  # error: assignment
c = geometry.Circle(v, 1.0, Vec3d.k())
c.area = 2.0  # error: misc
geometry.circle_point(c, v, inner=1)  # error: arg-type
points = geometry.circle_circle(c, c)
points[0]  # error: index
first, second = geometry.circle_circle(c, c)  # error: misc
vl = VecList([v])
vl.list = []  # error: misc
vl[0].x + vl.dot(v)  # error: operator


class Wrapped(Vec3d):  # error: misc
    pass
vl.dot(v, out=[0.0])  # error: call-overload
vl.magnitude(out=None)[0] + "m"  # error: operator
VecList([]).segment_plane(0.02, iterations=1.5)  # error: arg-type
VecList([]).segment_plane(0.02).plane.normal  # error: union-attr
