"""A scan job from files to file: read, downsample, normals, outliers, register, write.

Two scans of the same ground, each in its scanner's frame, are read from
PLY or LAS/LAZ files; each is thinned on a voxel grid, its normals are
estimated and turned towards its scanner, and its outliers are dropped;
the second is registered onto the first with point-to-plane ICP, and the
merged cloud with its normals is written as a binary PLY file.

    python3 examples/scan_job.py                       # makes two scans first
    python3 examples/scan_job.py a.ply b.laz --out merged.ply

Without files it makes two overlapping scans of a hilly patch at map
coordinates, the second moved by a known pose and with stray points,
writes them as binary PLY (the first) and LAS (the second), runs the job
on those files, and checks that ICP found the pose it was moved by.
Reading LAS needs `laspy` (LAZ also `lazrs`), PLY `plyfile`.
"""

import argparse
import math
import sys
import tempfile
import time
from pathlib import Path

import laspy  # type: ignore[import-untyped]
import numpy as np
import plyfile  # type: ignore[import-untyped]
from numpy.typing import NDArray

from tessary_py import AngleRadians, KdTree, Quat, Transform, Vec3d, VecList, VoxelGrid

Points = NDArray[np.float64]
# Where the made scans lie: map coordinates (UTM metres), where float32
# would keep centimetres only and one-pass covariance sums keep nothing.
MAP_ORIGIN = np.array([512_000.0, 5_430_000.0, 231.0])
# The pose the second scan's points are moved by, in the frame centred on
# MAP_ORIGIN: a turn of 2 degrees about the vertical and 0.3 m across.
TRUE_TURN = Quat.from_axis_angle(Vec3d(0.1, 0.05, 1).normalize(), AngleRadians(math.radians(2.0)))
TRUE_SHIFT = Vec3d(0.3, -0.2, 0.05)


def read_points(path: Path) -> Points:
    """The (n, 3) float64 coordinates of a PLY, LAS or LAZ file."""
    suffix = path.suffix.lower()
    if suffix in (".las", ".laz"):
        # The scaled integers of the file, as float64 (X * scale + offset).
        las = laspy.read(path)
        return np.ascontiguousarray(las.xyz, dtype=np.float64)
    if suffix == ".ply":
        vertex = plyfile.PlyData.read(path)["vertex"]
        # One copy into rows of three, whatever the file's types (float or double).
        return np.column_stack([vertex["x"], vertex["y"], vertex["z"]]).astype(np.float64)
    raise SystemExit(f"{path}: expected a .ply, .las or .laz file")


def write_ply(path: Path, points: Points, normals: Points) -> None:
    """A binary PLY of double coordinates and float normals."""
    vertex = np.empty(len(points), dtype=[("x", "f8"), ("y", "f8"), ("z", "f8"),
                                          ("nx", "f4"), ("ny", "f4"), ("nz", "f4")])
    for i, name in enumerate("xyz"):
        vertex[name] = points[:, i]
        vertex["n" + name] = normals[:, i]
    plyfile.PlyData([plyfile.PlyElement.describe(vertex, "vertex")], text=False).write(path)


def ground(x: Points, y: Points) -> Points:
    """The height of the made patch: hills and a ditch, enough relief to fix every motion."""
    return 2.0 * np.sin(x / 7.0) * np.cos(y / 9.0) + 0.02 * x + np.exp(-((x - y) / 3.0) ** 2)


def make_scans(folder: Path, points: int) -> tuple[Path, Path]:
    """Two overlapping scans: a.ply in the map frame, b.las moved by the true pose, both with outliers."""
    rng = np.random.default_rng(7)
    scans = []
    for low, high in ((0.0, 40.0), (8.0, 48.0)):
        xy = rng.uniform(low, high, size=(points, 2))
        cloud = np.column_stack([xy, ground(xy[:, 0], xy[:, 1])]) + rng.normal(scale=0.005, size=(points, 3))
        strays = rng.uniform([low, low, -5], [high, high, 15], size=(points // 100, 3))
        scans.append(np.vstack([cloud, strays]))
    first, second = scans
    # The second scanner saw the ground moved by the inverse of the true pose:
    # registering its points onto the first finds the true pose again.
    seen = VecList(second)
    seen.transform(Transform(TRUE_TURN, TRUE_SHIFT).inverse())
    second = np.asarray(seen)

    a, b = folder / "a.ply", folder / "b.las"
    write_ply(a, first + MAP_ORIGIN, np.zeros_like(first))
    header = laspy.LasHeader(point_format=0, version="1.2")
    header.offsets, header.scales = MAP_ORIGIN, np.array([0.0005, 0.0005, 0.0005])
    las = laspy.LasData(header)
    las.xyz = second + MAP_ORIGIN
    las.write(b)
    return a, b


def clean(points: Points, voxel: float, scanner: Vec3d) -> tuple[Points, Points]:
    """Thinned, with normals towards the scanner, outliers dropped: (points, normals)."""
    # Each voxel's exact centroid: the same points at map coordinates as at the origin.
    thinned = VoxelGrid(points, voxel).centroids
    tree = KdTree(thinned)
    normals = tree.orient_normals_towards(tree.normals(12), scanner)
    keep = np.asarray(tree.statistical_inliers(12, 2.0)) & np.isfinite(np.asarray(normals)).all(axis=1)
    return np.asarray(thinned)[keep], np.asarray(normals)[keep]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("scans", nargs="*", type=Path, help="the target scan and the scan to register onto it")
    parser.add_argument("--out", type=Path, help="the merged cloud, a binary PLY (default: merged.ply beside the scans)")
    parser.add_argument("--voxel", type=float, default=0.25, help="the side of the downsampling voxels, in the files' units")
    parser.add_argument("--points", type=int, default=40_000, help="points per made scan")
    args = parser.parse_args()
    if len(args.scans) not in (0, 2):
        parser.error("give two scans, or none to make them")

    with tempfile.TemporaryDirectory() as scratch:
        made = not args.scans
        target_path, source_path = make_scans(Path(scratch), args.points) if made else args.scans
        out: Path = args.out or (Path(scratch) if made else target_path.parent) / "merged.ply"
        start = time.perf_counter()
        target_raw, source_raw = read_points(target_path), read_points(source_path)
        print(f"read {len(target_raw)} + {len(source_raw)} points "
              f"from {target_path.name} and {source_path.name}")

        # Scanners above the middle of each scan (a real job reads them from the files' metadata).
        def above(points: Points) -> Vec3d:
            low, high = points.min(axis=0), points.max(axis=0)
            return Vec3d(*((low + high) / 2 + np.array([0.0, 0.0, 50.0])).tolist())

        target, target_normals = clean(target_raw, args.voxel, above(target_raw))
        source, source_normals = clean(source_raw, args.voxel, above(source_raw))
        print(f"downsampled to {len(target)} and {len(source)} points, outliers dropped, normals estimated")

        # Coarse-to-fine: a wide correspondence distance first, then a narrow one.
        tree = KdTree(target)
        pose = Transform.identity()
        for distance in (2.0, 0.5):
            result = Transform.icp(source, tree, distance, initial=pose, method="point_to_plane",
                                   target_normals=target_normals, max_iterations=50)
            pose = result.transform
        print(f"ICP: {result.status} after {result.iterations} iterations, fitness {result.fitness:.3f}, "
              f"inlier RMSE {result.inlier_rmse:.4f}")

        moved = VecList(source)
        moved.transform(pose)
        turned = VecList(source_normals)
        turned.rotate(pose.rotation)
        merged, normals = np.vstack([target, np.asarray(moved)]), np.vstack([target_normals, np.asarray(turned)])
        write_ply(out, merged, normals)
        print(f"wrote {len(merged)} points with normals to {out.name} in {time.perf_counter() - start:.2f} s")

        if made:
            # The pose is in map coordinates; the true one was set about MAP_ORIGIN.
            centre = Vec3d(*MAP_ORIGIN.tolist())
            true_pose = Transform(translation=centre) * Transform(TRUE_TURN, TRUE_SHIFT) * Transform(translation=-centre)
            corners = [Vec3d(*(MAP_ORIGIN + np.array(c)).tolist()) for c in ((0, 0, 0), (48, 0, 0), (0, 48, 0), (48, 48, 5))]
            error = max(pose.apply(c).distance_to(true_pose.apply(c)) for c in corners)
            print(f"largest error of the found pose over the patch: {error * 1000:.1f} mm")
            if not (result.converged and error < 0.02):
                print("the registration missed the pose the scan was moved by", file=sys.stderr)
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
