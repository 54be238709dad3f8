"""Many rotations at once and composition, beside scipy and PyGLM:

- `VecList.rotate_each` on 10^6 points, each with its own unit quaternion,
  against scipy's `Rotation.from_quat(q).apply(points)` on the same data,
  both with scipy's `from_quat` in its time (it checks and normalises the
  quaternions, as our call reads its array) and without it (a prebuilt
  `Rotation`); target ours <= 0.5x the peer;
- `a * b` per call against PyGLM's `dquat * dquat`; target ours <= 1x.

Run after installing (needs numpy, scipy and PyGLM):

    python3 bench/bench_rotations.py
"""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(__file__))

import glm  # noqa: E402
import numpy as np  # noqa: E402
from scipy.spatial.transform import Rotation  # noqa: E402

from common import compare, interleaved, per_call_times  # noqa: E402
from tessary_py import AngleRadians, Quat, Vec3d, VecList  # noqa: E402

N = 1_000_000
# (w, i, j, k) rows of ours to scipy's [x, y, z, w], conjugated: the recipe of
# the Rotations guide.
TO_SCIPY = np.array([-1.0, -1.0, -1.0, 1.0])


def data(n, seed=2024):
    rng = np.random.default_rng(seed)
    points = rng.standard_normal((n, 3))
    quats = rng.standard_normal((n, 4))
    quats /= np.linalg.norm(quats, axis=1)[:, None]
    return points, quats, np.ascontiguousarray(quats[:, [1, 2, 3, 0]] * TO_SCIPY)


def check(points, quats, scipy_quats):
    """Ours against scipy (to 1e-12) and bit for bit against Quat.rotate."""
    ours = VecList(points)
    ours.rotate_each(quats)
    exact, diff = compare(np.asarray(ours), Rotation.from_quat(scipy_quats).apply(points))
    assert diff < 1e-12, diff
    head = [Quat(*q).rotate(Vec3d(*p)) for q, p in zip(quats[:2000], points[:2000])]
    assert np.asarray(ours)[:2000].tobytes() == b"".join(struct.pack("=3d", *v) for v in head)
    return diff


def bulk(n=N):
    points, quats, scipy_quats = data(n)
    diff = check(points, quats, scipy_quats)
    spinning = VecList(points)
    prebuilt = Rotation.from_quat(scipy_quats)
    quat_objects = [Quat(*q) for q in quats.tolist()]

    def fresh():
        out = VecList(points)
        out.rotate_each(quats)
        return out

    contenders = {
        "rotate_each(array), in place": lambda: spinning.rotate_each(quats),
        "VecList(a) + rotate_each(array)": fresh,
        "rotate_each(list of Quat)": lambda: spinning.rotate_each(quat_objects),
        "Rotation.from_quat(q).apply(a)": lambda: Rotation.from_quat(scipy_quats).apply(points),
        "r.apply(a), r prebuilt": lambda: prebuilt.apply(points),
    }
    times = dict(zip(contenders, interleaved(list(contenders.values()), budget=2.0, rounds=5)))
    return times, diff


def per_call():
    a = Quat.from_axis_angle(Vec3d(0.0, 0.6, 0.8), AngleRadians(0.7))
    b = Quat.from_axis_angle(Vec3d(1.0, 2.0, 2.0) / 3, AngleRadians(1.1))
    ga, gb = glm.dquat(a.w, -a.i, -a.j, -a.k), glm.dquat(b.w, -b.i, -b.j, -b.k)
    # The same rotation through both: ours a * b is glm's ga * gb.
    g = ga * gb
    assert np.allclose([g.w, -g.x, -g.y, -g.z], [(a * b).w, (a * b).i, (a * b).j, (a * b).k], atol=1e-15)
    env = {"a": a, "b": b, "ga": ga, "gb": gb}
    return per_call_times(["a * b", "ga * gb", "a.slerp(b, 0.3)", "glm.slerp(ga, gb, 0.3)"],
                          {**env, "glm": glm}, repeat=9)


def main():
    print(f"load average before: {', '.join(f'{x:.2f}' for x in os.getloadavg())}; "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}, "
          f"cpus={len(os.sched_getaffinity(0))}")
    times, diff = bulk()
    ours = times["rotate_each(array), in place"]
    print(f"\nn = {N:,} points, one unit quaternion each (largest difference from scipy {diff:.2g})")
    for name, seconds in times.items():
        print(f"  {name:<34} {seconds * 1e3:9.2f} ms   ours in place / this {ours / seconds:5.2f}")
    for name in ("Rotation.from_quat(q).apply(a)", "r.apply(a), r prebuilt"):
        ratio = ours / times[name]
        print(f"  target ours <= 0.5x {name}: {ratio:.2f} ({'met' if ratio <= 0.5 else 'missed'})")
    mul, glm_mul, slerp, glm_slerp = per_call()
    print(f"\nper call: a * b {mul:.1f} ns, PyGLM dquat * dquat {glm_mul:.1f} ns, ours / PyGLM {mul / glm_mul:.2f} "
          f"(target <= 1: {'met' if mul <= glm_mul else 'missed'})")
    print(f"per call: a.slerp(b, 0.3) {slerp:.1f} ns, glm.slerp {glm_slerp:.1f} ns, ours / PyGLM "
          f"{slerp / glm_slerp:.2f}")
    print(f"load average after: {', '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
