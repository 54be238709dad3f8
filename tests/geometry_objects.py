"""Building geometry objects from plain tuples, for the geometry tests."""

from tessary_py import Vec3d, geometry


def v(x, y, z):
    return Vec3d(float(x), float(y), float(z))


def t(vec):
    return (vec.x, vec.y, vec.z)


def raw_circle(center, radius, normal):
    """A circle holding exactly these values, through the setters."""
    c = geometry.Circle(v(0, 0, 0), 1.0, v(0, 0, 1))
    c.center, c.radius, c.normal = v(*center), float(radius), v(*normal)
    return c


def raw_plane(normal, distance):
    """A plane holding exactly these values, through the setters."""
    p = geometry.Plane.xy()
    p.normal, p.distance = v(*normal), distance
    return p
