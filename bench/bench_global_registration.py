"""Registration with no initial pose beside Open3D: FPFH features of 10^5
points (KdTree.fpfh against compute_fpfh_feature, the same radius and
neighbour cap, and whether the features are equal), then the whole chain
on a 10^5-point terrain and a copy moved by 30 degrees and a tenth of its
extent: voxel downsampling (the same grid both sides), normals, features,
RANSAC over feature matches, point-to-plane ICP from its pose; then each
step of the chain timed alone, both clouds' share of it together (the
matching alone is RANSAC stopped after one trial). Every contender runs at
2 threads (OMP_NUM_THREADS and RAYON_NUM_THREADS, unless set); the
machine's load is printed with the table.

    python3 bench/bench_global_registration.py [--n 100000] [--repeat 2]
"""

import argparse
import math
import os
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "2")
os.environ.setdefault("RAYON_NUM_THREADS", "2")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import importable_peers  # noqa: E402

from tessary_py import AngleRadians, KdTree, Quat, Transform, Vec3d, VecList  # noqa: E402

EXTENT = 16.0
VOXEL = 0.25
# Ours over Open3D's time, at most.
TARGET = 0.25


def terrain(n, seed):
    """A 16 m square of ground with hills of several sizes: no symmetry a
    pose could confuse."""
    rng = np.random.default_rng(seed)
    xy = rng.uniform(0, EXTENT, (n, 2))
    hills = np.random.default_rng(99).uniform([0, 0, 0.5, 0.3], [EXTENT, EXTENT, 3.0, 2.0], (12, 4))
    z = np.zeros(n)
    for cx, cy, width, height in hills:
        z += height * np.exp(-((xy[:, 0] - cx) ** 2 + (xy[:, 1] - cy) ** 2) / (2 * width * width))
    return np.c_[xy, z] + rng.normal(0, 0.005, (n, 3))


def motion():
    axis = Vec3d(0.2, -0.3, 1.0).normalize()
    return Transform(Quat.from_axis_angle(axis, AngleRadians(math.radians(30))), Vec3d(1.2, -0.9, 0.3))


def best(fn, repeat):
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def ours_chain(source, target):
    def side(points):
        down = VecList(points).voxel_down_sample(VOXEL)
        tree = KdTree(down)
        normals = tree.normals(30, radius=2 * VOXEL)
        return down, normals, tree.fpfh(normals, 5 * VOXEL, max_neighbours=100)
    s, _, fs = side(source)
    t, nt, ft = side(target)
    first = Transform.ransac(s, t, fs, ft, 1.5 * VOXEL, max_iterations=100000, confidence=0.999)
    fine = Transform.icp(s, t, 1.5 * VOXEL, initial=first.transform, method="point_to_plane", target_normals=nt)
    return first, fine


def open3d_chain(o3d, source, target):
    reg = o3d.pipelines.registration

    def side(points):
        cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))
        down = cloud.voxel_down_sample(VOXEL)
        down.estimate_normals(o3d.geometry.KDTreeSearchParamHybrid(radius=2 * VOXEL, max_nn=30))
        return down, reg.compute_fpfh_feature(down, o3d.geometry.KDTreeSearchParamHybrid(radius=5 * VOXEL, max_nn=100))
    s, fs = side(source)
    t, ft = side(target)
    d = 1.5 * VOXEL
    first = reg.registration_ransac_based_on_feature_matching(
        s, t, fs, ft, False, d, reg.TransformationEstimationPointToPoint(False), 3,
        [reg.CorrespondenceCheckerBasedOnEdgeLength(0.9), reg.CorrespondenceCheckerBasedOnDistance(d)],
        reg.RANSACConvergenceCriteria(100000, 0.999))
    fine = reg.registration_icp(s, t, d, first.transformation, reg.TransformationEstimationPointToPlane())
    return first, fine


def ours_steps(source, target):
    """The chain's steps, each a call of no arguments that runs it on the
    results of the ones before: (name, call) in order."""
    d = 1.5 * VOXEL
    state = {}

    def down():
        state["s"], state["t"] = (VecList(p).voxel_down_sample(VOXEL) for p in (source, target))

    def normals():
        state["trees"] = [KdTree(state[k]) for k in "st"]
        state["ns"], state["nt"] = (tree.normals(30, radius=2 * VOXEL) for tree in state["trees"])

    def features():
        state["fs"], state["ft"] = (tree.fpfh(state[k], 5 * VOXEL, max_neighbours=100)
                                    for tree, k in zip(state["trees"], ("ns", "nt")))

    def ransac(iterations):
        def run():
            state["first"] = Transform.ransac(state["s"], state["t"], state["fs"], state["ft"], d,
                                              max_iterations=iterations, confidence=0.999)
        return run

    def icp():
        Transform.icp(state["s"], state["t"], d, initial=state["first"].transform, method="point_to_plane",
                      target_normals=state["nt"])
    return [("downsampling", down), ("normals", normals), ("features", features), ("matching", ransac(1)),
            ("RANSAC", ransac(100000)), ("ICP", icp)]


def open3d_steps(o3d, source, target):
    reg = o3d.pipelines.registration
    d = 1.5 * VOXEL
    state = {}
    clouds = [o3d.geometry.PointCloud(o3d.utility.Vector3dVector(p)) for p in (source, target)]

    def down():
        state["s"], state["t"] = (c.voxel_down_sample(VOXEL) for c in clouds)

    def normals():
        for k in "st":
            state[k].estimate_normals(o3d.geometry.KDTreeSearchParamHybrid(radius=2 * VOXEL, max_nn=30))

    def features():
        search = o3d.geometry.KDTreeSearchParamHybrid(radius=5 * VOXEL, max_nn=100)
        state["fs"], state["ft"] = (reg.compute_fpfh_feature(state[k], search) for k in "st")

    def ransac(iterations):
        def run():
            state["first"] = reg.registration_ransac_based_on_feature_matching(
                state["s"], state["t"], state["fs"], state["ft"], False, d,
                reg.TransformationEstimationPointToPoint(False), 3,
                [reg.CorrespondenceCheckerBasedOnEdgeLength(0.9), reg.CorrespondenceCheckerBasedOnDistance(d)],
                reg.RANSACConvergenceCriteria(iterations, 0.999))
        return run

    def icp():
        reg.registration_icp(state["s"], state["t"], d, state["first"].transformation,
                             reg.TransformationEstimationPointToPlane())
    return [("downsampling", down), ("normals", normals), ("features", features), ("matching", ransac(1)),
            ("RANSAC", ransac(100000)), ("ICP", icp)]


def step_times(steps, repeat):
    """Best seconds of each step over `repeat` runs of the chain, the steps
    in order each time; RANSAC's time is less the matching's."""
    best = {name: math.inf for name, _ in steps}
    for _ in range(repeat):
        for name, run in steps:
            start = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - start)
    best["RANSAC"] = max(0.0, best["RANSAC"] - best["matching"])
    return best


def print_steps(ours, peer):
    print("  step            ours ms  Open3D ms  ratio")
    for name in ours:
        mine = f"{ours[name] * 1e3:8.1f}"
        if peer is None:
            print(f"  {name:14s}{mine}")
            continue
        shown = f"{ours[name] / peer[name]:6.2f}" if peer[name] > 0 else "     -"
        print(f"  {name:14s}{mine}   {peer[name] * 1e3:8.1f}  {shown}")


def pose_error(t, truth):
    """(degrees, share of the extent) between two poses."""
    angle = math.degrees(2 * math.acos(min(1.0, abs(t.rotation.normalize().dot(truth.rotation)))))
    return angle, (t.translation - truth.translation).magnitude() / EXTENT


def from_matrix(m):
    return Transform.from_matrix(np.asarray(m))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100000)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    o3d = importable_peers({"open3d": "open3d"})["open3d"]
    print(f"load average {os.getloadavg()[0]:.2f}, {os.environ['RAYON_NUM_THREADS']} threads")

    # FPFH of n points, with the normals of their 30 nearest (defined at
    # every point: Open3D reads a NaN normal differently).
    points = terrain(args.n, seed=1)
    tree = KdTree(points)
    normals = np.asarray(tree.normals(30))
    ours_time, ours = best(lambda: np.asarray(tree.fpfh(normals, 0.25, max_neighbours=100)), args.repeat)
    print(f"FPFH of {args.n} points: ours {ours_time * 1e3:.0f} ms")
    if o3d is not None:
        cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))
        cloud.normals = o3d.utility.Vector3dVector(normals)
        search = o3d.geometry.KDTreeSearchParamHybrid(radius=0.25, max_nn=100)
        peer_time, peer = best(lambda: np.asarray(
            o3d.pipelines.registration.compute_fpfh_feature(cloud, search).data).T, args.repeat)
        equal = np.all(np.abs(ours - peer) <= 1e-9 * np.maximum(np.abs(peer), 100.0), axis=1)
        print(f"  Open3D {peer_time * 1e3:.0f} ms, ratio {ours_time / peer_time:.3f} (target <= {TARGET}); "
              f"rows equal within 1e-9: {equal.mean() * 100:.2f} % (the rest: near-ties of a pair's frame "
              f"or of its bins, max difference {np.abs(ours - peer).max():.3g})")

    # The chain.
    truth = motion()
    source = terrain(args.n, seed=2)
    m = np.array(truth.to_matrix())
    target = source @ m[:3, :3].T + m[:3, 3]
    ours_time, (first, fine) = best(lambda: ours_chain(source, target), args.repeat)
    a, e = pose_error(first.transform, truth)
    fa, fe = pose_error(fine.transform, truth)
    print(f"chain on {args.n} points (voxel {VOXEL}): ours {ours_time * 1e3:.0f} ms; RANSAC {first.status}, "
          f"{first.iterations} trials, {a:.3f} deg, {e * 100:.3f} % of extent; ICP {fine.status}, "
          f"{fa:.4f} deg, {fe * 100:.4f} %")
    if o3d is not None:
        peer_time, (pfirst, pfine) = best(lambda: open3d_chain(o3d, source, target), args.repeat)
        a, e = pose_error(from_matrix(pfirst.transformation), truth)
        fa, fe = pose_error(from_matrix(pfine.transformation), truth)
        print(f"  Open3D {peer_time * 1e3:.0f} ms, ratio {ours_time / peer_time:.3f} (target <= {TARGET}); "
              f"RANSAC {a:.3f} deg, {e * 100:.3f} %; ICP {fa:.4f} deg, {fe * 100:.4f} %")
    print("each step of the chain, both clouds:")
    print_steps(step_times(ours_steps(source, target), args.repeat),
                None if o3d is None else step_times(open3d_steps(o3d, source, target), args.repeat))


if __name__ == "__main__":
    main()
