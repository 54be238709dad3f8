"""Neighbour queries: `KdTree` beside pykdtree, scipy's `cKDTree`
(`workers=-1`), Open3D and scikit-learn, each where it is installed.

For each cloud (uniform in a cube, and a noisy unit sphere, the shape of a
scanned surface) and each size n, the same n points and m query points
drawn from the same distribution (m = n up to 10^6, then 10^6) are given
to every contender, and it is timed for:

- build: from the (n, 3) float64 array to a tree (Open3D's conversion to
  its point cloud included);
- m queries, k = 1 and k = 8, in one call (Open3D: `core.nns.knn_search`);
- m radius counts in one call, with the radius that gives about 25
  neighbours (scipy: `query_ball_point(..., return_length=True)`);
- one query per Python call, over 10^4 different query points (ours:
  `nearest(Vec3d)`, scipy: `query(row)`, Open3D: `KDTreeFlann.search_knn_
  vector_3d(row, 1)`).

Before timing, our k = 1 and k = 8 answers are compared with scipy's
(indices and distances, bit for bit); with random clouds no distances tie.
pykdtree's threads are capped with OMP_NUM_THREADS at the CPUs this
process may use, unless it is set. The resident memory the tree takes per
point (its own copy of the points included) is measured in a fresh
interpreter at the largest size.

Run from the repository root after installing (needs numpy; the peers are
optional: pykdtree and scikit-learn are in the `bench` extra, and Open3D
installs without its notebook dependencies as
`pip install --no-deps open3d-cpu && pip install plotly dash`):

    python3 bench/bench_kdtree.py [--sizes 100000,1000000,10000000]
"""

import argparse
import gc
import os
import subprocess
import sys
import textwrap
import time

os.environ.setdefault("OMP_NUM_THREADS", str(len(os.sched_getaffinity(0))))

import numpy as np  # noqa: E402

from tessary_py import KdTree, Vec3d  # noqa: E402

from common import importable_peers  # noqa: E402

SIZES = (100_000, 1_000_000, 10_000_000)
MOST_QUERIES = 1_000_000
SINGLE_QUERIES = 10_000
NEIGHBOURS = 25  # expected within the radius of the count queries
CLOUDS = ("uniform", "sphere")
# Ours over the peer, at most, at 10^6 points (build, k = 1, k = 8, counts,
# one nearest(p) in microseconds).
TARGETS = {("build", "pykdtree"): 0.5, ("k=1", "pykdtree"): 0.25, ("k=1", "scipy"): 0.25,
           ("k=8", "pykdtree"): 0.4, ("count", "scipy"): 0.25}
SINGLE_TARGET_US = 1.0
MEMORY_BOUND = 40  # bytes per point beyond the points' own 24


def cloud(kind, n, seed):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.uniform(-1.0, 1.0, (n, 3))
    points = rng.standard_normal((n, 3))
    points /= np.linalg.norm(points, axis=1)[:, None]
    return points + rng.normal(scale=0.01, size=points.shape)


def radius(kind, n):
    """The radius with about NEIGHBOURS points in it: the sphere's area is 4 pi,
    the cube's volume 8."""
    if kind == "sphere":
        return float(np.sqrt(NEIGHBOURS * 4.0 / n))
    return float((NEIGHBOURS * 8.0 * 3.0 / (4.0 * np.pi * n)) ** (1.0 / 3.0))


def peers():
    """{name: module or None}; a missing peer is left out of every table."""
    return importable_peers({"pykdtree": "pykdtree.kdtree", "scipy": "scipy.spatial", "open3d": "open3d",
                             "sklearn": "sklearn.neighbors"})


def contenders(found, points, queries, r):
    """{operation: {contender: callable}} for one cloud."""
    q = np.ascontiguousarray(queries)
    ops = {"build": {"ours": lambda: KdTree(points)}, "k=1": {}, "k=8": {}, "count": {}}
    ours = KdTree(points)
    ops["k=1"]["ours"] = lambda: ours.nearest_each(q)
    ops["k=8"]["ours"] = lambda: ours.nearest_k_each(q, 8)
    ops["count"]["ours"] = lambda: ours.count_within_each(q, r)
    trees = {"ours": ours}
    # Each callable takes what it calls as a default, bound now: a closure
    # would look the name up when it runs, after the next peer rebinds it.
    if found["pykdtree"]:
        make = found["pykdtree"].KDTree
        ops["build"]["pykdtree"] = lambda make=make: make(points)
        pykd = make(points)
        ops["k=1"]["pykdtree"] = lambda: pykd.query(q, k=1)
        ops["k=8"]["pykdtree"] = lambda: pykd.query(q, k=8)
    if found["scipy"]:
        make = found["scipy"].cKDTree
        ops["build"]["scipy"] = lambda make=make: make(points)
        ck = trees["scipy"] = make(points)
        ops["k=1"]["scipy"] = lambda: ck.query(q, k=1, workers=-1)
        ops["k=8"]["scipy"] = lambda: ck.query(q, k=8, workers=-1)
        ops["count"]["scipy"] = lambda: ck.query_ball_point(q, r, return_length=True, workers=-1)
    if found["open3d"]:
        o3d = found["open3d"]

        def flann():
            cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))
            return o3d.geometry.KDTreeFlann(cloud)

        def nns():
            search = o3d.core.nns.NearestNeighborSearch(o3d.core.Tensor(points))
            search.knn_index()
            return search

        ops["build"]["open3d"] = flann
        ops["build"]["open3d core.nns"] = nns
        search, query_tensor = nns(), o3d.core.Tensor(q)
        trees["open3d"] = flann()
        ops["k=1"]["open3d"] = lambda: search.knn_search(query_tensor, 1)
        ops["k=8"]["open3d"] = lambda: search.knn_search(query_tensor, 8)
    if found["sklearn"]:
        make = found["sklearn"].KDTree
        ops["build"]["sklearn"] = lambda make=make: make(points)
        if len(q) <= 100_000:
            sk = make(points)
            ops["k=1"]["sklearn"] = lambda: sk.query(q, k=1)
            ops["k=8"]["sklearn"] = lambda: sk.query(q, k=8)
            ops["count"]["sklearn"] = lambda: sk.query_radius(q, r, count_only=True)
    return ops, trees


def check(ours, scipy_tree, queries):
    """Our k = 1 and k = 8 answers against scipy's, bit for bit."""
    if scipy_tree is None:
        return "scipy absent"
    q = queries[:100_000]
    for k in (1, 8):
        mine = ours.nearest_each(q) if k == 1 else ours.nearest_k_each(q, k)
        d, i = scipy_tree.query(q, k=k, workers=-1)
        assert np.array_equal(np.asarray(mine[0]), i), k
        assert np.asarray(mine[1]).tobytes() == d.tobytes(), k
    return f"k = 1 and 8 equal to scipy's, bit for bit, on {len(q):,} queries"


def best_of(ops, repeat):
    """{operation: {contender: best seconds}}, contenders taking turns."""
    best = {op: {who: float("inf") for who in fns} for op, fns in ops.items()}
    for _ in range(repeat):
        for op, fns in ops.items():
            for who, fn in fns.items():
                gc.collect()
                start = time.perf_counter()
                result = fn()
                best[op][who] = min(best[op][who], time.perf_counter() - start)
                del result
    return best


def single_query(trees, queries):
    """Microseconds per call of one nearest-point query, over distinct points."""
    rows = [np.array(row) for row in queries[:SINGLE_QUERIES]]
    vectors = [Vec3d(*row) for row in queries[:SINGLE_QUERIES].tolist()]
    calls = {"ours": lambda: [trees["ours"].nearest(p) for p in vectors]}
    if "scipy" in trees:
        calls["scipy"] = lambda: [trees["scipy"].query(row) for row in rows]
    if "open3d" in trees:
        calls["open3d"] = lambda: [trees["open3d"].search_knn_vector_3d(row, 1) for row in rows]
    best = {who: float("inf") for who in calls}
    for _ in range(5):
        for who, call in calls.items():
            start = time.perf_counter()
            call()
            best[who] = min(best[who], (time.perf_counter() - start) / SINGLE_QUERIES * 1e6)
    return best


MEMORY_SCRIPT = """
import sys, numpy as np
from tessary_py import KdTree
def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith(field + ":"))
n = int(sys.argv[1])
points = np.random.default_rng(5).uniform(-1, 1, (n, 3))
# The worker pool's threads are started by a first build, outside the count.
KdTree(points[:40_000]).nearest_each(points[:5_000])
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
tree = KdTree(points)
print(status("VmRSS") - before, status("VmHWM") - before)
"""


def memory(n):
    """(resident bytes per point the tree added, peak bytes per point while it
    was built), both with its own copy of the points."""
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(MEMORY_SCRIPT), str(n)], capture_output=True,
                         text=True, timeout=600)
    if out.returncode != 0:
        return None
    kept, peak = map(int, out.stdout.split())
    return kept / n, peak / n


def measure(sizes=SIZES, clouds=CLOUDS):
    """Rows {cloud, n, m, radius, times, single, check}, and the memory."""
    found = peers()
    rows = []
    for kind in clouds:
        for n in sizes:
            m = min(n, MOST_QUERIES)
            points, queries = cloud(kind, n, 1), cloud(kind, m, 2)
            r = radius(kind, n)
            ops, trees = contenders(found, points, queries, r)
            agreement = check(trees["ours"], trees.get("scipy"), queries)
            repeat = 3 if n <= 100_000 else 2 if n <= 1_000_000 else 1
            times = best_of(ops, repeat)
            single = single_query(trees, queries)
            rows.append({"cloud": kind, "n": n, "m": m, "radius": r, "times": times, "single": single,
                         "check": agreement, "load": os.getloadavg()[0]})
            print(f"  {kind} n = {n:,}: done (load {os.getloadavg()[0]:.2f})", flush=True)
            del ops, trees, points, queries
            gc.collect()
    return rows, memory(max(sizes))


COLUMNS = ("ours", "pykdtree", "scipy", "open3d", "open3d core.nns", "sklearn")
TEXT = {"build": "build", "k=1": "{m} queries, k = 1", "k=8": "{m} queries, k = 8",
        "count": "{m} radius counts"}


def cell(seconds):
    if seconds is None:
        return "—"
    return f"{seconds * 1e3:.1f} ms" if seconds < 10 else f"{seconds:.1f} s"


def markdown(rows, memory_per_point):
    lines = []
    for row in rows:
        n, m = row["n"], row["m"]
        lines += [f"### {row['cloud']}, n = {n:,} (m = {m:,} queries, radius {row['radius']:.4g}, "
                  f"load {row['load']:.2f})", "",
                  "| | " + " | ".join(COLUMNS) + " | ours / pykdtree | ours / scipy |",
                  "|---" * (len(COLUMNS) + 3) + "|"]
        for op, text in TEXT.items():
            times = row["times"][op]
            ratios = []
            for peer in ("pykdtree", "scipy"):
                if peer not in times:
                    ratios.append("—")
                    continue
                ratio = times["ours"] / times[peer]
                target = TARGETS.get((op, peer)) if n == 1_000_000 else None
                verdict = "" if target is None else f" (≤ {target:g}: {'met' if ratio <= target else 'missed'})"
                ratios.append(f"{ratio:.2f}{verdict}")
            lines.append(f"| {text.format(m=f'{m:,}')} | " + " | ".join(cell(times.get(c)) for c in COLUMNS)
                         + " | " + " | ".join(ratios) + " |")
        single = row["single"]
        verdict = f" (≤ {SINGLE_TARGET_US:g} µs: {'met' if single['ours'] <= SINGLE_TARGET_US else 'missed'})" \
            if n == 1_000_000 else ""
        lines.append("| one query per call (µs) | " + " | ".join(
            f"{single[c]:.2f}" if c in single else "—" for c in COLUMNS) + f" | | {verdict} |")
        lines += ["", f"Check: {row['check']}.", ""]
    if memory_per_point is not None:
        kept, peak = memory_per_point
        n = max(r["n"] for r in rows)
        lines += [f"Memory at n = {n:,}: the tree added {kept:.1f} bytes of resident memory per point, its own "
                  f"copy of the points (24) included, so {kept - 24:.1f} beyond them (bound {MEMORY_BOUND}: "
                  f"{'met' if kept - 24 <= MEMORY_BOUND else 'missed'}); the peak while building was "
                  f"{peak:.1f} bytes per point above the start.", ""]
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)))
    parser.add_argument("--clouds", default=",".join(CLOUDS))
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    print(f"# KdTree ({os.cpu_count()} CPUs, load {', '.join(f'{x:.2f}' for x in os.getloadavg())}, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}, "
          f"OMP_NUM_THREADS={os.environ['OMP_NUM_THREADS']})\n")
    rows, memory_per_point = measure(sizes, args.clouds.split(","))
    print("\n".join(markdown(rows, memory_per_point)))
    print(f"load at the end: {', '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    sys.exit(main())
