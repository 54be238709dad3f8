"""Neighbours of a real scan: every point's k nearest, the cloud asked of
itself, on clouds in the order a scanner writes them, beside pykdtree,
scipy's `cKDTree` (`workers=-1`) and Open3D's `core.nns`, each where it is
installed.

Clouds (bench/clouds.py): the synthetic airborne scan in scan order at
1.1·10^5 and 10^6 points, and the surface room with a sphere at 10^6
points in generation order and shuffled. For each: the build (ours against
pykdtree's), and k = 8 and k = 16 for every point of the cloud, ours both
as `nearest_k_each_point(k)` (the tree's own points, leaf by leaf) and as
`nearest_k_each(points, k)` (the points passed again); the peers'
`query(points, k)`. Every answer includes the point itself, as the peers'
do. Before timing, ours are checked against pykdtree's indices where no
distances tie. Threads: our pool's (RAYON_NUM_THREADS, else the CPUs this
process may use); pykdtree's OMP_NUM_THREADS is set to the same.

    python3 bench/bench_scans.py [--sizes 110000,1000000] [--budget 2]
"""

import argparse
import os
import sys
import time

THREADS = os.environ.get("RAYON_NUM_THREADS") or str(len(os.sched_getaffinity(0)))
os.environ.setdefault("OMP_NUM_THREADS", THREADS)

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from clouds import surface_room, synthetic_scan  # noqa: E402
from common import importable_peers, interleaved  # noqa: E402

from tessary_py import KdTree  # noqa: E402

# Ours over pykdtree's, at most (every point's k nearest at k = 8 and 16,
# and the build, on the synthetic scan).
TARGETS = {"k=8": 0.5, "k=16": 0.5, "build": 0.6}


def peers():
    return importable_peers({"pykdtree": "pykdtree.kdtree", "scipy": "scipy.spatial", "open3d": "open3d"})


def clouds(sizes):
    for n in sizes:
        yield f"synthetic scan, {n:,}, scan order", synthetic_scan(n), True
    n = max(sizes)
    room = surface_room(n)
    yield f"room, {n:,}, generation order", room, False
    yield f"room, {n:,}, shuffled", room[np.random.default_rng(1).permutation(n)], False


def contenders(found, points):
    ours = KdTree(points)
    ops = {"build": {"ours": lambda: KdTree(points)}}
    for k in (8, 16):
        ops[f"k={k}"] = {"ours, each point": lambda k=k: ours.nearest_k_each_point(k),
                         "ours, points again": lambda k=k: ours.nearest_k_each(points, k)}
    if found["pykdtree"]:
        make = found["pykdtree"].KDTree
        ops["build"]["pykdtree"] = lambda: make(points)
        tree = make(points)
        for k in (8, 16):
            ops[f"k={k}"]["pykdtree"] = lambda k=k: tree.query(points, k=k)
    if found["scipy"]:
        ck = found["scipy"].cKDTree(points)
        for k in (8, 16):
            ops[f"k={k}"]["scipy"] = lambda k=k: ck.query(points, k=k, workers=-1)
    if found["open3d"]:
        o3d = found["open3d"]
        search = o3d.core.nns.NearestNeighborSearch(o3d.core.Tensor(points))
        search.knn_index()
        tensor = o3d.core.Tensor(points)
        for k in (8, 16):
            ops[f"k={k}"]["open3d core.nns"] = lambda k=k: search.knn_search(tensor, k)
    return ops, ours


def check(found, ours, points):
    """Ours against pykdtree's where no distances tie (scan noise makes ties
    rare; rows with one are left out)."""
    if not found["pykdtree"]:
        return "not checked (no pykdtree)"
    indices, distances = (np.asarray(a) for a in ours.nearest_k_each_point(8))
    theirs_d, theirs_i = found["pykdtree"].KDTree(points).query(points, k=8)
    tied = np.any(np.diff(distances, axis=1) == 0, axis=1)
    agree = np.all(indices == theirs_i, axis=1) | tied
    return f"agrees with pykdtree on {np.count_nonzero(agree):,} of {len(points):,} rows ({np.count_nonzero(tied):,} with ties)"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="110000,1000000")
    parser.add_argument("--budget", type=float, default=2.0, help="seconds per contender and operation")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    found = peers()
    print(f"# Every point's neighbours on scans ({THREADS} threads; load {os.getloadavg()[0]:.1f} at the start)\n")
    for name, points, targeted in clouds(sizes):
        ops, ours = contenders(found, points)
        print(f"## {name}\n\n{check(found, ours, points)}\n")
        print("| operation | contender | ms | ours / pykdtree |\n|---|---|---|---|")
        for op, fns in ops.items():
            names = list(fns)
            times = interleaved([fns[c] for c in names], budget=args.budget)
            peer = times[names.index("pykdtree")] if "pykdtree" in names else None
            for contender, seconds in zip(names, times):
                ratio = f"{seconds / peer:.2f}" if peer and contender.startswith("ours") else ""
                target = TARGETS.get(op) if targeted and contender.startswith("ours") else None
                mark = f" (target ≤ {target})" if target and ratio else ""
                print(f"| {op} | {contender} | {seconds * 1e3:.1f} | {ratio}{mark} |")
        print()
    print(f"load {os.getloadavg()[0]:.1f} at the end, {time.strftime('%Y-%m-%d %H:%M')}")


if __name__ == "__main__":
    main()
