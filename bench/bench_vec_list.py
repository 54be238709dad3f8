"""VecList bulk operations beside their NumPy/SciPy equivalents.

Run from the repository root after building:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE PYTHONPATH=build python3 bench/bench_vec_list.py

Every row times one operation and its peer in the same process, interleaved,
and reports the best of several repetitions. Operations that return a Python
list are also set against the floor: building a Python list of n floats from
a 1-D float64 array with `ndarray.tolist()`, which is what any list result
costs at least. The last table gives the peak memory each operation adds on
top of its input, measured in a fresh process per operation (peak RSS, reset
through /proc/self/clear_refs before the call), beside the size of its
result.
"""

import gc
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))

import numpy as np  # noqa: E402
from scipy.spatial.transform import Rotation  # noqa: E402

from common import Op, best_time, check, interleaved  # noqa: E402
from tessary_py import AngleRadians, Quat, Vec3d, VecList  # noqa: E402

SIZES = (1_000, 100_000, 1_000_000)
P = (0.3, -0.2, 0.7)
EPSILON = 2.0**-52
AXIS = np.array([1.0, 2.0, 2.0]) / 3.0
ANGLE = 0.7


def points(n, rng):
    """n standard-normal vectors, every fourth of them scaled to unit length
    so that is_unit has some True answers."""
    arr = rng.standard_normal((n, 3))
    arr[::4] /= np.sqrt(np.einsum("ij,ij->i", arr[::4], arr[::4]))[:, None]
    return arr


def operations(arr):
    """Every bulk operation of VecList on the vectors of `arr`, beside its
    numpy/scipy equivalent."""
    vl = VecList(arr)
    o = np.array(P)
    p = Vec3d(*P)
    s = 1.75

    def np_norm():
        return np.sqrt(np.einsum("ij,ij->i", arr, arr))

    def np_norm_in_our_order():
        # is_unit compares |v| with 1 to the last bit: einsum sums in another
        # order, which moves about one unit vector in sixty across the line.
        x, y, z = arr.T
        return np.sqrt((x * x + y * y) + z * z)

    def np_collapse():
        out = arr.copy()
        out[:, 1] = 0.0
        return out

    def np_nearest():
        d = arr - o
        sq = np.einsum("ij,ij->i", d, d)
        i = int(sq.argmin())
        return i, float(np.sqrt(sq[i]))

    def np_dist2():
        d = arr - o
        return np.einsum("ij,ij->i", d, d)

    # rotate works in place: ours turns the same list again on every call,
    # which allocates nothing; Rotation.apply returns a new array each time.
    q = Quat.from_axis_angle(Vec3d(*AXIS), AngleRadians(ANGLE))
    rotation = Rotation.from_rotvec(ANGLE * AXIS)
    spinning = VecList(arr)

    def rotated_copy():
        fresh = VecList(arr)
        fresh.rotate(q)
        return fresh

    # rotate_each: one unit quaternion per point, as an (n, 4) array of
    # (w, i, j, k); scipy gets the same rotations as [x, y, z, w] conjugated.
    turns = np.random.default_rng(len(arr)).standard_normal((len(arr), 4))
    turns /= np.linalg.norm(turns, axis=1)[:, None]
    scipy_turns = np.ascontiguousarray(turns[:, [1, 2, 3, 0]] * np.array([-1.0, -1.0, -1.0, 1.0]))
    turning = VecList(arr)

    def rotated_each_copy():
        fresh = VecList(arr)
        fresh.rotate_each(turns)
        return fresh

    return [
        Op("v * s", lambda: vl * s, lambda: arr * s, "a * s", exact=True),
        Op("s * v", lambda: s * vl, lambda: s * arr, "s * a", exact=True),
        Op("v / s", lambda: vl / s, lambda: arr / s, "a / s", exact=True),
        Op("v + p", lambda: vl + p, lambda: arr + o, "a + o", exact=True),
        Op("v - p", lambda: vl - p, lambda: arr - o, "a - o", exact=True),
        Op("cross", lambda: vl.cross(p), lambda: np.cross(arr, o), "np.cross(a, o)"),
        Op("normalize", lambda: vl.normalize(), lambda: arr / np_norm()[:, None], "a / sqrt(einsum)[:, None]"),
        Op("collapse(1)", lambda: vl.collapse(1), np_collapse, "copy; [:, 1] = 0", exact=True),
        Op("rotate", lambda: spinning.rotate(q), lambda: rotation.apply(arr), "Rotation.apply(a)", kind="rotate",
           value=rotated_copy),
        Op("rotate_each", lambda: turning.rotate_each(turns), lambda: Rotation.from_quat(scipy_turns).apply(arr),
           "Rotation.from_quat(q).apply(a)", kind="rotate", value=rotated_each_copy),
        Op("dot", lambda: vl.dot(p), lambda: (arr @ o).tolist(), "(a @ o).tolist()", kind="list",
           raw=lambda: arr @ o, raw_text="a @ o"),
        Op("magnitude", lambda: vl.magnitude(), lambda: np_norm().tolist(), "sqrt(einsum).tolist()", kind="list",
           raw=np_norm, raw_text="sqrt(einsum)"),
        Op("is_unit", lambda: vl.is_unit(), lambda: (np.abs(np_norm_in_our_order() - 1.0) < EPSILON).tolist(),
           "(abs(sqrt((x*x + y*y) + z*z) - 1) < eps).tolist()", kind="list", exact=True,
           raw=lambda: np.abs(np_norm_in_our_order() - 1.0) < EPSILON, raw_text="abs(sqrt((x*x + y*y) + z*z) - 1) < eps"),
        Op("distance_to", lambda: vl.distance_to(p), lambda: np.sqrt(np_dist2()).tolist(),
           "sqrt(einsum(d, d)).tolist()", kind="list", raw=lambda: np.sqrt(np_dist2()), raw_text="sqrt(einsum(d, d))"),
        Op("distance_squared", lambda: vl.distance_squared(p), lambda: np_dist2().tolist(), "einsum(d, d).tolist()",
           kind="list", raw=np_dist2, raw_text="einsum(d, d)"),
        Op("minimum_distance_to(p, 1)", lambda: vl.minimum_distance_to(p, 1), np_nearest, "einsum(d, d).argmin()",
           kind="nearest"),
    ]


def timing_table():
    rng = np.random.default_rng(12345)
    print(f"pool threads: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}, "
          f"cpus={len(os.sched_getaffinity(0))}, load average before: {os.getloadavg()[0]:.2f}")
    print("times: best of alternating rounds, ms; floor: ndarray.tolist() of n float64")
    print()
    header = f"{'n':>9} {'operation':<26} {'ours ms':>10} {'peer ms':>10} {'peer/ours':>9} {'floor ms':>9} " \
             f"{'ours/floor':>10}  target  peer"
    print(header)
    print("-" * len(header))
    verdicts = []
    for n in SIZES:
        arr = points(n, rng)
        objects = [Vec3d(*row) for row in arr.tolist()]
        tuples = [tuple(row) for row in arr.tolist()]
        rows = operations(arr) + [Op("VecList(list of Vec3d)", lambda: VecList(objects), lambda: np.array(tuples),
                                     "np.array(list of tuples)", kind="construct", exact=True)]
        flat = arr[:, 0].copy()
        floor = best_time(lambda: flat.tolist(), 0.5)
        for op in rows:
            name, kind, description = op.name, op.kind, op.peer_text
            check(op)
            gc.collect()
            t_ours, t_peer = interleaved([op.ours, op.peer], budget=1.75, rounds=7)
            speedup = t_peer / t_ours
            floor_ratio = t_ours / floor if kind == "list" else None
            if n == 1_000:
                target = "ours <= peer"
                met = speedup >= 1.0
            elif n == 1_000_000 and kind == "list":
                target = "<= 1.2x floor"
                met = floor_ratio <= 1.2
            elif n == 1_000_000 and kind in ("VecList", "rotate", "nearest"):
                target = ">= 1.5x peer"
                met = speedup >= 1.5
            else:
                target = ""
                met = None
            mark = "" if met is None else ("met" if met else "MISSED")
            floor_text = f"{floor * 1e3:9.3f} {floor_ratio:10.2f}" if floor_ratio is not None else f"{'':9} {'':10}"
            print(f"{n:>9} {name:<26} {t_ours * 1e3:10.3f} {t_peer * 1e3:10.3f} {speedup:9.2f} {floor_text}  "
                  f"{target:<14} {mark:<6} {description}")
            if met is not None:
                verdicts.append((n, name, target, met))
        print()
    missed = [v for v in verdicts if not v[3]]
    print(f"targets met: {len(verdicts) - len(missed)} of {len(verdicts)}")
    for n, name, target, _ in missed:
        print(f"  missed: n={n} {name} ({target})")


# Peak memory: one fresh process per operation, so that nothing freed by an
# earlier operation is reused. The input list is grown by extend() so that
# building it peaks at little more than its own size.
MEMORY_CHILD = r"""
import json, sys
import numpy as np
from tessary_py import Vec3d, VecList
n, name = int(sys.argv[1]), sys.argv[2]
rng = np.random.default_rng(1)
v = VecList.empty()
for _ in range(n // 10_000):
    v.extend(VecList([Vec3d(*row) for row in rng.standard_normal((10_000, 3)).tolist()]))
p = Vec3d(0.3, -0.2, 0.7)
ops = {
    "v + p": lambda: v + p, "v * s": lambda: v * 1.75, "cross": lambda: v.cross(p),
    "normalize": lambda: v.normalize(), "collapse(1)": lambda: v.collapse(1),
    "dot": lambda: v.dot(p), "magnitude": lambda: v.magnitude(), "is_unit": lambda: v.is_unit(),
    "distance_to": lambda: v.distance_to(p), "minimum_distance_to(p, 1)": lambda: v.minimum_distance_to(p, 1),
    "rotate": lambda: v.rotate(__import__("tessary_py").Quat(0.9, 0.1, -0.3, 0.2)),
}
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
v.minimum_distance_to(p, 1)  # starts the pool without allocating anything large
before = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
result = ops[name]()
peak = status("VmHWM:")
print(json.dumps({"added": peak - before}))
"""


def result_bytes(name, n):
    if name in ("v + p", "v * s", "cross", "normalize", "collapse(1)", "rotate"):
        return 24 * n  # one new array of vectors (rotate: the replacement array)
    if name == "is_unit":
        return 8 * n  # list slots; True/False are shared
    if name == "minimum_distance_to(p, 1)":
        return 0
    return 8 * n + 32 * n  # list slots + one float object each (32-byte blocks)


def memory_table(n=1_000_000):
    names = ["v + p", "v * s", "cross", "normalize", "collapse(1)", "dot", "magnitude", "is_unit",
             "distance_to", "minimum_distance_to(p, 1)", "rotate"]
    print(f"peak memory added by one operation, n = {n}")
    print(f"{'operation':<26} {'added MB':>9} {'result MB':>9} {'extra MB':>9}")
    for name in names:
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(n), name], capture_output=True, text=True,
                             check=True)
        added = json.loads(out.stdout)["added"]
        result = result_bytes(name, n)
        print(f"{name:<26} {added / 1e6:9.2f} {result / 1e6:9.2f} {(added - result) / 1e6:9.2f}")


if __name__ == "__main__":
    timing_table()
    print()
    memory_table()
