"""Poses beside PyGLM and scipy, measured in one run:

- per call: `a * b`, `t.apply(v)`, `t.inverse()`, `Quat.from_euler`,
  `q.to_euler`, the rotation-vector conversions and the matrix ones, against
  PyGLM's `dmat4`/`dquat` and scipy's `RigidTransform`/`Rotation`; targets
  ours <= PyGLM for `a * b` (`dmat4 * dmat4`), `apply` (`dmat4 * dvec4`),
  `inverse` (`inverse(dmat4)`) and `from_euler` (`dquat(dvec3)`);
- bulk at 10^6 and 10^7 points: `VecList.transform` against scipy's
  `RigidTransform.apply` (target <= 0.1x) and our own `VecList.rotate`
  (target <= 1.25x); `VecList.transform_each` from an (n, 7) array against
  scipy building the stack of transforms from the same numbers and applying
  it (target <= 0.25x), and against a prebuilt stack;
- agreement: Euler round trips (all 24 sequences) and rotation vectors of
  10 000 random rotations against scipy, to 1e-12.

Run after installing (needs numpy, scipy >= 1.16 and PyGLM):

    python3 bench/bench_poses.py
"""
import math
import os
import struct
import sys
import warnings

sys.path.insert(0, os.path.dirname(__file__))

import glm  # noqa: E402
import numpy as np  # noqa: E402
from common import compare, interleaved, per_call_times  # noqa: E402
from scipy.spatial.transform import RigidTransform, Rotation  # noqa: E402
from tessary_py import AngleRadians, Quat, Transform, Vec3d, VecList  # noqa: E402

SIZES = (1_000_000, 10_000_000)
COLUMNS = ("tessary_py", "PyGLM", "scipy")
# (w, i, j, k) of ours to scipy's [x, y, z, w], conjugated: the recipe of the
# Rotations guide.
TO_SCIPY = np.array([-1.0, -1.0, -1.0, 1.0])
SEQUENCES = [a + b + c for a in "xyz" for b in "xyz" for c in "xyz" if a != b != c]


def to_scipy(t):
    q = t.rotation
    return RigidTransform.from_components(list(t.translation), Rotation.from_quat([-q.i, -q.j, -q.k, q.w]))


def to_glm(t):
    return glm.dmat4(*np.asarray(t).T.ravel())  # glm fills columns


def environment():
    a = Transform(Quat.from_axis_angle(Vec3d(0.0, 0.6, 0.8), AngleRadians(0.7)), Vec3d(1.0, 2.0, 3.0))
    b = Transform(Quat.from_axis_angle(Vec3d(1.0, 2.0, 2.0) / 3, AngleRadians(1.1)), Vec3d(-1.0, 0.5, 2.0))
    ga, gb, sa, sb = to_glm(a), to_glm(b), to_scipy(a), to_scipy(b)
    # The same composition and the same point through every library.
    assert np.allclose(np.array((ga * gb).to_list()).T, np.asarray(a * b), atol=1e-14)
    assert np.allclose((sa * sb).as_matrix(), np.asarray(a * b), atol=1e-14)
    q, euler = a.rotation, (0.1, -0.4, 0.5)
    gq = glm.dquat(glm.dvec3(*euler))
    assert np.allclose(components(Quat.from_euler("xyz", *map(AngleRadians, euler))),
                       [gq.w, -gq.x, -gq.y, -gq.z], atol=1e-15)
    return {
        "a": a, "b": b, "ga": ga, "gb": gb, "sa": sa, "sb": sb, "glm": glm, "np": np, "Quat": Quat,
        "Transform": Transform, "Rotation": Rotation, "RigidTransform": RigidTransform,
        "v": Vec3d(1.0, 2.0, 3.0), "gv": glm.dvec4(1.0, 2.0, 3.0, 1.0), "p": np.array([1.0, 2.0, 3.0]),
        "x": AngleRadians(euler[0]), "y": AngleRadians(euler[1]), "z": AngleRadians(euler[2]),
        "ge": glm.dvec3(*euler), "e": list(euler), "q": q, "gq": glm.dquat(q.w, -q.i, -q.j, -q.k),
        "r": sa.rotation, "w": Vec3d(0.3, -0.2, 1.0), "sw": np.array([0.3, -0.2, 1.0]),
        "m": np.asarray(a).copy(), "mm": np.asarray(a).tolist(),
    }


def components(q):
    return [q.w, q.i, q.j, q.k]


# operation: (tessary_py, PyGLM, scipy); the first four have targets.
CASES = {
    "a * b": ("a * b", "ga * gb", "sa * sb"),
    "t.apply(v)": ("a.apply(v)", "ga * gv", "sa.apply(p)"),
    "t.inverse()": ("a.inverse()", "glm.inverse(ga)", "sa.inv()"),
    "Quat.from_euler": ("Quat.from_euler('xyz', x, y, z)", "glm.dquat(ge)", "Rotation.from_euler('xyz', e)"),
    "q.to_euler": ("q.to_euler('xyz')", "glm.eulerAngles(gq)", "r.as_euler('xyz')"),
    "Quat.from_rotation_vector": ("Quat.from_rotation_vector(w)", None, "Rotation.from_rotvec(sw)"),
    "q.to_rotation_vector()": ("q.to_rotation_vector()", None, "r.as_rotvec()"),
    "t.to_matrix()": ("a.to_matrix()", "ga.to_list()", "sa.as_matrix()"),
    "np.asarray(t)": ("np.asarray(a)", "np.asarray(ga)", None),
    "Transform.from_matrix(array)": ("Transform.from_matrix(m)", None, "RigidTransform.from_matrix(m)"),
    "Transform.from_matrix(lists)": ("Transform.from_matrix(mm)", "glm.dmat4(mm)", None),
}
TARGETED = ("a * b", "t.apply(v)", "t.inverse()", "Quat.from_euler")


def per_call():
    """{operation: [ns per call of each of COLUMNS, None where none]}."""
    env = environment()
    # Many short rounds: on a shared machine the best of many is the one least disturbed.
    return {name: per_call_times(stmts, env, repeat=25, sample=0.01) for name, stmts in CASES.items()}


def data(n, seed=2024):
    rng = np.random.default_rng(seed)
    points = rng.standard_normal((n, 3))
    quats = rng.standard_normal((n, 4))
    quats /= np.linalg.norm(quats, axis=1)[:, None]
    rows = np.hstack([quats, rng.standard_normal((n, 3))])  # (qw, qi, qj, qk, tx, ty, tz)
    return points, rows


def stack(rows):
    """scipy's stack of transforms from our (n, 7) rows."""
    return RigidTransform.from_components(rows[:, 4:], Rotation.from_quat(rows[:, [1, 2, 3, 0]] * TO_SCIPY))


def bulk(n):
    """Best seconds of each contender at n points, and the largest
    differences from scipy."""
    points, rows = data(n)
    pose = Transform(Quat(*rows[0, :4]), Vec3d(*rows[0, 4:]))
    # Checks: ours against scipy (1e-12) and bit for bit against apply.
    one, each = VecList(points), VecList(points)
    one.transform(pose)
    each.transform_each(rows)
    _, diff_one = compare(np.asarray(one), to_scipy(pose).apply(points))
    checked = min(n, 1_000_000)
    _, diff_each = compare(np.asarray(each)[:checked], stack(rows[:checked]).apply(points[:checked]))
    assert diff_one < 1e-12 and diff_each < 1e-12, (diff_one, diff_each)
    head = b"".join(struct.pack("=3d", *Transform(Quat(*r[:4]), Vec3d(*r[4:])).apply(Vec3d(*p)))
                    for r, p in zip(rows[:2000], points[:2000]))
    assert np.asarray(each)[:2000].tobytes() == head
    del one, each
    moving = VecList(points)
    prebuilt, prebuilt_stack = to_scipy(pose), stack(rows)
    rotation = pose.rotation
    contenders = {
        "VecList.transform(t), in place": lambda: moving.transform(pose),
        "VecList.rotate(q), in place": lambda: moving.rotate(rotation),
        "RigidTransform.apply(a)": lambda: prebuilt.apply(points),
        "VecList.transform_each(array), in place": lambda: moving.transform_each(rows),
        "stack from the array, then apply(a)": lambda: stack(rows).apply(points),
        "stack prebuilt, apply(a)": lambda: prebuilt_stack.apply(points),
    }
    budget = 2.0 if n <= 1_000_000 else 6.0
    times = dict(zip(contenders, interleaved(list(contenders.values()), budget=budget, rounds=3)))
    return times, max(diff_one, diff_each)


def agreement(count=10_000, seed=5):
    """Largest differences from scipy over `count` random rotations: Euler
    angles for every sequence (and the rotation rebuilt from them), and
    rotation vectors both ways."""
    rng = np.random.default_rng(seed)
    quats = rng.standard_normal((count, 4))
    quats /= np.linalg.norm(quats, axis=1)[:, None]
    ours = [Quat(*q) for q in quats.tolist()]
    scipy = Rotation.from_quat(quats[:, [1, 2, 3, 0]] * TO_SCIPY)
    worst_angles = worst_rebuilt = worst_vectors = 0.0
    for sequence in SEQUENCES + [s.upper() for s in SEQUENCES]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            theirs = scipy.as_euler(sequence)
        mine = np.array([[a.angle for a in q.to_euler(sequence)] for q in ours])
        difference = np.abs(mine - theirs)
        worst_angles = max(worst_angles, np.minimum(difference, 2 * math.pi - difference).max())
        rebuilt = np.array([components(Quat.from_euler(sequence, *angles)) for angles in
                            (q.to_euler(sequence) for q in ours)])
        worst_rebuilt = max(worst_rebuilt, np.abs(np.abs(np.sum(rebuilt * quats, axis=1)) - 1).max())
    vectors = np.array([q.to_rotation_vector().to_array() for q in ours])
    worst_vectors = np.abs(vectors - scipy.as_rotvec()).max()
    back = np.array([components(Quat.from_rotation_vector(Vec3d(*w))) for w in vectors.tolist()])
    scipy_back = Rotation.from_rotvec(vectors).as_quat()[:, [3, 0, 1, 2]] * TO_SCIPY[[3, 0, 1, 2]]
    worst_vectors = max(worst_vectors, np.abs(back - scipy_back).max())
    return worst_angles, worst_rebuilt, worst_vectors


def bulk_targets(times):
    """(what, ours / peer, target) of the bulk targets at one size."""
    transform, each = times["VecList.transform(t), in place"], times["VecList.transform_each(array), in place"]
    return [("transform / scipy RigidTransform.apply", transform / times["RigidTransform.apply(a)"], 0.1),
            ("transform / our rotate", transform / times["VecList.rotate(q), in place"], 1.25),
            ("transform_each / scipy stack from the array, then apply",
             each / times["stack from the array, then apply(a)"], 0.25),
            ("transform_each / scipy prebuilt stack, apply", each / times["stack prebuilt, apply(a)"], 0.25)]


def verdict(ratio, target):
    return f"{ratio:.3f} (target ≤ {target:g}: {'met' if ratio <= target else 'missed'})"


def measure(sizes=None):
    """Everything this benchmark measures: per call, bulk at each size (SIZES
    unless given), agreement."""
    return {"per_call": per_call(), "bulk": {n: bulk(n) for n in sizes or SIZES}, "agreement": agreement()}


def markdown(measured):
    """The Markdown section of the benchmark report."""
    lines = ["| operation | tessary_py (ns) | PyGLM (ns) | scipy (ns) | ours / PyGLM | ours / scipy | target |",
             "|---|---|---|---|---|---|---|"]
    for name, (ours, *peers) in measured["per_call"].items():
        cells = " | ".join("—" if p is None else f"{p:.1f}" for p in peers)
        ratios = " | ".join("—" if p is None else f"{ours / p:.2f}" for p in peers)
        target = f"≤ PyGLM: {'met' if ours <= peers[0] else 'missed'}" if name in TARGETED else "—"
        lines.append(f"| `{name}` | {ours:.1f} | {cells} | {ratios} | {target} |")
    for n, (times, diff) in measured["bulk"].items():
        lines += ["", f"n = {n:,} points (largest difference from scipy {diff:.2g}):", "",
                  "| contender | ms |", "|---|---|"]
        lines += [f"| `{name}` | {seconds * 1e3:.2f} |" for name, seconds in times.items()]
        lines += [""] + [f"- {label}: {verdict(ratio, target)}" for label, ratio, target in bulk_targets(times)]
    angles, rebuilt, vectors = measured["agreement"]
    lines += ["", (f"10 000 random rotations against scipy: Euler angles of all 24 sequences within {angles:.2g}, "
                   f"the rotations rebuilt from them within {rebuilt:.2g} (|dot| − 1), rotation vectors both ways "
                   f"within {vectors:.2g} (target 1e-12: "
                   f"{'met' if max(angles, rebuilt, vectors) <= 1e-12 else 'missed'}).")]
    return lines


def load():
    return ", ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    print(f"load average before: {load()}; RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}, "
          f"cpus={len(os.sched_getaffinity(0))}\n")
    print("\n".join(markdown(measure())))
    print(f"\nload average after: {load()}")


if __name__ == "__main__":
    main()
