"""A point cloud through tessary_py: numpy in, bulk work on the pool, numpy out.

    python3 examples/point_cloud.py             # a generated helix of points
    python3 examples/point_cloud.py cloud.npy   # any (n, 3) array saved with numpy.save

The points go into a VecList without a per-point Python object, are
rotated in place, searched for the point nearest to a probe, flattened onto
the xy plane, and come back as numpy arrays that share the list's memory.
Each step is checked against plain numpy.
"""

import sys

import numpy as np
import numpy.typing as npt

from tessary_py import AngleDegrees, Quat, Vec3d, VecList

Points = npt.NDArray[np.float64]


def generated(n: int = 200_000) -> Points:
    """Points along a helix, in order, with a little noise."""
    rng = np.random.default_rng(7)
    t = np.linspace(0.0, 20.0 * np.pi, n)
    helix = np.column_stack([np.cos(t), np.sin(t), t / 10.0])
    return helix + rng.normal(scale=0.01, size=helix.shape)


def load(path: str) -> Points:
    points = np.asarray(np.load(path), dtype=np.float64)
    if points.ndim != 2 or points.shape[1] != 3:
        raise SystemExit(f"{path}: expected an array of shape (n, 3), got {points.shape}")
    return points


def main(argv: list[str]) -> None:
    points = load(argv[1]) if len(argv) > 1 else generated()
    print(f"{len(points)} points, {points.dtype}, shape {points.shape}")

    # numpy in: arrays of shape (n, 3) of any real dtype are read directly.
    cloud = VecList(points)

    # Rotate 30 degrees about the diagonal, in place. rotate turns by +θ
    # about the axis; to_rotation_matrix() is the transpose of that map, so
    # numpy's equivalent is points @ M.
    turn = Quat.from_axis_angle(Vec3d(1, 1, 1).normalize(), AngleDegrees(30).to_radians())
    cloud.rotate(turn)
    rotated = np.asarray(cloud)  # zero-copy and read-only
    matrix = np.array(turn.to_rotation_matrix())
    print(f"rotation agrees with numpy's points @ M to {np.abs(rotated - points @ matrix).max():.1e}")

    # The nearest point to a probe. Stride 1 searches every point; a larger
    # stride samples every stride-th point first and then searches the window
    # around the best sample, which suits points that follow a curve in order.
    probe = Vec3d(0.2, 0.9, 1.5)
    position, distance = cloud.minimum_distance_to(probe, 1)
    by_numpy = int(np.argmin(np.linalg.norm(rotated - np.asarray(probe), axis=1)))
    print(f"nearest to {probe}: point {position} at {distance:.6f} (numpy: point {by_numpy})")
    sampled, sampled_distance = cloud.minimum_distance_to(probe, 500)
    print(f"sampling every 500th point first: point {sampled} at {sampled_distance:.6f}")

    # Flatten onto the xy plane: collapse(2) sets every z to +0.0.
    flat = np.asarray(cloud.collapse(2))
    print(f"collapsed onto z = 0: max |z| = {np.abs(flat[:, 2]).max()}, "
          f"x and y kept: {np.array_equal(flat[:, :2], rotated[:, :2])}")

    # numpy out: the arrays are read-only views; copy to modify.
    print(f"exported arrays are writeable: {flat.flags.writeable}; a copy is: {flat.copy().flags.writeable}")

    # The exported array is a snapshot: changing the list later copies first.
    cloud.append(Vec3d(0, 0, 0))
    print(f"after an append the list has {len(cloud)} points, the earlier array still {len(rotated)}")


if __name__ == "__main__":
    main(sys.argv)
