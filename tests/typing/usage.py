"""Correct use of tessary_py: mypy --strict accepts it, and infers these types."""

from collections.abc import Iterator
from typing import assert_type

import numpy as np
import numpy.typing as npt

import tessary_py
from tessary_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry

v = Vec3d(1, 2, 3)
assert_type(v + v, Vec3d)
assert_type(2 * v, Vec3d)
assert_type(v * 2.5, Vec3d)
assert_type(v / 2, Vec3d)
assert_type(-v, Vec3d)
assert_type(v.dot(v), float)
assert_type(v[0], float)
assert_type(v == v, bool)
assert_type(hash(v), int)
x, y, z = v
assert_type(z, float)
assert_type(iter(v), Iterator[float])
assert_type(v.to_array(), list[float])
assert_type(v.angle_to(Vec3d.i()), AngleRadians)
assert_type(Vec3d.new_from_to(v, to=v), Vec3d)
v.x = 5
v.y = 2.5

angle = AngleRadians.half_pi()
assert_type(angle + angle, AngleRadians)
assert_type(angle * 2, AngleRadians)
assert_type(angle < angle, bool)
assert_type(angle.to_degrees(), AngleDegrees)
assert_type(angle.cos(), float)

q = Quat.from_axis_angle(Vec3d.k(), angle)
assert_type(q.rotate(v), Vec3d)
assert_type(q.to_axis_angle(), tuple[Vec3d, AngleRadians])
assert_type(q.to_rotation_matrix(), list[list[float]])
assert_type(q.to_vec3d(), tuple[float, float, float])
assert_type(q * q, Quat)
assert_type(q.inverse(), Quat)
assert_type(q.dot(q), float)
assert_type(q.slerp(q, 0.5), Quat)
assert_type(Quat.from_rotation_matrix(q.to_rotation_matrix()), Quat)

vl = VecList([v, Vec3d.zero()])
VecList((v,))
VecList(vl)
assert_type(len(vl), int)
assert_type(vl[0], Vec3d)
assert_type(vl.list, list[Vec3d])
assert_type(vl.to_array(), list[list[float]])
assert_type(vl.dot(v), list[float])
assert_type(vl.is_unit(), list[bool])
assert_type(vl.magnitude(out=None), list[float])
floats: npt.NDArray[np.float64] = np.empty(len(vl))
flags: npt.NDArray[np.bool_] = np.empty(len(vl), dtype=np.bool_)
assert_type(vl.dot(v, out=floats), npt.NDArray[np.float64])  # the buffer given comes back
assert_type(vl.is_unit(out=flags), npt.NDArray[np.bool_])
assert_type(vl * 2, VecList)
assert_type(2 * vl, VecList)
assert_type(vl + v, VecList)
assert_type(vl.minimum_distance_to(v, 1), tuple[int, float])
assert_type(vl.rotate(q), None)
assert_type(vl.rotate_each([q, q]), None)
for element in vl:
    assert_type(element, Vec3d)
view = memoryview(vl)  # VecList exports a buffer

plane = geometry.Plane.xy()
assert_type(plane.distance, float)
assert_type(geometry.plane_line(plane, v, Vec3d.k()), Vec3d)
c = geometry.Circle(v, 1.0, Vec3d.k())
assert_type(c.area, float)
crossing = geometry.circle_circle(c, c)
assert_type(crossing, tuple[Vec3d, Vec3d] | None)
if crossing is not None:
    first, second = crossing
    assert_type(first, Vec3d)
assert_type(geometry.circle_point(c, v, True), bool)
assert_type(tessary_py.geometry.Circle.none(), geometry.Circle)

cloud = np.zeros((10, 3))
grid = tessary_py.VoxelGrid(cloud, 0.5, origin=Vec3d(0, 0, 0))
assert_type(grid.centroids, VecList)
assert_type(len(grid), int)
indices: npt.NDArray[np.intp] = np.zeros(len(grid), dtype=np.intp)
assert_type(grid.counts(out=indices), npt.NDArray[np.intp])
places = np.asarray(grid.inverse())
assert_type(VecList(cloud).voxel_down_sample(0.5), VecList)
chosen = np.asarray(VecList(cloud).farthest_point_sample(3, start=1))

found = VecList(cloud).segment_plane(0.02, iterations=100, seed=7, confidence=0.99)
assert_type(found, tessary_py.PlaneResult)
if found.plane is not None:
    assert_type(found.plane.normal, Vec3d)
assert_type(found.sample, tuple[int, int, int] | None)
inlier_indices = np.asarray(found.inliers)
assert_type(VecList(cloud).segment_planes(0.02, count=3, min_inliers=50), list[tessary_py.PlaneResult])
assert_type(geometry.Plane.segment(cloud, 0.02), tessary_py.PlaneResult)
assert_type(geometry.Plane.segment_all(cloud, 0.02, count=2), list[tessary_py.PlaneResult])
