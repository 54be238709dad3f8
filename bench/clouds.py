"""Clouds shaped like real scans, shared by the benchmarks of neighbourhoods,
downsampling and registration.

- `synthetic_scan(n)`: an airborne strip in scan order: zig-zag scan lines
  across a 1200 x 560 strip (x along the line, lines stepped in y, about
  sqrt(n / 2.1) lines), heights 20 sin(x / 150) cos(y / 90) plus 25 on a
  regular pattern of boxes, noise 0.5 / 0.3 / 0.1 on x / y / z, at map
  coordinates (512 000, 5 430 000, 231), the points in the order scanned.
- `surface_room(n)`: a 10 x 8 x 3 room (floor 20 % of the points, ceiling
  15 %, walls 45 %) with a sphere of radius 1 in it (20 %), 5 mm noise,
  each surface's points together in generation order, about the origin.
"""

import numpy as np

MAP_ORIGIN = np.array([512_000.0, 5_430_000.0, 231.0])


def synthetic_scan(n, seed=0, origin=MAP_ORIGIN):
    rng = np.random.default_rng(seed)
    lines = max(1, int(round(np.sqrt(n / 2.1))))
    per_line = int(np.ceil(n / lines))
    along = np.linspace(0.0, 1200.0, per_line)
    xy = np.vstack([np.column_stack([along if j % 2 == 0 else along[::-1], np.full(per_line, (j + 0.5) * 560.0 / lines)])
                    for j in range(lines)])[:n]
    x, y = xy[:, 0], xy[:, 1]
    boxes = (np.floor(x / 60.0) % 3 == 0) & (np.floor(y / 40.0) % 2 == 0)
    z = 20.0 * np.sin(x / 150.0) * np.cos(y / 90.0) + 25.0 * boxes
    noisy = np.column_stack([x + rng.normal(scale=0.5, size=n), y + rng.normal(scale=0.3, size=n),
                             z + rng.normal(scale=0.1, size=n)])
    return noisy + origin


def surface_room(n, seed=0, noise=0.005):
    rng = np.random.default_rng(seed)
    counts = np.floor(np.array([0.20, 0.15, 0.45, 0.20]) * n).astype(int)
    counts[2] += n - counts.sum()
    floor = np.column_stack([rng.uniform(0, 10, counts[0]), rng.uniform(0, 8, counts[0]), np.zeros(counts[0])])
    ceiling = np.column_stack([rng.uniform(0, 10, counts[1]), rng.uniform(0, 8, counts[1]), np.full(counts[1], 3.0)])
    # The walls unrolled along the perimeter (36 m), then folded back.
    t, h = rng.uniform(0, 36, counts[2]), rng.uniform(0, 3, counts[2])
    sides = [t < 10, t < 18, t < 28]
    wall_x = np.select(sides, [t, np.full_like(t, 10.0), 28 - t], np.zeros_like(t))
    wall_y = np.select(sides, [np.zeros_like(t), t - 10, np.full_like(t, 8.0)], 36 - t)
    walls = np.column_stack([wall_x, wall_y, h])
    directions = rng.standard_normal((counts[3], 3))
    sphere = directions / np.linalg.norm(directions, axis=1)[:, None] + [5.0, 4.0, 1.2]
    points = np.vstack([floor, ceiling, walls, sphere])
    return points + rng.normal(scale=noise, size=points.shape)
