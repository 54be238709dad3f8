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
import time

import numpy as np

from scipy.spatial.transform import Rotation

from tessary_py import Quat, Vec3d, VecList

SIZES = (1_000, 100_000, 1_000_000)
P = (0.3, -0.2, 0.7)
EPSILON = 2.0**-52


def best_of(fn, budget=1.0, min_reps=3, max_reps=2000):
    """Best wall time of fn(), repeating within about `budget` seconds."""
    times = []
    start = time.perf_counter()
    while len(times) < max_reps and (len(times) < min_reps or time.perf_counter() - start < budget):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def interleaved(ours, peer, rounds=7, budget=0.25):
    """Best times of two functions measured alternately."""
    a = b = float("inf")
    for _ in range(rounds):
        a = min(a, best_of(ours, budget))
        b = min(b, best_of(peer, budget))
    return a, b


def operations(n, rng):
    arr = rng.standard_normal((n, 3))
    vl = VecList([Vec3d(*row) for row in arr.tolist()])
    o = np.array(P)
    p = Vec3d(*P)
    s = 1.75

    def np_norm():
        return np.sqrt(np.einsum("ij,ij->i", arr, arr))

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
        return np.einsum("ij,ij->i", d, d).tolist()

    def np_dist():
        d = arr - o
        return np.sqrt(np.einsum("ij,ij->i", d, d)).tolist()

    rows = [
        # name, kind, ours, peer, peer description
        ("v + p", "VecList", lambda: vl + p, lambda: arr + o, "a + o"),
        ("v - p", "VecList", lambda: vl - p, lambda: arr - o, "a - o"),
        ("v * s", "VecList", lambda: vl * s, lambda: arr * s, "a * s"),
        ("s * v", "VecList", lambda: s * vl, lambda: s * arr, "s * a"),
        ("v / s", "VecList", lambda: vl / s, lambda: arr / s, "a / s"),
        ("cross", "VecList", lambda: vl.cross(p), lambda: np.cross(arr, o), "np.cross(a, o)"),
        ("normalize", "VecList", lambda: vl.normalize(), lambda: arr / np_norm()[:, None],
         "a / sqrt(einsum)[:, None]"),
        ("collapse(1)", "VecList", lambda: vl.collapse(1), np_collapse, "copy; [:, 1] = 0"),
        ("dot", "list", lambda: vl.dot(p), lambda: (arr @ o).tolist(), "(a @ o).tolist()"),
        ("magnitude", "list", lambda: vl.magnitude(), lambda: np_norm().tolist(), "sqrt(einsum).tolist()"),
        ("is_unit", "list", lambda: vl.is_unit(), lambda: (np.abs(np_norm() - 1.0) < EPSILON).tolist(),
         "(|norm - 1| < eps).tolist()"),
        ("distance_to", "list", lambda: vl.distance_to(p), np_dist, "sqrt(einsum(d, d)).tolist()"),
        ("distance_squared", "list", lambda: vl.distance_squared(p), np_dist2, "einsum(d, d).tolist()"),
        ("minimum_distance_to(p, 1)", "nearest", lambda: vl.minimum_distance_to(p, 1), np_nearest,
         "einsum(d, d).argmin()"),
    ]
    q = Quat(0.9, 0.1, -0.3, 0.2)
    rotation = Rotation.from_quat([0.1, -0.3, 0.2, 0.9])
    rows.append(("rotate", "rotate", lambda: vl.rotate(q), lambda: rotation.apply(arr), "Rotation.apply(a)"))
    objects = [Vec3d(*row) for row in arr.tolist()]
    tuples = [tuple(row) for row in arr.tolist()]
    rows.append(("VecList(list of Vec3d)", "construct", lambda: VecList(objects), lambda: np.array(tuples),
                 "np.array(list of tuples)"))
    return rows, arr


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
        rows, arr = operations(n, rng)
        flat = arr[:, 0].copy()
        floor = best_of(lambda: flat.tolist(), 0.5)
        for name, kind, ours, peer, description in rows:
            gc.collect()
            t_ours, t_peer = interleaved(ours, peer)
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
