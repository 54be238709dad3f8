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

sys.path.insert(0, os.path.dirname(__file__))

import numpy as np  # noqa: E402
from scipy.spatial.transform import Rotation  # noqa: E402

from common import Op, check, interleaved  # noqa: E402
from tessary_py import AngleRadians, Quat, Vec3d, VecList  # noqa: E402

AXIS = np.array([1.0, 2.0, 2.0]) / 3.0
ANGLE = 0.7
TARGET = (0.1, -0.2, 0.3)


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


def operations(points):
    """The boundary on the (n, 3) array `points`: the pipeline, the copy in,
    the export out."""
    q = Quat.from_axis_angle(Vec3d(*AXIS), AngleRadians(ANGLE))
    rotation = Rotation.from_rotvec(ANGLE * AXIS)
    target_vec, target_np = Vec3d(*TARGET), np.array(TARGET)
    vl = VecList(points)
    return [
        Op("pipeline", lambda: pipeline_ours(points, q, target_vec), lambda: pipeline_peer(points, rotation, target_np),
           "Rotation.apply + einsum + argmin", kind="pipeline"),
        Op("VecList(a)", lambda: VecList(points), lambda: points.copy(), "a.copy()", kind="boundary", exact=True),
        Op("np.asarray(vl)", lambda: np.asarray(vl), lambda: points.view(), "a.view()", kind="boundary", exact=True),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1000000,10000000")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    print(f"# numpy boundary ({os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')})")
    print("\n| n | pipeline ours (ms) | scipy + numpy (ms) | ours / peer | VecList(a) (ms) | a.copy() (ms) | ratio |")
    print("|---|---|---|---|---|---|---|")
    for n in sizes:
        pipeline, make, _ = operations(np.random.default_rng(n).standard_normal((n, 3)))
        for op in (pipeline, make):
            check(op)
        ours, peer = interleaved([pipeline.ours, pipeline.peer], budget=3.0, rounds=args.rounds)
        mine, copy = interleaved([make.ours, make.peer], budget=3.0, rounds=args.rounds)
        print(f"| {n:,} | {ours * 1e3:.1f} | {peer * 1e3:.1f} | {ours / peer:.2f} | {mine * 1e3:.1f} | "
              f"{copy * 1e3:.1f} | {mine / copy:.2f} |")

    print("\n| n | np.asarray(vl) (µs) |")
    print("|---|---|")
    for n in (1_000, max(sizes)):
        export = operations(np.zeros((n, 3)))[2]
        t = interleaved([export.ours], budget=0.5, rounds=args.rounds)[0]
        print(f"| {n:,} | {t * 1e6:.2f} |")


if __name__ == "__main__":
    sys.exit(main())
