"""Pure-Python planes, circles and intersections, operation by operation in
the order the native code evaluates them. Python floats are IEEE doubles and
each operation rounds on its own, so results agree to the last bit; only the
division needs a helper, because Python raises on a zero divisor."""

import math
import random
import struct

EPSILON = 2.0**-52
PI = 3.141592653589793


def within(x):
    return abs(x) < EPSILON


def div(a, b):
    if b != 0.0:
        return a / b
    if math.isnan(a) or a == 0.0:
        return math.nan
    negative = (math.copysign(1.0, a) < 0) != (math.copysign(1.0, b) < 0)
    return -math.inf if negative else math.inf


def sub(u, w):
    return (u[0] - w[0], u[1] - w[1], u[2] - w[2])


def dot(u, w):
    return (u[0] * w[0] + u[1] * w[1]) + u[2] * w[2]


def cross(u, w):
    return (u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0])


def magnitude(u):
    return math.sqrt(dot(u, u))


def normalize(u):
    m = magnitude(u)
    return (div(u[0], m), div(u[1], m), div(u[2], m))


def distance(u, w):
    d = sub(u, w)
    return math.sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2])


def approx_eq(u, w):
    return all(within(a - b) for a, b in zip(u, w))


# Planes are (normal, distance); circles are (center, radius, normal).

def plane(normal, d):
    return (normalize(normal), -d)


def from_point(normal, point):
    n = normalize(normal)
    return (n, -dot(n, point))


def from_points(p1, p2, p3):
    return from_point(cross(sub(p2, p1), sub(p3, p1)), p1)


def contains_point(pl, point):
    return within(pl[1] + dot(pl[0], point))


def distance_to_point(pl, point):
    return abs(pl[1] + dot(pl[0], point))


def circle(center, radius, normal):
    return (center, abs(radius), normalize(normal))


def area(c):
    return (c[1] * c[1]) * PI


def get_plane(c):
    return from_point(c[2], c[0])


def normals_match(n1, n2):
    equal = approx_eq(n1, n2)
    opposite = all(within(a + b) for a, b in zip(n1, n2))
    return equal, opposite


def in_same_plane(c1, c2):
    equal, opposite = normals_match(c1[2], c2[2])
    if equal:
        return within(dot(c2[2], c2[0]) - dot(c1[2], c1[0]))
    if opposite:
        return within(dot(c1[2], c1[0]) + dot(c2[2], c2[0]))
    return False


def circles_equal(c1, c2):
    return approx_eq(c1[0], c2[0]) and c1[1] == c2[1] and any(normals_match(c1[2], c2[2]))


def plane_line(pl, a, b):
    d = sub(b, a)
    denom = dot(pl[0], d)
    t = div(-(dot(pl[0], a) + pl[1]), denom)
    return (a[0] + d[0] * t, a[1] + d[1] * t, a[2] + d[2] * t)


def circle_point_unchecked(c, point, inner):
    r = distance(point, c[0])
    if inner and r < c[1]:
        return True
    return within(r - c[1])


def circle_point(c, point, inner):
    n = normalize(c[2])
    if not within(dot(n, point) - dot(n, c[0])):
        return False
    return circle_point_unchecked(c, point, inner)


def circle_circle(circle1, circle2):
    if circles_equal(circle1, circle2) or not in_same_plane(circle1, circle2):
        return None
    (c1, r1, _), (c2, r2, n2) = circle1, circle2
    D = distance(c1, c2)
    if D > r1 + r2 or D < abs(r1 - r2):
        return None
    D2 = D * D
    h = div(r1 * r1 - r2 * r2, D2 + D2) + 0.5
    delta = sub(c2, c1)
    m = tuple(c + e * h for c, e in zip(c1, delta))
    radicand = r1 * r1 - D2 * (h * h)
    if radicand < 0.0:
        radicand = 0.0
    a = math.sqrt(radicand)
    u = normalize(cross(delta, n2))
    return (tuple(mc + uc * a for mc, uc in zip(m, u)), tuple(mc - uc * a for mc, uc in zip(m, u)))


# Random doubles weighted towards the values that break formulas.

EDGE_VALUES = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, EPSILON, 2.0**-53,
           1.0, -1.0, 0.5, 2.0, 1e-300, 1e300, -1e300, 1.7976931348623157e308,
           math.inf, -math.inf, math.nan]


def random_double(rng: random.Random) -> float:
    pick = rng.random()
    if pick < 0.15:
        return rng.choice(EDGE_VALUES)
    if pick < 0.25:
        return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
    if pick < 0.6:
        return float(rng.randint(-4, 4))
    return rng.uniform(-10.0, 10.0)


def random_vector(rng: random.Random):
    return (random_double(rng), random_double(rng), random_double(rng))


def same_value(a, b) -> bool:
    """Bit-identical doubles, or NaN on both sides: which NaN an operation on
    NaN operands yields depends on the order the compiler puts them in."""
    if isinstance(a, float):
        if not isinstance(b, float):
            return False
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return struct.pack("<d", a) == struct.pack("<d", b)
    return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
