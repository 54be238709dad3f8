"""Planes, circles and their intersections.

Reach it as an attribute: `from tessary_py import geometry` or
`tessary_py.geometry.Circle`. It is not entered in `sys.modules`, so
`import tessary_py.geometry` on its own does not work.

All approximate tests use the absolute tolerance 2**-52 with a strict
comparison; a NaN makes such a test false. Nothing here raises for
degenerate input: a parallel line gives infinite or NaN components, a
test gives `False`, and `circle_circle` gives `None`.
"""

from collections.abc import Sequence
from typing import ClassVar, SupportsIndex, final

from tessary_py import Buffer, PlaneResult, Vec3d, VecList

__all__ = ["Circle", "circle_circle", "circle_point", "circle_point_unchecked", "plane_line", "Plane"]

@final
class Plane:
    """An infinite plane: the points p with `normal · p + distance == 0`.

    Mind the sign: the constructor takes the signed distance d of the plane
    from the origin along the normal and builds `n̂ · p = d`, so the stored
    `distance` is -d. `Plane(Vec3d(0, 0, 1), 5.0)` is the plane z = 5 and
    its `distance` reads -5.0 (see Conventions: planes).

    The constructors normalise the normal; the property setters store what
    they are given. `contains_point` and `distance_to_point` use the stored
    normal unchanged. Planes compare and hash by identity and print with
    the default object representation.

    Parameters
    ----------
    normal
        The normal direction; it is normalised (a zero normal gives a plane
        of NaNs).
    distance
        The signed distance of the plane from the origin along the
        normalised normal. It is not divided by the length of `normal`.

    Raises
    ------
    TypeError
        `argument 'normal': ... cannot be cast as 'Vec3d'`, or
        `argument 'distance': must be real number, not str`.

    Examples
    --------
    >>> p = Plane(Vec3d(0, 0, 2), 5.0)
    >>> p.normal, p.distance
    (Vec3d(0, 0, 1), -5.0)
    >>> p.contains_point(Vec3d(3, -4, 5))
    True
    """

    def __new__(cls, normal: Vec3d, distance: float) -> Plane: ...
    @staticmethod
    def from_point(normal: Vec3d, point: Vec3d) -> Plane:
        """The plane through `point` perpendicular to `normal` (normalised).

        Raises
        ------
        TypeError
            `argument 'normal': ... cannot be cast as 'Vec3d'` (or
            `'point'`).

        Examples
        --------
        >>> Plane.from_point(Vec3d(0, 0, 1), Vec3d(1, 2, 3)).distance
        -3.0
        """

    @staticmethod
    def from_points(point1: Vec3d, point2: Vec3d, point3: Vec3d) -> Plane:
        """The plane through three points, oriented by the right-hand rule.

        The normal is `(point2 - point1) × (point3 - point1)`, normalised.
        Collinear or coincident points are not detected: they give a plane
        whose normal and distance are NaN, which contains no point.

        Raises
        ------
        TypeError
            `argument 'point1': ... cannot be cast as 'Vec3d'` (or
            `'point2'`, `'point3'`).

        Examples
        --------
        >>> Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0)).normal
        Vec3d(0, 0, 1)
        """

    @staticmethod
    def fit(points: VecList | Sequence[Vec3d] | Buffer) -> Plane:
        """The least-squares plane of a point cloud: through its centroid, normal to its least-variance axis.

        The plane minimises the sum of squared distances of the points:
        it passes through `points.centroid()` and its normal is
        `points.principal_axes()[1][0]`, the axis of the smallest
        eigenvalue of the exact covariance, so the result is
        `Plane.from_point(normal, centroid)` bit for bit. The normal's
        largest component (the first of equals) is positive, so the same
        cloud always gives the same plane: a ground tile gets a normal close
        to +z. Map coordinates keep their digits (see
        guide: Fitting and registration).

        A NaN or infinite coordinate gives the plane of NaNs that
        `from_points` gives for degenerate input.

        Parameters
        ----------
        points
            Anything the `VecList` constructor takes (a `VecList`, a
            sequence of `Vec3d`, or a buffer of real numbers of shape
            `(n, 3)`), read as it reads them.

        Raises
        ------
        ValueError
            `argument 'points': a plane needs at least 3 points, got 2`;
            `argument 'points': the points lie on one line (or are one
            point), so no single plane fits them` when the middle variance
            is at most 2**-40 times the largest.
        TypeError
            ``argument 'points': Can't extract `str` to `Vec` `` for a string;
            `argument 'points': expected an array of shape (n, 3), got (4, 2)`.

        Examples
        --------
        >>> from tessary_py import VecList
        >>> p = Plane.fit(VecList([Vec3d(0, 0, 5), Vec3d(1, 0, 5), Vec3d(0, 1, 5), Vec3d(2, 3, 5)]))
        >>> p.normal, p.distance
        (Vec3d(0, 0, 1), -5.0)
        """

    @staticmethod
    def segment(
        points: VecList | Sequence[Vec3d] | Buffer,
        distance: float,
        *,
        iterations: SupportsIndex | None = None,
        seed: SupportsIndex | None = None,
        confidence: float | None = None,
    ) -> PlaneResult:
        """The largest plane of any points by RANSAC: `VecList.segment_plane` for points as `fit` takes them.

        The same result, bit for bit, as `VecList(points).segment_plane(...)`,
        the points read in place where they are packed doubles.

        Parameters
        ----------
        points
            Anything the `VecList` constructor takes (a `VecList`, a
            sequence of `Vec3d`, or a buffer of real numbers of shape
            `(n, 3)`), read as it reads them.
        distance
            As for `VecList.segment_plane`.
        iterations
            As for `VecList.segment_plane`.
        seed
            As for `VecList.segment_plane`.
        confidence
            As for `VecList.segment_plane`.

        Raises
        ------
        ValueError
            As `VecList.segment_plane`'s, naming `points`: `argument
            'points': a plane needs at least 3 points, got 2`.
        TypeError
            As `VecList.segment_plane`'s; `argument 'points': expected an
            array of shape (n, 3), got (4, 2)`.

        Examples
        --------
        >>> points = [Vec3d(x, y, 1) for x in range(3) for y in range(3)] + [Vec3d(5, 5, 5)]
        >>> Plane.segment(points, 0.1).inlier_count, Plane.segment(points, 0.1).plane.distance
        (9, -1.0)
        """

    @staticmethod
    def segment_all(
        points: VecList | Sequence[Vec3d] | Buffer,
        distance: float,
        *,
        count: SupportsIndex | None = None,
        min_inliers: SupportsIndex | None = None,
        iterations: SupportsIndex | None = None,
        seed: SupportsIndex | None = None,
        confidence: float | None = None,
    ) -> list[PlaneResult]:
        """Planes of any points one after another: `VecList.segment_planes` for points as `fit` takes them.

        Parameters
        ----------
        points
            Anything the `VecList` constructor takes, read as it reads them.
        distance
            As for `VecList.segment_planes`.
        count
            As for `VecList.segment_planes`.
        min_inliers
            As for `VecList.segment_planes`.
        iterations
            As for `VecList.segment_planes`.
        seed
            As for `VecList.segment_planes`.
        confidence
            As for `VecList.segment_planes`.

        Raises
        ------
        ValueError
            As `VecList.segment_planes`'s, naming `points` for fewer than 3.
        TypeError
            As `VecList.segment_planes`'s.

        Examples
        --------
        >>> corner = [Vec3d(x, y, 0) for x in range(3) for y in range(3)] + [Vec3d(0, y, z) for y in range(3) for z in (1, 2)]
        >>> [r.inlier_count for r in Plane.segment_all(corner, 0.01, min_inliers=4)]
        [9, 6]
        >>> [r.inlier_count for r in Plane.segment_all(corner, 0.01, min_inliers=7)]
        [9]
        """

    @staticmethod
    def xy() -> Plane:
        """The plane z = 0: normal `Vec3d(0, 0, 1)`, distance -0.0."""

    @staticmethod
    def xz() -> Plane:
        """The plane y = 0: normal `Vec3d(0, 1, 0)`, distance -0.0."""

    @staticmethod
    def yz() -> Plane:
        """The plane x = 0: normal `Vec3d(1, 0, 0)`, distance -0.0."""

    @property
    def normal(self) -> Vec3d:
        """The normal as stored; reading gives a new `Vec3d` copy.

        Assignment stores the vector unchanged (not normalised); a
        non-`Vec3d` raises `TypeError: argument 'value': ... cannot be cast
        as 'Vec3d'`, and `del` raises `AttributeError: can't delete
        attribute`.
        """

    @normal.setter
    def normal(self, value: Vec3d) -> None: ...
    @property
    def distance(self) -> float:
        """The offset of the equation `normal · p + distance == 0` (minus the constructor's argument).

        Assignment stores the value as this offset, not negated: after
        `p.distance = 5.0` the plane with normal +z is z = -5.
        """

    @distance.setter
    def distance(self, value: float) -> None: ...
    def contains_point(self, point: Vec3d) -> bool:
        """Whether `|distance + normal · point| < 2**-52`.

        The tolerance is absolute and strict: `Vec3d(0, 0, 2**-52)` is not
        on `Plane.xy()`, `Vec3d(0, 0, 2**-53)` is.

        Raises
        ------
        TypeError
            `argument 'point': ... cannot be cast as 'Vec3d'`.
        """

    def distance_to_point(self, point: Vec3d) -> float:
        """The unsigned distance `|distance + normal · point|` from the plane to `point`.

        Exact as a distance only while the stored normal has unit length.

        Raises
        ------
        TypeError
            `argument 'point': ... cannot be cast as 'Vec3d'`.

        Examples
        --------
        >>> Plane(Vec3d(0, 0, 1), 5.0).distance_to_point(Vec3d(0, 0, 3))
        2.0
        """

@final
class Circle:
    """A circle: the points of the plane through `center` perpendicular to `normal` at distance `radius`.

    The constructor takes the absolute value of the radius and normalises
    the normal; the property setters store what they are given. A normal
    and its negation describe the same circle.

    Two circles are equal when their centers agree within 2**-52 per
    component, their radii are exactly equal and their normals (as stored)
    are equal or opposite within 2**-52 per component. Circles are
    unhashable and print with the default object representation.

    Parameters
    ----------
    center
        The center point.
    radius
        The radius; a negative value is stored as its absolute value.
    normal
        The normal of the circle's plane; it is normalised.

    Raises
    ------
    TypeError
        `argument 'center': ... cannot be cast as 'Vec3d'` (or `'normal'`),
        or `argument 'radius': must be real number, not str`.

    Examples
    --------
    >>> c = Circle(Vec3d(0, 0, 0), -2.0, Vec3d(0, 0, 5))
    >>> c.radius, c.normal
    (2.0, Vec3d(0, 0, 1))
    """

    def __new__(cls, center: Vec3d, radius: float, normal: Vec3d) -> Circle: ...
    @staticmethod
    def none() -> Circle:
        """The circle that stands for no circle: center (0, 0, 0), radius 0, a NaN normal.

        It is degenerate, unequal to every circle (itself included) and
        never in the same plane as any circle.
        """

    @property
    def center(self) -> Vec3d:
        """The center; reading gives a new `Vec3d` copy, so `c.center.x = 1` does not change `c`.

        Assignment copies the vector in; a non-`Vec3d` raises
        `TypeError: argument 'value': ... cannot be cast as 'Vec3d'`, and
        `del` raises `AttributeError: can't delete attribute`.
        """

    @center.setter
    def center(self, value: Vec3d) -> None: ...
    @property
    def radius(self) -> float:
        """The radius. Assignment stores the value unchanged: a negative radius stays negative."""

    @radius.setter
    def radius(self, value: float) -> None: ...
    @property
    def normal(self) -> Vec3d:
        """The normal; reading gives a copy. Assignment stores the vector unchanged (not normalised)."""

    @normal.setter
    def normal(self, value: Vec3d) -> None: ...
    @property
    def area(self) -> float:
        """The area `(radius * radius) * π`. Read-only."""

    def get_plane(self) -> Plane:
        """The plane of the circle: `Plane.from_point(normal, center)` (the normal is normalised).

        Examples
        --------
        >>> Circle(Vec3d(0, 0, 5), 1.0, Vec3d(0, 0, 1)).get_plane().distance
        -5.0
        """

    def in_same_plane(self, other: Circle) -> bool:
        """Whether both circles lie in one plane; the radii play no part.

        The stored normals must be equal or opposite within 2**-52 per
        component (they are not re-normalised, so (0, 0, 1) and (0, 0, 2)
        do not match), and the offsets `normal · center` of the two planes
        must agree within 2**-52, with the sign of an opposite normal taken
        into account.

        Raises
        ------
        TypeError
            `argument 'other': 'int' object cannot be cast as 'Circle'` (with
            the type given) when `other` is not a `Circle`.
        """

    def is_degenerate(self) -> bool:
        """Whether the radius is exactly zero (-0.0 counts; NaN does not)."""

    def __eq__(self, other: object, /) -> bool:
        """Circle equality as described for the class; `False` for other types."""

    def __ne__(self, other: object, /) -> bool:
        """The negation of `==`."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

def plane_line(plane: Plane, a: Vec3d, b: Vec3d) -> Vec3d:
    """The point where the infinite line through `a` and `b` meets `plane`.

    The result may lie outside the segment from `a` to `b`. It is always a
    `Vec3d`, never `None`: a line parallel to the plane (or `a == b`) gives
    infinite or NaN components. Uses the plane's stored normal unchanged.

    Raises
    ------
    TypeError
        `argument 'plane': ... cannot be cast as 'Plane'`, or
        `argument 'a': ... cannot be cast as 'Vec3d'` (or `'b'`).

    Examples
    --------
    >>> plane_line(Plane(Vec3d(0, 0, 1), 5.0), Vec3d(1, 2, 0), Vec3d(1, 2, 1))
    Vec3d(1, 2, 5)
    """

def circle_point(circle: Circle, point: Vec3d, inner: bool) -> bool:
    """Whether `point` lies in the circle's plane and on the circle (or, with `inner`, inside it).

    The plane test is `|n̂ · point - n̂ · center| < 2**-52` with the
    normalised normal. Then, with `r` the distance from the center: with
    `inner` true, `r < radius` passes; otherwise (and for points not
    strictly inside) `|r - radius| < 2**-52` decides. The tolerance is
    absolute, so for a radius of 1 or more the computed distance must equal
    the radius exactly.

    Parameters
    ----------
    circle
        The circle.
    point
        The point to test.
    inner
        `True` to accept the whole closed disc, `False` for the
        circumference only. Must be a `bool` (or a numpy boolean scalar);
        the integers 0 and 1 are refused.

    Raises
    ------
    TypeError
        `argument 'inner': 'int' object cannot be cast as 'bool'` for a
        non-boolean `inner`; `argument 'circle': ... cannot be cast as
        'Circle'`; `argument 'point': ... cannot be cast as 'Vec3d'`.

    Examples
    --------
    >>> unit = Circle(Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 1))
    >>> circle_point(unit, Vec3d(0.5, 0, 0), False), circle_point(unit, Vec3d(0.5, 0, 0), True)
    (False, True)
    """

def circle_point_unchecked(circle: Circle, point: Vec3d, inner: bool) -> bool:
    """`circle_point` without the plane test.

    The distance is measured in space, so any point on (or, with `inner`,
    inside) the sphere of the circle's radius around its center passes,
    whichever plane it is in. The normal is not read.

    Raises
    ------
    TypeError
        As for `circle_point`.

    Examples
    --------
    >>> unit = Circle(Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 1))
    >>> circle_point(unit, Vec3d(0, 0, 0.5), True), circle_point_unchecked(unit, Vec3d(0, 0, 0.5), True)
    (False, True)
    """

def circle_circle(circle1: Circle, circle2: Circle) -> tuple[Vec3d, Vec3d] | None:
    """The two points where two circles of one plane cross, or `None`.

    `None` when the circles are equal, not in one plane (see
    `Circle.in_same_plane`: the stored normals must match within 2**-52),
    too far apart, or one lies inside the other. Touching circles give a
    pair of two equal points; there is never a single point. The pair is
    `(m + u·a, m - u·a)` with `m` the midpoint of the common chord, `a` its
    half length and `u` the unit vector along `(c2 - c1) × circle2.normal`.
    Swapping the arguments gives the same points in the opposite order
    when the normals are equal.

    Raises
    ------
    TypeError
        `argument 'circle1': ... cannot be cast as 'Circle'` (or
        `'circle2'`).

    Examples
    --------
    >>> a = Circle(Vec3d(0, 0, 0), 5.0, Vec3d(0, 0, 1))
    >>> b = Circle(Vec3d(4, 0, 0), 3.0, Vec3d(0, 0, 1))
    >>> circle_circle(a, b)
    (Vec3d(4, -3, 0), Vec3d(4, 3, 0))
    >>> circle_circle(a, a) is None
    True
    """
