"""Two benchmarks on one cluster.

`--tiles` (tessary_py_dask): voxel downsampling, normals, statistical
outlier removal, k nearest of 10^5 queries, centroid and covariance of a
uniform and a surface-like cloud, on the cluster and in one process (one
VoxelGrid, one KdTree, one VecList with the pool's threads), each answer
checked bit for bit against the one-process answer; times and their ratio
(cluster / one process; below 1: the cluster is faster).

    python3 bench/bench_dask.py --tiles --sizes 1000000 10000000

`--limited` (tessary_py_dask on a cloud larger than any worker's memory):
the cloud is generated chunk by chunk inside the workers, never on the
client, on a LocalCluster whose workers each have `--memory-limit` (below
the cloud's size); voxel downsampling, tiling, normals and statistical
outlier removal run on it, and each reports its time and the largest
resident memory of each worker while it ran (sampled every 50 ms), with
what the workers had spilled to disk. `--check` also computes each answer
in one process (the whole cloud on the client) and compares bit for bit.

    python3 bench/bench_dask.py --limited --sizes 100000000 --memory-limit 2GB --chunk 4000000

Without `--tiles`: the Dask pipeline of examples/dask_cloud.py (rotate a cloud, then find the
point nearest a target) with tessary_py in the tasks, beside the same
pipeline in plain NumPy, on one cluster.

Run from the repository root after installing (with the `bench` extra):

    python3 bench/bench_dask.py                       # 10^7 and 10^8 points, a LocalCluster
    python3 bench/bench_dask.py --sizes 10000000 --workers 2 --threads 1
    python3 bench/bench_dask.py --scheduler tcp://host:8786

The points are generated on the workers (`da.random`) and kept there
(`persist`), so the client ships nothing and the times cover the pipeline
only: for every chunk, rotate and the chunk's nearest point, then the
chunks' candidates combined on the client.

- tessary_py: block -> VecList -> rotate -> np.asarray, then
  VecList(block).minimum_distance_to(target, 1) (the example's functions).
- NumPy: block @ M with M = Quat.to_rotation_matrix() (the transpose of the
  map rotate applies, so this is points @ R.T), then squared distances
  (dx*dx + dy*dy) + dz*dz and argmin; the same offsets and the same
  combine. argmin puts a NaN first, where the search ranks it last; the
  random clouds here hold no NaN.

Both runs must find the same position (their rotations differ in the last
bits, so the distances may too). Each pipeline runs once to warm the
workers, then `--repeat` times interleaved with the other; the best and
the median wall times are reported, and the ratio NumPy / tessary_py (above
1: tessary_py is faster).
"""

import argparse
import contextlib
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import dask_cloud  # noqa: E402
import cloudpickle  # noqa: E402  (comes with dask.distributed)

# Sent to the workers by value, so they need not find the examples folder.
cloudpickle.register_pickle_by_value(dask_cloud)

TARGET = (0.5, -0.25, 1.0)


def numpy_rotate_block(block, matrix):
    return block @ matrix


def numpy_nearest_in_block(block, offset, target):
    if block.shape[0] == 0:
        return None
    d = block - np.asarray(target)
    squared = (d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]
    i = int(np.argmin(squared))
    s = float(squared[i])
    return dask_cloud.Nearest(offset + i, dask_cloud.nearest_key(s), s, float(np.sqrt(s)))


def tessary_pipeline(points, quat, matrix):
    return dask_cloud.nearest(dask_cloud.rotate(points, quat), TARGET)


def numpy_pipeline(points, quat, matrix):
    import dask.array as da
    rotated = da.map_blocks(numpy_rotate_block, points, matrix, dtype=np.float64)
    return dask_cloud.nearest(rotated, TARGET, numpy_nearest_in_block)


def timed(run, *args):
    start = time.perf_counter()
    result = run(*args)
    return time.perf_counter() - start, result


def load():
    return "load average " + ", ".join(f"{x:.2f}" for x in os.getloadavg())


def uniform_cloud(n, rng):
    return rng.uniform(0, 100, (n, 3))


def surface_cloud(n, rng):
    """A wavy sheet of 100 x 100 with a little noise: the shape of a scan."""
    uv = rng.uniform(0, 100, (n, 2))
    return np.c_[uv, 5 * np.sin(uv[:, 0] / 7) * np.cos(uv[:, 1] / 11) + 0.01 * rng.standard_normal(n)]


def same(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and bool(np.all((a.view(np.uint64) == b.view(np.uint64)) | (np.isnan(a) & np.isnan(b))))


def cloud_block(rows, shape, seed, block):
    """Block `block` of a generated cloud: the same rows wherever and whenever it is made."""
    rng = np.random.default_rng([seed, block])
    return uniform_cloud(rows, rng) if shape == "uniform" else surface_cloud(rows, rng)


def generated_cloud(n, chunk, shape, seed):
    """An (n, 3) dask array whose chunks are generated inside the tasks."""
    import dask.array as da
    from dask.delayed import delayed

    make = delayed(cloud_block, pure=True)
    rows = [min(chunk, n - start) for start in range(0, n, chunk)]
    return da.concatenate([da.from_delayed(make(r, shape, seed, b), (r, 3), dtype=np.float64)
                           for b, r in enumerate(rows)])


def start_sampler(dask_worker):
    """In a worker: a thread that keeps the process's largest resident memory since the last reset."""
    import threading

    import psutil

    process = psutil.Process()
    state = {"peak": process.memory_info().rss}

    def sample():
        while True:
            state["peak"] = max(state["peak"], process.memory_info().rss)
            time.sleep(0.05)

    threading.Thread(target=sample, daemon=True, name="bench-memory").start()
    dask_worker.bench_memory = state
    return state["peak"]


def read_sampler(dask_worker, reset=True):
    """The largest resident memory since the last reset, and what the worker has spilled to disk."""
    import psutil

    state = dask_worker.bench_memory
    peak = state["peak"]
    if reset:
        state["peak"] = psutil.Process().memory_info().rss
    spilled = getattr(getattr(dask_worker, "data", None), "spilled_total", None)
    return peak, (getattr(spilled, "disk", None) if spilled is not None else None)


def bench_limited(client, args):
    import tessary_py as tp
    import tessary_py_dask as tpd

    k, ratio, voxel = 16, 2.0, 1.0
    limits = [w["memory_limit"] for w in client.scheduler_info()["workers"].values()]
    print(f"worker memory limits: {', '.join(f'{m / 2**30:.2f} GiB' for m in limits)}")
    client.run(start_sampler)
    failed = False
    print(f"{'points':>11} {'cloud':>8} {'operation':>20} {'cluster s':>10}  peak memory per worker (GiB)  "
          f"spilled (GiB)  same")
    for n in args.sizes:
        shape = args.shape
        print(f"{n} points of {n * 24 / 2**30:.2f} GiB, chunks of {args.chunk} rows", flush=True)
        points = generated_cloud(n, args.chunk, shape, seed=5)
        spacing = 100 / (n ** (1 / 3) if shape == "uniform" else n ** 0.5)
        margin = 3 * spacing
        whole = tree = None
        if args.check:
            rows = [min(args.chunk, n - start) for start in range(0, n, args.chunk)]
            whole = np.concatenate([cloud_block(r, shape, 5, b) for b, r in enumerate(rows)])
        client.run(read_sampler)
        results = {}

        def run(name, call, alone=None):
            start = time.perf_counter()
            got = call()
            seconds = time.perf_counter() - start
            peaks = client.run(read_sampler)
            equal = "not checked"
            if alone is not None:
                expected = alone()
                ok = all(same(a, b) for a, b in zip(expected, got)) if isinstance(expected, tuple) else same(expected, got)
                equal = "yes" if ok else "NO"
            memory = " ".join(f"{p / 2**30:.2f}" for p, _ in peaks.values())
            spilled = " ".join("?" if d is None else f"{d / 2**30:.2f}" for _, d in peaks.values())
            print(f"{n:>11} {shape:>8} {name:>20} {seconds:>10.1f}  {memory:>28}  {spilled:>13}  {equal}  "
                  f"[{load()}]", flush=True)
            results[name] = equal
            return got

        got = run("voxel_down_sample", lambda: tpd.voxel_down_sample(points, voxel),
                  (lambda: (lambda g: (np.asarray(g.centroids), np.asarray(g.counts()), np.asarray(g.inverse()),
                                       np.asarray(g.nearest())))(tp.VoxelGrid(whole, voxel))) if args.check else None)
        del got
        tiled = run("tile", lambda: tpd.tile(points))
        if args.check:
            tree = tp.KdTree(whole)
        got = run("normals", lambda: tpd.normals(tiled, k, margin=margin),
                  (lambda: np.asarray(tree.normals(k))) if args.check else None)
        del got
        got = run("statistical_inliers", lambda: tpd.statistical_inliers(tiled, k, ratio, margin=margin),
                  (lambda: np.asarray(tree.statistical_inliers(k, ratio))) if args.check else None)
        del got, tiled, tree, whole
        failed |= "NO" in results.values()
    return 1 if failed else 0


def bench_tiles(client, args):
    import dask.array as da
    from dask.distributed import wait

    import tessary_py as tp
    import tessary_py_dask as tpd

    k, ratio, voxel = 16, 2.0, 1.0
    print(f"{'points':>10} {'cloud':>8} {'operation':>20} {'one process s':>14} {'cluster s':>10} {'ratio':>6}  same")
    failed = False
    for n in args.sizes:
        for shape, make in (("uniform", uniform_cloud), ("surface", surface_cloud)):
            if args.shapes and shape not in args.shapes:
                continue
            cloud = make(n, np.random.default_rng(5))
            queries = make(100_000, np.random.default_rng(6))
            points = client.persist(da.from_array(cloud, chunks=(args.chunk, 3)))
            wait(points)
            spacing = 100 / (n ** (1 / 3) if shape == "uniform" else n ** 0.5)
            margin = 3 * spacing
            one, many = {}, {}
            start = time.perf_counter()
            grid = tp.VoxelGrid(cloud, voxel)
            one["voxel_down_sample"] = (time.perf_counter() - start, (np.asarray(grid.centroids), np.asarray(grid.inverse())))
            start = time.perf_counter()
            got = tpd.voxel_down_sample(points, voxel)
            many["voxel_down_sample"] = (time.perf_counter() - start, (got.centroids, got.inverse))
            start = time.perf_counter()
            tiled = tpd.tile(points)
            many["tile"] = (time.perf_counter() - start, None)
            start = time.perf_counter()
            tree = tp.KdTree(cloud)
            one["tile"] = (time.perf_counter() - start, None)  # building the one tree
            for name, alone, spread in (
                    ("normals", lambda: tree.normals(k), lambda: tpd.normals(tiled, k, margin=margin)),
                    ("statistical_inliers", lambda: tree.statistical_inliers(k, ratio),
                     lambda: tpd.statistical_inliers(tiled, k, ratio, margin=margin)),
                    ("nearest_k", lambda: tree.nearest_k_each(queries, 8)[0], lambda: tpd.nearest_k(tiled, queries, 8)[0]),
                    ("centroid", lambda: tp.VecList(cloud).centroid().to_array(), lambda: tpd.centroid(points)),
                    ("covariance", lambda: tp.VecList(cloud).covariance(), lambda: tpd.covariance(points))):
                start = time.perf_counter()
                answer = alone()
                one[name] = (time.perf_counter() - start, answer)
                start = time.perf_counter()
                result = spread()
                many[name] = (time.perf_counter() - start, result)
            for name in many:
                a, b = one[name][1], many[name][1]
                equal = True if a is None else (all(same(x, y) for x, y in zip(a, b)) if isinstance(a, tuple) else same(a, b))
                failed |= not equal
                label = "tile / one tree" if name == "tile" else name
                print(f"{n:>10} {shape:>8} {label:>20} {one[name][0]:>14.3f} {many[name][0]:>10.3f} "
                      f"{many[name][0] / one[name][0]:>6.2f}  {'yes' if equal else 'NO'}  [{load()}]", flush=True)
            del points, tiled, tree
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000_000, 100_000_000])
    parser.add_argument("--chunk", type=int, default=1_000_000, help="rows per chunk")
    parser.add_argument("--scheduler", help="address of a running scheduler; default: start a LocalCluster")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=1, help="threads per worker")
    parser.add_argument("--native-threads", type=int, help="tessary_py pool threads per worker (default: --threads)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--tiles", action="store_true", help="benchmark tessary_py_dask against one process")
    parser.add_argument("--limited", action="store_true",
                        help="tessary_py_dask on a generated cloud, workers with --memory-limit each")
    parser.add_argument("--memory-limit", default="2GB", help="each worker's memory limit with --limited")
    parser.add_argument("--shape", choices=("uniform", "surface"), default="surface", help="the cloud of --limited")
    parser.add_argument("--shapes", nargs="+", choices=("uniform", "surface"), help="the clouds of --tiles (default both)")
    parser.add_argument("--check", action="store_true", help="with --limited, compare with one process too")
    args = parser.parse_args()

    from dask.distributed import wait

    quat = dask_cloud.example_rotation()
    matrix = np.array(dask_cloud.tp.Quat(*quat).to_rotation_matrix())
    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(dask_cloud.connect(args.scheduler))
        elif args.limited:
            from dask.distributed import LocalCluster
            cluster = stack.enter_context(LocalCluster(
                n_workers=args.workers, threads_per_worker=args.threads, processes=True, dashboard_address=None,
                memory_limit=args.memory_limit, env={"RAYON_NUM_THREADS": str(args.native_threads or args.threads)}))
            client = stack.enter_context(dask_cloud.connect(cluster))
        else:
            cluster = stack.enter_context(dask_cloud.local_cluster(args.workers, args.threads, args.native_threads))
            client = stack.enter_context(dask_cloud.connect(cluster))
        workers = client.scheduler_info()["workers"].values()
        pools = client.run(lambda: os.environ.get("RAYON_NUM_THREADS", "default"))
        print(f"cluster: {len(workers)} workers x {sorted({w['nthreads'] for w in workers})} threads; "
              f"tessary_py pool threads per worker: {sorted(set(pools.values()))}; "
              f"{os.cpu_count()} cores here; {load()}")
        if args.tiles:
            return bench_tiles(client, args)
        if args.limited:
            return bench_limited(client, args)
        print(f"{'points':>12} {'chunks':>7} {'tessary_py best/median s':>26} {'numpy best/median s':>22} "
              f"{'numpy/tessary':>14}  position")
        for n in args.sizes:
            points = dask_cloud.random_cloud(n, args.chunk, seed=11).persist()
            wait(points)
            times = {"tessary": [], "numpy": []}
            found = {}
            for name, run in (("tessary", tessary_pipeline), ("numpy", numpy_pipeline)):
                found[name] = run(points, quat, matrix)  # warm-up
            for _ in range(args.repeat):
                for name, run in (("tessary", tessary_pipeline), ("numpy", numpy_pipeline)):
                    seconds, result = timed(run, points, quat, matrix)
                    times[name].append(seconds)
                    assert result == found[name], (name, result, found[name])
            same = found["tessary"].position == found["numpy"].position
            best = {k: min(v) for k, v in times.items()}
            median = {k: statistics.median(v) for k, v in times.items()}
            print(f"{n:>12} {points.numblocks[0]:>7} {best['tessary']:>12.3f} / {median['tessary']:<11.3f} "
                  f"{best['numpy']:>10.3f} / {median['numpy']:<9.3f} {best['numpy'] / best['tessary']:>14.2f}  "
                  f"{found['tessary'].position} {'(same)' if same else '(numpy: %d)' % found['numpy'].position}  "
                  f"[{load()}]", flush=True)
            del points
            if not same:
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
