"""Exact statistics and fits beside numpy, Open3D and scipy:

- `VecList.centroid()` and `covariance()` on a 10^6-point ground tile of
  100 m x 100 m in map coordinates (x ~ 5e5, y ~ 5e6), against numpy's
  `mean(axis=0)` and `cov` and Open3D's `compute_mean_and_covariance`
  (one call gives both); targets: centroid <= 1.0x Open3D, covariance
  <= 1.5x Open3D and <= 0.25x numpy's `cov`. Each result's error against
  the exact rational answer is reported: ulps off the exact mean, and the
  largest relative error of a covariance entry;
- the same on a standard-normal cloud around the origin, where the fast
  fixed-point path of the exact sums does not apply;
- `Quat.align` against scipy's `Rotation.align_vectors` at 10^5 pairs;
  target <= 0.25x;
- `Transform.align` at 10^5 pairs against scipy's `align_vectors` with the
  centroids removed by numpy (the rigid transform the same way);
- point-to-point ICP (`Transform.icp`) at 10^5 points, 30 iterations (both
  tolerances 0, so both run every iteration), against Open3D's
  `registration_icp` with `TransformationEstimationPointToPoint`; target
  <= 0.25x, with the same fitness and an inlier RMSE within 1e-9.

Open3D is optional (`pip install --no-deps open3d-cpu`, then `plotly dash`;
it needs the system's libusb-1.0 and libgomp): without it its columns say
so. Run after installing:

    python3 bench/bench_fitting.py
"""
import math
import os
import sys
from fractions import Fraction

sys.path.insert(0, os.path.dirname(__file__))

import numpy as np  # noqa: E402
from scipy.spatial.transform import Rotation  # noqa: E402

from common import interleaved  # noqa: E402
from tessary_py import AngleRadians, Quat, Transform, Vec3d, VecList  # noqa: E402

try:
    import open3d
except ImportError as error:  # absent, or its shared libraries are
    open3d = None
    OPEN3D_MISSING = str(error)

N = 1_000_000
PAIRS = 100_000


def tile(n, seed=2024):
    """A ground tile: 100 m x 100 m at x ~ 5e5, y ~ 5e6, a gentle slope and
    5 cm of noise in the height."""
    rng = np.random.default_rng(seed)
    east = 512_000 + rng.uniform(0, 100, n)
    north = 5_430_000 + rng.uniform(0, 100, n)
    return np.column_stack([east, north, 231 + 0.01 * (east - 512_000) + rng.normal(0, 0.05, n)])


def sphere(n, seed=2024):
    return np.random.default_rng(seed).standard_normal((n, 3))


def exact_moments(points):
    """The exact mean (Fractions) and the exact population covariance, from
    each column read as integers in units of its finest lowest bit."""
    n = len(points)
    ints, units = [], []
    for j in range(3):
        fractions, exponents = np.frexp(points[:, j])
        mantissas = np.ldexp(fractions, 53).astype(np.int64)  # exact: 53-bit integers
        unit = int(exponents.min()) - 53
        ints.append([m << (e - 53 - unit) for m, e in zip(mantissas.tolist(), exponents.tolist())])
        units.append(Fraction(2) ** unit)
    sums = [sum(c) for c in ints]
    mean = [Fraction(s) * u / n for s, u in zip(sums, units)]
    covariance = [[None] * 3 for _ in range(3)]
    for j in range(3):
        for k in range(j, 3):
            products = sum(a * b for a, b in zip(ints[j], ints[k]))
            value = Fraction(n * products - sums[j] * sums[k], n * n) * units[j] * units[k]
            covariance[j][k] = covariance[k][j] = value
    return mean, covariance


def ulps_off(values, exact):
    return [round(abs(Fraction(float(v)) - m) / Fraction(math.ulp(float(m)))) for v, m in zip(values, exact)]


def relative_error(matrix, exact):
    """The largest error of an entry, relative to the largest entry."""
    scale = max(abs(x) for row in exact for x in row)
    return float(max(abs(Fraction(float(matrix[j][k])) - exact[j][k]) for j in range(3) for k in range(3)) / scale)


def statistics(points, budget, rounds):
    """Times and errors of ours and the peers on one cloud."""
    cloud = VecList(points)
    contenders = {
        "centroid()": cloud.centroid, "covariance()": cloud.covariance,
        "numpy mean(axis=0)": lambda: points.mean(axis=0), "numpy cov(bias=True)": lambda: np.cov(points.T, bias=True),
    }
    if open3d is not None:
        pcd = open3d.geometry.PointCloud(open3d.utility.Vector3dVector(points))
        contenders["Open3D compute_mean_and_covariance"] = pcd.compute_mean_and_covariance
    times = dict(zip(contenders, interleaved(list(contenders.values()), budget, rounds)))
    mean, covariance = exact_moments(points)
    errors = {
        "centroid()": (ulps_off(cloud.centroid(), mean), relative_error(cloud.covariance(), covariance)),
        "numpy": (ulps_off(points.mean(axis=0), mean), relative_error(np.cov(points.T, bias=True), covariance)),
    }
    if open3d is not None:
        o3d_mean, o3d_covariance = pcd.compute_mean_and_covariance()
        errors["Open3D"] = (ulps_off(o3d_mean, mean), relative_error(o3d_covariance, covariance))
    return times, errors


def alignment(budget, rounds):
    rng = np.random.default_rng(7)
    a = rng.standard_normal((PAIRS, 3))
    truth = Rotation.from_quat(rng.standard_normal(4))
    b = truth.apply(a) + 0.01 * rng.standard_normal((PAIRS, 3))
    q, residual = Quat.align(a, b)
    r, rssd = Rotation.align_vectors(b, a)  # scipy maps its second argument onto its first
    x, y, z, w = r.as_quat()
    difference = min(np.max(np.abs(np.array([q.w, q.i, q.j, q.k]) - s * np.array([w, -x, -y, -z]))) for s in (1, -1))
    times = interleaved([lambda: Quat.align(a, b), lambda: Rotation.align_vectors(b, a)], budget, rounds)
    return {"Quat.align(a, b)": times[0], "Rotation.align_vectors(b, a)": times[1]}, difference, residual - rssd


def rigid_alignment(budget, rounds):
    """Transform.align against scipy with the centroids removed."""
    rng = np.random.default_rng(8)
    a = tile(PAIRS)
    truth = Rotation.from_rotvec([0.01, -0.02, 0.3])
    b = truth.apply(a - a.mean(axis=0)) + a.mean(axis=0) + [1.0, 2.0, 0.5] + 0.01 * rng.standard_normal((PAIRS, 3))

    def scipy_rigid():
        ca, cb = a.mean(axis=0), b.mean(axis=0)
        r, _ = Rotation.align_vectors(b - cb, a - ca)
        return r, cb - r.apply(ca)

    t, _ = Transform.align(a, b)
    r, _ = scipy_rigid()
    difference = float(np.max(np.abs(np.array(t.to_matrix())[:3, :3] - r.as_matrix())))
    times = interleaved([lambda: Transform.align(a, b), scipy_rigid], budget, rounds)
    return {"Transform.align(a, b)": times[0], "scipy align_vectors, centroids removed": times[1]}, difference


ICP_POINTS = 100_000
ICP_ITERATIONS = 30


def icp_clouds():
    """Two scans of the same bumpy ground, sampled apart, in map
    coordinates: the second turned 0.01 rad about the vertical and shifted
    by 0.36 m. Sampled apart, the nearest partners lie some 0.2 m away, so
    the inlier RMSE stays near that."""
    rng = np.random.default_rng(9)

    def scan(n):
        xy = rng.uniform(0, 100, (n, 2))
        z = 231 + 2 * np.sin(xy[:, 0] / 2) * np.cos(xy[:, 1] / 3) + rng.normal(0, 0.01, n)
        return np.column_stack([xy[:, 0] + 512_000, xy[:, 1] + 5_430_000, z])

    source, target = scan(ICP_POINTS), scan(ICP_POINTS)
    middle = VecList(target).centroid()
    turn = Transform(Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.01)))
    pose = Transform(translation=middle + Vec3d(0.3, -0.2, 0.0)) * turn * Transform(translation=-middle)
    moved = VecList(target)
    moved.transform(pose)
    return source, np.array(moved)


def registration(budget, rounds):
    """ICP, ours and Open3D's, each running 30 iterations."""
    source, target = icp_clouds()
    distance = 1.0

    def ours():
        return Transform.icp(source, target, distance, max_iterations=ICP_ITERATIONS, relative_fitness=0,
                             relative_rmse=0)

    result = ours()
    times = {"Transform.icp": None}
    if open3d is None:
        times["Transform.icp"] = interleaved([ours], budget, rounds)[0]
        return times, result, None
    reg = open3d.pipelines.registration
    clouds = [open3d.geometry.PointCloud(open3d.utility.Vector3dVector(c)) for c in (source, target)]
    criteria = reg.ICPConvergenceCriteria(relative_fitness=0, relative_rmse=0, max_iteration=ICP_ITERATIONS)

    def peer():
        return reg.registration_icp(*clouds, distance, np.eye(4), reg.TransformationEstimationPointToPoint(), criteria)

    theirs = peer()
    ours_time, peer_time = interleaved([ours, peer], budget, rounds)
    times = {"Transform.icp": ours_time, "Open3D registration_icp": peer_time}
    return times, result, theirs


def measure(budget=2.0, rounds=5):
    return {"load before": os.getloadavg(), "tile": statistics(tile(N), budget, rounds),
            "sphere": statistics(sphere(N), budget, rounds), "align": alignment(budget, rounds),
            "rigid": rigid_alignment(budget, rounds), "icp": registration(3 * budget, 3),
            "load after": os.getloadavg()}


def markdown(results):
    """The report's section: the tables below as Markdown lines."""
    def load(values):
        return ", ".join(f"{x:.2f}" for x in values)

    lines = [f"Load average before {load(results['load before'])}, after {load(results['load after'])}.", ""]
    o3d_key = "Open3D compute_mean_and_covariance"
    for name, title in (("tile", "map-coordinate ground tile"), ("sphere", "standard-normal cloud")):
        times, errors = results[name]
        peer = times.get(o3d_key)
        lines += [f"**{N:,} points, {title}**", "", "| call | ms | ours / this |", "|---|---|---|"]
        for call, seconds in times.items():
            ratios = "" if call.endswith("()") else (
                f"{times['centroid()'] / seconds:.2f} (centroid), {times['covariance()'] / seconds:.2f} (covariance)")
            lines.append(f"| `{call}` | {seconds * 1e3:.2f} | {ratios} |")
        if peer is not None:
            for call, target in (("centroid()", 1.0), ("covariance()", 1.5)):
                ratio = times[call] / peer
                lines.append(f"| target `{call}` <= {target}x Open3D | | {ratio:.2f}: {'met' if ratio <= target else 'missed'} |")
        else:
            lines.append(f"| Open3D | not measured: {OPEN3D_MISSING} | |")
        ratio = times["covariance()"] / times["numpy cov(bias=True)"]
        lines += [f"| target `covariance()` <= 0.25x numpy cov | | {ratio:.2f}: {'met' if ratio <= 0.25 else 'missed'} |",
                  "", "| result of | ulps off the exact mean (x, y, z) | covariance: largest error / largest entry |",
                  "|---|---|---|"]
        for who, (ulps, relative) in errors.items():
            lines.append(f"| {who} | {ulps} | {relative:.2g} |")
        lines.append("")
    times, difference, residual_difference = results["align"]
    ours, scipy = times.values()
    lines += [f"**`Quat.align` at {PAIRS:,} pairs**: ours {ours * 1e3:.2f} ms, scipy {scipy * 1e3:.2f} ms, ours / scipy "
              f"**{ours / scipy:.2f}** (target <= 0.25: {'met' if ours / scipy <= 0.25 else 'missed'}); largest "
              f"difference of the quaternions {difference:.1g}, of the residuals {residual_difference:.1g}.", ""]
    times, difference = results["rigid"]
    ours, scipy = times.values()
    lines += [f"**`Transform.align` at {PAIRS:,} pairs** (map-coordinate tile): ours {ours * 1e3:.2f} ms, scipy "
              f"`align_vectors` with numpy's centroids removed {scipy * 1e3:.2f} ms, ours / scipy **{ours / scipy:.2f}**; "
              f"largest difference of the rotation matrices {difference:.1g}.", ""]
    times, result, theirs = results["icp"]
    ours = times["Transform.icp"]
    line = (f"**ICP at {ICP_POINTS:,} points, {ICP_ITERATIONS} iterations** (map coordinates): ours {ours * 1e3:.1f} ms "
            f"(fitness {result.fitness}, inlier RMSE {result.inlier_rmse:.12g})")
    if theirs is None:
        line += f"; Open3D not measured: {OPEN3D_MISSING}."
    else:
        peer = times["Open3D registration_icp"]
        same = result.fitness == theirs.fitness and abs(result.inlier_rmse - theirs.inlier_rmse) <= 1e-9
        line += (f", Open3D {peer * 1e3:.1f} ms (fitness {theirs.fitness}, inlier RMSE {theirs.inlier_rmse:.12g}); "
                 f"ours / Open3D **{ours / peer:.2f}** (target <= 0.25: {'met' if ours / peer <= 0.25 else 'missed'}); "
                 f"same fitness and RMSE within 1e-9: {'yes' if same else 'no'} (RMSE difference "
                 f"{abs(result.inlier_rmse - theirs.inlier_rmse):.1g}).")
    lines += [line, ""]
    return lines


def main():
    print(f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}, "
          f"cpus={len(os.sched_getaffinity(0))}")
    print("\n".join(markdown(measure())))


if __name__ == "__main__":
    main()
