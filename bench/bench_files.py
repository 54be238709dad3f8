"""Reading a 10^6-point cloud from each common file format into an (n, 3)
float64 array, and from there into a `VecList` and a `KdTree`, beside
Open3D's readers (`o3d.io.read_point_cloud`, then `np.asarray(pcd.points)`)
where Open3D reads the format: the numbers of the guide page "Reading and
writing point clouds".

The cloud is a 100 m x 100 m ground tile at map coordinates (x ~ 5e5,
y ~ 5e6), written once per format into a scratch folder: LAS 1.2 and LAZ
(laspy, LAZ through lazrs; millimetre scale), binary and ASCII PLY of
doubles (plyfile), binary PCD of doubles (pypcd4), XYZ text (numpy's
savetxt, 17 significant digits), raw float64 (tofile) and .npy. Each time
is the best of three reads from the page cache, after a read that warms
it. Every reader is checked to give the cloud back (bit for bit, or to
the file's resolution for LAS/LAZ and text).

Needs laspy[lazrs], plyfile, pypcd4; Open3D is optional
(`pip install --no-deps open3d-cpu`, then `plotly dash`): without it its
column says so.

    python3 bench/bench_files.py [--points 1000000]
"""
import argparse
import os
import sys
import tempfile
from pathlib import Path

import laspy
import numpy as np
import plyfile
from pypcd4 import PointCloud

from tessary_py import KdTree, VecList

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import best_run  # noqa: E402

try:
    import open3d as o3d
except ImportError:
    o3d = None


def best(fn):
    return best_run(fn, 3, warm_up=True)[0]


def write_all(folder: Path, cloud: np.ndarray) -> dict:
    paths = {}
    offsets = np.floor(cloud.min(axis=0))
    for name in ("las", "laz"):
        header = laspy.LasHeader(point_format=0, version="1.2")
        header.offsets, header.scales = offsets, np.array([0.001, 0.001, 0.001])
        las = laspy.LasData(header)
        las.xyz = cloud
        paths[name] = folder / f"cloud.{name}"
        las.write(paths[name])
    vertex = np.empty(len(cloud), dtype=[("x", "f8"), ("y", "f8"), ("z", "f8")])
    vertex["x"], vertex["y"], vertex["z"] = cloud.T
    for name, text in (("ply (binary)", False), ("ply (ASCII)", True)):
        paths[name] = folder / ("cloud-ascii.ply" if text else "cloud.ply")
        plyfile.PlyData([plyfile.PlyElement.describe(vertex, "vertex")], text=text).write(paths[name])
    paths["pcd (binary, float32)"] = folder / "cloud.pcd"
    PointCloud.from_xyz_points(cloud).save(paths["pcd (binary, float32)"])  # float32 fields
    pcd64 = folder / "cloud64.pcd"
    fields, types = ("x", "y", "z"), (np.float64, np.float64, np.float64)
    PointCloud.from_points(cloud, fields, types).save(pcd64)
    paths["pcd (binary, float64)"] = pcd64
    paths["xyz text"] = folder / "cloud.xyz"
    np.savetxt(paths["xyz text"], cloud, fmt="%.17g")
    paths["raw float64"] = folder / "cloud.bin"
    cloud.tofile(paths["raw float64"])
    paths["npy"] = folder / "cloud.npy"
    np.save(paths["npy"], cloud)
    return paths


def ply_xyz(path):
    vertex = plyfile.PlyData.read(path)["vertex"]
    return np.column_stack([vertex["x"], vertex["y"], vertex["z"]])


READERS = {
    "las": lambda p: laspy.read(p).xyz,
    "laz": lambda p: laspy.read(p).xyz,
    "ply (binary)": ply_xyz,
    "ply (ASCII)": ply_xyz,
    "pcd (binary, float32)": lambda p: PointCloud.from_path(p).numpy(("x", "y", "z")).astype(np.float64),
    "pcd (binary, float64)": lambda p: PointCloud.from_path(p).numpy(("x", "y", "z")),
    "xyz text": lambda p: np.loadtxt(p),
    "raw float64": lambda p: np.fromfile(p, dtype=np.float64).reshape(-1, 3),
    "npy": lambda p: np.load(p),
}
# Open3D's reader by format (it reads no LAS/LAZ); its .xyz is "xyz".
OPEN3D = {"ply (binary)": "ply", "ply (ASCII)": "ply", "pcd (binary, float32)": "pcd", "pcd (binary, float64)": "pcd",
          "xyz text": "xyz"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    xy = rng.uniform(0, 100, size=(args.points, 2))
    cloud = np.column_stack([xy[:, 0] + 512_000, xy[:, 1] + 5_430_000, 231 + np.sin(xy[:, 0] / 9) * 3])
    cloud = np.round(cloud, 3)  # millimetres, so that LAS keeps every point exactly
    with tempfile.TemporaryDirectory() as scratch:
        paths = write_all(Path(scratch), cloud)
        print(f"{args.points} points; best of 3 reads from the page cache, milliseconds "
              f"(threads: {os.environ.get('RAYON_NUM_THREADS', 'all')})")
        print(f"{'format':24} {'size MB':>8} {'reader':>8} {'Open3D':>8}")
        for name, path in paths.items():
            points = READERS[name](path)
            # float32 keeps half metres at y ~ 5.4e6; LAS's integers times 0.001 round.
            tolerance = {"pcd (binary, float32)": 0.5, "las": 1e-6, "laz": 1e-6}.get(name, 0)
            assert points.shape == cloud.shape and np.abs(points - cloud).max() <= tolerance, name
            ours = best(lambda: READERS[name](path))
            theirs = "n/a"
            if o3d is not None and name in OPEN3D:
                fmt = OPEN3D[name]
                read = lambda: np.asarray(o3d.io.read_point_cloud(str(path), format=fmt).points)
                got = read()
                if got.shape == cloud.shape and np.abs(got - cloud).max() <= tolerance:
                    theirs = f"{best(read) * 1e3:8.1f}"
                else:
                    theirs = "wrong"  # read, but not the points written
            elif o3d is None and name in OPEN3D:
                theirs = "missing"
            print(f"{name:24} {path.stat().st_size / 1e6:8.1f} {ours * 1e3:8.1f} {theirs:>8}")
        array = np.load(paths["npy"])
        mapped = np.load(paths["npy"], mmap_mode="r")
        print(f"np.load(mmap_mode='r') {best(lambda: np.load(paths['npy'], mmap_mode='r')) * 1e3:.2f} ms")
        print(f"VecList(array)         {best(lambda: VecList(array)) * 1e3:.2f} ms")
        print(f"VecList(memmap)        {best(lambda: VecList(mapped)) * 1e3:.2f} ms")
        single = array.astype(np.float32)
        print(f"VecList(float32 array) {best(lambda: VecList(single)) * 1e3:.2f} ms")
        print(f"VecList(array[::2])    {best(lambda: VecList(array[::2])) * 1e3:.2f} ms")
        vl = VecList(array)
        print(f"KdTree(array)          {best(lambda: KdTree(array)) * 1e3:.2f} ms")
        print(f"KdTree(vec_list)       {best(lambda: KdTree(vl)) * 1e3:.2f} ms")
        if o3d is not None:
            print(f"o3d Vector3dVector     {best(lambda: o3d.utility.Vector3dVector(array)) * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
