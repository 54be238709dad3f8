"""Downsampling: `VoxelGrid` and `VecList.voxel_down_sample` beside Open3D,
small_gicp, KISS-ICP and numpy; `VecList.farthest_point_sample` beside
fpsample (its exact `fps_sampling` and QuickFPS, `bucket_fps_kdtree_sampling`)
and Open3D; each peer where it is installed.

Two clouds at each size n (10^5, 10^6, 10^7): uniform in a cube, and a
room (its floor, walls and ceiling, and boxes standing on the floor, all
surfaces), each with a voxel edge that gives about 10 points per voxel.
Each contender gets the same float64 array (Open3D its point cloud, made
outside the timing; small_gicp at one thread and at as many as the worker
pool has). numpy's `unique` + `bincount` runs up to 10^6 points (at 10^7 it
takes minutes), Open3D's and fpsample's exact O(nk) samplers once.

Checked, not timed: with its grid anchored as Open3D's (half a voxel below
the cloud's smallest corner) `VoxelGrid` has Open3D's number of voxels, and
with the default one small_gicp's at one thread; at map coordinates (the
room moved to (512 000, 5 430 000, 231), 1 cm voxels, 2 * 10^5 points)
every voxel is there (the count of distinct exact floors, by fractions) and
sampled centroids are exact; the voxels, centroids and sampled indices are
the same at 1, 2 and 3 threads; farthest-point indices equal the plain
rule's (fpsample's `fps_sampling`, or numpy's plain loop without it). The
resident memory a 10^7-point `VoxelGrid` takes beyond its input is
measured in a fresh interpreter.

Run from the repository root after installing (numpy; the peers are
optional: `pip install small_gicp fpsample`, and Open3D as
`pip install --no-deps open3d-cpu && pip install plotly dash`):

    python3 bench/bench_downsampling.py [--sizes 100000,1000000,10000000]
"""

import argparse
import gc
import math
import os
import subprocess
import sys
import textwrap
import time
from fractions import Fraction

import numpy as np

from tessary_py import Vec3d, VecList, VoxelGrid

from common import importable_peers, pool_threads

SIZES = (100_000, 1_000_000, 10_000_000)
CLOUDS = ("uniform", "room")
PER_VOXEL = 10
NUMPY_MOST = 1_000_000
SAMPLING = ((100_000, 4096), (1_000_000, 1024))
TILE = np.array([512000.0, 5430000.0, 231.0])


def room(n, rng):
    """n points on the surfaces of a 10 x 8 x 3 m room with six boxes on its
    floor, in random order; and their total area."""
    faces = [((0, 0, 0), (10, 0, 0), (0, 8, 0)), ((0, 0, 3), (10, 0, 0), (0, 8, 0)),
             ((0, 0, 0), (10, 0, 0), (0, 0, 3)), ((0, 8, 0), (10, 0, 0), (0, 0, 3)),
             ((0, 0, 0), (0, 8, 0), (0, 0, 3)), ((10, 0, 0), (0, 8, 0), (0, 0, 3))]
    for x, y, w, d, h in rng.uniform([1, 1, 0.4, 0.4, 0.4], [8, 6, 1.5, 1.5, 1.2], size=(6, 5)):
        faces += [((x, y, h), (w, 0, 0), (0, d, 0)), ((x, y, 0), (w, 0, 0), (0, 0, h)),
                  ((x, y + d, 0), (w, 0, 0), (0, 0, h)), ((x, y, 0), (0, d, 0), (0, 0, h)),
                  ((x + w, y, 0), (0, d, 0), (0, 0, h))]
    corner, u, v = (np.array(part, dtype=float) for part in zip(*faces))
    areas = np.linalg.norm(np.cross(u, v), axis=1)
    face = rng.choice(len(faces), size=n, p=areas / areas.sum())
    s, t = rng.random(n), rng.random(n)
    points = corner[face] + s[:, None] * u[face] + t[:, None] * v[face]
    return points + rng.normal(scale=0.002, size=points.shape), float(areas.sum())


def cloud(kind, n, seed=1):
    """(points, voxel edge of about PER_VOXEL points per voxel)."""
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.uniform(0.0, 10.0, (n, 3)), 10.0 * (PER_VOXEL / n) ** (1 / 3)
    points, area = room(n, rng)
    return points, math.sqrt(PER_VOXEL * area / n)


def peers():
    return importable_peers({"open3d": "open3d", "small_gicp": "small_gicp", "fpsample": "fpsample",
                             "kiss_icp": "kiss_icp.voxelization"})


def numpy_voxels(points, s):
    """The numpy way: voxel keys, unique with inverse and counts, bincount sums."""
    keys = np.floor(points / s).astype(np.int64)
    _, inverse, counts = np.unique(keys, axis=0, return_inverse=True, return_counts=True)
    inverse = inverse.ravel()
    return np.stack([np.bincount(inverse, points[:, a]) for a in range(3)], axis=1) / counts[:, None]


def voxel_contenders(found, points, s, n):
    ops = {"ours VoxelGrid": lambda: VoxelGrid(points, s),
           "ours voxel_down_sample": lambda: VecList(points).voxel_down_sample(s)}
    if found["open3d"]:
        o3d = found["open3d"]
        pc = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))
        ops["Open3D"] = lambda: pc.voxel_down_sample(s)
    if found["small_gicp"]:
        sg = found["small_gicp"]
        ops["small_gicp, 1 thread"] = lambda: sg.voxelgrid_sampling(points, s, num_threads=1)
        ops[f"small_gicp, {pool_threads()} threads"] = lambda: sg.voxelgrid_sampling(points, s, num_threads=pool_threads())
    if found["kiss_icp"]:
        ops["KISS-ICP"] = lambda: found["kiss_icp"].voxel_down_sample(points, s)
    if n <= NUMPY_MOST:
        ops["numpy unique + bincount"] = lambda: numpy_voxels(points, s)
    return ops


def best_of(ops, repeat):
    best = {who: float("inf") for who in ops}
    for _ in range(repeat):
        for who, fn in ops.items():
            gc.collect()
            start = time.perf_counter()
            result = fn()
            best[who] = min(best[who], time.perf_counter() - start)
            del result
    return best


def agreement(found, points, s):
    """What the voxel counts of the peers and ours say."""
    notes = []
    ours = len(VoxelGrid(points, s))
    if found["open3d"]:
        o3d = found["open3d"]
        theirs = len(o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points)).voxel_down_sample(s).points)
        low = points.min(axis=0) - s / 2
        anchored = len(VoxelGrid(points, s, origin=Vec3d(*low)))
        notes.append(f"Open3D {theirs:,} voxels, ours anchored as Open3D {anchored:,}, at 0 {ours:,}")
    if found["small_gicp"]:
        sg = found["small_gicp"]
        one = len(sg.voxelgrid_sampling(points, s, num_threads=1).points())
        many = len(sg.voxelgrid_sampling(points, s, num_threads=pool_threads()).points())
        notes.append(f"small_gicp {one:,} at 1 thread, {many:,} at {pool_threads()}")
    return "; ".join(notes)


def map_coordinates(found):
    """The room at UTM coordinates with 1 cm voxels: voxel counts, and our
    centroids against exact fractions on a sample of voxels."""
    points = room(200_000, np.random.default_rng(4))[0] + TILE
    s = 0.01
    grid = VoxelGrid(points, s)
    exact_cells = {tuple(math.floor(Fraction(c) / Fraction(s)) for c in p) for p in points.tolist()}
    inverse, centroids = np.asarray(grid.inverse()), np.asarray(grid.centroids)
    order = np.argsort(inverse, kind="stable")
    starts = np.searchsorted(inverse[order], np.arange(len(grid)))
    exact = True
    for v in range(0, len(grid), max(1, len(grid) // 300)):
        members = order[starts[v]:starts[v + 1] if v + 1 < len(grid) else len(order)]
        for a in range(3):
            total = sum(Fraction(x) for x in points[members, a])
            exact &= float(total) / len(members) == centroids[v, a]
    row = {"points": len(points), "exact voxels": len(exact_cells), "ours": len(grid), "centroids exact": exact}
    if found["small_gicp"]:
        # It warns on standard error for every point it drops.
        saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)
        try:
            row["small_gicp"] = len(found["small_gicp"].voxelgrid_sampling(points, s, num_threads=1).points())
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            os.close(devnull)
    if found["open3d"]:
        o3d = found["open3d"]
        row["Open3D"] = len(o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points)).voxel_down_sample(s).points)
        row["ours anchored as Open3D"] = len(VoxelGrid(points, s, origin=Vec3d(*(points.min(axis=0) - s / 2))))
    return row


THREADS_SCRIPT = """
import hashlib, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import bench_downsampling as b
from tessary_py import VecList, VoxelGrid
digest = hashlib.sha256()
for kind in b.CLOUDS:
    points, s = b.cloud(kind, 1_000_000)
    grid = VoxelGrid(points, s)
    for part in (np.asarray(grid.centroids), grid.counts(), grid.inverse(), grid.nearest()):
        digest.update(memoryview(part).tobytes())
digest.update(memoryview(VecList(points[:100_000]).farthest_point_sample(4096)).tobytes())
print(digest.hexdigest())
"""


def same_at_any_thread_count():
    here = os.path.dirname(os.path.abspath(__file__))
    digests = set()
    for count in (1, 2, 3):
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        env["RAYON_NUM_THREADS"] = str(count)
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(THREADS_SCRIPT), here], env=env,
                             capture_output=True, text=True, timeout=900)
        if out.returncode != 0:
            return f"failed: {out.stderr.strip()[-200:]}"
        digests.add(out.stdout.strip())
    return "the same voxels, centroids, counts, inverse, nearest points and samples at 1, 2 and 3 threads" \
        if len(digests) == 1 else "DIFFERENT results at 1, 2 and 3 threads"


def plain_farthest(points, k):
    """The plain O(nk) rule, from index 0, in numpy."""
    distance = np.full(len(points), np.inf)
    chosen, last = [0], 0
    taken = np.zeros(len(points), dtype=bool)
    taken[0] = True
    while len(chosen) < k:
        d = points - points[last]
        distance = np.minimum(distance, (d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2])
        last = int(np.argmax(np.where(taken, -1.0, distance)))
        taken[last] = True
        chosen.append(last)
    return chosen


def sampling(found):
    rows = []
    for n, k in SAMPLING:
        points = np.random.default_rng(6).random((n, 3))
        ops = {"ours": lambda: VecList(points).farthest_point_sample(k)}
        once = {}
        if found["fpsample"]:
            fps = found["fpsample"]
            ops["fpsample QuickFPS"] = lambda: fps.bucket_fps_kdtree_sampling(points, k, start_idx=0)
            once["fpsample exact"] = lambda: fps.fps_sampling(points, k, start_idx=0)
        if found["open3d"]:
            o3d = found["open3d"]
            pc = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))
            once["Open3D"] = lambda: pc.farthest_point_down_sample(k)
        times = best_of(ops, 3)
        times.update(best_of(once, 1))
        ours = VecList(points).farthest_point_sample(k).tolist()
        check = f"indices {'equal' if ours == plain_farthest(points, k) else 'NOT equal'} to the plain rule's"
        if found["fpsample"]:
            theirs = found["fpsample"].fps_sampling(points, k, start_idx=0).tolist()
            differ = next((i for i in range(k) if theirs[i] != ours[i]), None)
            check += "; fpsample's fps_sampling " + ("the same" if differ is None else f"differs from choice {differ} on")
        rows.append({"n": n, "k": k, "times": times, "check": check, "load": os.getloadavg()[0]})
        print(f"  sampling {n:,} -> {k}: done (load {os.getloadavg()[0]:.2f})", flush=True)
    return rows


MEMORY_SCRIPT = """
import sys, numpy as np
from tessary_py import VoxelGrid
def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith(field + ":"))
n = int(sys.argv[1])
points = np.random.default_rng(5).uniform(0, 10, (n, 3))
VoxelGrid(points[:100_000], 0.1)  # the pool's threads started outside the count
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
grid = VoxelGrid(points, 10.0 * (10 / n) ** (1 / 3))
print(status("VmRSS") - before, status("VmHWM") - before, len(grid))
"""


def memory(n):
    """(bytes per point kept, peak bytes per point while grouping, voxels)."""
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(MEMORY_SCRIPT), str(n)], capture_output=True,
                         text=True, timeout=900)
    if out.returncode != 0:
        return None
    kept, peak, voxels = map(int, out.stdout.split())
    return kept / n, peak / n, voxels


def cell(seconds):
    return "—" if seconds is None else f"{seconds * 1e3:.1f} ms" if seconds < 10 else f"{seconds:.1f} s"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)))
    args = parser.parse_args()
    sizes = [int(x) for x in args.sizes.split(",")]
    found = peers()
    print(f"# Downsampling ({pool_threads()} worker threads; load {os.getloadavg()[0]:.2f} at the start)\n", flush=True)
    rows = []
    for n in sizes:
        for kind in CLOUDS:
            points, s = cloud(kind, n)
            ops = voxel_contenders(found, points, s, n)
            times = best_of(ops, 3 if n <= 1_000_000 else 1)
            rows.append({"cloud": kind, "n": n, "edge": s, "times": times, "check": agreement(found, points, s),
                         "load": os.getloadavg()[0]})
            print(f"  {kind} n = {n:,}: done (load {os.getloadavg()[0]:.2f})", flush=True)
            del ops, points
            gc.collect()
    names = list(dict.fromkeys(who for row in rows for who in row["times"]))
    print("\n## Voxel grids, about 10 points per voxel\n")
    print("| cloud | n | edge | " + " | ".join(names) + " | ours / small_gicp 1 thread | ours / Open3D | load |")
    print("|---|---|---|" + "---|" * len(names) + "---|---|---|")
    for row in rows:
        t = row["times"]
        ratio = lambda peer: f"{t['ours VoxelGrid'] / t[peer]:.2f}" if peer in t else "—"
        print(f"| {row['cloud']} | {row['n']:,} | {row['edge']:.4g} | " + " | ".join(cell(t.get(w)) for w in names)
              + f" | {ratio('small_gicp, 1 thread')} | {ratio('Open3D')} | {row['load']:.2f} |")
    print()
    for row in rows:
        if row["check"]:
            print(f"- {row['cloud']}, {row['n']:,} points: {row['check']}")
    tile = map_coordinates(found)
    print("\n## Map coordinates, 1 cm voxels\n")
    print(f"The room moved to {tuple(TILE.tolist())}: {tile['points']:,} points, {tile['exact voxels']:,} distinct "
          f"exact voxels. Ours: {tile['ours']:,} voxels, sampled centroids "
          f"{'exact' if tile['centroids exact'] else 'NOT exact'}"
          + "".join(f"; {who}: {tile[who]:,}" for who in ("small_gicp", "Open3D", "ours anchored as Open3D")
                    if who in tile) + ".")
    print(f"\nThreads: {same_at_any_thread_count()}.")
    sampled = sampling(found)
    names = list(dict.fromkeys(who for row in sampled for who in row["times"]))
    print("\n## Farthest-point sampling\n")
    print("| n -> k | " + " | ".join(names) + " | ours / QuickFPS | check | load |")
    print("|---|" + "---|" * len(names) + "---|---|---|")
    for row in sampled:
        t = row["times"]
        ratio = f"{t['ours'] / t['fpsample QuickFPS']:.3f}" if "fpsample QuickFPS" in t else "—"
        print(f"| {row['n']:,} -> {row['k']} | " + " | ".join(cell(t.get(w)) for w in names)
              + f" | {ratio} | {row['check']} | {row['load']:.2f} |")
    used = memory(max(sizes))
    if used:
        print(f"\nMemory: a VoxelGrid of {max(sizes):,} points ({used[2]:,} voxels) keeps {used[0]:.1f} bytes per "
              f"point beyond its input and peaks at {used[1]:.1f} while it groups them.")


if __name__ == "__main__":
    main()
