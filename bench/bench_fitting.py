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
  target <= 0.25x.

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
from tessary_py import Quat, VecList  # noqa: E402

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


def measure(budget=2.0, rounds=5):
    return {"load before": os.getloadavg(), "tile": statistics(tile(N), budget, rounds),
            "sphere": statistics(sphere(N), budget, rounds), "align": alignment(budget, rounds),
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
    return lines


def main():
    print(f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}, "
          f"cpus={len(os.sched_getaffinity(0))}")
    print("\n".join(markdown(measure())))


if __name__ == "__main__":
    main()
