"""The Dask pipeline of examples/dask_cloud.py (rotate a cloud, then find the
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000_000, 100_000_000])
    parser.add_argument("--chunk", type=int, default=1_000_000, help="rows per chunk")
    parser.add_argument("--scheduler", help="address of a running scheduler; default: start a LocalCluster")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=1, help="threads per worker")
    parser.add_argument("--native-threads", type=int, help="tessary_py pool threads per worker (default: --threads)")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    from dask.distributed import wait

    quat = dask_cloud.example_rotation()
    matrix = np.array(dask_cloud.tp.Quat(*quat).to_rotation_matrix())
    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(dask_cloud.connect(args.scheduler))
        else:
            cluster = stack.enter_context(dask_cloud.local_cluster(args.workers, args.threads, args.native_threads))
            client = stack.enter_context(dask_cloud.connect(cluster))
        workers = client.scheduler_info()["workers"].values()
        pools = client.run(lambda: os.environ.get("RAYON_NUM_THREADS", "default"))
        print(f"cluster: {len(workers)} workers x {sorted({w['nthreads'] for w in workers})} threads; "
              f"tessary_py pool threads per worker: {sorted(set(pools.values()))}; "
              f"{os.cpu_count()} cores here; {load()}")
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
