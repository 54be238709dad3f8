"""Results of every operation on fixed, seeded inputs, reduced to a table that
must be the same on every processor the module is built for.

Run as a script on x86-64 it rewrites cross_target_table.json, which
test_cross_target.py compares against on whatever machine runs the suite:

    python tests/cross_target.py            # rewrite the table
    python tests/cross_target.py --dump F   # every value, to diff two machines

Most operations are reduced to a SHA-256 digest of their results, which must
match bit for bit. The operations whose results come from the C library's
sin, cos, tan or acos (LIBRARY_DEPENDENT) are kept whole: C libraries round
those differently by up to one unit in the last place, so they are compared
to one ulp. Where such a result goes through further arithmetic that can
cancel (an Euler angle is one atan2 minus another, or minus pi/2), one ulp
of the C library's value is many ulps of a small result; those operations
(COMPOUND) are compared to one ulp or to an absolute bound of a few ulps of
their largest possible value, whichever is wider.

NaN results are written as one canonical NaN: the sign and payload of a NaN
made by invalid arithmetic differ between processors (x86 sets the sign,
ARM does not), and nothing depends on them.
"""

import hashlib
import json
import math
import os
import random
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np

import tessary_py
from tessary_py import AngleDegrees, AngleRadians, Quat, Transform, Vec3d, VecList, geometry

HERE = Path(__file__).resolve().parent
TABLE = HERE / "cross_target_table.json"
CASES = 300
# Long enough that every bulk operation splits into several ranges.
BULK_LENGTH = 70_001
BULK_THREADS = (1, 2)

# Results that pass through the C library's sin, cos, tan, acos, atan2 or
# hypot.
LIBRARY_DEPENDENT = frozenset({
    "AngleRadians.sin", "AngleRadians.cos", "AngleRadians.tan",
    "AngleRadians.sec", "AngleRadians.csc", "AngleRadians.cot",
    "Vec3d.angle_to", "Quat.from_axis_angle", "Quat.to_axis_angle",
    "Quat.from_euler", "Quat.to_euler", "Quat.from_rotation_vector", "Quat.to_rotation_vector",
    "Transform.interpolate",
})
# Library-dependent results whose magnitude is bounded (angles by pi,
# rotation components by 1, rotation vectors by pi): the absolute
# difference allowed beside the one ulp.
COMPOUND = {
    "Quat.from_euler": 2.0**-50, "Quat.to_euler": 2.0**-49, "Quat.from_rotation_vector": 2.0**-50,
    "Quat.to_rotation_vector": 2.0**-49, "Transform.interpolate": 2.0**-50,
}

SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-300, 5e-324, 2.2250738585072014e-308, 1e300,
           1.7976931348623157e308, math.inf, -math.inf, math.nan, 0.1, 1.0000000000000002]


# The inputs have their own generator, not reference.random_double: a
# change there must not change the committed table.
def number(rng: random.Random) -> float:
    kind = rng.random()
    if kind < 0.15:
        return rng.choice(SPECIAL)
    if kind < 0.8:
        return rng.uniform(-10.0, 10.0)
    if kind < 0.92:
        return rng.uniform(-1.0, 1.0) * 10.0 ** rng.randint(-300, 300)
    return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]


def vector(rng: random.Random) -> Vec3d:
    return Vec3d(number(rng), number(rng), number(rng))


def finite_vector(rng: random.Random, scale: float = 10.0) -> Vec3d:
    return Vec3d(rng.uniform(-scale, scale), rng.uniform(-scale, scale), rng.uniform(-scale, scale))


def flatten(value) -> list:
    """A result as a flat list of floats, bools, ints and strings."""
    if value is None:
        return ["None"]
    if isinstance(value, (bool, int, float, str)):
        return [value]
    if isinstance(value, (Vec3d, VecList)):
        return flatten(value.to_array())
    if isinstance(value, Quat):
        return [value.w, value.i, value.j, value.k]
    if isinstance(value, Transform):
        return flatten(value.rotation) + flatten(value.translation)
    if isinstance(value, (AngleRadians, AngleDegrees)):
        return [value.angle]
    if isinstance(value, geometry.Plane):
        return flatten(value.normal) + [value.distance]
    if isinstance(value, geometry.Circle):
        return flatten(value.center) + [value.radius] + flatten(value.normal)
    if isinstance(value, (list, tuple)):
        return [item for part in value for item in flatten(part)]
    raise TypeError(f"no flat form for {type(value).__name__}")


def text(item) -> str:
    if isinstance(item, float):
        return "nan" if math.isnan(item) else item.hex()
    return repr(item)


def scalar_operations():
    """(name, list of results) for every operation on single values."""
    rng = random.Random(20261208)
    a = [vector(rng) for _ in range(CASES)]
    b = [vector(rng) for _ in range(CASES)]
    c = [vector(rng) for _ in range(CASES)]
    s = [number(rng) for _ in range(CASES)]
    q = [Quat(number(rng), number(rng), number(rng), number(rng)) for _ in range(CASES)]
    # Mostly ordinary angles and rotations, where the results carry digits.
    angles = [rng.uniform(-7.0, 7.0) if k % 4 else number(rng) for k in range(CASES)]
    units = [finite_vector(rng).normalize() for _ in range(CASES)]
    # Unit quaternions made without sin and cos, so that what is computed
    # from them must agree to the bit.
    rotations = [Quat(*(rng.uniform(-1, 1) for _ in range(4))).normalize() for _ in range(CASES)]
    r = [AngleRadians(x) for x in angles]
    d = [AngleDegrees(x * 60.0) for x in angles]
    planes = [geometry.Plane(a[k], s[k]) for k in range(CASES)]
    # Coplanar circles with overlapping discs, so that circle_circle meets.
    flat = [geometry.Circle(Vec3d(rng.uniform(-2, 2), rng.uniform(-2, 2), 0.5), rng.uniform(0.5, 3),
                            Vec3d(0, 0, rng.choice([1.0, -2.0]))) for _ in range(CASES)]
    circles = [geometry.Circle(a[k], s[k], b[k]) for k in range(CASES)]
    on_circle = [Vec3d(f.center.x + f.radius, f.center.y, 0.5) for f in flat]
    pairs = list(zip(a, b))
    poses = [Transform(x, y) for x, y in zip(q + rotations, b + c)]
    unit_poses = [Transform(x, y) for x, y in zip(rotations, units)]
    sequences = ["xyz", "xzy", "yxz", "yzx", "zxy", "zyx", "xyx", "xzx", "yxy", "yzy", "zxz", "zyz"]
    sequences += [x.upper() for x in sequences]
    rows = {
        "Vec3d.repr": [repr(x) for x in a],
        "Vec3d.hash": [hash(x) & 0xFFFFFFFF for x in a],
        "Vec3d.dot": [x.dot(y) for x, y in pairs],
        "Vec3d.cross": [x.cross(y) for x, y in pairs],
        "Vec3d.magnitude": [x.magnitude() for x in a],
        "Vec3d.normalize": [x.normalize() for x in a],
        "Vec3d.is_unit": [x.is_unit() for x in a + units],
        "Vec3d.distance_to": [x.distance_to(y) for x, y in pairs],
        "Vec3d.distance_squared": [x.distance_squared(y) for x, y in pairs],
        "Vec3d.distance_to_line": [x.distance_to_line(y, z) for x, y, z in zip(a, b, c)],
        "Vec3d.project_onto_line": [x.project_onto_line(y, z) for x, y, z in zip(a, b, c)],
        "Vec3d.project_onto_plane": [x.project_onto_plane(y) for x, y in pairs],
        "Vec3d.scalar_triple_product": [x.scalar_triple_product(y, z) for x, y, z in zip(a, b, c)],
        "Vec3d.angle_to": [x.angle_to(y) for x, y in pairs + list(zip(units, units[1:]))],
        "Vec3d.to_quat": [x.to_quat() for x in a],
        "Vec3d.new_from_to": [Vec3d.new_from_to(x, y) for x, y in pairs],
        "Vec3d.add": [x + y for x, y in pairs],
        "Vec3d.sub": [x - y for x, y in pairs],
        "Vec3d.mul": [x * k for x, k in zip(a, s)] + [k * x for x, k in zip(b, s)],
        "Vec3d.truediv": [x / k for x, k in zip(a, s)],
        "Vec3d.neg": [-x for x in a],
        "Vec3d.eq": [x == y for x, y in pairs] + [x == x for x in a] + [x != y for x, y in pairs],
        "AngleRadians.sin": [x.sin() for x in r],
        "AngleRadians.cos": [x.cos() for x in r],
        "AngleRadians.tan": [x.tan() for x in r],
        "AngleRadians.sec": [x.sec() for x in r],
        "AngleRadians.csc": [x.csc() for x in r],
        "AngleRadians.cot": [x.cot() for x in r],
        "AngleRadians.to_degrees": [x.to_degrees() for x in r],
        "AngleRadians.arithmetic": [(x + y, x - y, x * k, x / k, -x) for x, y, k in zip(r, r[1:], s)],
        "AngleRadians.compare": [(x == y, x != y, x < y, x <= y, x > y, x >= y) for x, y in zip(r, r[1:])],
        "AngleRadians.repr": [repr(x) for x in r],
        "AngleDegrees.to_radians": [x.to_radians() for x in d],
        "AngleDegrees.neg_compare": [(-x, x == y, x < y, x >= y) for x, y in zip(d, d[1:])],
        "AngleDegrees.repr": [repr(x) for x in d],
        "Quat.from_axis_angle": [Quat.from_axis_angle(x, y) for x, y in zip(units + a, r + r)],
        "Quat.conjugate": [x.conjugate() for x in q],
        "Quat.magnitude": [x.magnitude() for x in q],
        "Quat.normalize": [x.normalize() for x in q],
        "Quat.is_unit": [x.is_unit() for x in q + rotations],
        "Quat.rotate": [x.rotate(y) for x, y in zip(q + rotations, a + b)],
        "Quat.to_axis_angle": [x.to_axis_angle() for x in q + rotations],
        "Quat.to_rotation_matrix": [x.to_rotation_matrix() for x in q + rotations],
        "Quat.to_vec3d": [x.to_vec3d() for x in q],
        "Quat.eq": [(x == y, x != y, x == x) for x, y in zip(q, q[1:])],
        "Quat.repr": [repr(x) for x in q],
        "Quat.from_euler": [Quat.from_euler(sequences[k % 24], x, y, z) for k, (x, y, z)
                            in enumerate(zip(r, r[1:] + r[:1], r[2:] + r[:2]))],
        "Quat.to_euler": [x.to_euler(sequences[k % 24]) for k, x in enumerate(q[::2] + rotations)],
        "Quat.from_rotation_vector": [Quat.from_rotation_vector(x)
                                      for x in a[::2] + [u * k for u, k in zip(units[::2], angles)]],
        "Quat.to_rotation_vector": [x.to_rotation_vector() for x in q[::2] + rotations[::2]],
        "Transform.mul": [x * y for x, y in zip(poses, poses[1:])],
        "Transform.inverse": [x.inverse() for x in poses],
        "Transform.apply": [x.apply(y) for x, y in zip(poses, a + a)],
        "Transform.apply_direction": [x.apply_direction(y) for x, y in zip(poses, c + c)],
        "Transform.interpolate": [x.interpolate(y, k) for x, y, k in zip(unit_poses[::2], unit_poses[1::2], s)],
        "Transform.to_matrix": [x.to_matrix() for x in poses],
        "Transform.from_matrix": [Transform.from_matrix(x.to_matrix()) for x in unit_poses],
        "Transform.eq": [(x == y, x != y, x == x) for x, y in zip(poses, poses[1:])],
        "Transform.hash": [hash(x) & 0xFFFFFFFF for x in poses],
        "Transform.repr": [repr(x) for x in poses],
        "Plane.new": planes,
        "Plane.from_point": [geometry.Plane.from_point(x, y) for x, y in pairs],
        "Plane.from_points": [geometry.Plane.from_points(x, y, z) for x, y, z in zip(a, b, c)]
        + [geometry.Plane.from_points(x, y, z) for x, y, z in zip(units, units[1:], units[2:])],
        "Plane.contains_point": [p.contains_point(x) for p, x in zip(planes, b)]
        + [geometry.Plane.from_point(x, y).contains_point(y) for x, y in zip(units, a)],
        "Plane.distance_to_point": [p.distance_to_point(x) for p, x in zip(planes, b)],
        "Circle.area": [x.area for x in circles + flat],
        "Circle.get_plane": [x.get_plane() for x in circles + flat],
        "Circle.in_same_plane": [x.in_same_plane(y) for x, y in zip(circles + flat, circles[1:] + flat[1:])],
        "Circle.is_degenerate": [x.is_degenerate() for x in circles + flat],
        "Circle.eq": [(x == y, x != y, x == x) for x, y in zip(circles, circles[1:])],
        "geometry.plane_line": [geometry.plane_line(p, x, y) for p, (x, y) in zip(planes, zip(b, c))],
        "geometry.circle_point": [geometry.circle_point(x, y, inner) for x, y in zip(circles + flat, b + on_circle)
                                  for inner in (False, True)],
        "geometry.circle_point_unchecked": [geometry.circle_point_unchecked(x, y, inner)
                                            for x, y in zip(circles + flat, b + on_circle) for inner in (False, True)],
        "geometry.circle_circle": [geometry.circle_circle(x, y) for x, y in zip(circles + flat, circles[1:] + flat[1:])],
    }
    return rows


def bulk_digests() -> dict:
    """A digest per bulk operation of VecList, on one long list."""
    rng = random.Random(7)
    finite = [finite_vector(rng, 1e3) for _ in range(BULK_LENGTH)]
    mixed = VecList([vector(rng) if k % 97 == 0 else finite[k] for k in range(BULK_LENGTH)])
    other = Vec3d(0.25, -3.5, 7.125)
    rotation = Quat(0.7, -0.1, 0.5, 0.3).normalize()
    # Without NaN elements, whose order in the nearest search is not settled.
    near = VecList(finite)

    def rotated():
        copy = VecList(mixed.list)
        copy.rotate(rotation)
        return copy

    pose = Transform(rotation, other)
    # Exact inputs (no C library function), so that every platform feeds
    # the same bits.
    poses = np.array([[(k % 7) / 8 - 0.375, (k % 5) / 4 - 0.5, 0.5, -0.25, k % 13, -1.5, 2.0]
                      for k in range(BULK_LENGTH)])

    def transformed(each):
        copy = VecList(mixed.list)
        copy.transform_each(poses) if each else copy.transform(pose)
        return copy

    results = {
        "VecList.to_array": lambda: mixed,
        "VecList.add": lambda: mixed + other,
        "VecList.sub": lambda: mixed - other,
        "VecList.mul": lambda: (mixed * 1.5, 2.5 * mixed),
        "VecList.truediv": lambda: mixed / 3.0,
        "VecList.dot": lambda: mixed.dot(other),
        "VecList.cross": lambda: mixed.cross(other),
        "VecList.magnitude": lambda: mixed.magnitude(),
        "VecList.normalize": lambda: mixed.normalize(),
        "VecList.is_unit": lambda: (mixed.normalize().is_unit(), mixed.is_unit()),
        "VecList.distance_to": lambda: mixed.distance_to(other),
        "VecList.distance_squared": lambda: mixed.distance_squared(other),
        "VecList.collapse": lambda: (mixed.collapse(0), mixed.collapse(1), mixed.collapse(2)),
        "VecList.rotate": rotated,
        "VecList.transform": lambda: transformed(False),
        "VecList.transform_each": lambda: transformed(True),
        "VecList.minimum_distance_to": lambda: [near.minimum_distance_to(Vec3d(*x.to_array()), stride)
                                                for x in finite[::7001] for stride in (1, 13, 4096)],
    }
    return {name: array_digest(compute()) for name, compute in results.items()}


def as_array(value) -> np.ndarray:
    if isinstance(value, VecList):
        return np.asarray(value.to_array(), dtype=np.float64).ravel()
    if isinstance(value, tuple):
        return np.concatenate([as_array(part) for part in value])
    return np.asarray(flatten(value), dtype=np.float64)


def array_digest(value) -> str:
    values = as_array(value)
    values[np.isnan(values)] = math.nan
    return hashlib.sha256(values.astype("<f8").tobytes()).hexdigest()


def row_digest(items) -> str:
    return hashlib.sha256("\n".join(text(item) for item in items).encode()).hexdigest()


def table() -> dict:
    scalar = {}
    for name, results in scalar_operations().items():
        items = flatten(results)
        if name in LIBRARY_DEPENDENT:
            scalar[name] = {"values": [text(item) for item in items]}
        else:
            scalar[name] = {"count": len(items), "sha256": row_digest(items)}
    return {"scalar": scalar, "bulk": bulk_digests()}


def bulk_digests_with_threads(threads: int) -> dict:
    """bulk_digests() in a fresh interpreter whose pool has `threads` workers."""
    environment = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    code = "import json, cross_target; print(json.dumps(cross_target.bulk_digests()))"
    out = subprocess.run([sys.executable, "-c", code], cwd=HERE, env=environment, capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout)


def main(arguments: list) -> None:
    if arguments[:1] == ["--dump"]:
        rows = {name: [text(item) for item in flatten(results)] for name, results in scalar_operations().items()}
        Path(arguments[1]).write_text(json.dumps(rows, indent=0) + "\n")
        return
    if os.uname().machine != "x86_64":
        sys.exit("the committed table is made on x86-64; use --dump to compare another machine")
    made = table()
    for threads in BULK_THREADS:
        if bulk_digests_with_threads(threads) != made["bulk"]:
            sys.exit(f"the bulk results with {threads} worker(s) differ from the others")
    made["made_with"] = {"module": tessary_py.__name__, "machine": os.uname().machine, "python": sys.version.split()[0]}
    TABLE.write_text(json.dumps(made, indent=1, sort_keys=True) + "\n")
    print(f"wrote {TABLE}")


if __name__ == "__main__":
    main(sys.argv[1:])
