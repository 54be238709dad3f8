"""The neighbourhood of every point: normals, outlier removal and the
distances between two clouds, beside Open3D (its legacy and tensor
`estimate_normals`, `remove_statistical_outlier`, `remove_radius_outlier`,
`compute_point_cloud_distance`) and small_gicp's `estimate_normals`, each
where it is installed, at 2 threads each (OMP_NUM_THREADS and
RAYON_NUM_THREADS, unless set).

Clouds (bench/clouds.py): a uniform cube and the surface room, at 10^5 and
10^6 points. Ours include building the tree, as the peers' calls do theirs.
Then normals at map coordinates: the room of 2·10^5 points moved to
(512 000, 5 430 000, 231), each normal against the same cloud's at the
origin (the share more than 1 degree off, and the worst angle).

    python3 bench/bench_neighbourhoods.py [--sizes 100000,1000000]
"""

import argparse
import os
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "2")
os.environ.setdefault("RAYON_NUM_THREADS", "2")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from clouds import MAP_ORIGIN, surface_room  # noqa: E402
from common import importable_peers, interleaved  # noqa: E402

from tessary_py import KdTree  # noqa: E402

# Ours over the faster peer, at most, at 10^6 points.
TARGETS = {"normals, 30 nearest": 0.25, "normals, hybrid": 0.25, "statistical outliers": 0.25,
           "radius outliers": 0.25, "distances both ways": 0.2}


def peers():
    return importable_peers({"open3d": "open3d", "small_gicp": "small_gicp"})


def cloud(kind, n):
    if kind == "uniform":
        return np.random.default_rng(1).uniform(0, 10, (n, 3))
    return surface_room(n)


def contenders(found, points, other, radius):
    ops = {
        "normals, 30 nearest": {"ours": lambda: KdTree(points).normals(30)},
        "normals, hybrid": {"ours": lambda: KdTree(points).normals(30, radius=radius)},
        "statistical outliers": {"ours": lambda: KdTree(points).statistical_inliers(20, 2.0)},
        "radius outliers": {"ours": lambda: KdTree(points).radius_inliers(radius, 16)},
        "distances both ways": {"ours": lambda: (KdTree(other).nearest_each(points), KdTree(points).nearest_each(other))},
    }
    o3d = found["open3d"]
    if o3d:
        def legacy(p=points):
            return o3d.geometry.PointCloud(o3d.utility.Vector3dVector(p))

        def tensor(search):
            cloud = o3d.t.geometry.PointCloud(o3d.core.Tensor(points))
            cloud.estimate_normals(**search)
            return cloud

        ops["normals, 30 nearest"]["open3d"] = lambda: legacy().estimate_normals(o3d.geometry.KDTreeSearchParamKNN(30))
        ops["normals, 30 nearest"]["open3d tensor"] = lambda: tensor({"max_nn": 30})
        ops["normals, hybrid"]["open3d"] = lambda: legacy().estimate_normals(
            o3d.geometry.KDTreeSearchParamHybrid(radius, 30))
        ops["normals, hybrid"]["open3d tensor"] = lambda: tensor({"max_nn": 30, "radius": radius})
        ops["statistical outliers"]["open3d"] = lambda: legacy().remove_statistical_outlier(20, 2.0)
        ops["radius outliers"]["open3d"] = lambda: legacy().remove_radius_outlier(17, radius)
        ops["distances both ways"]["open3d"] = lambda: (legacy().compute_point_cloud_distance(legacy(other)),
                                                        legacy(other).compute_point_cloud_distance(legacy()))
    sg = found["small_gicp"]
    if sg:
        def small(p=points):
            cloud = sg.PointCloud(p)
            sg.estimate_normals(cloud, num_neighbors=30, num_threads=int(os.environ["OMP_NUM_THREADS"]))
            return cloud

        ops["normals, 30 nearest"]["small_gicp"] = small
    return ops


def map_coordinates(found, n):
    """The share of normals more than 1 degree off, and the worst angle, at
    map coordinates against the same cloud at the origin."""
    points = surface_room(n)
    far = points + MAP_ORIGIN

    def report(near_normals, far_normals):
        cosine = np.abs(np.sum(near_normals * far_normals, axis=1))
        angles = np.degrees(np.arccos(np.clip(cosine, -1, 1)))
        return f"{np.mean(angles > 1) * 100:.1f} % over 1°, worst {np.nanmax(angles):.3g}°"

    rows = {"ours": report(np.asarray(KdTree(points).normals(30)), np.asarray(KdTree(far).normals(30)))}
    o3d = found["open3d"]
    if o3d:
        def legacy(p):
            c = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(p))
            c.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(30))
            return np.asarray(c.normals)

        def tensor(p):
            c = o3d.t.geometry.PointCloud(o3d.core.Tensor(p))
            c.estimate_normals(max_nn=30)
            return c.point.normals.numpy()

        rows["open3d"] = report(legacy(points), legacy(far))
        rows["open3d tensor"] = report(tensor(points), tensor(far))
    sg = found["small_gicp"]
    if sg:
        def small(p):
            c = sg.PointCloud(p)
            sg.estimate_normals(c, num_neighbors=30)
            return c.normals()[:, :3]

        rows["small_gicp"] = report(small(points), small(far))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--budget", type=float, default=2.0)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    found = peers()
    print(f"# Neighbourhoods ({os.environ['RAYON_NUM_THREADS']} threads; load {os.getloadavg()[0]:.1f})\n")
    for kind in ("uniform", "room"):
        for n in sizes:
            points = cloud(kind, n)
            other = points + np.random.default_rng(2).normal(scale=0.01, size=points.shape)
            # About 30 neighbours within the radius.
            radius = 0.3 if kind == "uniform" and n == 100_000 else (0.14 if kind == "uniform" else 0.15)
            print(f"## {kind}, {n:,} points\n\n| operation | contender | s | ours / fastest peer |\n|---|---|---|---|")
            for op, fns in contenders(found, points, other, radius).items():
                names = list(fns)
                times = interleaved([fns[c] for c in names], budget=args.budget, rounds=2)
                peer = min((t for c, t in zip(names, times) if c != "ours"), default=None)
                for contender, seconds in zip(names, times):
                    ratio = f"{seconds / peer:.2f}" if peer and contender == "ours" else ""
                    target = f" (target ≤ {TARGETS[op]})" if ratio and n == max(sizes) else ""
                    print(f"| {op} | {contender} | {seconds:.3f} | {ratio}{target} |")
            print()
    print("## Normals at map coordinates (200,000 room points moved to (512 000, 5 430 000, 231))\n")
    for contender, row in map_coordinates(found, 200_000).items():
        print(f"- {contender}: {row}")
    print(f"\nload {os.getloadavg()[0]:.1f} at the end, {time.strftime('%Y-%m-%d %H:%M')}")


if __name__ == "__main__":
    main()
