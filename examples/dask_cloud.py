"""Rotate a point cloud on a Dask cluster with tessary_py, find the point
nearest a target exactly as one VecList over the whole cloud would, and
downsample it on a voxel grid with tessary_py_dask as one VoxelGrid would.

    python examples/dask_cloud.py                    # a LocalCluster of worker processes
    python examples/dask_cloud.py --scheduler tcp://host:8786   # a running cluster
    python examples/dask_cloud.py --points 200000 --check       # and compare with one VecList

The cloud is an (n, 3) float64 dask array chunked along rows only. Every
chunk is rotated inside its own task: block -> VecList(block) -> rotate ->
np.asarray, a plain float64 block. Tasks exchange plain arrays and plain
numbers only, never tessary_py objects (which do not pickle): the
quaternion and the target travel as tuples of floats.

Each chunk then gives one candidate: the position of its nearest point
(from `VecList.minimum_distance_to(target, 1)`) shifted by the chunk's
first row, the key of that point's squared distance (numbers by value,
every NaN as one, after +inf), the squared distance and the distance.
`combine` keeps the candidate with the smallest (key, position). That pair
orders the points of the whole cloud exactly as one
`minimum_distance_to(target, 1)` over it does: smaller key first, and the
lower position among equal keys. So the minimum over the chunks' minima is
the global answer, ties and NaNs included. The comparison is never made on
the returned distance: a square root can give two different squared
distances the same distance.

The rotated cloud is then cut into tiles of space by tessary_py_dask
(`tile`, `voxel_down_sample`, `nearest`), which answers on the tiles what
one VoxelGrid or KdTree over the whole cloud answers, bit for bit.

Typing: tessary_py's stubs type everything it returns. Most of dask's
functions carry no annotations, so their values enter as Any: each call
into dask sits in a small typed function (`rotate`, `block_candidates`,
`nearest`, `random_cloud`, `local_cluster`, `connect`, `gather`) with a
narrow `no-untyped-call` ignore on that line only, and what it returns is
bound to an annotated name.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import math
import struct
import sys
from collections.abc import Callable, Iterable, Sequence
from typing import Any, NamedTuple

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import compute
from dask.delayed import delayed
from dask.distributed import Client, LocalCluster

# tessary_py's classes are always reached through the module: they report the module
# "builtins", so a function that held one of them as a global would not
# pickle when sent from a script (cloudpickle sends such functions by value,
# with their globals); the module itself travels by name.
import tessary_py as tp
import tessary_py_dask as tpd

FloatArray = npt.NDArray[np.float64]
QuatTuple = tuple[float, float, float, float]  # (w, i, j, k)
Vec3Tuple = tuple[float, float, float]

_INT64_MAX = (1 << 63) - 1
# The NaN that tessary_py's nearest search ranks every NaN as, and returns.
RANKED_NAN: float = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000000))[0]


def order_key(value: float) -> int:
    """IEEE 754 totalOrder as an integer: the 64-bit pattern read as a
    signed integer, its low 63 bits inverted when the sign bit is set.
    -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN."""
    bits: int = struct.unpack("<q", struct.pack("<d", value))[0]
    return bits ^ _INT64_MAX if bits < 0 else bits


def nearest_key(squared: float) -> int:
    """The key by which tessary_py's nearest search ranks a squared
    distance: numbers in total order, and every NaN, whatever its sign and
    payload, as the positive quiet NaN, after +inf. A NaN's bits are the
    processor's and the compiler's, not the data's."""
    return order_key(RANKED_NAN if math.isnan(squared) else squared)


class Nearest(NamedTuple):
    """The nearest point of some part of the cloud."""

    position: int  # in the whole cloud
    key: int  # nearest_key(squared)
    squared: float  # squared distance to the target; RANKED_NAN for any NaN
    distance: float  # as minimum_distance_to returned it: sqrt(squared)


def nearer(left: Nearest, right: Nearest) -> Nearest:
    """The candidate with the smaller key, the lower position on equal keys.

    (key, position) is a total order on candidates, so this is the minimum
    under it: associative, commutative and deterministic, and any grouping
    or order of the chunks' candidates reduces to the same one."""
    return right if (right.key, right.position) < (left.key, left.position) else left


def combine(candidates: Iterable[Nearest]) -> Nearest:
    """Reduces candidates with `nearer`; at least one is needed."""
    return functools.reduce(nearer, candidates)


def rotate_block(block: FloatArray, quat: QuatTuple) -> FloatArray:
    """One chunk rotated through a VecList, returned as a float64 array.

    The array is a read-only view of the VecList's own elements (no copy);
    it keeps the list alive, and leaves the task as a plain array."""
    cloud = tp.VecList(block)
    cloud.rotate(tp.Quat(*quat))
    rotated: FloatArray = np.asarray(cloud)
    return rotated


def nearest_in_block(block: FloatArray, offset: int, target: Vec3Tuple) -> Nearest | None:
    """The nearest point of one chunk whose first row is row `offset` of the
    cloud; None for an empty chunk."""
    if block.shape[0] == 0:
        return None
    cloud = tp.VecList(block)
    other = tp.Vec3d(*target)
    position, distance = cloud.minimum_distance_to(other, 1)
    # A NaN, whatever its bits, is the one the search ranks it as.
    squared = RANKED_NAN if math.isnan(distance) else cloud[position].distance_squared(other)
    return Nearest(offset + position, nearest_key(squared), squared, distance)


def rotate(points: da.Array, quat: QuatTuple) -> da.Array:
    """The cloud rotated by `quat`, chunk by chunk on the workers."""
    if points.ndim != 2 or points.shape[1] != 3 or len(points.chunks[1]) != 1:
        raise ValueError("expected an (n, 3) array chunked along rows only")
    rotated: da.Array = da.map_blocks(rotate_block, points, quat, dtype=np.float64)  # type: ignore[no-untyped-call]
    return rotated


BlockSearch = Callable[[FloatArray, int, Vec3Tuple], Nearest | None]


def block_candidates(rotated: da.Array, target: Vec3Tuple, find: BlockSearch = nearest_in_block) -> list[Any]:
    """One delayed `find` (by default `nearest_in_block`) per chunk, each
    told the global row at which its chunk starts: the running sum of the
    chunk lengths."""
    rows: tuple[int, ...] = tuple(int(r) for r in rotated.chunks[0])
    offsets = np.cumsum((0,) + rows[:-1]).tolist()
    blocks = rotated.to_delayed().ravel().tolist()  # type: ignore[no-untyped-call]
    task = delayed(find, pure=True)
    return [task(block, offset, target) for block, offset in zip(blocks, offsets)]


def nearest(rotated: da.Array, target: Vec3Tuple, find: BlockSearch = nearest_in_block) -> Nearest:
    """The point of the cloud nearest `target`: with the default `find`, the
    same position and distance as
    VecList(whole cloud).minimum_distance_to(Vec3d(*target), 1)."""
    found: Sequence[Nearest | None] = compute(*block_candidates(rotated, target, find))  # type: ignore[no-untyped-call]
    present = [candidate for candidate in found if candidate is not None]
    if not present:
        raise ValueError("the cloud has no points")
    return combine(present)


def quat_tuple(quat: tp.Quat) -> QuatTuple:
    """A Quat as four floats, the form that travels to the workers."""
    return quat.w, quat.i, quat.j, quat.k


def example_rotation() -> QuatTuple:
    """0.7 radians about (1, 2, 2)/3."""
    return quat_tuple(tp.Quat.from_axis_angle(tp.Vec3d(1, 2, 2).normalize(), tp.AngleRadians(0.7)))


def random_cloud(n: int, chunk: int, seed: int) -> da.Array:
    """Standard normal points, generated on the workers chunk by chunk."""
    rng = da.random.default_rng(seed)  # type: ignore[no-untyped-call]
    points: da.Array = rng.standard_normal((n, 3), chunks=(chunk, 3))
    return points


def local_cluster(workers: int, threads: int, native_threads: int | None = None) -> LocalCluster:
    """A cluster of worker processes on this machine, no dashboard.

    Each worker's tessary_py pool gets `native_threads` threads (default:
    `threads`), so that workers times pool threads matches the cores
    rather than every worker's pool taking all of them."""
    env = {"RAYON_NUM_THREADS": str(native_threads or threads)}
    cluster: LocalCluster = LocalCluster(  # type: ignore[no-untyped-call]
        n_workers=workers, threads_per_worker=threads, processes=True, dashboard_address=None, env=env)
    return cluster


def connect(to: str | LocalCluster) -> Client:
    """A client of a scheduler address or of a local cluster."""
    client: Client = Client(to)  # type: ignore[no-untyped-call]
    return client


def gather(points: da.Array) -> FloatArray:
    """The whole array on this machine."""
    whole: FloatArray = np.asarray(points.compute())  # type: ignore[no-untyped-call]
    return whole


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--scheduler", help="address of a running scheduler; default: start a LocalCluster")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    parser.add_argument("--threads", type=int, default=1, help="threads per LocalCluster worker")
    parser.add_argument("--native-threads", type=int, help="tessary_py pool threads per LocalCluster worker "
                        "(default: --threads)")
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--chunk", type=int, default=250_000, help="rows per chunk")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--voxel", type=float, default=0.25, help="side of the voxels of the downsampled cloud")
    parser.add_argument("--check", action="store_true",
                        help="also gather the cloud and compare with one VecList on this machine")
    args = parser.parse_args(argv)
    target: Vec3Tuple = (0.5, -0.25, 1.0)
    quat = example_rotation()

    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(connect(args.scheduler))
        else:
            cluster = stack.enter_context(local_cluster(args.workers, args.threads, args.native_threads))
            client = stack.enter_context(connect(cluster))
        print(f"cluster: {len(client.scheduler_info()['workers'])} workers")
        points = random_cloud(args.points, args.chunk, args.seed)
        best = nearest(rotate(points, quat), target)
        print(f"nearest of {args.points} points to {target}: position {best.position}, "
              f"distance {best.distance!r} (squared {best.squared!r}) over {points.numblocks[0]} chunks")
        rotated = rotate(points, quat).persist()  # type: ignore[no-untyped-call]
        voxels = tpd.voxel_down_sample(rotated, args.voxel)
        tiled = tpd.tile(rotated)
        tile_index, tile_distance = tpd.nearest(tiled, np.array([target]))
        print(f"{len(voxels.centroids)} voxels of {args.voxel}; over {len(tiled.occupied)} tiles the nearest point is "
              f"position {int(tile_index[0])}, distance {float(tile_distance[0])!r}")
        if args.check:
            whole = tp.VecList(gather(points))
            whole.rotate(tp.Quat(*quat))
            expected = whole.minimum_distance_to(tp.Vec3d(*target), 1)
            same = best.position == expected[0] and struct.pack("<d", best.distance) == struct.pack("<d", expected[1])
            same = same and int(tile_index[0]) == expected[0] and float(tile_distance[0]) == expected[1]
            grid = tp.VoxelGrid(whole, args.voxel)
            same_voxels = (np.array_equal(voxels.centroids, np.asarray(grid.centroids))
                           and np.array_equal(voxels.inverse, np.asarray(grid.inverse())))
            print(f"one VecList: position {expected[0]}, distance {expected[1]!r}: "
                  f"{'the same' if same else 'DIFFERENT'}; one VoxelGrid: {len(grid)} voxels, "
                  f"{'the same' if same_voxels else 'DIFFERENT'}")
            if not (same and same_voxels):
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
