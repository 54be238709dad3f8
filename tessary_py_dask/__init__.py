"""tessary_py on Dask: a cloud cut into tiles of space, with the answers of one machine.

A cloud is an `(n, 3)` dask array chunked along rows. `tile` cuts it into
tiles of a regular grid of space; each tile holds its points and their
positions in the whole cloud (their global indices, ascending). The tiles
are plain numpy arrays, so they travel between worker processes as any
array does; `VecList`, `VoxelGrid` and `KdTree` are built inside each task
and never leave it.

Every operation gives, bit for bit, the answer of one `VecList` or one
`KdTree` over the whole cloud:

- `voxel_down_sample`: the tiles are cut on voxel faces of the same grid,
  so no voxel is split, and the voxels are put back in the order of their
  first points;
- `nearest` and `nearest_k`: the candidates of the tiles within reach, merged by the order
  one tree uses (squared distance, then global index, NaN after numbers,
  missing neighbours last);
- `centroid` and `covariance`: exact sums per chunk, added exactly and
  rounded once at the end.

Tile edges are exact: the edge at `origin + m * step` (real numbers, not
doubles) is stored as the smallest double at or above it, and a point goes
to the tile above an edge when its coordinate is at least that double,
which is when the coordinate is at least the real edge.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from fractions import Fraction
from typing import Any, NamedTuple

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import compute, get_scheduler, persist
from dask.delayed import Delayed, delayed

import tessary_py as tp

__all__ = [
    "TiledCloud", "VoxelDownSample", "tile", "voxel_down_sample", "nearest", "nearest_k", "centroid", "covariance",
    "normals", "statistical_inliers", "radius_inliers", "cloud_distances", "directed_hausdorff", "mean_distance",
]

FloatArray = npt.NDArray[np.float64]
IndexArray = npt.NDArray[np.intp]
BoolArray = npt.NDArray[np.bool_]
Vec3Tuple = tuple[float, float, float]
# One tile: the global indices of its points (ascending) and the points.
Tile = tuple[IndexArray, FloatArray]

# A grid of more tiles than this is refused: each tile is a task per chunk.
MAX_TILES = 1 << 16


def _compute(*values: Any) -> tuple[Any, ...]:
    """dask's compute, on whatever scheduler is current (typed: dask's own carries no annotations)."""
    found: tuple[Any, ...] = compute(*values)  # type: ignore[no-untyped-call]
    return found


def _persist(*values: Any) -> tuple[Any, ...]:
    kept: tuple[Any, ...] = persist(*values)  # type: ignore[no-untyped-call]
    return kept


def _persist_all(*values: Any) -> tuple[Any, ...]:
    """`persist`, returning once every value is computed (on a cluster too)."""
    kept = _persist(*values)
    if _distributed_client() is not None:
        from distributed import wait
        wait(list(kept))  # type: ignore[no-untyped-call]
    return kept


def _distributed_client() -> Any:
    """The distributed Client that dask computes on now, or None (another scheduler, or none installed)."""
    try:
        from distributed import Client
    except ImportError:  # pragma: no cover - dask without distributed
        return None
    owner = getattr(get_scheduler(), "__self__", None)  # type: ignore[no-untyped-call]
    return owner if isinstance(owner, Client) else None


def _each_result(tasks: Sequence[Any], take: Callable[[int, Any], None]) -> None:
    """Compute `tasks`, handing each result and its position to `take`.

    On a distributed cluster each result is fetched as soon as its task
    ends and let go at once, so that the workers never hold every result
    together and the transfers overlap the work still running."""
    client = _distributed_client()
    if client is None:
        for i, result in enumerate(_compute(*tasks)):
            take(i, result)
        return
    from distributed import as_completed
    positions: dict[str, list[int]] = {}
    pending = {}
    for i, future in enumerate(client.compute(list(tasks))):
        positions.setdefault(future.key, []).append(i)
        pending[future.key] = future
    futures = list(pending.values())
    pending.clear()
    for future, result in as_completed(futures, with_results=True):  # type: ignore[no-untyped-call]
        for i in positions[future.key]:
            take(i, result)
        future.release()
        del future, result
    del futures


# -- arguments ---------------------------------------------------------------


def _check_points(points: Any, name: str = "points") -> da.Array:
    if isinstance(points, np.ndarray):
        if points.ndim != 2 or points.shape[1] != 3:
            raise ValueError(f"argument '{name}': expected an array of shape (n, 3), got {points.shape}")
        points = da.from_array(points, chunks=(max(1, points.shape[0]), 3))  # type: ignore[no-untyped-call]
    if not isinstance(points, da.Array):
        raise TypeError(f"argument '{name}': expected a dask array or a numpy array, got {type(points).__name__!r} object")
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError(f"argument '{name}': expected an array of shape (n, 3), got {points.shape}")
    if len(points.chunks[1]) != 1:
        raise ValueError(f"argument '{name}': expected chunks that span the three columns, got column chunks "
                         f"{points.chunks[1]}")
    if any(math.isnan(c) for c in points.chunks[0]):
        raise ValueError(f"argument '{name}': the chunk lengths are unknown; call compute_chunk_sizes() first")
    converted: da.Array = points.astype(np.float64)  # type: ignore[no-untyped-call]
    return converted


def _finite_positive(value: float, name: str) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"argument '{name}': must be real number, not {type(value).__name__}") from None
    if not (math.isfinite(number) and number > 0):
        raise ValueError(f"argument '{name}': expected a number greater than 0 and finite, got {number!r}")
    return number


def _finite_vec(value: Sequence[float] | tp.Vec3d | None, name: str) -> Vec3Tuple:
    if value is None:
        return (0.0, 0.0, 0.0)
    if isinstance(value, tp.Vec3d):
        value = (value.x, value.y, value.z)
    coords = tuple(float(c) for c in value)
    if len(coords) != 3:
        raise ValueError(f"argument '{name}': expected three coordinates, got {len(coords)}")
    if not all(math.isfinite(c) for c in coords):
        raise ValueError(f"argument '{name}': expected finite coordinates, got {coords}")
    return (coords[0], coords[1], coords[2])


# -- tiles -------------------------------------------------------------------


def _double_at_or_above(value: Fraction) -> float:
    """The smallest double at or above the real `value`."""
    nearest_double = float(value)
    if Fraction(nearest_double) < value:
        nearest_double = math.nextafter(nearest_double, math.inf)
    return nearest_double


def _floor_div(value: float, origin: float, step: Fraction) -> int:
    return math.floor((Fraction(value) - Fraction(origin)) / step)


def _block_bounds(block: FloatArray) -> FloatArray:
    """Per column the smallest and largest finite coordinate, as a (2, 3) array (inf, -inf if none)."""
    out = np.empty((2, 3))
    for c in range(3):
        column = block[:, c]
        low, high = (float(column.min()), float(column.max())) if column.size else (math.inf, -math.inf)
        if not (math.isfinite(low) and math.isfinite(high)) and column.size:
            # NaN or an infinity among them: only the finite ones count
            column = column[np.isfinite(column)]
            low, high = (float(column.min()), float(column.max())) if column.size else (math.inf, -math.inf)
        out[0, c], out[1, c] = low, high
    return out


def _tile_cells(points: FloatArray, edges: tuple[FloatArray, FloatArray, FloatArray],
                shape: tuple[int, int, int]) -> IndexArray:
    """Each point's tile, in C order of `shape`: past every edge at or below its coordinate."""
    cell = np.zeros(points.shape[0], dtype=np.intp)
    for c in range(3):
        cell = cell * shape[c] + np.searchsorted(edges[c], points[:, c], side="right")
    return cell


def _split_block(block: FloatArray, offset: int, edges: tuple[FloatArray, FloatArray, FloatArray],
                 shape: tuple[int, int, int]) -> tuple[Tile, ...]:
    """The rows of one chunk, grouped by tile (in tile order), with their global indices.

    A coordinate goes past every edge at or below it; NaN past all of them
    (numpy's sort order), so NaN points land in the last tile of that axis."""
    count = shape[0] * shape[1] * shape[2]
    cell = _tile_cells(block, edges, shape)
    # At most MAX_TILES tiles: the tile numbers fit 16 bits, which numpy's stable sort orders by
    # radix, in one pass; equal numbers keep their order, so each tile's indices ascend.
    order = np.argsort(cell.astype(np.uint16) if count <= 1 << 16 else cell, kind="stable")
    bounds = np.concatenate([[0], np.cumsum(np.bincount(cell, minlength=count))])
    indices = (order + offset).astype(np.intp)
    points = block[order]
    return tuple((indices[bounds[t]:bounds[t + 1]], points[bounds[t]:bounds[t + 1]]) for t in range(count))


def _join(*parts: Tile) -> Tile:
    """One tile from the parts the chunks gave it, in chunk order: the global indices stay ascending."""
    return (np.concatenate([p[0] for p in parts]).astype(np.intp),
            np.concatenate([p[1] for p in parts]).reshape(-1, 3))


@dataclass(frozen=True)
class TiledCloud:
    """A cloud cut into the tiles of a regular grid of space.

    The tile edges along axis c are at `origin[c] + m * step` for integer
    m; `edges[c]` holds, for the inner edges, the smallest double at or
    above each (so a point is above an edge exactly when its coordinate is
    at least that double). `tiles` holds one delayed `(indices, points)`
    per tile, in C order of `shape`, already computed and kept by the
    scheduler (on a cluster, in the workers' memory); `counts` the number
    of points of each; `size` the number of points."""

    size: int
    origin: Vec3Tuple
    step: Fraction
    shape: tuple[int, int, int]
    edges: tuple[FloatArray, FloatArray, FloatArray]
    tiles: tuple[Delayed, ...]
    counts: tuple[int, ...]

    @property
    def occupied(self) -> list[int]:
        """The tiles that hold points."""
        return [t for t, c in enumerate(self.counts) if c]

    def compute_tiles(self) -> list[Tile]:
        """Every tile on this machine."""
        found: Sequence[Tile] = _compute(*self.tiles)
        return list(found)


def _exact_bounds(points: da.Array) -> FloatArray:
    parts = [delayed(_block_bounds, pure=True)(b) for b in points.to_delayed().ravel().tolist()]  # type: ignore[no-untyped-call]
    found: Sequence[FloatArray] = _compute(*parts)
    if not found:
        return np.array([[math.inf] * 3, [-math.inf] * 3])
    stacked = np.stack(found)
    return np.stack([stacked[:, 0].min(axis=0), stacked[:, 1].max(axis=0)])


# About this many points a tile when the tile size is left to the cloud.
POINTS_PER_TILE = 250_000


def _default_tile_size(bounds: FloatArray, n: int) -> float:
    """A side that cuts the longest axis of the bounds into about cbrt(n / POINTS_PER_TILE) tiles."""
    finite = bounds[1] >= bounds[0]
    extent = float(np.max(bounds[1][finite] - bounds[0][finite])) if finite.any() else 0.0
    along = max(1, round((n / POINTS_PER_TILE) ** (1 / 3)))
    side = extent / along
    # a side a little over the extent's share keeps the last point inside the last tile
    return side * (1 + 2**-20) if math.isfinite(side) and side > 0 else 1.0


def _layout(origin: Vec3Tuple, step: Fraction, bounds: FloatArray
            ) -> tuple[tuple[int, int, int], tuple[FloatArray, FloatArray, FloatArray]]:
    """The grid of tiles of side `step` from `origin` that covers `bounds`: its shape and inner edges."""
    spans: list[tuple[int, int]] = []
    for c in range(3):
        low, high = float(bounds[0, c]), float(bounds[1, c])
        if low > high:  # no finite coordinate
            spans.append((0, 0))
        else:
            spans.append((_floor_div(low, origin[c], step), _floor_div(high, origin[c], step)))
    shape = [last - first + 1 for first, last in spans]
    if math.prod(shape) > MAX_TILES:
        raise ValueError(f"argument 'tile_size': {float(step)!r} cuts the cloud into more than {MAX_TILES} tiles")
    edges = [np.array([_double_at_or_above(Fraction(origin[c]) + m * step) for m in range(first + 1, last + 1)],
                      dtype=np.float64) for c, (first, last) in enumerate(spans)]
    return (shape[0], shape[1], shape[2]), (edges[0], edges[1], edges[2])


def _tile_parts(points: da.Array, shape: tuple[int, int, int], edges: tuple[FloatArray, FloatArray, FloatArray]
                ) -> list[list[Any]]:
    """Per tile, the delayed parts of it that the chunks give, in chunk order."""
    count = shape[0] * shape[1] * shape[2]
    rows = [int(r) for r in points.chunks[0]]
    offsets = np.cumsum([0] + rows[:-1]).tolist()
    split = delayed(_split_block, pure=True, nout=count)
    pieces = [split(block, offset, edges, shape)
              for block, offset in zip(points.to_delayed().ravel().tolist(), offsets)]  # type: ignore[no-untyped-call]
    return [[piece[t] for piece in pieces] for t in range(count)]


def _grid(points: da.Array, origin: Vec3Tuple, step: Fraction, bounds: FloatArray) -> TiledCloud:
    shape, edges = _layout(origin, step, bounds)
    join = delayed(_join, pure=True)
    tiles: tuple[Delayed, ...] = tuple(_persist_all(*[join(*parts) for parts in _tile_parts(points, shape, edges)]))
    length = delayed(_tile_length, pure=True)
    counts: Sequence[int] = _compute(*[length(t) for t in tiles])
    return TiledCloud(int(points.shape[0]), origin, step, shape, edges, tiles, tuple(counts))


def _tile_length(part: Tile) -> int:
    return int(part[0].size)


def tile(points: da.Array | FloatArray, tile_size: float | None = None, *,
         origin: Sequence[float] | tp.Vec3d | None = None) -> TiledCloud:
    """The cloud cut into cubes of side `tile_size` with a corner at `origin` (default the origin).

    Without `tile_size`, the side cuts the longest extent into about
    cbrt(n / POINTS_PER_TILE) tiles.

    Only the tiles between the cloud's exact finite bounds are made. Points
    with a NaN coordinate go to the last tile along that axis, infinite
    ones to the first or last: they take part in the queries as one tree
    would take them.

    Raises
    ------
    ValueError
        A `points` array not of shape (n, 3), or with chunks that do not
        span the three columns; a `tile_size` that is not finite and
        greater than 0; an `origin` with a non-finite coordinate; a grid of
        more than `MAX_TILES` tiles.
    """
    cloud = _check_points(points)
    size = None if tile_size is None else _finite_positive(tile_size, "tile_size")
    corner = _finite_vec(origin, "origin")
    bounds = _exact_bounds(cloud)
    if size is None:
        size = _default_tile_size(bounds, cloud.shape[0])
    return _grid(cloud, corner, Fraction(size), bounds)


# -- voxel downsampling ------------------------------------------------------


class VoxelDownSample(NamedTuple):
    """The voxels of the whole cloud, in the order of their first points, as `VoxelGrid` gives them."""

    centroids: FloatArray  # (m, 3): VoxelGrid.centroids
    counts: IndexArray  # (m,): VoxelGrid.counts()
    inverse: IndexArray  # (n,): VoxelGrid.inverse(), m for a point in no voxel
    nearest: IndexArray  # (m,): VoxelGrid.nearest(), global indices


def _tile_voxels(part: Tile, voxel_size: float, origin: Vec3Tuple
                 ) -> tuple[FloatArray, IndexArray, IndexArray, IndexArray, npt.NDArray[np.signedinteger[Any]],
                            IndexArray]:
    """One tile's voxels: centroids, counts, nearest (global), first point (global), each point's
    voxel (local, in 32 bits when they fit) and the points' global indices."""
    indices, points = part
    grid = tp.VoxelGrid(points, voxel_size, origin=tp.Vec3d(*origin))
    m = len(grid)
    inverse = np.asarray(grid.inverse())
    # The voxels come in the order of their first points: a voxel's first point is where the
    # running largest voxel number (points in no voxel left out) first reaches it.
    inside = np.flatnonzero(inverse < m)
    numbers = inverse[inside]
    rises = np.ones(numbers.size, dtype=np.bool_)
    if numbers.size:
        rises[1:] = numbers[1:] > np.maximum.accumulate(numbers)[:-1]
    first_local = inside[rises]
    centroids = np.array(np.asarray(grid.centroids), dtype=np.float64).reshape(-1, 3)
    counts = np.asarray(grid.counts()).astype(np.intp)
    nearest_global = indices[np.asarray(grid.nearest()).astype(np.intp)]
    local: npt.NDArray[np.signedinteger[Any]] = inverse.astype(np.int32 if m < 2**31 - 1 else np.intp)
    return centroids, counts, nearest_global, indices[first_local], local, indices


def voxel_down_sample(points: da.Array | FloatArray, voxel_size: float, *,
                      origin: Sequence[float] | tp.Vec3d | None = None,
                      voxels_per_tile: int | None = None) -> VoxelDownSample:
    """`VoxelGrid(whole cloud, voxel_size, origin=origin)`, computed tile by tile.

    Tiles are cubes of `voxels_per_tile` voxels a side on the same grid
    (chosen from the bounds when None, about eight tiles along the longest
    axis), so every voxel lies in one tile; each tile's voxels are exactly
    the whole grid's, and they are put back in the order of their first
    points. `centroids`, `counts`, `inverse` and `nearest` are those of the
    one-machine `VoxelGrid`, bit for bit.

    Raises
    ------
    ValueError
        As `tile`, and for a `voxel_size` that is not finite and greater
        than 0, or a `voxels_per_tile` below 1; a voxel index beyond the
        64-bit integers, as `VoxelGrid` says.
    """
    cloud = _check_points(points)
    size = _finite_positive(voxel_size, "voxel_size")
    corner = _finite_vec(origin, "origin")
    bounds = _exact_bounds(cloud)
    if voxels_per_tile is None:
        voxels_per_tile = max(1, math.ceil(_default_tile_size(bounds, cloud.shape[0]) / size))
    if isinstance(voxels_per_tile, bool) or not isinstance(voxels_per_tile, int) or voxels_per_tile < 1:
        raise ValueError(f"argument 'voxels_per_tile': expected an integer of at least 1, got {voxels_per_tile!r}")
    shape, edges = _layout(corner, voxels_per_tile * Fraction(size), bounds)
    # The tiles are made first, and only then their voxels: a task in tessary_py holds the
    # interpreter's lock, and a worker in one sends no data to the others until it ends.
    join = delayed(_join, pure=True)
    tiles = _persist_all(*[join(*parts) for parts in _tile_parts(cloud, shape, edges)])
    task = delayed(_voxels_of_tile, pure=True)
    return _voxels_of_tiles([task(t, size, corner) for t in tiles], int(cloud.shape[0]))


def _voxels_of_tile(part: Tile, voxel_size: float, origin: Vec3Tuple
                    ) -> tuple[FloatArray, IndexArray, IndexArray, IndexArray, npt.NDArray[np.signedinteger[Any]],
                               IndexArray]:
    """`_tile_voxels`, and nothing for a tile of no points."""
    if part[0].size == 0:
        none = np.empty(0, dtype=np.intp)
        return np.empty((0, 3)), none, none, none, none, none
    return _tile_voxels(part, voxel_size, origin)


def _voxels_of_tiles(tasks: Sequence[Any], size: int) -> VoxelDownSample:
    """The voxels of the whole cloud from each tile's (`_tile_voxels`), put in the order of their first points."""
    found: list[Any] = [None] * len(tasks)

    def keep(i: int, result: Any) -> None:
        found[i] = result

    _each_result(tasks, keep)
    firsts = np.concatenate([f[3] for f in found] or [np.empty(0, dtype=np.intp)]).astype(np.intp)
    total = firsts.size
    # Each tile's first points ascend: the stable sort merges those runs.
    order = np.argsort(firsts, kind="stable")
    rank = np.empty(total, dtype=np.intp)
    rank[order] = np.arange(total, dtype=np.intp)
    inverse = np.full(size, total, dtype=np.intp)
    start = 0
    for _, _, _, first, local, global_indices in found:
        m = first.size
        # a point in no voxel has number m, which maps to `total`
        ranks = np.append(rank[start:start + m], total)
        inverse[global_indices] = ranks[local]
        start += m
    centroids = np.concatenate([f[0] for f in found] or [np.empty((0, 3))]).reshape(-1, 3)[order]
    counts = np.concatenate([f[1] for f in found] or [np.empty(0, dtype=np.intp)]).astype(np.intp)[order]
    nearest_points = np.concatenate([f[2] for f in found] or [np.empty(0, dtype=np.intp)]).astype(np.intp)[order]
    return VoxelDownSample(centroids, counts, inverse, nearest_points)


# -- nearest points ----------------------------------------------------------


def _tile_nearest_k(part: Tile, queries: FloatArray, k: int, max_distance: float | None, size: int
                    ) -> tuple[IndexArray, FloatArray, FloatArray, BoolArray]:
    """A tile's k nearest points to each query: global indices, squared distances, distances, missing."""
    indices, points = part
    m = queries.shape[0]
    if points.shape[0] == 0:
        return (np.full((m, k), size, dtype=np.intp), np.full((m, k), math.inf), np.full((m, k), math.inf),
                np.ones((m, k), dtype=np.bool_))
    tree = tp.KdTree(points)
    local, distances = tree.nearest_k_each(queries, k, max_distance=max_distance)
    local_idx = np.asarray(local).astype(np.intp)
    missing = local_idx >= points.shape[0]
    safe = np.where(missing, 0, local_idx)
    # The squared distance as the tree ranks it: point minus query, (dx*dx + dy*dy) + dz*dz.
    with np.errstate(invalid="ignore"):
        d = points[safe] - queries[:, None, :]
    squared = (d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) + d[..., 2] * d[..., 2]
    squared = np.where(missing, math.inf, squared)
    return np.where(missing, size, indices[safe]), squared, np.array(distances, dtype=np.float64), missing


def _merge_nearest(k: int, *parts: tuple[IndexArray, FloatArray, FloatArray, BoolArray]
                   ) -> tuple[IndexArray, FloatArray, FloatArray]:
    """The k best of the tiles' candidates per query: present before missing, then squared distance
    (NaN after every number, as numpy sorts), then global index. Indices, distances, squared distances."""
    idx = np.concatenate([p[0] for p in parts], axis=1)
    squared = np.concatenate([p[1] for p in parts], axis=1)
    distances = np.concatenate([p[2] for p in parts], axis=1)
    missing = np.concatenate([p[3] for p in parts], axis=1)
    order = np.lexsort((idx, squared, missing), axis=-1)[:, :k]
    return (np.take_along_axis(idx, order, axis=1), np.take_along_axis(distances, order, axis=1),
            np.take_along_axis(squared, order, axis=1))


def _nearest_tasks(cloud: TiledCloud, blocks: Sequence[Any], k: int, max_distance: float | None) -> list[Delayed]:
    """One delayed merge per block of queries (arrays or delayed arrays of shape (m, 3))."""
    ask = delayed(_tile_nearest_k, pure=True)
    merge = delayed(_merge_nearest, pure=True)
    empty: Tile = (np.empty(0, dtype=np.intp), np.empty((0, 3)))
    tiles: list[Any] = [cloud.tiles[t] for t in cloud.occupied] or [empty]
    return [merge(k, *[ask(t, block, k, max_distance, cloud.size) for t in tiles]) for block in blocks]


def _query_array(queries: Any) -> FloatArray:
    if isinstance(queries, tp.VecList):
        queries = np.asarray(queries)
    array = np.asarray(queries, dtype=np.float64)
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"argument 'queries': expected an array of shape (m, 3), got {array.shape}")
    return np.ascontiguousarray(array)


def nearest_k(cloud: TiledCloud, queries: FloatArray | Sequence[Sequence[float]], k: int, *,
              max_distance: float | None = None, batch: int = 65_536) -> tuple[IndexArray, FloatArray]:
    """`KdTree(whole cloud).nearest_k_each(queries, k, max_distance=...)`: `(indices, distances)`, shape (m, k).

    Queries go `batch` at a time: each is asked of its own tile, then of
    the tiles that come within the k-th distance found there; the
    candidates are merged by the tree's order. Indices are global; a
    missing neighbour is index `cloud.size` and distance inf."""
    if isinstance(k, bool) or not isinstance(k, int) or k < 1:
        raise ValueError(f"argument 'k': expected an integer of at least 1, got {k!r}")
    if max_distance is not None and (math.isnan(max_distance) or max_distance < 0):
        raise ValueError(f"argument 'max_distance': expected a number of at least 0, got {max_distance!r}")
    array = _query_array(queries)
    found = [_nearest_pruned(cloud, array[start:start + batch], k, max_distance)
             for start in range(0, array.shape[0], batch)]
    if not found:
        return np.empty((0, k), dtype=np.intp), np.empty((0, k))
    return (np.concatenate([f[0] for f in found]).astype(np.intp), np.concatenate([f[1] for f in found]))


def _home_tiles(cloud: TiledCloud, queries: FloatArray) -> IndexArray:
    cell = np.zeros(queries.shape[0], dtype=np.intp)
    for c in range(3):
        cell = cell * cloud.shape[c] + np.searchsorted(cloud.edges[c], queries[:, c], side="right")
    return cell


def _nearest_pruned(cloud: TiledCloud, queries: FloatArray, k: int, max_distance: float | None
                    ) -> tuple[IndexArray, FloatArray]:
    """The k nearest of each query in two rounds: its home tile (the one it lies in) bounds the
    k-th distance from above; then only the tiles whose boxes come within that bound are asked."""
    m = queries.shape[0]
    ask = delayed(_tile_nearest_k, pure=True)
    home = _home_tiles(cloud, queries)
    rows: list[tuple[IndexArray, tuple[IndexArray, FloatArray, FloatArray, BoolArray]]] = []
    # Every query starts with k missing neighbours, so that each has k candidates at least.
    rows.append((np.repeat(np.arange(m), 1), (np.full((m, k), cloud.size, dtype=np.intp), np.full((m, k), math.inf),
                                              np.full((m, k), math.inf), np.ones((m, k), dtype=np.bool_))))
    first = [(t, np.flatnonzero(home == t)) for t in cloud.occupied]
    first = [(t, q) for t, q in first if q.size]
    answers: Sequence[tuple[IndexArray, FloatArray, FloatArray, BoolArray]] = _compute(
        *[ask(cloud.tiles[t], queries[q], k, max_distance, cloud.size) for t, q in first])
    bound = np.full(m, math.inf)
    for (t, q), answer in zip(first, answers):
        rows.append((q, answer))
        kth = np.where(answer[3][:, -1], math.inf, answer[2][:, -1])
        bound[q] = kth
    if max_distance is not None:
        bound = np.minimum(bound, max_distance)  # NaN stays NaN: every tile is asked
    reach = bound * (1 + 2.0**-30) + 2.0**-40 * np.max(np.abs(np.nan_to_num(queries)), axis=1, initial=0.0)
    second = []
    for u in cloud.occupied:
        low, high = _box(cloud, u)
        with np.errstate(invalid="ignore"):
            gap = np.maximum(np.maximum(low - queries, queries - high), 0.0)
            near = ~(np.sqrt((gap[:, 0] * gap[:, 0] + gap[:, 1] * gap[:, 1]) + gap[:, 2] * gap[:, 2]) > reach)
        q = np.flatnonzero(near & (home != u))
        if q.size:
            second.append((u, q))
    answers = _compute(*[ask(cloud.tiles[u], queries[q], k, max_distance, cloud.size) for u, q in second])
    rows.extend((q, answer) for (_, q), answer in zip(second, answers))
    query = np.concatenate([np.repeat(q, k) for q, _ in rows])
    idx = np.concatenate([a[0].ravel() for _, a in rows])
    squared = np.concatenate([a[1].ravel() for _, a in rows])
    distances = np.concatenate([a[2].ravel() for _, a in rows])
    missing = np.concatenate([a[3].ravel() for _, a in rows])
    order = np.lexsort((idx, squared, missing, query))
    starts = np.searchsorted(query[order], np.arange(m))
    take = order[(starts[:, None] + np.arange(k)).ravel()]
    return idx[take].reshape(m, k), distances[take].reshape(m, k)


def nearest(cloud: TiledCloud, queries: FloatArray | Sequence[Sequence[float]], *,
            max_distance: float | None = None, batch: int = 65_536) -> tuple[IndexArray, FloatArray]:
    """`KdTree(whole cloud).nearest_each(queries)`: `(indices, distances)`, shape (m,)."""
    indices, distances = nearest_k(cloud, queries, 1, max_distance=max_distance, batch=batch)
    return indices[:, 0].copy(), distances[:, 0].copy()


# -- distances between clouds ----------------------------------------------


def _source_nearest(cloud: TiledCloud, points: da.Array | FloatArray) -> tuple[IndexArray, FloatArray, FloatArray, BoolArray]:
    source = _check_points(points)
    blocks = source.to_delayed().ravel().tolist()  # type: ignore[no-untyped-call]
    found: Sequence[tuple[IndexArray, FloatArray, FloatArray]] = _compute(*_nearest_tasks(cloud, blocks, 1, None))
    finite: Sequence[BoolArray] = _compute(*[delayed(_finite_rows, pure=True)(b) for b in blocks])
    if not found:
        return np.empty(0, dtype=np.intp), np.empty(0), np.empty(0), np.empty(0, dtype=np.bool_)
    return (np.concatenate([f[0][:, 0] for f in found]).astype(np.intp), np.concatenate([f[1][:, 0] for f in found]),
            np.concatenate([f[2][:, 0] for f in found]), np.concatenate(finite))


def _finite_rows(block: FloatArray) -> BoolArray:
    rows: BoolArray = np.all(np.isfinite(block), axis=1)
    return rows


def cloud_distances(cloud: TiledCloud, points: da.Array | FloatArray) -> tuple[IndexArray, FloatArray]:
    """Each point's nearest point of the tiled cloud: `KdTree(whole cloud).nearest_each(points)`,
    `(indices, distances)` of shape (len(points),)."""
    indices, distances, _, _ = _source_nearest(cloud, points)
    return indices, distances


def directed_hausdorff(cloud: TiledCloud, points: da.Array | FloatArray) -> tuple[float, int, int]:
    """`KdTree(whole cloud).directed_hausdorff(points)`: `(distance, i, j)`."""
    indices, distances, _, finite = _source_nearest(cloud, points)
    eligible = np.flatnonzero(finite & (indices < cloud.size))
    if eligible.size == 0:
        return math.nan, int(finite.size), cloud.size
    # The first eligible point, then any strictly farther one: a NaN first stays, later NaNs never win.
    first = int(eligible[0])
    if math.isnan(distances[first]):
        best = first
    else:
        candidates = np.where(np.isnan(distances[eligible]), -math.inf, distances[eligible])
        best = int(eligible[int(np.argmax(candidates))])
    return float(distances[best]), best, int(indices[best])


def mean_distance(cloud: TiledCloud, points: da.Array | FloatArray, *, squared: bool = False) -> float:
    """`KdTree(whole cloud).mean_distance(points, squared=squared)`: the exact mean rounded once."""
    indices, distances, squares, finite = _source_nearest(cloud, points)
    values = (squares if squared else distances)[finite & (indices < cloud.size)]
    if values.size == 0:
        return math.nan
    if np.isnan(values).any():
        return math.nan
    if np.isinf(values).any():
        return math.inf
    total, _ = _exact_sum_and_squares(values)
    return _round(total / values.size)


# -- exact centroid and covariance -------------------------------------------

# A double x is M * 2**E with |M| < 2**53; M splits into three limbs of 18
# bits, so a product of two limbs is below 2**36, a limb position of a
# product (at most three such products) below 2**38, and 2**24 rows of them
# add up exactly in an int64. Each chunk's sums are exact integers
# times powers of two, returned as Python ints (plain numbers).
_LIMB = 18
_ROWS_PER_PASS = 1 << 24


def _mantissas(column: FloatArray) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    fraction, exponent = np.frexp(column)
    return (np.ldexp(fraction, 53).astype(np.int64), exponent.astype(np.int64) - 53)


def _limbs(m: npt.NDArray[np.int64]) -> list[npt.NDArray[np.int64]]:
    sign = np.sign(m)
    a = np.abs(m)
    mask = (1 << _LIMB) - 1
    return [sign * (a & mask), sign * ((a >> _LIMB) & mask), sign * (a >> (2 * _LIMB))]


def _exact_total(values: list[npt.NDArray[np.int64]], exponents: npt.NDArray[np.int64]) -> tuple[int, int]:
    """sum over i and l of values[l][i] * 2**(exponents[i] + 18 l), as (integer, exponent)."""
    if exponents.size == 0:
        return 0, 0
    # exponents lie within +-2**15 (twice a double's at most): 16 bits, one radix pass
    order = np.argsort(exponents.astype(np.int16), kind="stable")
    sorted_exponents = exponents[order]
    starts = np.flatnonzero(np.r_[True, sorted_exponents[1:] != sorted_exponents[:-1]])
    base = int(sorted_exponents[0])
    total = 0
    for limb, value in enumerate(values):
        sums = np.add.reduceat(value[order], starts)
        for s, e in zip(sums.tolist(), sorted_exponents[starts].tolist()):
            if s:
                total += s << (int(e) - base + _LIMB * limb)
    return total, base


Sums = tuple[int, list[tuple[int, int]], list[tuple[int, int]], list[tuple[bool, bool, bool]]]


def _block_sums(block: FloatArray) -> Sums:
    """The exact sums of one chunk, `_ROWS_PER_PASS` rows at a time (see `_pass_sums`)."""
    parts = [_pass_sums(block[s:s + _ROWS_PER_PASS]) for s in range(0, max(1, block.shape[0]), _ROWS_PER_PASS)]
    return (sum(p[0] for p in parts), [_add([p[1][c] for p in parts]) for c in range(3)],
            [_add([p[2][c] for p in parts]) for c in range(6)],
            [(any(p[3][c][0] for p in parts), any(p[3][c][1] for p in parts), any(p[3][c][2] for p in parts))
             for c in range(3)])


def _add(parts: Sequence[tuple[int, int]]) -> tuple[int, int]:
    """Exact sum of integers times powers of two, as (integer, exponent)."""
    base = min(e for _, e in parts)
    return sum(v << (e - base) for v, e in parts), base


def _pass_sums(block: FloatArray) -> Sums:
    """Count, exact sums of the three columns, of their six products (j <= k), and per column
    (any NaN, any +inf, any -inf). Sums leave out rows with a non-finite coordinate in the columns concerned."""
    n = block.shape[0]
    flags = [(bool(np.isnan(block[:, c]).any()), bool((block[:, c] == math.inf).any()),
              bool((block[:, c] == -math.inf).any())) for c in range(3)]
    firsts: list[tuple[int, int]] = []
    products: list[tuple[int, int]] = []
    finite = np.isfinite(block)
    mant: list[npt.NDArray[np.int64]] = []
    expo: list[npt.NDArray[np.int64]] = []
    for c in range(3):
        column = np.where(finite[:, c], block[:, c], 0.0)
        m, e = _mantissas(column)
        mant.append(m)
        expo.append(e)
        firsts.append(_exact_total(_limbs(m), e))
    for j in range(3):
        for k in range(j, 3):
            both = finite[:, j] & finite[:, k]
            mj, mk = np.where(both, mant[j], 0), np.where(both, mant[k], 0)
            lj, lk = _limbs(mj), _limbs(mk)
            # limb positions 0..4 of the product
            positions = [np.zeros(n, dtype=np.int64) for _ in range(5)]
            for a in range(3):
                for b in range(3):
                    positions[a + b] += lj[a] * lk[b]
            products.append(_exact_total(positions, expo[j] + expo[k]))
    return n, firsts, products, flags


def _chunk_sums(points: da.Array) -> list[Sums]:
    task = delayed(_block_sums, pure=True)
    found: Sequence[Sums] = _compute(*[task(b) for b in points.to_delayed().ravel().tolist()])  # type: ignore[no-untyped-call]
    return list(found)


def _fraction(parts: Sequence[tuple[int, int]]) -> Fraction:
    total = Fraction(0)
    for value, exponent in parts:
        total += Fraction(value) * (Fraction(2) ** exponent)
    return total


def _round(value: Fraction) -> float:
    try:
        return float(value)
    except OverflowError:
        return math.inf if value > 0 else -math.inf


def _special(flags: Sequence[tuple[bool, bool, bool]]) -> float | None:
    """The value a column's NaN or infinities force on its sum, None when there are none."""
    has_nan = any(f[0] for f in flags)
    has_pinf = any(f[1] for f in flags)
    has_ninf = any(f[2] for f in flags)
    if has_nan or (has_pinf and has_ninf):
        return math.nan
    if has_pinf:
        return math.inf
    if has_ninf:
        return -math.inf
    return None


def centroid(points: da.Array | FloatArray) -> Vec3Tuple:
    """`VecList(whole cloud).centroid()` as three floats: each column's exact sum, rounded once, divided by n."""
    found = _chunk_sums(_check_points(points))
    n = sum(f[0] for f in found)
    out: list[float] = []
    for c in range(3):
        if n == 0:
            out.append(math.nan)
            continue
        forced = _special([f[3][c] for f in found])
        total = forced if forced is not None else _round(_fraction([f[1][c] for f in found]))
        out.append(total / n)
    return (out[0], out[1], out[2])


def covariance(points: da.Array | FloatArray, *, ddof: int | None = None) -> list[list[float]]:
    """`VecList(whole cloud).covariance(ddof=ddof)`: each entry the exact value rounded once."""
    if ddof is None:
        ddof = 0
    if isinstance(ddof, bool) or not isinstance(ddof, int) or ddof < 0:
        raise ValueError(f"argument 'ddof': expected an integer of at least 0, got {ddof!r}")
    found = _chunk_sums(_check_points(points))
    n = sum(f[0] for f in found)
    bad = [any(f[3][c][0] or f[3][c][1] or f[3][c][2] for f in found) for c in range(3)]
    sums = [_fraction([f[1][c] for f in found]) for c in range(3)]
    out = [[math.nan] * 3 for _ in range(3)]
    if n <= ddof:
        return out
    pair = 0
    for j in range(3):
        for k in range(j, 3):
            if not (bad[j] or bad[k]):
                value = (n * _fraction([f[2][pair] for f in found]) - sums[j] * sums[k]) / (n * (n - ddof))
                out[j][k] = out[k][j] = _round(value)
            pair += 1
    return out


# -- neighbourhoods ----------------------------------------------------------
#
# Each tile is answered by a tree over its own points and those of the
# tiles around it within `margin` of its box, ordered by global index, so
# that the tree ranks equal distances as the whole cloud's tree does. The
# points of the tiles around are cut out where those tiles are kept (only
# the points near their faces travel). A point's answer is kept when its
# neighbourhood (a ball of radius R: the radius, or the distance of its
# k-th neighbour) lies inside the box grown by the margin; the others are
# asked again with a margin as wide as the neighbourhood found, around the
# box of the points asked, and at last with the whole cloud.

_RETRIES = 3


def _box(cloud: TiledCloud, t: int) -> tuple[FloatArray, FloatArray]:
    """The box [low, high) of tile t (infinite on the outer sides)."""
    cell = np.unravel_index(t, cloud.shape)
    low, high = np.empty(3), np.empty(3)
    for c in range(3):
        i, edges = int(cell[c]), cloud.edges[c]
        low[c] = edges[i - 1] if i > 0 else -math.inf
        high[c] = edges[i] if i < edges.size else math.inf
    return low, high


def _tiles_meeting(cloud: TiledCloud, low: FloatArray, high: FloatArray) -> list[int]:
    """The tiles whose boxes meet the closed box [low, high] (its sides may be infinite)."""
    ranges = []
    for c in range(3):
        edges = cloud.edges[c]
        first = int(np.searchsorted(edges, low[c], side="right"))
        last = int(np.searchsorted(edges, high[c], side="right"))
        ranges.append(range(first, last + 1))
    sides = cloud.shape
    return [(a * sides[1] + b) * sides[2] + c for a in ranges[0] for b in ranges[1] for c in ranges[2]]


def _halo(part: Tile, low: FloatArray, high: FloatArray, reach: float, lows: FloatArray, highs: FloatArray
          ) -> tuple[Tile, ...]:
    """The points of one tile (of box [low, high)) inside each closed box [lows[j], highs[j]].

    Each box is (part of) another tile's box grown by at most `reach`; that
    tile lies past one of this tile's faces, so only points within `reach`
    of a face can be inside: the others are left out before any box is tested."""
    indices, points = part
    with np.errstate(invalid="ignore"):
        near_face = np.flatnonzero(np.any((points <= low + reach) | (points >= high - reach), axis=1))
    candidates = points[near_face]
    out = []
    for j in range(lows.shape[0]):
        inside = near_face[np.all((candidates >= lows[j]) & (candidates <= highs[j]), axis=1)]
        out.append((indices[inside], points[inside]))
    return tuple(out)


def _kth_bounds(tree_points: FloatArray, queries: FloatArray, k: int, scale: float) -> FloatArray:
    """For each query (a point among `tree_points`), a number at least its k-th distance among them.

    The points are counted in grids of cubes of sides s, 2s, 4s, ... (s
    about scale / 8): when the cube that holds a query holds k points, none
    farther than the cube's corner farthest from the query, the k-th
    distance is at most that. inf where no cube holds k. The cubes are
    those of the rounded coordinates, so each is taken a little larger."""
    bound = np.full(queries.shape[0], math.inf)
    finite = tree_points[np.all(np.isfinite(tree_points), axis=1)]
    asked = np.flatnonzero(np.all(np.isfinite(queries), axis=1))
    if finite.shape[0] < k or asked.size == 0 or not (math.isfinite(scale) and scale > 0):
        return bound
    low = finite.min(axis=0)
    extent = finite.max(axis=0) - low
    limit = 8 * finite.shape[0] + 1024
    side = scale / 8
    while math.prod(int(e // side) + 1 for e in extent) > limit:
        side *= 2
    cells = [np.floor((p - low) / side).astype(np.int64) for p in (finite, queries[asked])]
    # how far a coordinate's cube may be from its rounded place, per axis
    error = 2.0**-48 * (float(np.max(np.abs(finite))) + float(np.max(extent)) + side)
    left = np.arange(asked.size)
    for level in range(8):
        per_axis = (np.max(cells[0], axis=0) >> level) + 1
        if math.prod(int(x) for x in per_axis) > limit:
            break

        def numbers(c: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
            shifted = c >> level
            linear: npt.NDArray[np.int64] = (shifted[:, 0] * per_axis[1] + shifted[:, 1]) * per_axis[2] + shifted[:, 2]
            return linear

        counts = np.bincount(numbers(cells[0]), minlength=int(math.prod(int(x) for x in per_axis)))
        held = counts[numbers(cells[1][left])] >= k
        done = left[held]
        # no point of the cube is farther than its farthest corner
        width = side * 2**level
        corner_low = low + ((cells[1][done] >> level) << level) * side
        point = queries[asked[done]]
        far = np.maximum(point - corner_low, corner_low + width - point) + 3 * error
        bound[asked[done]] = np.sqrt(np.sum(far * far, axis=1)) * (1 + 2.0**-20)
        left = left[~held]
        if left.size == 0:
            break
    return bound


# What one round of a tile gives: the global indices answered and their values; the indices asked
# again, how far their neighbourhoods reached, and the box of their finite points (None if none);
# for statistical outlier removal, the count and exact sums of the finite values answered.
Round = tuple[IndexArray, FloatArray, IndexArray, FloatArray, tuple[FloatArray, FloatArray] | None,
              tuple[int, Fraction, Fraction] | None]


def _neighbourhood(kind: str, params: tuple[Any, ...], grown_low: FloatArray, grown_high: FloatArray, margin: float,
                   wanted: IndexArray | None, own: Tile, *others: Tile) -> Round:
    """The answers for the `wanted` points of one tile (all when None), from a tree of its points in
    the box [grown_low, grown_high] and the `others` (the points of other tiles in that box; whole
    tiles when the margin is infinite)."""
    own_idx, own_pts = own
    pick = np.ones(own_idx.size, dtype=np.bool_) if wanted is None else np.isin(own_idx, wanted)
    width = 3 if kind == "normals" else 1
    query_idx = own_idx[pick]
    query_pts = own_pts[pick]
    if query_idx.size == 0:
        return (query_idx, np.empty((0, width)), query_idx, np.empty(0), None, None)
    if math.isinf(margin) or wanted is None:
        near = np.ones(own_idx.size, dtype=np.bool_)
    else:
        near = np.all((own_pts >= grown_low) & (own_pts <= grown_high), axis=1) | pick
    idx_parts = [own_idx if near.all() else own_idx[near]]
    pts_parts = [own_pts if near.all() else own_pts[near]]
    for other_idx, other_pts in others:
        if not math.isinf(margin):  # whole tiles on a scheduler of one process; else only what is inside
            inside = np.all((other_pts >= grown_low) & (other_pts <= grown_high), axis=1)
            other_idx, other_pts = other_idx[inside], other_pts[inside]
        idx_parts.append(other_idx)
        pts_parts.append(other_pts)
    if len(idx_parts) == 1:
        all_idx, all_pts = idx_parts[0], pts_parts[0]
    else:
        all_idx = np.concatenate(idx_parts)
        order = np.argsort(all_idx, kind="stable")
        all_idx, all_pts = all_idx[order], np.concatenate(pts_parts).reshape(-1, 3)[order]
    at = np.searchsorted(all_idx, query_idx)
    tree = tp.KdTree(all_pts)
    n_tree = all_pts.shape[0]
    finite_query = np.all(np.isfinite(query_pts), axis=1)
    with np.errstate(invalid="ignore"):
        room = np.minimum(np.min(query_pts - grown_low, axis=1), np.min(grown_high - query_pts, axis=1))
    scale = np.max(np.abs(query_pts), axis=1) + margin

    def settled(reach: FloatArray) -> BoolArray:
        if math.isinf(margin):
            return np.ones(at.size, dtype=np.bool_)
        with np.errstate(invalid="ignore"):
            done: BoolArray = (reach + 2.0**-40 * (scale + np.abs(reach)) < room) | ~finite_query
        return done

    reach: FloatArray
    sums: tuple[int, Fraction, Fraction] | None = None
    if kind == "normals":
        k, radius = params
        if k is None:
            reach = np.full(at.size, float(radius))
        elif wanted is None and not math.isinf(margin):
            # Most points' k-th distance is bounded well enough by the cubes around them; only
            # the others ask the tree.
            reach = _kth_bounds(all_pts, query_pts, k, margin)
            if radius is not None:
                reach = np.minimum(reach, float(radius))
            unsure = np.flatnonzero(~settled(reach))
            if unsure.size:
                kth = np.asarray(tree.nearest_k_each(query_pts[unsure], k)[1])[:, -1]
                reach[unsure] = kth if radius is None else np.minimum(kth, float(radius))
        else:
            kth = np.asarray(tree.nearest_k_each(query_pts, k)[1])[:, -1]
            reach = kth if radius is None else np.minimum(kth, float(radius))
        if wanted is None:
            values = np.asarray(tree.normals(k, radius=radius))[at]
        else:
            # A few points asked again: a tree of their neighbourhoods alone ranks each of them as
            # the larger tree does (it holds every point nearer than their farthest member).
            if k is None:
                offsets, members = (np.asarray(a) for a in tree.within_each(query_pts, float(radius)))
            else:
                found = np.asarray(tree.nearest_k_each(query_pts, k, max_distance=radius)[0]).ravel()
                members = found[found < n_tree]
            keep = np.unique(np.concatenate([members.astype(np.intp), at]))
            small = tp.KdTree(all_pts[keep])
            values = np.asarray(small.normals(k, radius=radius))[np.searchsorted(keep, at)]
    elif kind == "mean_distance":
        (k,) = params
        if wanted is None:
            # every point of the tree at once, leaf by leaf: the rows of the tiles around are few
            found_idx, found_dist = (np.asarray(a)[at] for a in tree.nearest_k_each_point(k))
        else:
            found_idx, found_dist = (np.asarray(a) for a in tree.nearest_k_each(query_pts, k))
        present = found_idx < n_tree
        columns = np.where(present, found_dist, 0.0).T.copy()
        total = np.zeros(at.size)
        for column in columns:  # in their order, nearest first
            total += column
        with np.errstate(invalid="ignore", divide="ignore"):
            means = total / present.sum(axis=1)
        means[~finite_query] = math.nan
        values = means[:, None]
        reach = found_dist[:, -1]
    else:  # "radius_count"
        radius, = params
        values = np.asarray(tree.count_within_each_point(radius, include_self=False)).astype(np.float64)[at][:, None]
        reach = np.full(at.size, float(radius))
    final = settled(reach)
    if kind == "mean_distance":
        done = values[final, 0]
        done = done[np.isfinite(done)]
        total_sum, squares = _exact_sum_and_squares(done)
        sums = (int(done.size), total_sum, squares)
    again = ~final
    box: tuple[FloatArray, FloatArray] | None = None
    if again.any():
        asked = query_pts[again & finite_query]
        if asked.size:
            box = (asked.min(axis=0), asked.max(axis=0))
    return (query_idx[final], values.reshape(at.size, -1)[final], query_idx[again], reach[again], box, sums)


def _bundle(own: Tile, *parts: Tile) -> tuple[Tile, ...]:
    """The parts, made where `own` is kept."""
    return parts


def _neighbourhood_of_bundle(kind: str, params: tuple[Any, ...], grown_low: FloatArray, grown_high: FloatArray,
                             margin: float, wanted: IndexArray | None, own: Tile, parts: tuple[Tile, ...]) -> Round:
    return _neighbourhood(kind, params, grown_low, grown_high, margin, wanted, own, *parts)


def _gathered(cloud: TiledCloud, tiles: Sequence[int], given: dict[int, list[Any]]) -> tuple[Any, list[list[Any]]]:
    """The task that answers a tile, and per tile what it takes besides the tile: on a distributed
    cluster, the parts of the tiles around it, brought first to the worker that keeps the tile.

    A task in tessary_py holds the interpreter's lock, so a worker running
    one answers no request for its data until the task ends; moving the
    parts while no such task runs keeps the workers from waiting on each
    other."""
    client = _distributed_client()
    if client is None or not _GATHER_FIRST:
        return delayed(_neighbourhood, pure=True), [given[t] for t in tiles]
    from distributed import wait
    bundle = delayed(_bundle, pure=True)
    futures = client.compute([bundle(cloud.tiles[t], *given[t]) for t in tiles])
    wait(futures)  # type: ignore[no-untyped-call]
    return delayed(_neighbourhood_of_bundle, pure=True), [[f] for f in futures]


_GATHER_FIRST = True


def _per_point(cloud: TiledCloud, kind: str, params: tuple[Any, ...], margin: float, width: int
               ) -> tuple[FloatArray, tuple[int, Fraction, Fraction]]:
    """Each point's answer, in the cloud's order, and (for "mean_distance") the count and exact sums
    of the finite ones."""
    out = np.full((cloud.size, width), math.nan)
    counted = [0]
    sums = [Fraction(0), Fraction(0)]
    # tile -> (the points still to answer, None for all; the box they lie in; the margin past it)
    wanted: dict[int, tuple[IndexArray | None, FloatArray, FloatArray, float]] = {
        t: (None, *_box(cloud, t), margin) for t in cloud.occupied}
    for round_ in range(_RETRIES + 2):
        if not wanted:
            break
        grown: dict[int, tuple[FloatArray, FloatArray, float]] = {}
        # tile -> the tiles asking for its points, and the boxes they ask for
        asking: dict[int, list[int]] = {}
        for t, (_, low, high, m) in wanted.items():
            if round_ > _RETRIES:
                m = math.inf
            grown[t] = (low - m, high + m, m)
            sources = cloud.occupied if math.isinf(m) else _tiles_meeting(cloud, low - m, high + m)
            for u in sources:
                if u != t and cloud.counts[u]:
                    asking.setdefault(u, []).append(t)
        given: dict[int, list[Any]] = {t: [] for t in wanted}
        # In one process the tasks read the tiles where they are: whole tiles, no copies.
        local = _distributed_client() is None
        for u, askers in asking.items():
            if local or math.isinf(max(grown[t][2] for t in askers)):
                for t in askers:
                    given[t].append(cloud.tiles[u])
                continue
            low, high = _box(cloud, u)
            lows = np.stack([grown[t][0] for t in askers])
            highs = np.stack([grown[t][1] for t in askers])
            reach = max(grown[t][2] for t in askers)
            pieces = delayed(_halo, pure=True, nout=len(askers))(cloud.tiles[u], low, high, reach, lows, highs)
            for t, piece in zip(askers, pieces):
                given[t].append(piece)
        tiles = list(wanted)
        again: dict[int, tuple[IndexArray | None, FloatArray, FloatArray, float]] = {}

        def take(i: int, found: Round) -> None:
            t = tiles[i]
            done_idx, values, again_idx, reach, box, partial = found
            out[done_idx] = values
            if partial is not None:
                counted[0] += partial[0]
                sums[0] += partial[1]
                sums[1] += partial[2]
            if again_idx.size:
                m = grown[t][2]
                # A neighbourhood found among fewer points reaches at least as far as the true
                # one: a margin of its reach takes all of it; without a reach, look 8 times farther.
                finite = reach[np.isfinite(reach)]
                wider = float(finite.max()) * (1 + 2.0**-20) if finite.size else 0.0
                if finite.size < reach.size:
                    wider = max(wider, 8 * max(m, float(cloud.step) / 64))
                low, high = box if box is not None else _box(cloud, t)
                again[t] = (again_idx, low, high, wider)

        task, extra = _gathered(cloud, tiles, given)
        _each_result([task(kind, params, grown[t][0], grown[t][1], grown[t][2], wanted[t][0], cloud.tiles[t], *others)
                      for t, others in zip(tiles, extra)], take)
        wanted = again
    return out, (counted[0], sums[0], sums[1])


def _check_margin(margin: float | None, default: float) -> float:
    if margin is None:
        return default
    number = float(margin)
    if not (math.isfinite(number) and number >= 0):
        raise ValueError(f"argument 'margin': expected a number of at least 0 and finite, got {number!r}")
    return number


def _check_k(k: Any, name: str = "k") -> int:
    if isinstance(k, bool) or not isinstance(k, int) or k < 1:
        raise ValueError(f"argument '{name}': expected an integer of at least 1, got {k!r}")
    return k


def _check_radius(radius: Any) -> float:
    number = float(radius)
    if not (math.isfinite(number) and number >= 0):
        raise ValueError(f"argument 'radius': expected a number of at least 0 and finite, got {number!r}")
    return number


def normals(cloud: TiledCloud, k: int | None = None, *, radius: float | None = None,
            margin: float | None = None) -> FloatArray:
    """`KdTree(whole cloud).normals(k, radius=radius)`: shape (n, 3), in the cloud's order.

    `margin` is how far past its box each tile first looks (default: the
    radius, or an eighth of the tile side); points whose neighbourhood
    reaches past it are asked again, wider."""
    if k is None and radius is None:
        raise ValueError("argument 'k': expected an integer of at least 1, or a radius, got neither")
    if k is not None:
        _check_k(k)
    r = None if radius is None else _check_radius(radius)
    default = float(cloud.step) / 8 if r is None else r * (1 + 2.0**-20)
    return _per_point(cloud, "normals", (k, r), _check_margin(margin, default), 3)[0]


def _exact_sum_and_squares(values: FloatArray) -> tuple[Fraction, Fraction]:
    m, e = _mantissas(values)
    total = _fraction([_exact_total(_limbs(s), e[s_start:s_start + _ROWS_PER_PASS])
                       for s_start in range(0, values.size, _ROWS_PER_PASS)
                       for s in [m[s_start:s_start + _ROWS_PER_PASS]]])
    parts = []
    for s_start in range(0, values.size, _ROWS_PER_PASS):
        limbs = _limbs(m[s_start:s_start + _ROWS_PER_PASS])
        positions = [np.zeros(limbs[0].size, dtype=np.int64) for _ in range(5)]
        for a in range(3):
            for b in range(3):
                positions[a + b] += limbs[a] * limbs[b]
        parts.append(_exact_total(positions, 2 * e[s_start:s_start + _ROWS_PER_PASS]))
    return total, _fraction(parts)


def statistical_inliers(cloud: TiledCloud, k: int, std_ratio: float, *, margin: float | None = None) -> BoolArray:
    """`KdTree(whole cloud).statistical_inliers(k, std_ratio)`: a mask of shape (n,).

    Each point's mean distance to its k nearest comes from its tile (with
    the margin rule of `normals`); the mean and sample deviation of those
    means are exact sums over the whole cloud, each rounded once."""
    _check_k(k)
    ratio = float(std_ratio)
    if not math.isfinite(ratio):
        raise ValueError(f"argument 'std_ratio': expected a number that is finite, got {ratio!r}")
    found, (count, total, squares) = _per_point(cloud, "mean_distance", (k,), _check_margin(margin, float(cloud.step) / 8), 1)
    means = found[:, 0]
    threshold = -math.inf
    if count:
        mean = _round(total / count)
        variance = 0.0 if count < 2 else _round((count * squares - total * total) / (count * (count - 1)))
        threshold = mean + ratio * math.sqrt(variance)
    with np.errstate(invalid="ignore"):
        return means <= threshold


def radius_inliers(cloud: TiledCloud, radius: float, min_neighbours: int) -> BoolArray:
    """`KdTree(whole cloud).radius_inliers(radius, min_neighbours)`: a mask of shape (n,)."""
    r = _check_radius(radius)
    if isinstance(min_neighbours, bool) or not isinstance(min_neighbours, int) or min_neighbours < 0:
        raise ValueError(f"argument 'min_neighbours': expected an integer of at least 0, got {min_neighbours!r}")
    counts = _per_point(cloud, "radius_count", (r,), r * (1 + 2.0**-20), 1)[0][:, 0]
    return counts >= min_neighbours
