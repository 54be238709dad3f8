"""Points arriving in numpy: the whole pipeline against scipy and numpy, and
the cost of crossing the boundary itself.

Run from the repository root after installing (needs numpy and scipy):

    python3 bench/bench_numpy_boundary.py [--sizes 1000000,10000000]

1. Pipeline: an (n, 3) float64 array -> VecList -> rotate -> nearest point
   -> back to numpy, against scipy `Rotation.apply` + the squared distances
   and `argmin` in numpy. Both answers are checked to agree (positions equal,
   distances and points within 1e-9).
2. `VecList(ndarray)` against `ndarray.copy()` of the same array.
3. `np.asarray(vl)` at n = 10^3 and the largest size: constant time.

Times are the best of several interleaved repetitions, in milliseconds.
"""

import argparse
import os
import sys
import time

import numpy as np
from scipy.spatial.transform import Rotation

from tessary_py import AngleRadians, Quat, Vec3d, VecList

AXIS = np.array([1.0, 2.0, 2.0]) / 3.0
ANGLE = 0.7
TARGET = (0.1, -0.2, 0.3)


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def interleaved(fns, rounds, repeat):
    """Best time of each function, measured in alternation."""
    out = [float("inf")] * len(fns)
    for _ in range(rounds):
        for k, fn in enumerate(fns):
            out[k] = min(out[k], best(fn, repeat))
    return out


def pipeline_ours(points, q, target):
    vl = VecList(points)
    vl.rotate(q)
    position, distance = vl.minimum_distance_to(target, 1)
    return position, distance, np.asarray(vl)


def pipeline_peer(points, rotation, target):
    rotated = rotation.apply(points)
    diff = rotated - target
    d2 = np.einsum("ij,ij->i", diff, diff)
    position = int(np.argmin(d2))
    return position, float(np.sqrt(d2[position])), rotated


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1000000,10000000")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    print(f"# numpy boundary ({os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')})")
    q = Quat.from_axis_angle(Vec3d(*AXIS), AngleRadians(ANGLE))
    rotation = Rotation.from_rotvec(ANGLE * AXIS)
    target_vec, target_np = Vec3d(*TARGET), np.array(TARGET)

    print("\n| n | pipeline ours (ms) | scipy + numpy (ms) | ours / peer | VecList(a) (ms) | a.copy() (ms) | ratio |")
    print("|---|---|---|---|---|---|---|")
    for n in sizes:
        points = np.random.default_rng(n).standard_normal((n, 3))
        mine, theirs = pipeline_ours(points, q, target_vec), pipeline_peer(points, rotation, target_np)
        assert mine[0] == theirs[0], (mine[0], theirs[0])
        assert abs(mine[1] - theirs[1]) < 1e-9
        assert np.max(np.abs(mine[2] - theirs[2])) < 1e-9
        del mine, theirs
        repeat = 3 if n >= 5_000_000 else 5
        ours, peer = interleaved([lambda: pipeline_ours(points, q, target_vec),
                                  lambda: pipeline_peer(points, rotation, target_np)], args.rounds, repeat)
        make, copy = interleaved([lambda: VecList(points), lambda: points.copy()], args.rounds, repeat)
        print(f"| {n:,} | {ours * 1e3:.1f} | {peer * 1e3:.1f} | {ours / peer:.2f} | {make * 1e3:.1f} | "
              f"{copy * 1e3:.1f} | {make / copy:.2f} |")

    print("\n| n | np.asarray(vl) (µs) |")
    print("|---|---|")
    for n in (1_000, max(sizes)):
        vl = VecList(np.zeros((n, 3)))
        t = interleaved([lambda: np.asarray(vl)], args.rounds, 2000)[0]
        print(f"| {n:,} | {t * 1e6:.2f} |")


if __name__ == "__main__":
    sys.exit(main())
