"""Bit-exact 3-D geometry in double precision.

Vectors (`Vec3d`), angles
(`AngleRadians`,
`AngleDegrees`), quaternions
(`Quat`), rigid transforms
(`Transform`), lists of vectors with bulk
operations on a worker pool (`VecList`) and the
submodule `geometry` with planes, circles and
intersections.

Every formula has a fixed evaluation order and no fused multiply-add, so a
result is the same to the last bit on every run and every thread count.
Degenerate input (a zero vector, a zero divisor, a parallel line) is not
an error: it gives IEEE 754 infinities, NaN, `False` or `None`.

Neighbour queries over a cloud of points, exact and many at a time, are
`KdTree`'s.

Conventions shared by every class are described once, on the Conventions
page of the documentation: equality and hashing, errors, rotations,
planes, the nearest-point search, the neighbour queries, the worker pool
and numpy (a member refers to one as "Conventions: numpy", say).
"""

import builtins
import sys
from collections.abc import Iterator, Sequence
from typing import Any, ClassVar, Literal, Protocol, SupportsIndex, TypeVar, final, overload, type_check_only

from typing_extensions import TypeAlias

from . import geometry as geometry

__all__ = [
    "AngleDegrees", "AngleRadians", "Quat", "VecList", "Vec3d", "geometry", "Transform", "KdTree", "RegistrationResult",
    "VoxelGrid", "ResultArray", "PlaneResult",
]

# Objects that export a buffer (PEP 688): numpy arrays, memoryviews, a
# VecList. Signatures name it `Buffer`, as the standard library does.
if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    # numpy's stubs give ndarray its __buffer__ method only from Python 3.12
    # on, when CPython adds the method name; before that, an array is
    # recognised by the interface that every ndarray has.
    from typing_extensions import Buffer as _Buffer

    @type_check_only
    class _ArrayInterface(Protocol):
        @property
        def __array_interface__(self) -> dict[str, Any]: ...

    Buffer: TypeAlias = _Buffer | _ArrayInterface

# Whatever buffer is passed as `out` is what comes back.
_Out = TypeVar("_Out", bound=Buffer)
_Indices = TypeVar("_Indices", bound=Buffer)
_Distances = TypeVar("_Distances", bound=Buffer)

@final
class Vec3d:
    """A vector or point in 3-D space: three doubles `x`, `y`, `z`.

    Any three doubles form a valid vector, infinities, NaN and negative
    zero included. Methods never change the receiver; they return new
    objects. Only the properties `x`, `y` and `z` change a vector in place.

    Equality (`==`) allows an absolute difference strictly below
    2**-52 = 2.220446049250313e-16 per component; a NaN component makes a
    vector unequal to everything, itself included. The hash is computed from
    the exact components (negative zero counts as zero, every NaN alike), so
    two vectors that are equal only within the tolerance usually hash
    differently (see Conventions: equality and hashing).

    A vector indexes like a sequence (`v[0]` is `x`) and unpacks
    (`x, y, z = v`), but has no `len()` and no negative indices. `repr`
    writes each component in its shortest round-trip form without an
    exponent: `Vec3d(0.0000001, 0, -0)`.

    Exports a read-only buffer of three float64 (PEP 3118):
    `numpy.asarray(v)` is a copy `array([x, y, z])` that later changes to
    `v` do not reach.

    Vectors do not pickle or copy with the `copy` module; write
    `Vec3d(v.x, v.y, v.z)`.

    Each component is stored unchanged; any real number is accepted
    (`float`, `int`, `bool`, or an object with `__float__` or
    `__index__`).

    Parameters
    ----------
    x
        The first component, along the x axis.
    y
        The second component, along the y axis.
    z
        The third component, along the z axis.

    Raises
    ------
    TypeError
        `argument 'x': must be real number, not str` (naming the first
        argument that fails) for a value without a float conversion.
    OverflowError
        For an `int` too large for a double (the message does not name the
        argument).

    Examples
    --------
    >>> v = Vec3d(1, 2, 3)
    >>> v + Vec3d(0.5, -1, 4)
    Vec3d(1.5, 1, 7)
    >>> x, y, z = v
    >>> z
    3.0
    """

    def __new__(cls, x: float, y: float, z: float) -> Vec3d: ...
    @staticmethod
    def zero() -> Vec3d:
        """The zero vector, `Vec3d(0, 0, 0)`, with positive zeros."""

    @staticmethod
    def i() -> Vec3d:
        """The unit vector along +x, `Vec3d(1, 0, 0)`."""

    @staticmethod
    def j() -> Vec3d:
        """The unit vector along +y, `Vec3d(0, 1, 0)`."""

    @staticmethod
    def k() -> Vec3d:
        """The unit vector along +z, `Vec3d(0, 0, 1)`."""

    @staticmethod
    def new_from_to(from_: Vec3d, /, to: Vec3d) -> Vec3d:
        """The vector from point `from` to point `to`: `to - from`, exactly.

        The first parameter is named `from` at run time. Being a Python
        keyword, it can be passed by name only through a mapping:
        `Vec3d.new_from_to(**{"from": a, "to": b})`.

        Parameters
        ----------
        from_
            The start point (run-time name `from`).
        to
            The end point.

        Raises
        ------
        TypeError
            `argument 'from': 'tuple' object cannot be cast as 'Vec3d'`
            (or `'to'`) when a point is not a `Vec3d`.

        Examples
        --------
        >>> Vec3d.new_from_to(Vec3d(1, 1, 1), Vec3d(2, 3, 4))
        Vec3d(1, 2, 3)
        """

    @property
    def x(self) -> float:
        """The first component (index 0).

        Any real number can be assigned and is stored unchanged; assigning
        a value without a float conversion raises
        `TypeError: argument 'value': must be real number, not str` and
        leaves the vector unchanged; `del v.x` raises
        `AttributeError: can't delete attribute`.
        """

    @x.setter
    def x(self, value: float) -> None: ...
    @property
    def y(self) -> float:
        """The second component (index 1). Assignment as for `x`."""

    @y.setter
    def y(self, value: float) -> None: ...
    @property
    def z(self) -> float:
        """The third component (index 2). Assignment as for `x`."""

    @z.setter
    def z(self, value: float) -> None: ...
    def dot(self, other: Vec3d) -> float:
        """The scalar product `(x*other.x + y*other.y) + z*other.z`.

        Raises
        ------
        TypeError
            `argument 'other': 'int' object cannot be cast as 'Vec3d'` (with
            the type given) when `other` is not a `Vec3d`.

        Examples
        --------
        >>> Vec3d(1, 2, 3).dot(Vec3d(0.5, -1, 4))
        10.5
        """

    def cross(self, other: Vec3d) -> Vec3d:
        """The right-handed cross product `self × other`.

        `Vec3d.i().cross(Vec3d.j())` is `Vec3d.k()`; swapping the operands
        negates the result.

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'` when `other`
            is not a `Vec3d`.

        Examples
        --------
        >>> Vec3d(1, 2, 3).cross(Vec3d(0.5, -1, 4))
        Vec3d(11, -2.5, -2)
        """

    def magnitude(self) -> float:
        """The Euclidean length `sqrt((x*x + y*y) + z*z)`, correctly rounded.

        Examples
        --------
        >>> Vec3d(3, 4, 12).magnitude()
        13.0
        """

    def normalize(self) -> Vec3d:
        """The vector divided component-wise by its magnitude.

        There is no test for a zero length: the zero vector gives
        `Vec3d(NaN, NaN, NaN)`.

        Examples
        --------
        >>> Vec3d(0, 3, 4).normalize()
        Vec3d(0, 0.6, 0.8)
        >>> Vec3d.zero().normalize()
        Vec3d(NaN, NaN, NaN)
        """

    def is_unit(self) -> bool:
        """Whether the magnitude is within 2**-52 of 1.0 (strictly).

        A computed magnitude of exactly 1 + 2**-52 is not a unit vector; a
        NaN magnitude gives `False`.

        Examples
        --------
        >>> Vec3d(0.6, 0.8, 0).is_unit()
        True
        >>> Vec3d(2, 0, 0).is_unit()
        False
        """

    def distance_to(self, other: Vec3d) -> float:
        """The Euclidean distance to the point `other`.

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'` when `other`
            is not a `Vec3d`.

        Examples
        --------
        >>> Vec3d(1, 1, 1).distance_to(Vec3d(4, 5, 1))
        5.0
        """

    def distance_squared(self, other: Vec3d) -> float:
        """The squared Euclidean distance to `other`, without the square root.

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'` when `other`
            is not a `Vec3d`.

        Examples
        --------
        >>> Vec3d(1, 1, 1).distance_squared(Vec3d(4, 5, 1))
        25.0
        """

    def distance_to_line(self, a: Vec3d, b: Vec3d) -> float:
        """The distance from this point to the infinite line through `a` and `b`.

        The line is not checked for degeneracy: `a == b` exactly gives NaN.

        Raises
        ------
        TypeError
            `argument 'a': ... cannot be cast as 'Vec3d'` (or `'b'`) when a
            line point is not a `Vec3d`.

        Examples
        --------
        >>> Vec3d(0, 2, 0).distance_to_line(Vec3d(-1, 0, 0), Vec3d(1, 0, 0))
        2.0
        """

    def project_onto_line(self, line_r: Vec3d, line_q: Vec3d) -> Vec3d:
        """The foot of the perpendicular from this point to the line through `line_q` and `line_r`.

        The line is infinite (the result may lie outside the segment). Two
        equal line points give NaN components.

        Raises
        ------
        TypeError
            `argument 'line_r': ... cannot be cast as 'Vec3d'` (or
            `'line_q'`) when a line point is not a `Vec3d`.

        Examples
        --------
        >>> Vec3d(3, 2, 0).project_onto_line(Vec3d(1, 0, 0), Vec3d(0, 0, 0))
        Vec3d(3, 0, 0)
        """

    def project_onto_plane(self, normal: Vec3d) -> Vec3d:
        """The vector minus its part along `normal`: `self - normal * self.dot(normal)`.

        The plane passes through the origin. `normal` is used unchanged, not
        normalised, so a non-unit normal scales the removed part by
        `|normal|**2`: `Vec3d(0, 0, 1).project_onto_plane(Vec3d(0, 0, 2))`
        is `Vec3d(0, 0, -3)`.

        Raises
        ------
        TypeError
            `argument 'normal': ... cannot be cast as 'Vec3d'` when `normal`
            is not a `Vec3d`.

        Examples
        --------
        >>> Vec3d(1, 2, 3).project_onto_plane(Vec3d.k())
        Vec3d(1, 2, 0)
        """

    def scalar_triple_product(self, b: Vec3d, c: Vec3d) -> float:
        """The scalar triple product `self · (b × c)`.

        This is the signed volume of the parallelepiped spanned by the three
        vectors; swapping `b` and `c` negates it.

        Raises
        ------
        TypeError
            `argument 'b': ... cannot be cast as 'Vec3d'` (or `'c'`) when an
            argument is not a `Vec3d`.

        Examples
        --------
        >>> Vec3d.i().scalar_triple_product(Vec3d.j(), Vec3d.k())
        1.0
        """

    def angle_to(self, other: Vec3d) -> AngleRadians:
        """The angle between the two vectors, in radians, in [0, π].

        Computed as `acos(dot / (|self| * |other|))` without clamping the
        quotient: a zero vector on either side gives NaN, and so does a
        quotient that rounding pushes past ±1 (`Vec3d(1, 1, 1)` against
        itself).

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'` when `other`
            is not a `Vec3d`.

        Examples
        --------
        >>> Vec3d.i().angle_to(Vec3d.j())
        1.5707963267948966 radians
        """

    def to_quat(self) -> Quat:
        """The pure quaternion `Quat(0, x, y, z)`.

        Examples
        --------
        >>> Vec3d(1, 2, 3).to_quat()
        Quat(0, 1, 2, 3)
        """

    def to_array(self) -> list[float]:
        """The components as a new list `[x, y, z]`.

        Examples
        --------
        >>> Vec3d(1, 2, 3).to_array()
        [1.0, 2.0, 3.0]
        """

    def __getitem__(self, index: SupportsIndex, /) -> float:
        """The component at `index`: 0 is `x`, 1 is `y`, 2 is `z`.

        Raises
        ------
        IndexError
            `Index out of bounds` for an index of 3 or more.
        OverflowError
            `can't convert negative int to unsigned` for a negative index
            (there is no counting from the end).
        TypeError
            `argument 'index': 'float' object cannot be interpreted as an
            integer` for a non-integer index (slices included).
        """

    def __iter__(self) -> Iterator[float]:
        """The components `x`, `y`, `z` in order, so `x, y, z = v` unpacks.

        At run time iteration goes through indexing (positions 0, 1, 2 until
        `IndexError`); the class itself defines no `__iter__`.
        """

    def __buffer__(self, flags: int, /) -> memoryview:
        """A read-only buffer of the three components as float64 (format `d`, shape `(3,)`).

        The buffer holds a copy: `numpy.asarray(v)` is `array([x, y, z])`,
        and assigning to `v.x` later does not change it. (Python exposes the
        method by this name from 3.12 on; the buffer protocol works on every
        supported version.)
        """

    def __release_buffer__(self, buffer: memoryview, /) -> None:
        """Releases a buffer that `__buffer__` gave.

        `memoryview.release()` and numpy call it; user code has no need to.
        (Python exposes the method by this name from 3.12 on.)
        """

    def __eq__(self, other: object, /) -> bool:
        """Whether every component differs by strictly less than 2**-52.

        The tolerance is absolute, so for components of magnitude 2 or more
        it demands exact equality. A NaN component makes the result `False`,
        even for a vector compared with itself. Comparing with anything that
        is not a `Vec3d` is `False` (identity fallback).
        """

    def __ne__(self, other: object, /) -> bool:
        """The negation of `==`."""

    def __hash__(self) -> int:
        """A hash of the exact components, the same in every process and run.

        Negative zero hashes as zero and every NaN alike. Vectors that are
        equal only within the tolerance of `==` usually hash differently, so
        a `set` or `dict` may hold both.
        """

    def __add__(self, other: Vec3d, /) -> Vec3d:
        """Component-wise sum. Only a `Vec3d` can be added; `2.0 + v` is a `TypeError`."""

    def __sub__(self, other: Vec3d, /) -> Vec3d:
        """Component-wise difference `self - other`."""

    def __mul__(self, rhs: float, /) -> Vec3d:
        """Each component times the number `rhs`; `v * w` for two vectors is a `TypeError`."""

    def __rmul__(self, lhs: float, /) -> Vec3d:
        """Each component times the number `lhs`, written on the left: `2 * v == v * 2`."""

    def __truediv__(self, rhs: float, /) -> Vec3d:
        """Each component divided by `rhs` (three divisions, not a multiplication by `1/rhs`).

        Division by zero is not an error: `Vec3d(1, 2, 3) / 0` is
        `Vec3d(inf, inf, inf)`, and a zero component gives NaN.
        """

    def __neg__(self) -> Vec3d:
        """Each component with its sign flipped; `-Vec3d.zero()` is `Vec3d(-0, -0, -0)`."""

    def __repr__(self) -> str:
        """`Vec3d(x, y, z)` with each component in its shortest round-trip form.

        No exponent, no trailing `.0`: `Vec3d(1, 2.5, -0)`,
        `Vec3d(0.0000001, 1000000000000000000000, NaN)`, `Vec3d(inf, -inf, 0)`.
        """

@final
class AngleRadians:
    """An angle in radians: one double, never wrapped or range-checked.

    The working angle type: it has the named constants, the trigonometric
    functions and arithmetic (`+`, `-` with another `AngleRadians`; `*`,
    `/` by a number written on the right). Numbers are never mixed in
    implicitly: `angle + 1.0`, `2 * angle` and `angle == 1.0` do not add,
    scale or compare the value.

    Comparisons are exact IEEE comparisons of the doubles, with no
    tolerance (unlike `Vec3d` and `Quat`): NaN is unequal to everything and
    +0.0 equals -0.0. An `AngleRadians` never equals an `AngleDegrees`.
    Angles are unhashable. `repr` is the shortest round-trip form of the
    value followed by ` radians`: `1.5 radians`, `1 radians`,
    `-0 radians`.

    Parameters
    ----------
    angle
        The angle in radians, stored unchanged (any real number).

    Raises
    ------
    TypeError
        `argument 'angle': must be real number, not str` for a value without
        a float conversion.

    Examples
    --------
    >>> AngleRadians(1.5) + AngleRadians.pi()
    4.641592653589793 radians
    >>> AngleRadians(1) * 2
    2 radians
    """

    def __new__(cls, angle: float) -> AngleRadians: ...
    @property
    def angle(self) -> float:
        """The angle in radians.

        Any real number can be assigned and is stored unchanged; a value
        without a float conversion raises
        `TypeError: argument 'value': must be real number, not str`;
        `del a.angle` raises `AttributeError: can't delete attribute`.
        """

    @angle.setter
    def angle(self, value: float) -> None: ...
    @staticmethod
    def zero() -> AngleRadians:
        """0 radians (positive zero)."""

    @staticmethod
    def pi() -> AngleRadians:
        """π = 3.141592653589793 radians (half a turn)."""

    @staticmethod
    def two_pi() -> AngleRadians:
        """2π = 6.283185307179586 radians (a full turn)."""

    @staticmethod
    def half_pi() -> AngleRadians:
        """π/2 = 1.5707963267948966 radians (a quarter turn)."""

    @staticmethod
    def quarter_pi() -> AngleRadians:
        """π/4 = 0.7853981633974483 radians."""

    @staticmethod
    def third_pi() -> AngleRadians:
        """π/3 computed as the double π divided by 3: 1.0471975511965976 radians.

        This is one unit in the last place below the double nearest to the
        exact π/3, so `third_pi().to_degrees()` is 59.99999999999999°, while
        `AngleDegrees(60).to_radians() == third_pi()`.
        """

    @staticmethod
    def sixth_pi() -> AngleRadians:
        """π/6 computed as the double π divided by 6: 0.5235987755982988 radians.

        One unit in the last place below the double nearest to the exact
        π/6; it converts to 29.999999999999996°.
        """

    def to_degrees(self) -> AngleDegrees:
        """The angle in degrees, computed as `(angle * 180.0) / π` (multiply first).

        Examples
        --------
        >>> AngleRadians.half_pi().to_degrees()
        90°
        >>> AngleRadians.third_pi().to_degrees()
        59.99999999999999°
        """

    def sin(self) -> float:
        """The sine of the angle (the C library's double `sin`)."""

    def cos(self) -> float:
        """The cosine of the angle (the C library's double `cos`).

        `AngleRadians.half_pi().cos()` is 6.123233995736766e-17, not 0.
        """

    def tan(self) -> float:
        """The tangent of the angle (the C library's double `tan`); large but finite near the poles."""

    def sec(self) -> float:
        """The secant, `1.0 / cos(angle)`; a zero cosine gives an infinity, not an error."""

    def csc(self) -> float:
        """The cosecant, `1.0 / sin(angle)`; `AngleRadians(0).csc()` is `inf`."""

    def cot(self) -> float:
        """The cotangent, `1.0 / tan(angle)` (not cos/sin).

        `AngleRadians(0).cot()` is `inf` and `AngleRadians(-0.0).cot()` is
        `-inf`; no error is raised.
        """

    def __neg__(self) -> AngleRadians:
        """The angle with its sign bit flipped; `-AngleRadians.zero()` is `-0 radians`."""

    def __repr__(self) -> str:
        """The value in its shortest round-trip form, then ` radians`: `1.5 radians`, `1 radians`.

        This is not a constructor call; `str` gives the same text.
        """

    def __add__(self, other: AngleRadians, /) -> AngleRadians:
        """The sum of two angles in radians. A number cannot be added."""

    def __sub__(self, other: AngleRadians, /) -> AngleRadians:
        """The difference of two angles in radians."""

    def __mul__(self, rhs: float, /) -> AngleRadians:
        """The angle scaled by the number `rhs`; only with the number on the right."""

    def __truediv__(self, rhs: float, /) -> AngleRadians:
        """The angle divided by the number `rhs`; dividing by 0 gives `inf radians` (or `NaN radians`)."""

    def __eq__(self, other: object, /) -> bool:
        """Exact equality of the values; `False` for NaN and for any other type."""

    def __ne__(self, other: object, /) -> bool:
        """The negation of `==`."""

    def __lt__(self, other: AngleRadians, /) -> bool:
        """Exact IEEE `<` of the values (`False` when either is NaN)."""

    def __le__(self, other: AngleRadians, /) -> bool:
        """Exact IEEE `<=` of the values (`False` when either is NaN)."""

    def __gt__(self, other: AngleRadians, /) -> bool:
        """Exact IEEE `>` of the values (`False` when either is NaN)."""

    def __ge__(self, other: AngleRadians, /) -> bool:
        """Exact IEEE `>=` of the values (`False` when either is NaN)."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class AngleDegrees:
    """An angle in degrees, for input and display.

    It converts to radians, negates, compares (exactly, as `AngleRadians`
    does) and prints; it has no constants, trigonometry or arithmetic:
    convert with `to_radians` to compute. Unhashable. `repr` is the
    shortest round-trip form followed by `°` with no space: `90°`,
    `-45.5°`.

    Parameters
    ----------
    angle
        The angle in degrees, stored unchanged (any real number).

    Raises
    ------
    TypeError
        `argument 'angle': must be real number, not str` for a value without
        a float conversion.

    Examples
    --------
    >>> AngleDegrees(60).to_radians() == AngleRadians.third_pi()
    True
    """

    def __new__(cls, angle: float) -> AngleDegrees: ...
    @property
    def angle(self) -> float:
        """The angle in degrees. Assignment as for `AngleRadians.angle`."""

    @angle.setter
    def angle(self, value: float) -> None: ...
    def to_radians(self) -> AngleRadians:
        """The angle in radians, computed as `(angle * π) / 180.0` (multiply first).

        Examples
        --------
        >>> AngleDegrees(180).to_radians()
        3.141592653589793 radians
        """

    def __neg__(self) -> AngleDegrees:
        """The angle with its sign bit flipped."""

    def __repr__(self) -> str:
        """The value in its shortest round-trip form, then `°` with no space: `90°`, `-45.5°`."""

    def __eq__(self, other: object, /) -> bool:
        """Exact equality of the values; `False` for NaN and for any other type."""

    def __ne__(self, other: object, /) -> bool:
        """The negation of `==`."""

    def __lt__(self, other: AngleDegrees, /) -> bool:
        """Exact IEEE `<` of the values."""

    def __le__(self, other: AngleDegrees, /) -> bool:
        """Exact IEEE `<=` of the values."""

    def __gt__(self, other: AngleDegrees, /) -> bool:
        """Exact IEEE `>` of the values."""

    def __ge__(self, other: AngleDegrees, /) -> bool:
        """Exact IEEE `>=` of the values."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Quat:
    """A quaternion `(w, i, j, k)`, used as a rotation.

    No operation normalises or checks for a unit quaternion: the four
    components are used as stored.

    The rotation convention: `from_axis_angle(a, θ)` builds
    `(cos(θ/2), -sin(θ/2)·a)`, the conjugate of the textbook rotation
    quaternion, and `rotate(v)` applies `conj(q)·v·q`. Together they turn
    `v` by +θ about `a` by the right-hand rule (a quarter turn about +z
    takes +x to +y). `to_axis_angle` and `to_rotation_matrix` use the
    textbook formulas, so they describe the conjugate: see each method, and
    Conventions: rotations for conversions to and from scipy and PyGLM.

    Equality allows an absolute difference strictly below 2**-52 per
    component; a NaN component makes a quaternion unequal to itself.
    The one arithmetic operator is `*`, composition: `(a * b).rotate(v)`
    is `a.rotate(b.rotate(v))` (see Conventions: rotations and guide: Rotations).
    Quaternions are unhashable. `repr`
    writes the components in the shortest round-trip form:
    `Quat(1, -0, -0, -0)`.

    The four components are stored unchanged (any real numbers).

    Parameters
    ----------
    w
        The scalar part.
    i
        The coefficient of the first imaginary unit.
    j
        The coefficient of the second imaginary unit.
    k
        The coefficient of the third imaginary unit.

    Raises
    ------
    TypeError
        `argument 'w': must be real number, not str` (naming the first
        argument that fails).
    """

    def __new__(cls, w: float, i: float, j: float, k: float) -> Quat: ...
    @property
    def w(self) -> float:
        """The scalar part.

        Any real number can be assigned and is stored unchanged; a value
        without a float conversion raises
        `TypeError: argument 'value': must be real number, not str`;
        deleting raises `AttributeError: can't delete attribute`.
        """

    @w.setter
    def w(self, value: float) -> None: ...
    @property
    def i(self) -> float:
        """The coefficient of the first imaginary unit. Assignment as for `w`."""

    @i.setter
    def i(self, value: float) -> None: ...
    @property
    def j(self) -> float:
        """The coefficient of the second imaginary unit. Assignment as for `w`."""

    @j.setter
    def j(self, value: float) -> None: ...
    @property
    def k(self) -> float:
        """The coefficient of the third imaginary unit. Assignment as for `w`."""

    @k.setter
    def k(self, value: float) -> None: ...
    @staticmethod
    def identity() -> Quat:
        """The identity rotation `Quat(1, 0, 0, 0)`."""

    @staticmethod
    def from_axis_angle(axis: Vec3d, angle: AngleRadians) -> Quat:
        """The quaternion that `rotate` uses to turn vectors by +`angle` about `axis`.

        Built as `(cos(θ/2), -sin(θ/2)·axis)`: the conjugate of the
        textbook quaternion for that rotation. The axis is used unchanged,
        not normalised, so a non-unit axis gives a non-unit quaternion (and
        `rotate` then scales by its squared magnitude).

        Parameters
        ----------
        axis
            The rotation axis; pass a unit vector.
        angle
            The rotation angle, right-handed about `axis`.

        Raises
        ------
        TypeError
            `argument 'axis': ... cannot be cast as 'Vec3d'`, or
            `argument 'angle': 'float' object cannot be cast as
            'AngleRadians'` (wrap a number as `AngleRadians(x)`).

        Examples
        --------
        >>> Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
        Quat(0.7071067811865476, -0, -0, -0.7071067811865475)
        """

    def conjugate(self) -> Quat:
        """The conjugate `(w, -i, -j, -k)` (sign bits flipped, so zeros become -0)."""

    def magnitude(self) -> float:
        """The norm `sqrt(((w*w + i*i) + j*j) + k*k)`."""

    def normalize(self) -> Quat:
        """The quaternion divided component-wise by its magnitude.

        No guard: the zero quaternion gives `Quat(NaN, NaN, NaN, NaN)`.

        Examples
        --------
        >>> Quat(3, 0, 0, 4).normalize()
        Quat(0.6, 0, 0, 0.8)
        """

    def is_unit(self) -> bool:
        """Whether the magnitude is within 2**-52 of 1.0 (strictly); `False` for NaN."""

    def rotate(self, v: Vec3d) -> Vec3d:
        """The vector `v` rotated: the vector part of `conj(q)·(0, v)·q`.

        With a quaternion from `from_axis_angle(a, θ)` this turns `v` by +θ
        about `a` (right-hand rule). The quaternion is not normalised
        first: a non-unit `q` also scales the result by `|q|**2`.

        Raises
        ------
        TypeError
            `argument 'v': ... cannot be cast as 'Vec3d'` when `v` is not a
            `Vec3d`.

        Examples
        --------
        >>> q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
        >>> q.rotate(Vec3d.i())
        Vec3d(0.0000000000000002220446049250313, 1, 0)
        """

    def to_axis_angle(self) -> tuple[Vec3d, AngleRadians]:
        """The textbook axis and angle of this quaternion: `(axis, angle)`.

        Because `from_axis_angle` builds the conjugate, a quaternion made
        from `(a, θ)` gives back `(-a, θ)`; the rotation that `rotate`
        applies is +θ about the negated axis returned here. A `w` within
        2**-52 of 1 gives `(Vec3d(1, 0, 0), 0 radians)` whatever the other
        components; `|w| > 1` gives NaN; `w == -1` gives the angle 2π and an
        axis divided by sin(π) ≈ 1.2e-16.

        Examples
        --------
        >>> q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
        >>> q.to_axis_angle()
        (Vec3d(-0, -0, -1), 1.5707963267948966 radians)
        """

    def to_rotation_matrix(self) -> list[list[float]]:
        """The textbook rotation matrix of this quaternion, as three rows of three floats.

        For a unit quaternion this is the transpose of the linear map that
        `rotate` applies: with `M = numpy.array(q.to_rotation_matrix())`,
        `q.rotate(v)` matches `M.T @ v` (or `v @ M`), not `M @ v`. The
        quaternion is not normalised first.

        Examples
        --------
        >>> q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
        >>> q.to_rotation_matrix()
        [[2.220446049250313e-16, 1.0, 0.0], [-1.0, 2.220446049250313e-16, 0.0], [0.0, 0.0, 1.0]]
        """

    def to_vec3d(self) -> tuple[float, float, float]:
        """The vector part `(i, j, k)` as a plain tuple (not a `Vec3d`)."""

    @staticmethod
    def from_rotation_matrix(m: Sequence[Sequence[float]] | Buffer) -> Quat:
        """The unit quaternion of a rotation matrix in `to_rotation_matrix`'s convention.

        So `Quat.from_rotation_matrix(q.to_rotation_matrix())` is `q` or
        `-q` for a unit `q` (to rounding): the matrix is the transpose of
        the map that `rotate` applies, and scipy's `as_matrix()` must be
        transposed first. Computed by Shepperd's rule: the formula built
        on the largest of the trace and the three diagonal terms (the first
        on ties), whose component comes out positive, then normalised.

        A matrix that is not a rotation is not an error: the result is the
        unit quaternion that the same formula gives (close to the nearest
        rotation when the matrix is nearly orthogonal; the zero matrix
        gives the identity). NaN gives NaN components.

        Parameters
        ----------
        m
            Three rows of three numbers: a nested sequence, or any object
            exporting a buffer of real numbers of shape `(3, 3)` (a numpy
            array of any numeric dtype, in any order or with any strides),
            read as `VecList` reads one.

        Raises
        ------
        TypeError
            `argument 'm': expected an array of shape (3, 3), got (2, 3)`
            for another shape, or `... got a row of length 2` for rows of
            several lengths; `argument 'm': must be real number, not str`
            for an entry that is not a number;
            `argument 'm': expected real numbers in 3 rows of 3, got an
            array of format 'Zd' (complex)` for a buffer of anything but
            real numbers.

        Examples
        --------
        >>> q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
        >>> Quat.from_rotation_matrix(q.to_rotation_matrix()) == q
        True
        """

    def inverse(self) -> Quat:
        """The inverse `conj(q) / |q|**2`: `q * q.inverse()` is the identity within a few ulps.

        For a unit quaternion this is the conjugate (up to rounding), the
        reverse rotation. It also undoes a non-unit quaternion's scaling.
        The zero quaternion gives NaN components.

        `q * q.inverse()` rounds: each component lies within 2**-51 (about
        4.4e-16) of `(1, 0, 0, 0)` in every measurement, which `==` (less
        than 2**-52 per component) does not always accept. It is exactly
        `Quat(1, 0, 0, 0)` when nothing rounds, as when `q.dot(q)` is
        exactly a power of two and at most two components are non-zero
        (a rotation about a coordinate axis whose `|q|**2` rounds to 1).

        Examples
        --------
        >>> turn = Quat.from_axis_angle(Vec3d(1, 2, 2) / 3, AngleRadians(1.0))
        >>> turn * turn.inverse()
        Quat(1.0000000000000002, 0, 0, 0)
        >>> quarter = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
        >>> quarter * quarter.inverse()
        Quat(1, 0, 0, 0)
        """

    def dot(self, other: Quat) -> float:
        """The four-dimensional scalar product `((w*w' + i*i') + j*j') + k*k'`.

        For unit quaternions its absolute value is the cosine of half the
        angle between the two rotations.

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Quat'`.
        """

    def slerp(self, other: Quat, t: float) -> Quat:
        """Spherical linear interpolation from this rotation (t = 0) to `other` (t = 1).

        The path is the shorter arc: when `self.dot(other)` is negative,
        `-other` (the same rotation) is the end point. At `t == 0` the
        result is exactly `self`, at `t == 1` exactly that end point
        (`other` or `-other`). Any real `t` works: outside `[0, 1]` it
        extrapolates along the same great circle. Meant for unit
        quaternions; the inputs are not normalised.

        When the two are nearly parallel, `|dot| > 1 - 2**-32` (less than
        about 2.2e-5 rad apart), the result is the normalised linear
        interpolation instead, which agrees with the arc there to within
        2e-16 for t in [0, 1].

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Quat'`, or
            `argument 't': must be real number, not str`.

        Examples
        --------
        >>> a = Quat.identity()
        >>> b = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
        >>> a.slerp(b, 0.5) == Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi() / 2)
        True
        """

    @staticmethod
    def align(a: Points, b: Points, weights: Sequence[float] | Buffer | None = None) -> tuple[Quat, float]:
        """The rotation that best maps the vectors `a` onto the vectors `b`, and its residual.

        Solves Wahba's problem: the unit quaternion `q` (in this module's
        convention, so `q.rotate(a[i])` is close to `b[i]`) that minimises
        `sum(w[i] * |q.rotate(a[i]) - b[i]|**2)`, always a proper rotation,
        never a reflection. It is the eigenvector of the largest eigenvalue
        of Horn's symmetric 4×4 matrix, found by a deterministic Jacobi
        solver, conjugated to the module's convention. The vectors are
        used as they are (not centred: for point sets, subtract the
        centroids first).

        scipy's `Rotation.align_vectors(b, a)` (note the order: scipy maps
        its *second* argument onto its first) gives the same rotation, to
        about 1e-12, on inputs with a unique optimum; see
        guide: Fitting and registration.

        Where the optimum is not unique, the answer is defined: a single
        pair, or all vectors on one line, gives the rotation by the smallest
        angle (scipy's answer for a single pair); vectors in opposite
        directions give a half turn (`w == 0`) about an axis across them;
        no pairs, all-zero vectors or all-zero weights give the identity.
        The quaternion has `w >= 0` (when `w == 0`, its first non-zero
        component is positive) and no negative zeros. A NaN or infinite
        vector component gives a quaternion of NaNs and a NaN residual. The sums run in fixed chunks whose order does
        not depend on the number of threads, so the result is the same bits
        at any pool size.

        Parameters
        ----------
        a
            The vectors to rotate: anything the `VecList` constructor takes
            (a `VecList`, a sequence of `Vec3d`, or a buffer of real numbers
            of shape `(n, 3)`), read as it reads it.
        b
            The vectors to reach, as many as in `a`, in the same forms.
        weights
            `None` (every pair counts once), or one finite, non-negative
            weight per pair: a sequence of numbers or a buffer of real
            numbers of shape `(n,)`. A zero weight drops its pair.

        Returns
        -------
        tuple[Quat, float]
            `(q, residual)`: the rotation, and the root of the weighted sum
            of squared distances `sqrt(sum(w[i] * |q.rotate(a[i]) - b[i]|**2))`,
            computed from the distances themselves (scipy's `rssd`, which
            scipy derives from the eigenvalues and so loses digits when it
            is small).

        Raises
        ------
        ValueError
            `argument 'b': expected as many vectors as 'a', 3, got 2`;
            `argument 'weights': expected one weight per pair, 3, got 2`;
            `argument 'weights': expected finite non-negative numbers, got a
            weight at index 1 that is negative, infinite or NaN`.
        TypeError
            `argument 'a': 'int' object cannot be cast as 'Sequence'`;
            `argument 'b': expected an array of shape (n, 3), got (2, 4)`;
            `argument 'weights': expected an array of shape (n,), got (2, 1)`.

        Examples
        --------
        >>> a = VecList([Vec3d(1, 0, 0), Vec3d(0, 1, 0)])
        >>> b = VecList([Vec3d(0, 1, 0), Vec3d(-1, 0, 0)])
        >>> q, residual = Quat.align(a, b)
        >>> q == Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi()), residual < 1e-15
        (True, True)
        """

    @staticmethod
    def from_euler(sequence: str, a: AngleRadians, b: AngleRadians, c: AngleRadians) -> Quat:
        """The rotation of three turns about coordinate axes: scipy's `Rotation.from_euler(sequence, [a, b, c])`.

        `sequence` names the axes of the three turns, which take `a`, `b`
        and `c` in that order. In lower case (`"xyz"`) the turns are
        **extrinsic**, about the fixed axes, the first letter's turn
        applied first; in capitals (`"XYZ"`) they are **intrinsic**, each
        about the axes as the turns before have moved them (the same
        rotation as the lower-case sequence reversed with its angles
        reversed). The twelve sequences are the six of three different axes
        (`"xyz"`, `"zyx"`, ...) and the six that repeat the first axis last
        (`"zxz"`, `"xyx"`, ...). `Quat.from_euler(seq, a, b, c).rotate(v)`
        is `Rotation.from_euler(seq, [a, b, c]).apply(v)` to rounding.

        Each turn is `from_axis_angle(axis, angle)`, and the three are
        composed in the order they apply: `third * (second * first)`.

        Parameters
        ----------
        sequence
            Three letters, all of `x`, `y`, `z` or all of `X`, `Y`, `Z`,
            none the same as the one before it: `"xyx"` is a sequence,
            `"xxy"` is not.
        a
            The angle of the first turn of `sequence`. Only `AngleRadians`
            is accepted, as by `from_axis_angle`; convert degrees with
            `AngleDegrees(d).to_radians()`.
        b
            The angle of the second turn, an `AngleRadians`.
        c
            The angle of the third turn, an `AngleRadians`.

        Raises
        ------
        ValueError
            `argument 'sequence': expected three axes, all from 'xyz'
            (extrinsic) or all from 'XYZ' (intrinsic), none the same as the
            one before it, got 'xxy'`.
        TypeError
            `argument 'sequence': 'bytes' object cannot be cast as 'str'`,
            or `argument 'a': 'float' object cannot be cast as
            'AngleRadians'`.

        Examples
        --------
        >>> yaw = Quat.from_euler("zyx", AngleRadians.half_pi(), AngleRadians(0), AngleRadians(0))
        >>> yaw.rotate(Vec3d.i())
        Vec3d(0.0000000000000002220446049250313, 1, 0)
        """

    def to_euler(self, sequence: str) -> tuple[AngleRadians, AngleRadians, AngleRadians]:
        """The angles `(a, b, c)` of this rotation about the axes of `sequence`: scipy's `as_euler(sequence)`.

        `Quat.from_euler(sequence, a, b, c)` is this rotation again (as a
        quaternion, `q` or `-q`). The first and third angles are in
        [-π, π]; the second in [0, π] for the sequences that repeat their
        first axis, and in [-π/2, π/2] for the others. Computed by the
        direct method of Bernardes and Viollet (2022), as scipy computes
        it; the quaternion's magnitude does not matter.

        **Gimbal lock.** When the second angle is within 1e-7 rad of its
        limits (0 or π, or ±π/2), the first and third turns are about one
        line and only their sum (or difference) is determined. The third
        angle is then 0 and the first carries the whole turn, as scipy has
        it, with no warning. The angles still reproduce the rotation: to
        rounding on the limit itself, to about the distance from it within
        the 1e-7 band.

        Parameters
        ----------
        sequence
            As for `from_euler`: `"xyz"` (extrinsic) ... `"ZXZ"` (intrinsic).

        Raises
        ------
        ValueError, TypeError
            As for `from_euler`, for `sequence`.

        Examples
        --------
        >>> q = Quat.from_euler("XYZ", AngleRadians(0.1), AngleRadians(0.2), AngleRadians(0.3))
        >>> [round(angle.angle, 12) for angle in q.to_euler("XYZ")]
        [0.1, 0.2, 0.3]
        >>> locked = Quat.from_euler("xyz", AngleRadians(0.4), AngleRadians.half_pi(), AngleRadians(0.3))
        >>> locked.to_euler("xyz")  # only 0.4 - 0.3 is determined
        (0.1 radians, 1.5707963267948966 radians, 0 radians)
        """

    @staticmethod
    def from_rotation_vector(v: Vec3d) -> Quat:
        """The rotation by `|v|` radians about the direction of `v`: scipy's `Rotation.from_rotvec(v)`.

        Built as `(cos(|v|/2), -(sin(|v|/2)/|v|)·v)`, the quaternion that
        `from_axis_angle(v / |v|, |v|)` gives, so `rotate` turns by +|v|
        about `v` (right-hand rule). Near zero the ratio keeps every digit
        (`|v|/2` is exact and the sine of a small angle is the angle), and
        the zero vector gives the identity.

        Raises
        ------
        TypeError
            `argument 'v': 'tuple' object cannot be cast as 'Vec3d'`.

        Examples
        --------
        >>> Quat.from_rotation_vector(Vec3d(0, 0, 1.5707963267948966)).rotate(Vec3d.i())
        Vec3d(0.0000000000000002220446049250313, 1, 0)
        >>> Quat.from_rotation_vector(Vec3d.zero())
        Quat(1, -0, -0, -0)
        """

    def to_rotation_vector(self) -> Vec3d:
        """The rotation vector of this rotation, scipy's `as_rotvec()`: the angle in [0, π] times the unit axis.

        `Quat.from_rotation_vector(q.to_rotation_vector())` is `q` or `-q`
        (to rounding). A half turn has two vectors, ±π·axis; this gives the
        one scipy gives. A non-unit quaternion gives the vector of its
        direction (the scaling that `rotate` applies is not part of it), at
        any finite non-zero magnitude: components beyond about 2**±400 are
        scaled by a power of two first, so `Quat(0, 1e155, 0, 0)` and
        `Quat(0, 1e-200, 0, 0)` give `(π, 0, 0)`; the zero quaternion gives
        NaN.

        Examples
        --------
        >>> Quat.from_axis_angle(Vec3d.k(), AngleRadians(1.5)).to_rotation_vector()
        Vec3d(0, 0, 1.5)
        """

    def __mul__(self, other: Quat, /) -> Quat:
        """The composition "`other` first, then `self`": `(a * b).rotate(v)` is `a.rotate(b.rotate(v))`.

        Because the module stores the conjugate of the textbook rotation
        quaternion, this is the Hamilton product `other ⊗ self` (the
        textbook order reversed); through the scipy recipe, `a * b` is
        scipy's `Rotation(a) * Rotation(b)`. Each component is one sum in
        a fixed order, e.g. `w = ((b.w*a.w - b.i*a.i) - b.j*a.j) - b.k*a.k`
        for `a * b`. Any other operand gives a `TypeError` from Python.
        """

    def __repr__(self) -> str:
        """`Quat(w, i, j, k)` with each component in its shortest round-trip form: `Quat(1, -0, -0, -0)`."""

    def __eq__(self, other: object, /) -> bool:
        """Whether every component differs by strictly less than 2**-52; `False` for other types."""

    def __ne__(self, other: object, /) -> bool:
        """The negation of `==`."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class VecList:
    """A list of vectors stored as one contiguous native array.

    Bulk operations (`+`, `-`, `*`, `/`, `dot`, `cross`, `magnitude`,
    `normalize`, `is_unit`, distances, `collapse`, `rotate`, `rotate_each`,
    `minimum_distance_to`) run on a process-wide worker pool and give,
    bit for bit, the result of the single-vector operation on each element,
    whatever the number of threads. The statistics (`centroid`, `bounds`,
    `covariance`, `principal_axes`) are exact sums rounded once, so they too
    are the same bits at any number of threads. The pool is sized once, when it is
    first used, from `RAYON_NUM_THREADS` (or `RAYON_RS_NUM_CPUS`), else
    from the processors the process may use and its cgroup CPU quota (see
    Conventions: the worker pool).

    Elements are values: indexing, iteration and `list` hand out new
    `Vec3d` copies, and changing one never changes the list. Only
    `append`, `extend`, `rotate` and `rotate_each` change a list. There is no equality
    (`==` is identity), no slicing, no negative indexing and no item
    assignment. `repr` is `[` + the elements' `Vec3d` reprs joined by
    line feeds + `]`.

    Exports a read-only buffer (PEP 3118) of shape `(n, 3)`, float64:
    `numpy.asarray(vl)` is a zero-copy read-only view that stays a
    snapshot: a later `append`, `extend`, `rotate` or `rotate_each` copies
    the elements first, so an exported array never changes (see Conventions: numpy).

    Parameters
    ----------
    list
        The vectors: a sequence of `Vec3d` (a `list`, a `tuple`, another
        `VecList`, a one-dimensional numpy array of objects, or any object
        with item access), or an object exporting a buffer of real numbers
        of shape `(n, 3)`: float64, float32, float16, integers of any width,
        bool or long double, in either byte order (a numpy array in C or
        Fortran order, sliced or with negative strides). Each number
        becomes the double that numpy's `astype(float64)` gives: exactly,
        except integers beyond 2**53 and long doubles, which round to the
        nearest double. For type checkers `Buffer` is
        `collections.abc.Buffer`; on Python 3.11, where numpy's stubs give
        arrays no `__buffer__`, it also admits objects with
        `__array_interface__`, as every numpy array has.

    Raises
    ------
    TypeError
        `argument 'list': 'int' object cannot be cast as 'Vec3d'` for an
        item that is not a `Vec3d` (nothing is created);
        `argument 'list': 'generator' object cannot be cast as 'Sequence'`
        for something without item access (generators, sets, dicts);
        `` argument 'list': Can't extract `str` to `Vec` `` for a `str`;
        `argument 'list': expected an array of shape (n, 3), got (5, 4)`
        for a buffer of numbers of another shape;
        `argument 'list': expected real numbers in rows of 3, got an array
        of format 'Zd' (complex)` for a buffer of anything else (complex
        numbers, objects, strings, records), naming its format.

    Examples
    --------
    >>> vl = VecList([Vec3d(1, 0, 0), Vec3d(0, 3, 4)])
    >>> vl.magnitude()
    [1.0, 5.0]
    >>> len(vl * 2)
    2
    """

    def __new__(cls, list: Sequence[Vec3d] | Buffer) -> VecList: ...
    @staticmethod
    def empty() -> VecList:
        """A new list with no elements."""

    def append(self, vec: Vec3d) -> None:
        """Add a copy of `vec` at the end, in place.

        Raises
        ------
        TypeError
            `argument 'vec': ... cannot be cast as 'Vec3d'` when `vec` is not
            a `Vec3d`.
        """

    def extend(self, other: VecList) -> None:
        """Append all elements of `other`, in order, in place.

        Parameters
        ----------
        other
            Another `VecList`; wrap a Python list as `VecList(items)` first.

        Raises
        ------
        TypeError
            `argument 'other': 'list' object cannot be cast as 'VecList'`
            when `other` is not a `VecList`.
        RuntimeError
            `Already mutably borrowed` when `other` is this very list (it is
            left unchanged); extend with `VecList(self)` to double a list.
        """

    @property
    def list(self) -> builtins.list[Vec3d]:
        """A new Python list of new `Vec3d` copies, in order. Read-only."""

    def to_array(self) -> builtins.list[builtins.list[float]]:
        """The elements as a new list of `[x, y, z]` lists of floats.

        Examples
        --------
        >>> VecList([Vec3d(1, 0, 0), Vec3d(0, 1, 0)]).to_array()
        [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0]]
        """

    @overload
    def dot(self, other: Vec3d, *, out: None = None) -> builtins.list[float]:
        """The scalar product of each element with `other`, in list order.

        Parameters
        ----------
        out
            A writable C-contiguous buffer of one float64 per element
            (format `d`) to write the results into, as numpy's `out=`;
            `out` itself is returned (see Conventions: numpy).

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'` when `other`
            is not a `Vec3d`.
        TypeError, ValueError
            `argument 'out': expected a writable C-contiguous buffer of shape
            (n,) and format 'd', got ...` for any other buffer,
            before anything is written.
        """

    @overload
    def dot(self, other: Vec3d, *, out: _Out) -> _Out:
        """The scalar product of each element with `other`, in list order.

        Parameters
        ----------
        out
            A writable C-contiguous buffer of one float64 per element
            (format `d`) to write the results into, as numpy's `out=`;
            `out` itself is returned (see Conventions: numpy).

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'` when `other`
            is not a `Vec3d`.
        TypeError, ValueError
            `argument 'out': expected a writable C-contiguous buffer of shape
            (n,) and format 'd', got ...` for any other buffer,
            before anything is written.
        """

    def cross(self, other: Vec3d) -> VecList:
        """A new list of each element's cross product `element × other`.

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'` when `other`
            is not a `Vec3d`.
        """

    @overload
    def magnitude(self, *, out: None = None) -> builtins.list[float]:
        """The length of each element, in list order.

        Parameters
        ----------
        out
            A writable C-contiguous buffer of one float64 per element
            (format `d`) to write the results into, as numpy's `out=`;
            `out` itself is returned (see Conventions: numpy).

        Raises
        ------
        TypeError, ValueError
            `argument 'out': expected a writable C-contiguous buffer of shape
            (n,) and format 'd', got ...` for any other buffer,
            before anything is written.

        Examples
        --------
        >>> import numpy as np
        >>> vl = VecList([Vec3d(3, 4, 0), Vec3d(0, 0, 2)])
        >>> out = np.empty(len(vl))
        >>> vl.magnitude(out=out) is out
        True
        >>> out.tolist()
        [5.0, 2.0]
        """

    @overload
    def magnitude(self, *, out: _Out) -> _Out:
        """The length of each element, in list order.

        Parameters
        ----------
        out
            A writable C-contiguous buffer of one float64 per element
            (format `d`) to write the results into, as numpy's `out=`;
            `out` itself is returned (see Conventions: numpy).

        Raises
        ------
        TypeError, ValueError
            `argument 'out': expected a writable C-contiguous buffer of shape
            (n,) and format 'd', got ...` for any other buffer,
            before anything is written.

        Examples
        --------
        >>> import numpy as np
        >>> vl = VecList([Vec3d(3, 4, 0), Vec3d(0, 0, 2)])
        >>> out = np.empty(len(vl))
        >>> vl.magnitude(out=out) is out
        True
        >>> out.tolist()
        [5.0, 2.0]
        """

    def normalize(self) -> VecList:
        """A new list of each element divided by its length (NaN components for zero vectors)."""

    @overload
    def is_unit(self, *, out: None = None) -> builtins.list[bool]:
        """For each element, whether its length is within 2**-52 of 1.0 (strictly).

        Parameters
        ----------
        out
            A writable C-contiguous buffer of one bool per element (format
            `?`, numpy's `bool`) to write the results into, as numpy's
            `out=`; `out` itself is returned (see Conventions: numpy).

        Raises
        ------
        TypeError, ValueError
            `argument 'out': expected a writable C-contiguous buffer of shape
            (n,) and format '?', got ...` for any other buffer,
            before anything is written.
        """

    @overload
    def is_unit(self, *, out: _Out) -> _Out:
        """For each element, whether its length is within 2**-52 of 1.0 (strictly).

        Parameters
        ----------
        out
            A writable C-contiguous buffer of one bool per element (format
            `?`, numpy's `bool`) to write the results into, as numpy's
            `out=`; `out` itself is returned (see Conventions: numpy).

        Raises
        ------
        TypeError, ValueError
            `argument 'out': expected a writable C-contiguous buffer of shape
            (n,) and format '?', got ...` for any other buffer,
            before anything is written.
        """

    @overload
    def distance_to(self, other: Vec3d, *, out: None = None) -> builtins.list[float]:
        """The distance of each element to the point `other`, in list order.

        Parameters
        ----------
        out
            Where to write the results instead of a new list: a writable
            C-contiguous buffer of one float64 per element (format `d`) to write the results into, as numpy's `out=`;
            `out` itself is returned (see Conventions: numpy).

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'` when `other`
            is not a `Vec3d`.
        TypeError, ValueError
            `argument 'out': expected a writable C-contiguous buffer of shape
            (n,) and format 'd', got ...` for any other buffer,
            before anything is written.
        """

    @overload
    def distance_to(self, other: Vec3d, *, out: _Out) -> _Out:
        """The distance of each element to the point `other`, in list order.

        Parameters
        ----------
        out
            Where to write the results instead of a new list: a writable
            C-contiguous buffer of one float64 per element (format `d`) to write the results into, as numpy's `out=`;
            `out` itself is returned (see Conventions: numpy).

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'` when `other`
            is not a `Vec3d`.
        TypeError, ValueError
            `argument 'out': expected a writable C-contiguous buffer of shape
            (n,) and format 'd', got ...` for any other buffer,
            before anything is written.
        """

    @overload
    def distance_squared(self, other: Vec3d, *, out: None = None) -> builtins.list[float]:
        """The squared distance of each element to the point `other`, in list order.

        Parameters
        ----------
        out
            A writable C-contiguous buffer of one float64 per element
            (format `d`) to write the results into, as numpy's `out=`;
            `out` itself is returned (see Conventions: numpy).

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'` when `other`
            is not a `Vec3d`.
        TypeError, ValueError
            `argument 'out': expected a writable C-contiguous buffer of shape
            (n,) and format 'd', got ...` for any other buffer,
            before anything is written.
        """

    @overload
    def distance_squared(self, other: Vec3d, *, out: _Out) -> _Out:
        """The squared distance of each element to the point `other`, in list order.

        Parameters
        ----------
        out
            A writable C-contiguous buffer of one float64 per element
            (format `d`) to write the results into, as numpy's `out=`;
            `out` itself is returned (see Conventions: numpy).

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'` when `other`
            is not a `Vec3d`.
        TypeError, ValueError
            `argument 'out': expected a writable C-contiguous buffer of shape
            (n,) and format 'd', got ...` for any other buffer,
            before anything is written.
        """

    def collapse(self, axis: SupportsIndex) -> VecList:
        """A new list with component `axis` (0 = x, 1 = y, 2 = z) of every element set to +0.0.

        This flattens the points onto a coordinate plane through the origin
        (`collapse(2)` onto the xy plane). The chosen component becomes
        positive zero whatever its sign was.

        Raises
        ------
        PanicException
            `assertion failed: axis <= 2` for an axis above 2. This
            exception derives from `BaseException`, so `except Exception`
            does not catch it.
        OverflowError
            `can't convert negative int to unsigned` for a negative axis.
        TypeError
            `argument 'axis': 'float' object cannot be interpreted as an
            integer` for a non-integer.

        Examples
        --------
        >>> VecList([Vec3d(-1, 2, 3)]).collapse(0)[0]
        Vec3d(0, 2, 3)
        """

    def rotate(self, quat: Quat) -> None:
        """Rotate every element in place, exactly as `quat.rotate(element)` would.

        The list is replaced as a whole at the end. Iterators taken earlier,
        and arrays exported earlier, keep the unrotated elements.

        Raises
        ------
        TypeError
            `argument 'quat': ... cannot be cast as 'Quat'` when `quat` is
            not a `Quat` (the list is unchanged).
        """

    def rotate_each(self, quats: Sequence[Quat] | Buffer) -> None:
        """Rotate element i by rotation i in place, exactly as `quats[i].rotate(element)` would.

        As for `rotate`, iterators taken earlier and arrays exported
        earlier keep the unrotated elements.

        Parameters
        ----------
        quats
            One rotation per element: a sequence of `Quat` (a numpy array
            of `Quat` objects included), or an object exporting a buffer of
            real numbers of shape `(n, 4)` whose rows are `(w, i, j, k)`,
            read as `VecList` reads one.

        Raises
        ------
        ValueError
            `argument 'quats': expected one rotation per element, 3 for this
            list, got 2` when the counts differ (the list is unchanged).
        TypeError
            `argument 'quats': 'Vec3d' object cannot be cast as 'Quat'` for
            an item that is not a `Quat`;
            `argument 'quats': expected an array of shape (n, 4), got (2, 3)`
            for a buffer of numbers of another shape;
            `argument 'quats': expected real numbers in rows of 4, got an
            array of format 'Zd' (complex)` for one of anything else.
        RuntimeError
            `Already mutably borrowed` when `quats` is this very list, or
            `Already borrowed` when reading `quats` touches this list.

        Examples
        --------
        >>> vl = VecList([Vec3d(1, 0, 0), Vec3d(1, 0, 0)])
        >>> vl.rotate_each([Quat.identity(), Quat(0, 0, 0, 1)])
        >>> vl.to_array()
        [[1.0, 0.0, 0.0], [-1.0, 0.0, 0.0]]
        """

    def transform(self, transform: Transform) -> None:
        """Move every element in place, exactly as `transform.apply(element)` would.

        Like `rotate`, and at about its speed: iterators taken
        earlier, and arrays exported earlier, keep the old elements.

        Raises
        ------
        TypeError
            `argument 'transform': 'Quat' object cannot be cast as
            'Transform'` (the list is unchanged).

        Examples
        --------
        >>> vl = VecList([Vec3d(1, 0, 0), Vec3d(0, 1, 0)])
        >>> vl.transform(Transform(Quat(0, 0, 0, 1), Vec3d(10, 0, 0)))
        >>> vl.to_array()
        [[9.0, 0.0, 0.0], [10.0, -1.0, 0.0]]
        """

    def transform_each(self, transforms: Sequence[Transform] | Buffer) -> None:
        """Move element i by transform i in place, exactly as `transforms[i].apply(element)` would.

        As for `rotate_each`: on the worker pool, the same bits at every
        thread count, and iterators and arrays taken earlier keep the old
        elements.

        Parameters
        ----------
        transforms
            One transform per element: a sequence of `Transform` (a numpy
            array of `Transform` objects included), or an object exporting
            a buffer of real numbers of shape `(n, 7)` whose rows are
            `(qw, qi, qj, qk, tx, ty, tz)`, the rotation's `w, i, j, k` then
            the translation, read as `VecList` reads one.

        Raises
        ------
        ValueError
            `argument 'transforms': expected one transform per element, 3
            for this list, got 2` when the counts differ (the list is
            unchanged).
        TypeError
            `argument 'transforms': 'Quat' object cannot be cast as
            'Transform'` for an item that is not a `Transform`;
            `argument 'transforms': expected an array of shape (n, 7), got
            (2, 4)` for a buffer of numbers of another shape;
            `argument 'transforms': expected real numbers in rows of 7, got
            an array of format 'Zd' (complex)` for one of anything else.
        RuntimeError
            `Already mutably borrowed` when `transforms` is this very list,
            or `Already borrowed` when reading it touches this list.

        Examples
        --------
        >>> vl = VecList([Vec3d(1, 0, 0), Vec3d(1, 0, 0)])
        >>> vl.transform_each([Transform(), Transform(translation=Vec3d(0, 0, 5))])
        >>> vl.to_array()
        [[1.0, 0.0, 0.0], [1.0, 0.0, 5.0]]
        """

    def minimum_distance_to(self, other: Vec3d, stride: SupportsIndex) -> tuple[int, float]:
        """The position of the element nearest to `other` and its distance, by a two-pass search.

        A coarse pass visits positions 0, stride, 2·stride, ... and picks
        the best sample b; a fine pass then scans every position from
        `b - stride` (or 0) up to but excluding `min(b + stride, n)`. An
        element outside that window is never returned, even if nearer. With
        `stride` 1, or `stride >= len(self)`, the search is exhaustive.

        Squared distances are compared by value, and every NaN, whatever
        its sign and payload, ranks after every number (+inf included): a
        NaN element is returned, with the distance `nan`, only when every
        element of the window is NaN. On ties, NaNs among them, the lowest
        position wins. NaNs rank as one because the sign of a NaN made by
        arithmetic (`inf - inf`) is the processor's, and which of two NaNs
        a sum keeps depends on the operand order the compiler chose. So the
        result depends on the data alone: not on the number of threads,
        the pass or the platform. See Conventions: the nearest-point search.

        Parameters
        ----------
        other
            The point to search near.
        stride
            The spacing of the coarse samples, at least 1.

        Returns
        -------
        tuple[int, float]
            `(position, distance)`: the position in the whole list and the
            square root of its squared distance.

        Raises
        ------
        PanicException
            `assertion failed: stride != 0` for a stride of 0 (even on an
            empty list); ``called `Option::unwrap()` on a `None` value`` for
            an empty list. `PanicException` derives from `BaseException`.
        TypeError
            `argument 'other': ... cannot be cast as 'Vec3d'`.
        OverflowError
            For a negative stride.

        Examples
        --------
        >>> points = [Vec3d(5, 0, 0), Vec3d(0, 0, 0), Vec3d(9, 0, 0), Vec3d(9, 0, 0), Vec3d(4, 0, 0)]
        >>> VecList(points).minimum_distance_to(Vec3d.zero(), 2)
        (4, 4.0)
        >>> VecList(points).minimum_distance_to(Vec3d.zero(), 1)
        (1, 0.0)
        >>> inf = float("inf")  # inf - inf is NaN, ranked after inf
        >>> VecList([Vec3d(1, 0, 0), Vec3d(inf, 0, 0)]).minimum_distance_to(Vec3d(inf, 0, 0), 1)
        (0, inf)
        """

    def centroid(self) -> Vec3d:
        """The mean of the elements: each component's exact sum, rounded once, divided by `len(self)`.

        The sum of each component is kept exactly (no rounding at all,
        whatever the magnitudes, signs and order) and rounded once to the
        nearest double, so the result is `math.fsum(column) / n` bit for
        bit, within one rounding of the exact mean, and the same bits on
        every platform and at any number of threads. Map coordinates keep
        their digits: numpy's `mean(axis=0)` on a tile at x ≈ 5e5, y ≈ 5e6
        is off by tens to hundreds of ulps (see
        guide: Fitting and registration).

        Special values: any NaN in a component gives NaN, +inf and -inf
        together give NaN, otherwise an infinity gives itself; an exact sum
        beyond the range of doubles gives the infinity of its sign (two
        elements of 1e308 have the centroid inf). The empty list gives
        `Vec3d(NaN, NaN, NaN)`.

        Examples
        --------
        >>> VecList([Vec3d(1e308, 1, 0), Vec3d(-1e308, 2, 0), Vec3d(3, 3, 0)]).centroid()
        Vec3d(1, 2, 0)
        """

    def bounds(self) -> tuple[Vec3d, Vec3d]:
        """The smallest and the largest component of the elements: `(low, high)`, the bounding box.

        NaN components are left out (as numpy's `nanmin` and `nanmax`); a
        component that is NaN in every element, or the empty list, gives
        NaN. -0.0 counts as below +0.0, so the low corner of `-0.0` and
        `0.0` is `-0.0` and the high corner `0.0`. Min and max are exact,
        so the result is the same at any number of threads.

        Examples
        --------
        >>> VecList([Vec3d(1, -2, float("nan")), Vec3d(-3, 5, 4)]).bounds()
        (Vec3d(-3, -2, 4), Vec3d(1, 5, 4))
        """

    def covariance(self, *, ddof: SupportsIndex | None = None) -> builtins.list[builtins.list[float]]:
        """The 3×3 covariance of the elements about their exact mean, each entry rounded once.

        Entry `[j][k]` is the exact value of
        `sum((p[j] - m[j]) * (p[k] - m[k])) / (n - ddof)`, with `m` the
        exact (rational) mean, rounded once to the nearest double: it is
        computed from exact sums of the components and of their products
        as `(n * sum(pj pk) - sum(pj) * sum(pk)) / (n * (n - ddof))`, with
        no rounding before the end. So the result is correctly rounded
        however far the points lie from the origin (numpy's `cov` and
        Open3D's one-pass formula lose digits there), symmetric, and the
        same bits on every platform and at any number of threads.

        Returned as three rows of three floats, like `to_rotation_matrix`:
        `numpy.array(points.covariance())` is a `(3, 3)` array (nine floats
        cost far less than the sums).

        Parameters
        ----------
        ddof
            The divisor is `n - ddof`: `None` or 0 for the population
            covariance (numpy's `cov(..., bias=True)`, Open3D's), 1 for the
            sample covariance (numpy's `cov` default).

        Returns
        -------
        list[list[float]]
            NaN entries where `n <= ddof` (the empty list, one point with
            `ddof=1`), and in the rows and columns of a component that holds
            a NaN or an infinity.

        Raises
        ------
        TypeError
            `argument 'ddof': 'float' object cannot be interpreted as an
            integer`.
        OverflowError
            For a negative `ddof`.

        Examples
        --------
        >>> VecList([Vec3d(1, 0, 0), Vec3d(3, 0, 2)]).covariance()
        [[1.0, 0.0, 1.0], [0.0, 0.0, 0.0], [1.0, 0.0, 1.0]]
        """

    def principal_axes(self) -> tuple[builtins.list[float], builtins.list[Vec3d]]:
        """The eigenvalues and unit eigenvectors of the population covariance: `(variances, axes)`.

        Variances in ascending order, `axes[k]` the direction of
        `variances[k]`: so `axes[0]` is the normal of the best-fitting plane
        and `axes[2]` the direction of the best-fitting line. Each axis has
        its largest component (the first of equals) positive, so the same
        cloud always gives the same axes. Found by a cyclic Jacobi solver
        with a fixed order and stopping rule: the same bits everywhere. A
        NaN or infinite coordinate gives NaN variances and axes.

        Examples
        --------
        >>> variances, axes = VecList([Vec3d(-2, 0, 0), Vec3d(2, 0, 0), Vec3d(0, 1, 0), Vec3d(0, -1, 0)]).principal_axes()
        >>> variances, axes
        ([0.0, 0.5, 2.0], [Vec3d(0, 0, 1), Vec3d(0, 1, 0), Vec3d(1, 0, 0)])
        """

    def voxel_down_sample(self, voxel_size: float, *, origin: Vec3d | None = None) -> VecList:
        """The centroid of each occupied voxel of a grid of cubes of side `voxel_size`, in the order of their first elements.

        `VoxelGrid(self, voxel_size, origin=origin).centroids` without the
        counts, the inverse and the nearest points: the same grid (a corner
        at `origin`, default `(0, 0, 0)`, so the answer does not depend on
        the cloud's extent), the same exact centroids (each component's
        exact sum rounded once, divided by the count, as
        `VecList.centroid`), elements with a NaN or
        infinite coordinate left out. Replaces Open3D's
        `voxel_down_sample(voxel_size)`, whose grid starts half a voxel
        below the cloud's smallest corner; see
        [Downsampling](../guide/downsampling.md) for that and other
        libraries' rules.

        Parameters
        ----------
        voxel_size
            The side of the voxels, a finite number greater than 0.
        origin
            A corner of the grid, with finite coordinates; None for
            `(0, 0, 0)`.

        Raises
        ------
        ValueError
            `argument 'voxel_size': expected a number greater than 0 and
            finite, got 0.0` (NaN and infinities too); `argument 'origin':
            expected finite coordinates, got Vec3d(NaN, 0, 0)`; a voxel index
            beyond the 64-bit integers, as `VoxelGrid` says.
        TypeError
            A `voxel_size` that is not a number, an `origin` that is not a
            `Vec3d`, naming the argument.

        Examples
        --------
        >>> VecList([Vec3d(0.25, 0, 0), Vec3d(0.5, 0.5, 0), Vec3d(1.5, 0, 0)]).voxel_down_sample(1.0)
        [Vec3d(0.375, 0.25, 0)
        Vec3d(1.5, 0, 0)]
        """

    @overload
    def farthest_point_sample(self, k: SupportsIndex, *, start: SupportsIndex | None = None, out: None = None) -> ResultArray:
        """The indices of `k` elements chosen by farthest-point sampling, in the order chosen, shape `(k,)`, format `n`.

        The first is `start`; each next one is the element farthest from
        those chosen so far: the one whose squared distance to the nearest
        chosen element, as `Vec3d.distance_squared`
        computes it, is the largest, equal distances to the lower index;
        an element is chosen once. The result is exactly that of the plain
        rule, which updates every distance after every choice (O(nk));
        here a tree of the elements' boxes skips those whose distance a
        choice cannot change, so the later choices cost little. Elements
        with a NaN or infinite coordinate are never measured: they come
        after every finite element, in index order, when `k` asks for them
        (`start` may be one of them; then the first finite element, by
        index, is farthest from nothing and comes next). The elements are
        ordered along a curve on the worker pool (see Conventions: the worker pool), as are the first
        choices' updates; the result is the same at any number of threads.
        Replaces fpsample's `fps_sampling` and `bucket_fps_kdtree_sampling`
        (QuickFPS), whose distances round otherwise, so that their choices
        can part from the plain rule's; Open3D's `farthest_point_down_sample`
        (which returns the points, in index order: here
        `numpy.asarray(self)[indices]`); and pointnet2's
        `farthest_point_sample`.

        Parameters
        ----------
        k
            How many, from 0 to `len(self)`.
        start
            The index of the first element; None for 0. Checked against
            `len(self)` when `k` is at least 1.
        out
            A writable C-contiguous buffer of shape `(k,)` and format `n`
            (numpy's `intp`); written and returned.

        Raises
        ------
        ValueError
            `argument 'k': expected an integer from 0 to 5 (the number of
            points), got 6` (negative `k` too); `argument 'start': expected
            an integer from 0 to 4 (an index of the list), got 5`; an `out`
            of another shape or not contiguous, before anything is written.
        TypeError
            A `k` or `start` that is not an integer, naming it; an `out` of
            another format, read-only or without a buffer.

        Examples
        --------
        >>> line = VecList([Vec3d(x, 0, 0) for x in (0, 1, 2, 3, 4)])
        >>> line.farthest_point_sample(3).tolist()
        [0, 4, 2]
        >>> line.farthest_point_sample(3, start=2).tolist()  # a tie: the lower index
        [2, 0, 4]
        """
    @overload
    def farthest_point_sample(self, k: SupportsIndex, *, start: SupportsIndex | None = None, out: _Out) -> _Out:
        """The indices of `k` elements chosen by farthest-point sampling, in the order chosen, shape `(k,)`, format `n`.

        The first is `start`; each next one is the element farthest from
        those chosen so far: the one whose squared distance to the nearest
        chosen element, as `Vec3d.distance_squared`
        computes it, is the largest, equal distances to the lower index;
        an element is chosen once. The result is exactly that of the plain
        rule, which updates every distance after every choice (O(nk));
        here a tree of the elements' boxes skips those whose distance a
        choice cannot change, so the later choices cost little. Elements
        with a NaN or infinite coordinate are never measured: they come
        after every finite element, in index order, when `k` asks for them
        (`start` may be one of them; then the first finite element, by
        index, is farthest from nothing and comes next). The elements are
        ordered along a curve on the worker pool (see Conventions: the worker pool), as are the first
        choices' updates; the result is the same at any number of threads.
        Replaces fpsample's `fps_sampling` and `bucket_fps_kdtree_sampling`
        (QuickFPS), whose distances round otherwise, so that their choices
        can part from the plain rule's; Open3D's `farthest_point_down_sample`
        (which returns the points, in index order: here
        `numpy.asarray(self)[indices]`); and pointnet2's
        `farthest_point_sample`.

        Parameters
        ----------
        k
            How many, from 0 to `len(self)`.
        start
            The index of the first element; None for 0. Checked against
            `len(self)` when `k` is at least 1.
        out
            A writable C-contiguous buffer of shape `(k,)` and format `n`
            (numpy's `intp`); written and returned.

        Raises
        ------
        ValueError
            `argument 'k': expected an integer from 0 to 5 (the number of
            points), got 6` (negative `k` too); `argument 'start': expected
            an integer from 0 to 4 (an index of the list), got 5`; an `out`
            of another shape or not contiguous, before anything is written.
        TypeError
            A `k` or `start` that is not an integer, naming it; an `out` of
            another format, read-only or without a buffer.

        Examples
        --------
        >>> line = VecList([Vec3d(x, 0, 0) for x in (0, 1, 2, 3, 4)])
        >>> line.farthest_point_sample(3).tolist()
        [0, 4, 2]
        >>> line.farthest_point_sample(3, start=2).tolist()  # a tie: the lower index
        [2, 0, 4]
        """

    def segment_plane(
        self,
        distance: float,
        *,
        iterations: SupportsIndex | None = None,
        seed: SupportsIndex | None = None,
        confidence: float | None = None,
    ) -> PlaneResult:
        """The largest plane of the cloud by RANSAC, refitted by least squares over its inliers: Open3D's `segment_plane`, seeded.

        Each sample is three distinct elements drawn by a counter-based
        generator from (`seed`, sample number), so sample i is the same
        whichever thread draws it: the answer is the same bits on every
        run and at any number of threads, unlike Open3D's. Each sample's
        plane is scored by the number of elements within `distance` of it;
        the best (the earlier sample of equals) gives the inliers, and the
        plane returned is `Plane.fit` of
        them, bit for bit. Samples whose three points coincide or (nearly)
        lie on one line are skipped and counted (`degenerate`); when every
        sample is, nothing is found (`found` is False, `plane` None).

        The samples and the test are taken in a frame centred on the cloud
        (the middle of the box of its finite elements), so a cloud at map
        coordinates gives the planes of the same cloud at the origin,
        moved. An element is an inlier of the plane n·q + d = 0 of a sample
        when `|((n.x q.x + n.y q.y) + n.z q.z) + d| <= distance`, q the
        element minus the centre, each operation rounded in that order;
        one with a NaN or infinite coordinate never is. The count is that
        test's for every element, though whole blocks of nearby elements
        are settled by their box (see guide: Plane detection);
        the samples are scored on the worker pool (Conventions: the worker pool).

        Parameters
        ----------
        distance
            The largest distance of an inlier from a sample's plane: a
            finite number greater than 0, in the units of the points.
        iterations
            How many samples to draw at most; None for 1000 (Open3D's
            `num_iterations`). An integer of at least 1.
        seed
            The seed of the samples, an integer from 0 to 2**64 - 1; None
            for 0. The same seed draws the same samples on every run,
            platform and thread count.
        confidence
            None to draw every sample; else a number in (0, 1): the search
            stops early once `iterations run >= log(1 - confidence) /
            log(1 - w**3)`, `w` the share of the points that are inliers of
            the best plane so far. The rule is checked after each block of
            64 samples, in sample order, so `iterations` is then a multiple
            of 64 (or the limit).

        Raises
        ------
        ValueError
            `argument 'distance': expected a number greater than 0 and
            finite, got 0.0`; `argument 'iterations': expected an integer
            of at least 1, got 0`; `argument 'confidence': expected a number
            greater than 0 and less than 1, got 1.0`; `argument 'seed':
            expected an integer from 0 to 2**64 - 1, got -1`; `argument
            'self': a plane needs at least 3 points, got 2`.
        TypeError
            A `distance` or `confidence` that is not a real number, or an
            `iterations` or `seed` that is not an integer, naming it.

        Examples
        --------
        >>> cloud = VecList([Vec3d(x, y, 5) for x in range(4) for y in range(4)] + [Vec3d(1, 1, 9), Vec3d(2, 3, -4)])
        >>> found = cloud.segment_plane(0.01)
        >>> found
        PlaneResult(found=True, normal=Vec3d(0, 0, 1), distance=-5.0, inlier_count=16, inlier_rmse=0.0, \
iterations=1000, degenerate=49)
        >>> found.inliers.tolist()[-3:]
        [13, 14, 15]
        >>> cloud.segment_plane(0.01, confidence=0.99).iterations
        64
        """

    def segment_planes(
        self,
        distance: float,
        *,
        count: SupportsIndex | None = None,
        min_inliers: SupportsIndex | None = None,
        iterations: SupportsIndex | None = None,
        seed: SupportsIndex | None = None,
        confidence: float | None = None,
    ) -> builtins.list[PlaneResult]:
        """Planes found one after another, each by `segment_plane` on the elements the ones before left.

        The k-th run (from 0) draws its samples from `seed` and k, so the
        first plane is `segment_plane`'s with the same arguments. Each
        result's `inliers`, `mask` and `sample` refer to this list, not to
        the elements left. The runs stop after `count` planes, when a
        run's best plane has fewer than `min_inliers` inliers (that plane
        is not returned), when every sample of a run is degenerate, or
        when fewer than 3 elements are left.

        Parameters
        ----------
        distance
            As for `segment_plane`.
        count
            The most planes to return, at least 1; None for no limit.
        min_inliers
            The fewest inliers of a plane that is returned, at least 1;
            None for 1 % of the points (rounded up, at least 3), so that
            at most 100 planes are looked for. A small `min_inliers`
            without a `count` keeps taking small planes off a noisy cloud,
            one run of `iterations` samples each.
        iterations
            As for `segment_plane`, per run.
        seed
            As for `segment_plane`.
        confidence
            As for `segment_plane`, per run.

        Raises
        ------
        ValueError
            As `segment_plane`'s; `argument 'count': expected an integer of
            at least 1, got 0`, and likewise for `min_inliers`.
        TypeError
            As `segment_plane`'s, and for a `count` or `min_inliers` that is
            not an integer.

        Examples
        --------
        >>> floor = [Vec3d(x, y, 0) for x in range(3) for y in range(3)]
        >>> wall = [Vec3d(0, y, z) for y in range(3) for z in (1, 2)]
        >>> [(r.plane.normal, r.inlier_count) for r in VecList(floor + wall).segment_planes(0.01)]
        [(Vec3d(0, 0, 1), 9), (Vec3d(1, 0, 0), 6)]
        """

    def __len__(self) -> int:
        """The number of elements."""

    def __repr__(self) -> str:
        """`[`, the elements' `Vec3d` reprs joined by line feeds (no commas), `]`; `[]` when empty."""

    def __getitem__(self, index: SupportsIndex, /) -> Vec3d:
        """A new `Vec3d` copy of the element at `index` (counted from 0).

        Raises
        ------
        IndexError
            `Index out of bounds` for `index >= len(self)`.
        OverflowError
            `can't convert negative int to unsigned` for a negative index.
        TypeError
            `argument 'index': 'slice' object cannot be interpreted as an
            integer` for slices and other non-integers.
        """

    def __iter__(self) -> VecListIterator:
        """An iterator over a snapshot of the elements taken now.

        Later `append`, `extend` or `rotate` calls do not change what it
        yields.
        """

    def __buffer__(self, flags: int, /) -> memoryview:
        """A read-only buffer of the elements: format `d`, shape `(n, 3)`, C order, zero-copy.

        The exported memory is a snapshot: a later `append`, `extend`,
        `rotate` or `rotate_each` copies the elements before changing them, so an array
        exported earlier never changes. (Python exposes the method by this
        name from 3.12 on; the buffer protocol works on every supported
        version.)
        """

    def __release_buffer__(self, buffer: memoryview, /) -> None:
        """Releases a buffer that `__buffer__` gave, and its pin on the elements.

        `memoryview.release()` and numpy call it; user code has no need to.
        (Python exposes the method by this name from 3.12 on.)
        """

    def __add__(self, other: Vec3d, /) -> VecList:
        """A new list with `other` added to each element. Only `VecList + Vec3d` is supported."""

    def __sub__(self, other: Vec3d, /) -> VecList:
        """A new list with `other` subtracted from each element."""

    def __mul__(self, rhs: float, /) -> VecList:
        """A new list with each element scaled by the number `rhs`."""

    def __rmul__(self, lhs: float, /) -> VecList:
        """A new list with each element scaled by the number `lhs`: `2 * vl` equals `vl * 2`."""

    def __truediv__(self, rhs: float, /) -> VecList:
        """A new list with each element divided by `rhs` (division by zero gives inf or NaN)."""

@final
@type_check_only
class VecListIterator:
    """The iterator that `iter(VecList)` returns.

    It iterates a private copy of the list's elements taken when it was
    created. The class is not an attribute of the module and cannot be
    instantiated (`TypeError: cannot create 'builtins.VecListIterator'
    instances`).
    """

    def __iter__(self) -> VecListIterator:
        """The iterator itself."""

    def __next__(self) -> Vec3d:
        """A new `Vec3d` copy of the next element; `StopIteration` at the end, and ever after."""

@final
class Transform:
    """A rigid transform (a pose): a rotation, then a translation.

    `t.apply(v)` is `t.rotation.rotate(v) + t.translation`: the rotation is
    applied as `Quat.rotate` applies it (see Conventions: rotations), then the
    translation is added. `a * b` applies `b` first, as `Quat * Quat` does;
    `inverse`, `interpolate` and the 4x4 matrix (`to_matrix`,
    `numpy.asarray(t)`, `from_matrix`) complete the set. The guide page
    Poses shows each beside scipy, PyGLM and pytransform3d (see guide: Poses).

    The rotation is used as stored, never normalised, as everywhere in the
    module: a rotation of magnitude m also scales by m², so a `Transform`
    with a non-unit rotation is a similarity, and composition, `inverse`
    (which undoes the scaling too) and `to_matrix` keep that meaning.
    Unit rotations give rigid motions; `from_matrix` makes only those.

    A `Transform` is an immutable value: `rotation` and `translation`
    return new objects. It compares as `Quat` and `Vec3d` do (every one of
    its seven components within strictly less than 2**-52; `q` and `-q`
    are the same rotation but different values) and is hashable like
    `Vec3d`, by its exact components (negative zero as zero, every NaN
    alike), so equal transforms can hash differently
    (see Conventions: equality and hashing). `repr` is
    `Transform(Quat(1, 0, 0, 0), Vec3d(1, 2, 3))`, which evaluates back.

    Parameters
    ----------
    rotation
        The rotation, a `Quat`; the identity when left out or `None`.
    translation
        The translation, a `Vec3d`; zero when left out or `None`.

    Raises
    ------
    TypeError
        `argument 'rotation': 'Vec3d' object cannot be cast as 'Quat'`, or
        `argument 'translation': ... cannot be cast as 'Vec3d'`.

    Examples
    --------
    >>> quarter = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
    >>> pose = Transform(quarter, Vec3d(1, 2, 3))
    >>> pose.apply(Vec3d(1, 0, 0))
    Vec3d(1.0000000000000002, 3, 3)
    >>> Transform(translation=Vec3d(1, 2, 3))
    Transform(Quat(1, 0, 0, 0), Vec3d(1, 2, 3))
    """

    def __new__(cls, rotation: Quat | None = None, translation: Vec3d | None = None) -> Transform: ...
    @property
    def rotation(self) -> Quat:
        """The rotation, as a new `Quat` (read-only: changing the copy does not change the transform)."""

    @property
    def translation(self) -> Vec3d:
        """The translation, as a new `Vec3d` (read-only, as `rotation`)."""

    @staticmethod
    def identity() -> Transform:
        """The transform that changes nothing: `Transform(Quat(1, 0, 0, 0), Vec3d(0, 0, 0))`."""

    @staticmethod
    def from_matrix(m: Sequence[Sequence[float]] | Buffer) -> Transform:
        """The rigid transform of a 4x4 homogeneous matrix, or of its top three rows.

        `m` is read as `to_matrix` writes it: `m @ (v, 1)` is the moved
        point, so the upper-left 3x3 block R is the rotation applied to
        column vectors (scipy's `as_matrix()`, Open3D's and numpy's
        convention; the **transpose** of `Quat.to_rotation_matrix()`) and
        the last column is the translation. The rotation is the unit
        quaternion that `Quat.from_rotation_matrix` reads from `R.T`, so a
        round trip gives `t` back to rounding, its rotation possibly
        negated (the same rotation).

        R must be a rotation to within 1e-6: every entry of
        `|R^T R - I|` at most 1e-6 (room for a rotation stored in float32)
        and a positive determinant. Reflections, scalings and shears are
        refused rather than silently repaired.

        Parameters
        ----------
        m
            4x4 with the last row `(0, 0, 0, 1)` (exactly), or 3x4: a nested
            sequence, or any object exporting a buffer of real numbers of
            shape `(4, 4)` or `(3, 4)` (a numpy array of any real dtype, in
            any order or with any strides).

        Raises
        ------
        ValueError
            `argument 'm': expected a rotation in the upper-left 3x3 block
            (every entry of |R^T R - I| at most 1e-06, determinant
            positive), got entries up to 0.5 and determinant 1`;
            `argument 'm': expected the last row (0, 0, 0, 1), got
            (0, 0, 0, 2)`.
        TypeError
            `argument 'm': expected an array of shape (4, 4) or (3, 4), got
            (3, 3)` for another shape; `argument 'm': must be real number,
            not str` for an entry that is not a number.

        Examples
        --------
        >>> m = [[0, -1, 0, 1], [1, 0, 0, 2], [0, 0, 1, 3], [0, 0, 0, 1]]
        >>> Transform.from_matrix(m).apply(Vec3d(1, 0, 0))
        Vec3d(1, 3, 3)
        """

    @staticmethod
    def align(
        source: Points, target: Points, weights: Sequence[float] | Buffer | None = None
    ) -> tuple[Transform, float]:
        """The rigid transform that best maps the points `source` onto the points `target`, and its residual.

        The transform `t` (a proper rotation, never a reflection, then a
        translation) that minimises
        `sum(w[i] * |t.apply(source[i]) - target[i]|**2)`: the Kabsch
        problem. Both centroids are the exact weighted means, each rounded
        once (as `VecList.centroid`), so a
        cloud far from the origin (map coordinates) loses no digits to
        them; the rotation is `Quat.align`'s of
        the offsets from the centroids, and the translation
        `target_centroid - rotation.rotate(source_centroid)`.

        scipy's `Rotation.align_vectors(target - target_centroid,
        source - source_centroid)` gives the same rotation to about 1e-12
        where the optimum is unique; see
        guide: Fitting and registration.

        Where the rotation is not unique, the answer is `Quat.align`'s:
        a single pair, or all points on one line, gives the rotation by the
        smallest angle (for a single pair, the identity: the translation
        alone maps it); two pairs pointing in opposite directions give a half
        turn. No pairs, or every weight zero, give the identity. A NaN or
        infinite coordinate gives a transform of NaNs and a NaN residual.
        The sums run in fixed chunks whose order does not depend on the
        number of threads, so the result is the same bits at any pool size.

        Parameters
        ----------
        source
            The points to move: anything the `VecList` constructor takes (a
            `VecList`, a sequence of `Vec3d`, or a buffer of real numbers of
            shape `(n, 3)`), read as it reads them.
        target
            The points to reach, as many as in `source`, in the same forms.
        weights
            `None` (every pair counts once), or one finite, non-negative
            weight per pair: a sequence of numbers or a buffer of real
            numbers of shape `(n,)`. A zero weight drops its pair.

        Returns
        -------
        tuple[Transform, float]
            `(t, residual)`: the transform, and the root of the weighted sum
            of squared distances between the rotated source offsets and the
            target offsets from their centroids (the fit's own residual;
            `t.apply` on coordinates far from the origin rounds on top of it).

        Raises
        ------
        ValueError
            `argument 'target': expected as many points as 'source', 3, got 2`;
            `argument 'weights': expected one weight per pair, 3, got 2`;
            `argument 'weights': expected finite non-negative numbers, got a
            weight at index 1 that is negative, infinite or NaN`.
        TypeError
            `argument 'target': expected an array of shape (n, 3), got (3, 4)`;
            `argument 'source': 'int' object cannot be cast as 'Sequence'`.

        Examples
        --------
        >>> source = [Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 2, 0)]
        >>> target = [Vec3d(5, 5, 5), Vec3d(5, 6, 5), Vec3d(3, 5, 5)]
        >>> t, residual = Transform.align(source, target)
        >>> t.apply(Vec3d(1, 1, 0)), residual < 1e-15
        (Vec3d(4, 6, 5), True)
        """

    @staticmethod
    def icp(
        source: Points,
        target: KdTree | Points,
        max_distance: float,
        *,
        initial: Transform | None = None,
        max_iterations: int | None = None,
        relative_fitness: float | None = None,
        relative_rmse: float | None = None,
        method: Literal["point_to_point", "point_to_plane", "generalized"] | None = None,
        kernel: Literal["l2", "l1", "huber", "cauchy", "geman_mcclure", "tukey"] | None = None,
        kernel_scale: float | None = None,
        target_normals: Points | None = None,
        source_covariances: Buffer | None = None,
        target_covariances: Buffer | None = None,
    ) -> RegistrationResult:
        """ICP: the rigid transform that moves the cloud `source` onto the cloud `target`.

        Open3D's `registration_icp` (and `registration_generalized_icp`),
        step for step. The correspondences of `initial` are found first:
        each source point, moved by the transform, to its nearest target
        point within `max_distance` (as `KdTree.nearest`
        finds it: exact, ties to the lower index). Then each iteration
        estimates an update from those pairs, applies it after the current
        transform, and finds the correspondences anew; it stops when the
        fitness and the inlier RMSE both changed by less than their
        tolerances, or after `max_iterations`, or at a failure (see
        `RegistrationResult.status`).

        The estimate is one of three `method`s:

        - `"point_to_point"` (the default): the best rigid transform of the
          pairs (`Transform.align`), weighted by the
          kernel of each pair's distance. Needs nothing but the points; slow
          to converge where the clouds slide along their surfaces.
        - `"point_to_plane"`: the Gauss-Newton step of
          `sum w(|r|) r^2`, `r = n . (moved - q)` with `n` the target's
          normal at the correspondence `q`. Converges in a few iterations on
          surfaces (scans, rooms, terrain); the first choice where the
          target has normals.
        - `"generalized"` (plane-to-plane): the Gauss-Newton step of
          `sum w(d) d^2`, `d^2 = e^T (C_q + R C_p R^T)^-1 e`, `e = moved - q`,
          with each point's neighbourhood covariance regularised as
          Segal et al. prescribe (its eigenvalues replaced by `1e-3, 1, 1`,
          smallest first) and `R` the current rotation. The most accurate
          on noisy or sparse scans; each pair costs a 3x3 inverse more than
          point to plane's, and both clouds need covariances.

        The steps of the last two solve 6x6 normal equations in a frame
        centred on the target (the exact mean of the first correspondences'
        target points), so a cloud at map coordinates converges as the same
        cloud at the origin does. The system is scaled to a unit diagonal
        and solved through its eigensystem: directions whose eigenvalue is
        at most `1e-12` of the largest (a motion the scene leaves
        unconstrained: sliding along a plane, along a corridor) get no
        step, and the run reports `"degenerate"`, never a NaN pose.

        Every sum is exact or taken in fixed chunks, so the result (the
        transform and the iteration count) is the same bits at any number
        of threads. Point to point matches Open3D's on the same clouds:
        the same fitness and correspondences, an inlier RMSE within
        about 1e-9 (Open3D moves its cloud by each update in turn; this
        moves the source by the composed transform). Point to plane and
        generalized ICP match Open3D's on centred clouds to within 1e-9
        once both run to convergence. See
        guide: Fitting and registration for the numbers.

        Parameters
        ----------
        source
            The cloud to move: anything the `VecList` constructor takes.
            Points with a NaN or infinite coordinate never correspond.
        target
            The cloud to reach: a `KdTree` (reused as it
            is: build it once to register many clouds onto one), or points
            in any form `source` takes, over which a tree is built for the
            call.
        max_distance
            The largest distance of a correspondence, greater than 0
            (`math.inf` for any): a pair counts when
            `moved.distance_to(point) <= max_distance`.
        initial
            The transform to start from; its rotation is used normalised
            at any finite non-zero magnitude (scaled by a power of two
            first where its squares would overflow or underflow). `None`
            for the identity. Components must be finite and the rotation
            not zero.
        max_iterations
            At least 1; `None` for 30, Open3D's default.
        relative_fitness
            The convergence tolerance of the fitness, at least 0; `None`
            for 1e-6, Open3D's default. With 0 the loop runs
            `max_iterations` times.
        relative_rmse
            The convergence tolerance of the inlier RMSE, at least 0;
            `None` for 1e-6, Open3D's default.
        method
            `"point_to_point"`, `"point_to_plane"` or `"generalized"`;
            `None` for point to point.
        kernel
            The robust kernel that weighs each pair by its residual `r`
            (point to point: its distance; point to plane: `|n . e|`;
            generalized: `d`), with `s = kernel_scale`: `"l2"` (`None`)
            `w = 1`; `"l1"` `w = 1 / max(r, 1e-12)`; `"huber"` `w = 1` for
            `r <= s`, else `s / r`; `"cauchy"` `w = 1 / (1 + (r / s)^2)`;
            `"geman_mcclure"` `w = (s^2 / (s^2 + r^2))^2`; `"tukey"`
            `w = (1 - (r / s)^2)^2` for `r <= s`, else 0. Open3D's kernels,
            but its `GMLoss(k)` is `"geman_mcclure"` with `s = sqrt(k)`,
            and its generalized ICP weighs each whitened row alone.
        kernel_scale
            The kernel's `s`, finite and greater than 0, in the units of
            the residual; required by the four scaled kernels, not read
            by `"l2"` and `"l1"`.
        target_normals
            Point to plane only: one normal per target point (in the
            target's order), in any form `source` takes; their signs do
            not matter. `None` for the target's `KdTree.normals(20)`. A
            pair whose normal is NaN is left out of the estimate.
        source_covariances
            Generalized ICP only: one covariance per source point as an
            `(n, 6)` buffer of `xx, xy, xz, yy, yz, zz` (as
            `KdTree.covariances` gives them), regularised as above; `None` for
            `KdTree(source).covariances(20)`. A pair with a NaN covariance
            is left out of the estimate.
        target_covariances
            Generalized ICP only: the same for the target's points; `None`
            for the target's `KdTree.covariances(20)`.

        Returns
        -------
        RegistrationResult
            The final transform, its fitness and inlier RMSE, the number of
            correspondences and of iterations, whether it converged, and
            why it stopped.

        Raises
        ------
        ValueError
            `argument 'max_distance': expected a number greater than 0, got
            0.0` (NaN too); `argument 'max_iterations': expected an integer
            of at least 1, got 0`; `argument 'relative_rmse': expected a
            number of at least 0, got -1.0`; `argument 'initial': expected
            finite components and a rotation other than zero, got
            Transform(Quat(0, 0, 0, 0), Vec3d(0, 0, 0))`; `argument
            'method': expected 'point_to_point', 'point_to_plane' or
            'generalized', got 'plane'`; `argument 'kernel_scale': expected
            a number greater than 0 for the 'huber' kernel, got None`;
            `argument 'target_normals': expected one row per target point,
            3, got 2`.
        TypeError
            `argument 'initial': 'Vec3d' object cannot be cast as
            'Transform'`; `argument 'target': expected an array of shape
            (n, 3), got (4, 2)`; `argument 'source_covariances': expected
            an array of shape (n, 6), got (3, 3)`.

        Examples
        --------
        >>> grid = [Vec3d(x, y, (x * y) % 3) for x in range(8) for y in range(8)]
        >>> moved = Transform(translation=Vec3d(0.2, -0.1, 0.05))
        >>> result = Transform.icp(grid, [moved.apply(p) for p in grid], 0.5)
        >>> result.fitness, result.inlier_rmse < 1e-12, result.transform == moved
        (1.0, True, True)
        >>> plane = [Vec3d(x, y, 0) for x in range(8) for y in range(8)]
        >>> lifted = [p + Vec3d(0.1, 0.2, 0.3) for p in plane]
        >>> sliding = Transform.icp(plane, lifted, 0.5, method="point_to_plane",
        ...                         target_normals=[Vec3d(0, 0, 1)] * 64)
        >>> sliding.status, sliding.converged, [round(x, 12) for x in sliding.transform.translation]
        ('degenerate', False, [0.0, 0.0, 0.3])
        """

    @staticmethod
    def ransac(
        source: Points,
        target: Points,
        source_features: Buffer,
        target_features: Buffer,
        distance: float,
        *,
        max_iterations: int | None = None,
        confidence: float | None = None,
        seed: int | None = None,
        mutual: bool = False,
        edge_ratio: float | None = None,
    ) -> RegistrationResult:
        """Global registration: a first pose of `source` onto `target` with no initial guess, from matched features.

        Open3D's `registration_ransac_based_on_feature_matching` with an
        edge-length and a distance check. Each source point is matched to
        the target point whose feature is nearest (squared Euclidean
        distance over the 33 numbers, exact, ties to the lower index);
        with `mutual`, only pairs each the other's nearest are kept. Trial
        t draws three distinct matches from `seed` and t alone (the same
        sample whichever thread runs it), refuses the sample unless each
        edge of its source triangle and the same edge of its target
        triangle are within `edge_ratio` of each other, fits the rigid
        transform of the three pairs (`Transform.align`), refuses it unless
        it brings each of the three within `distance` of its target, and
        counts its inliers: the matches whose moved source point lies
        within `distance` of its target point. The pose with the most
        inliers is kept, the earlier trial of equals. The trials run in
        blocks of 256 shared out on the worker pool; between blocks, in
        trial order, the search stops once `max_iterations` have run or
        the best pose's share of inliers w makes a miss of an all-inlier
        sample in all k trials so far unlikely: `(1 - w**3)**k <= 1 -
        confidence` (Open3D's `RANSACConvergenceCriteria(max_iteration,
        confidence)`). So the result is the same bits at any number of
        threads and from run to run. The best pose is then refit on all
        its inliers (`Transform.align`) and evaluated.

        The trials work in frames centred on each cloud's matched points,
        so clouds at map coordinates (a survey at (512 000, 5 430 000,
        231)) give the pose they give at the origin, moved. Refine the
        result with `Transform.icp(source, target, max_distance,
        initial=result.transform)`.

        The result is a `RegistrationResult`: `fitness` is the share of
        the matches that are inliers of the final pose, `inlier_rmse`
        their root mean square distance, `correspondences` their number,
        `iterations` the trials run. `status` is `"converged"` (and
        `converged` True) when the confidence was reached,
        `"max_iterations"` when the trials ran out first with a pose found,
        and `"no_pose"` when no sample passed the checks: then the
        transform's components are NaN, never a pose that was not found.

        Parameters
        ----------
        source
            The cloud to move, in any form the `VecList` constructor takes,
            at least 3 points. Points with a NaN or infinite coordinate are
            never matched.
        target
            The cloud to reach, as `source`.
        source_features
            One row of 33 numbers per source point (`KdTree.fpfh`).
        target_features
            One row of 33 numbers per target point.
        distance
            The inlier distance, greater than 0 and finite; usually about
            1.5 times the voxel size of the downsampled clouds.
        max_iterations
            The most trials, at least 1; `None` for 100 000.
        confidence
            Greater than 0 and less than 1; `None` for 0.999.
        seed
            An integer from 0 to 2**64 - 1; `None` for 0.
        mutual
            Keep only the matches whose target feature's nearest source
            feature is the source point's own.
        edge_ratio
            The edge-length similarity of a sample, from 0 (no check) to 1;
            `None` for 0.9.

        Raises
        ------
        ValueError
            `argument 'distance': expected a number greater than 0 and finite, got -1.0`;
            `argument 'source_features': expected one row per source point, 5, got 4`;
            `argument 'source': expected at least 3 points, got 2`;
            `argument 'confidence': expected a number greater than 0 and less than 1, got 1.0`.
        TypeError
            `argument 'target_features': expected an array of shape (n, 33), got (5, 3)`.
        """

    def apply(self, v: Vec3d) -> Vec3d:
        """The point `v` moved: `rotation.rotate(v) + translation`.

        Raises
        ------
        TypeError
            `argument 'v': ... cannot be cast as 'Vec3d'`.
        """

    def apply_direction(self, v: Vec3d) -> Vec3d:
        """The direction `v` turned, without the translation: `rotation.rotate(v)`.

        Raises
        ------
        TypeError
            `argument 'v': ... cannot be cast as 'Vec3d'`.
        """

    def inverse(self) -> Transform:
        """The transform that undoes this one: `t.inverse().apply(t.apply(v))` is `v` to rounding.

        Its rotation is `rotation.inverse()` (`conj(q) / |q|²`, which also
        undoes a non-unit rotation's scaling) and its translation is minus
        the translation carried back by it. A zero rotation gives NaN.
        """

    def interpolate(self, other: Transform, t: float) -> Transform:
        """The pose a fraction `t` of the way from this one to `other`.

        The rotation is `rotation.slerp(other.rotation, t)` (constant
        angular speed along the shorter arc) and the translation moves on
        the straight line `a + t·(b - a)`. At `t == 0` the result is exactly
        this transform, at `t == 1` exactly `other` (even where the shorter
        arc ends at `-other.rotation`, the same rotation); other values
        extrapolate.

        Raises
        ------
        TypeError
            `argument 'other': ... cannot be cast as 'Transform'`, or
            `argument 't': must be real number, not str`.

        Examples
        --------
        >>> start = Transform()
        >>> end = Transform(Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi()), Vec3d(2, 0, 0))
        >>> start.interpolate(end, 0.5).translation
        Vec3d(1, 0, 0)
        """

    def to_matrix(self) -> list[list[float]]:
        """The homogeneous 4x4 matrix M with `M @ (v, 1) == (apply(v), 1)`, as four rows of four floats.

        Column c of the upper-left 3x3 block is `apply_direction(e_c)`
        itself (the image of the c-th axis, so a non-unit rotation's
        scaling is in it), the last column is the translation and the last
        row `(0, 0, 0, 1)`. That block is the map that `rotate` applies:
        scipy's `as_matrix()`, and for a unit rotation the **transpose** of
        `rotation.to_rotation_matrix()` (to rounding). `numpy.asarray(t)` is
        the same matrix as a float64 array; `from_matrix` reads it back.

        Examples
        --------
        >>> Transform(Quat(0, 0, 0, 1), Vec3d(1, 2, 3)).to_matrix()
        [[-1.0, 0.0, 0.0, 1.0], [0.0, -1.0, 0.0, 2.0], [0.0, 0.0, 1.0, 3.0], [0.0, 0.0, 0.0, 1.0]]
        """

    def __buffer__(self, flags: int, /) -> memoryview:
        """A read-only float64 buffer of `to_matrix()`, shape `(4, 4)`, C order: `numpy.asarray(t)`.

        The buffer holds a copy. (Python exposes the method by this name
        from 3.12 on; the buffer protocol works on every supported version.)
        """

    def __release_buffer__(self, buffer: memoryview, /) -> None:
        """Releases a buffer that `__buffer__` gave.

        `memoryview.release()` and numpy call it; user code has no need to.
        (Python exposes the method by this name from 3.12 on.)
        """

    def __mul__(self, other: Transform, /) -> Transform:
        """The composition "`other` first, then `self`": `(a * b).apply(v)` is `a.apply(b.apply(v))` to rounding.

        Its rotation is `a.rotation * b.rotation` and its translation
        `a.apply(b.translation)`. Any other operand gives a `TypeError`
        from Python (use `apply` for a point).
        """

    def __repr__(self) -> str:
        """`Transform(Quat(w, i, j, k), Vec3d(x, y, z))`, each component in its shortest round-trip form."""

    def __eq__(self, other: object, /) -> bool:
        """Whether all seven components differ by strictly less than 2**-52; `False` for other types."""

    def __ne__(self, other: object, /) -> bool:
        """The negation of `==`."""

    def __hash__(self) -> int:
        """A hash of the exact components, the same in every process and run.

        Negative zero hashes as zero and every NaN alike. Transforms that
        are equal only within the tolerance of `==` usually hash
        differently, so a `set` or `dict` may hold both.
        """

# What the calls that take a cloud of points accept (KdTree and its
# queries, Quat.align, Transform.align and icp): a VecList, a sequence of
# Vec3d, or a buffer of shape (n, 3). A name for annotations only: it does
# not exist at run time.
Points: TypeAlias = VecList | Sequence[Vec3d] | Buffer

@final
class KdTree:
    """An exact k-d tree over a cloud of points: nearest, k nearest and radius queries.

    Every answer is the one a scan of every point gives: the points ranked
    by their squared distance to the query, computed as
    `Vec3d.distance_squared` computes
    it (point minus query, then `(dx*dx + dy*dy) + dz*dz`), equal distances
    by index (the lower first), and every NaN after every number. The
    distances returned are `point.distance_to(query)`, bit for bit. So the
    answers depend on the data alone: not on the number of threads, the
    processor or how the tree was built, and ties on grids and among
    duplicates are settled the same way every time. See
    Conventions: neighbour queries for the rules (NaN and infinities,
    radius boundaries, missing neighbours) and the
    [Neighbours guide](../guide/neighbours.md) for the scipy, pykdtree and
    Open3D calls each method replaces.

    Indices are positions in the points the tree was built from. Results
    come in this module's order, index then distance (as
    `VecList.minimum_distance_to`),
    unlike scipy's `query`, which gives distances first; no method takes
    a scipy name.

    The tree keeps its own copy of the points, so later changes to the
    source never change its answers (from a `VecList` the copy is shared
    until the list changes). Building and the `_each` queries run on the
    worker pool (see Conventions: the worker pool). The tree takes at most 40 bytes per point besides
    its copy of the points. A tree cannot be changed; build a new one.

    Parameters
    ----------
    points
        The cloud: anything `VecList` takes (a
        `VecList`, a sequence of `Vec3d`, or a buffer of real numbers of
        shape `(n, 3)`, such as a numpy array of any real dtype, each
        number as numpy's `astype(float64)` gives it).

    Raises
    ------
    TypeError
        As `VecList(points)`, naming the argument `points`:
        `argument 'points': expected an array of shape (n, 3), got (5, 4)`.

    Examples
    --------
    >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 2, 0)])
    >>> tree
    KdTree(3 points)
    >>> tree.nearest(Vec3d(0.75, 0, 0))
    (1, 0.25)
    """

    def __new__(cls, points: Points) -> KdTree: ...
    @property
    def points(self) -> VecList:
        """The points the tree was built from, in their order, as a `VecList`.

        No copy is made: the list shares the tree's copy until either is
        changed (a change to the list copies it first).
        """

    def nearest(self, point: Vec3d) -> tuple[int, float]:
        """The point nearest to `point`: `(index, distance)`.

        Equal distances go to the lower index. Replaces scipy's
        `d, i = tree.query(x)` (note the order), pykdtree's
        `tree.query(x[None])` and Open3D's `search_knn_vector_3d(x, 1)`.
        An empty tree gives `(0, inf)`.

        Parameters
        ----------
        point
            The query. With a NaN or infinite coordinate, every point is
            scanned (the distances are then inf or NaN).

        Raises
        ------
        TypeError
            `argument 'point': ... cannot be cast as 'Vec3d'`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(1, 0, 0), Vec3d(-1, 0, 0)])
        >>> tree.nearest(Vec3d(0, 0, 0))  # a tie: the lower index
        (0, 1.0)
        """

    def nearest_k(
        self, point: Vec3d, k: SupportsIndex, *, max_distance: float | None = None
    ) -> tuple[builtins.list[int], builtins.list[float]]:
        """The `k` points nearest to `point`, nearest first: `(indices, distances)`.

        Both lists have `k` items. Where fewer than `k` points lie within
        `max_distance` (or the tree has fewer than `k` points), the missing
        slots at the end are index `len(self)` and distance `inf`, as in
        scipy.

        Parameters
        ----------
        point
            The query.
        k
            How many neighbours, at least 1.
        max_distance
            Keep only points with `point.distance_to(query) <= max_distance`
            (inclusive, unlike scipy's strict `distance_upper_bound`); None
            keeps every point, those at a NaN distance last.

        Raises
        ------
        ValueError
            `argument 'k': expected an integer of at least 1, got 0`;
            `argument 'max_distance': expected a number of at least 0, got
            -1.0` (NaN too).
        TypeError
            For a `k` that is not an integer, or a `max_distance` that is
            not a number, naming the argument.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(3, 0, 0), Vec3d(1, 0, 0)])
        >>> tree.nearest_k(Vec3d(0, 0, 0), 2)
        ([0, 2], [0.0, 1.0])
        >>> tree.nearest_k(Vec3d(0, 0, 0), 4, max_distance=1.0)
        ([0, 2, 3, 3], [0.0, 1.0, inf, inf])
        """

    def within(self, point: Vec3d, radius: float) -> builtins.list[int]:
        """The indices of the points within `radius` of `point`, nearest first, then by index.

        Within means `point.distance_to(query) <= radius`, boundary
        included; a point at a NaN distance is never within. Replaces
        scipy's `query_ball_point(x, r)` (which orders by index) and
        Open3D's `search_radius_vector_3d`.

        Raises
        ------
        ValueError
            `argument 'radius': expected a number of at least 0, got -1.0`
            (NaN too).

        Examples
        --------
        >>> tree = KdTree([Vec3d(2, 0, 0), Vec3d(0, 1, 0), Vec3d(1, 0, 0)])
        >>> tree.within(Vec3d(0, 0, 0), 1.0)
        [1, 2]
        """

    def count_within(self, point: Vec3d, radius: float) -> int:
        """How many points `within(point, radius)` would list, without listing them.

        Examples
        --------
        >>> KdTree([Vec3d(2, 0, 0), Vec3d(0, 1, 0), Vec3d(1, 0, 0)]).count_within(Vec3d(0, 0, 0), 2.0)
        3
        """

    @overload
    def nearest_each(
        self, points: Points, *, max_distance: float | None = None, out: None = None
    ) -> tuple[ResultArray, ResultArray]:
        """The nearest point to each of many query points: `(indices, distances)`, shape `(m,)` each.

        Row i answers `points[i]` exactly as `nearest` would (with
        `max_distance`, as `nearest_k(p, 1, max_distance=...)`: index
        `len(self)` and distance `inf` where no point is close enough).
        Indices are the platform's signed index type (numpy's `intp`,
        format `n`), distances float64. The queries are answered on the
        worker pool (see Conventions: the worker pool), in an order of the tree's choosing, and the
        answers land in the caller's order. Replaces scipy's
        `d, i = tree.query(X, workers=-1)` (note the order), pykdtree's
        `tree.query(X)` and Open3D's `nns.knn_search(X, 1)`.

        Parameters
        ----------
        points
            The queries: a `VecList`, a buffer of real numbers of shape
            `(m, 3)` (read where it is, in any layout and of any real
            dtype, as `VecList` reads one), or a sequence of `Vec3d`.
        max_distance
            As in `nearest_k`.
        out
            A tuple `(indices, distances)` of writable C-contiguous buffers
            of shape `(m,)`, formats `n` (any native signed integer of that
            size, such as numpy's `intp`) and `d`; the answers are written
            there and `out` itself is returned. Checked as `VecList.dot`'s
            `out` is, before anything is written.

        Returns
        -------
        tuple[ResultArray, ResultArray]
            The indices and the distances; `numpy.asarray` reads each
            without a copy.

        Raises
        ------
        TypeError
            `argument 'points': expected an array of shape (n, 3), got (5,
            4)`; `argument 'out': expected a tuple of two buffers (indices,
            distances), got 'list' object`; or an `out` buffer of another
            format, read-only or without a buffer.
        ValueError
            An `out` buffer of another shape or not contiguous, or
            overlapping the queries or the other buffer; a negative or NaN
            `max_distance`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0)])
        >>> indices, distances = tree.nearest_each([Vec3d(0.25, 0, 0), Vec3d(5, 0, 0)])
        >>> indices.tolist(), distances.tolist()
        ([0, 1], [0.25, 4.0])
        """
    @overload
    def nearest_each(
        self, points: Points, *, max_distance: float | None = None, out: tuple[_Indices, _Distances]
    ) -> tuple[_Indices, _Distances]:
        """The nearest point to each of many query points: `(indices, distances)`, shape `(m,)` each.

        Row i answers `points[i]` exactly as `nearest` would (with
        `max_distance`, as `nearest_k(p, 1, max_distance=...)`: index
        `len(self)` and distance `inf` where no point is close enough).
        Indices are the platform's signed index type (numpy's `intp`,
        format `n`), distances float64. The queries are answered on the
        worker pool (see Conventions: the worker pool), in an order of the tree's choosing, and the
        answers land in the caller's order. Replaces scipy's
        `d, i = tree.query(X, workers=-1)` (note the order), pykdtree's
        `tree.query(X)` and Open3D's `nns.knn_search(X, 1)`.

        Parameters
        ----------
        points
            The queries: a `VecList`, a buffer of real numbers of shape
            `(m, 3)` (read where it is, in any layout and of any real
            dtype, as `VecList` reads one), or a sequence of `Vec3d`.
        max_distance
            As in `nearest_k`.
        out
            A tuple `(indices, distances)` of writable C-contiguous buffers
            of shape `(m,)`, formats `n` (any native signed integer of that
            size, such as numpy's `intp`) and `d`; the answers are written
            there and `out` itself is returned. Checked as `VecList.dot`'s
            `out` is, before anything is written.

        Returns
        -------
        tuple[ResultArray, ResultArray]
            The indices and the distances; `numpy.asarray` reads each
            without a copy.

        Raises
        ------
        TypeError
            `argument 'points': expected an array of shape (n, 3), got (5,
            4)`; `argument 'out': expected a tuple of two buffers (indices,
            distances), got 'list' object`; or an `out` buffer of another
            format, read-only or without a buffer.
        ValueError
            An `out` buffer of another shape or not contiguous, or
            overlapping the queries or the other buffer; a negative or NaN
            `max_distance`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0)])
        >>> indices, distances = tree.nearest_each([Vec3d(0.25, 0, 0), Vec3d(5, 0, 0)])
        >>> indices.tolist(), distances.tolist()
        ([0, 1], [0.25, 4.0])
        """

    @overload
    def nearest_k_each(
        self, points: Points, k: SupportsIndex, *, max_distance: float | None = None, out: None = None
    ) -> tuple[ResultArray, ResultArray]:
        """The `k` nearest points to each of many query points: `(indices, distances)`, shape `(m, k)` each.

        Row i is `nearest_k(points[i], k, max_distance=max_distance)`,
        missing neighbours as index `len(self)` and distance `inf`. The
        shape is `(m, k)` for every `k`, 1 included (scipy drops the second
        dimension when `k` is 1; `nearest_each` is the `(m,)` form).
        Replaces scipy's `d, i = tree.query(X, k, workers=-1)`, pykdtree's
        `tree.query(X, k)` and Open3D's `nns.knn_search(X, k)`.

        Parameters
        ----------
        points
            As in `nearest_each`.
        k
            How many neighbours, at least 1.
        max_distance
            As in `nearest_k`.
        out
            As in `nearest_each`, with buffers of shape `(m, k)`.

        Raises
        ------
        ValueError
            `argument 'k': expected an integer of at least 1, got 0`, and
            as `nearest_each`.
        TypeError
            As `nearest_each`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(3, 0, 0)])
        >>> indices, distances = tree.nearest_k_each([Vec3d(0, 0, 0)], 2)
        >>> indices.tolist(), distances.tolist()
        ([[0, 1]], [[0.0, 1.0]])
        """
    @overload
    def nearest_k_each(
        self, points: Points, k: SupportsIndex, *, max_distance: float | None = None, out: tuple[_Indices, _Distances]
    ) -> tuple[_Indices, _Distances]:
        """The `k` nearest points to each of many query points: `(indices, distances)`, shape `(m, k)` each.

        Row i is `nearest_k(points[i], k, max_distance=max_distance)`,
        missing neighbours as index `len(self)` and distance `inf`. The
        shape is `(m, k)` for every `k`, 1 included (scipy drops the second
        dimension when `k` is 1; `nearest_each` is the `(m,)` form).
        Replaces scipy's `d, i = tree.query(X, k, workers=-1)`, pykdtree's
        `tree.query(X, k)` and Open3D's `nns.knn_search(X, k)`.

        Parameters
        ----------
        points
            As in `nearest_each`.
        k
            How many neighbours, at least 1.
        max_distance
            As in `nearest_k`.
        out
            As in `nearest_each`, with buffers of shape `(m, k)`.

        Raises
        ------
        ValueError
            `argument 'k': expected an integer of at least 1, got 0`, and
            as `nearest_each`.
        TypeError
            As `nearest_each`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(3, 0, 0)])
        >>> indices, distances = tree.nearest_k_each([Vec3d(0, 0, 0)], 2)
        >>> indices.tolist(), distances.tolist()
        ([[0, 1]], [[0.0, 1.0]])
        """

    def within_each(self, points: Points, radius: float) -> tuple[ResultArray, ResultArray]:
        """The points within `radius` of each of many query points: `(offsets, indices)`.

        Flat arrays, both of format `n`: the neighbours of `points[i]` are
        `indices[offsets[i]:offsets[i + 1]]`, in the order of `within`
        (nearest first, then by index); `offsets` has `m + 1` items, the
        first 0 and the last `len(indices)`. The counts are taken first, so
        the result is allocated once at its size. Replaces scipy's
        `query_ball_point(X, r, workers=-1)` (a numpy array of Python lists)
        and Open3D's `nns.fixed_radius_search`.

        Raises
        ------
        ValueError
            `argument 'radius': expected a number of at least 0, got -1.0`
            (NaN too).

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(3, 0, 0)])
        >>> offsets, indices = tree.within_each([Vec3d(0.5, 0, 0), Vec3d(9, 0, 0)], 1.0)
        >>> offsets.tolist(), indices.tolist()
        ([0, 2, 2], [0, 1])
        """

    @overload
    def count_within_each(self, points: Points, radius: float, *, out: None = None) -> ResultArray:
        """How many points lie within `radius` of each of many query points, shape `(m,)`, format `n`.

        Allocates nothing per query, whatever the counts. Replaces scipy's
        `query_ball_point(X, r, return_length=True, workers=-1)`.

        Parameters
        ----------
        points
            As in `nearest_each`.
        radius
            At least 0; boundary included.
        out
            A writable C-contiguous buffer of shape `(m,)` and format `n`
            (numpy's `intp`); written and returned.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(3, 0, 0)])
        >>> tree.count_within_each([Vec3d(0, 0, 0), Vec3d(2, 0, 0)], 1.0).tolist()
        [2, 2]
        """
    @overload
    def count_within_each(self, points: Points, radius: float, *, out: _Out) -> _Out:
        """How many points lie within `radius` of each of many query points, shape `(m,)`, format `n`.

        Allocates nothing per query, whatever the counts. Replaces scipy's
        `query_ball_point(X, r, return_length=True, workers=-1)`.

        Parameters
        ----------
        points
            As in `nearest_each`.
        radius
            At least 0; boundary included.
        out
            A writable C-contiguous buffer of shape `(m,)` and format `n`
            (numpy's `intp`); written and returned.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(3, 0, 0)])
        >>> tree.count_within_each([Vec3d(0, 0, 0), Vec3d(2, 0, 0)], 1.0).tolist()
        [2, 2]
        """

    @overload
    def nearest_k_each_point(
        self, k: SupportsIndex, *, max_distance: float | None = None, include_self: bool = True, out: None = None
    ) -> tuple[ResultArray, ResultArray]:
        """The `k` nearest points to each point of the tree: `(indices, distances)`, shape `(len(self), k)` each.

        Row i answers point i of the tree. With `include_self` (the
        default) it is exactly `nearest_k_each(self.points, k,
        max_distance=...)`'s row i, the point itself among its neighbours
        at distance 0 (after any duplicate of a lower index), as scipy's
        `tree.query(tree.data, k)` gives it. Without it, the point's own
        index is left out and row i holds the `k` nearest *other* points,
        duplicates included, as scikit-learn's `kneighbors()` without
        queries gives them.

        The points are answered leaf by leaf in the tree's own order, the
        points of a leaf together and from the bound their own leaf gives,
        so this is faster than passing the points again, above all for
        clouds in scan order (lidar and depth files). The answers are those
        of the queries one at a time, at any number of threads.

        Parameters
        ----------
        k
            How many neighbours, at least 1.
        max_distance
            As in `nearest_k`: with it, the hybrid search of Open3D's
            `KDTreeSearchParamHybrid(radius, max_nn)`, at most `k` points
            within the distance.
        include_self
            Whether each point is among its own neighbours.
        out
            As in `nearest_k_each`, with buffers of shape `(len(self), k)`.

        Raises
        ------
        ValueError
            `argument 'k': expected an integer of at least 1, got 0`; a
            negative or NaN `max_distance`; an `out` buffer of another
            shape, not contiguous, or overlapping the other buffer.
        TypeError
            An `include_self` that is not a bool (`argument 'include_self':
            ...`), and as `nearest_k_each`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(3, 0, 0)])
        >>> indices, distances = tree.nearest_k_each_point(1, include_self=False)
        >>> indices.tolist(), distances.tolist()
        ([[1], [0], [1]], [[1.0], [1.0], [2.0]])
        """
    @overload
    def nearest_k_each_point(
        self,
        k: SupportsIndex,
        *,
        max_distance: float | None = None,
        include_self: bool = True,
        out: tuple[_Indices, _Distances],
    ) -> tuple[_Indices, _Distances]:
        """The `k` nearest points to each point of the tree: `(indices, distances)`, shape `(len(self), k)` each.

        Row i answers point i of the tree. With `include_self` (the
        default) it is exactly `nearest_k_each(self.points, k,
        max_distance=...)`'s row i, the point itself among its neighbours
        at distance 0 (after any duplicate of a lower index), as scipy's
        `tree.query(tree.data, k)` gives it. Without it, the point's own
        index is left out and row i holds the `k` nearest *other* points,
        duplicates included, as scikit-learn's `kneighbors()` without
        queries gives them.

        The points are answered leaf by leaf in the tree's own order, the
        points of a leaf together and from the bound their own leaf gives,
        so this is faster than passing the points again, above all for
        clouds in scan order (lidar and depth files). The answers are those
        of the queries one at a time, at any number of threads.

        Parameters
        ----------
        k
            How many neighbours, at least 1.
        max_distance
            As in `nearest_k`: with it, the hybrid search of Open3D's
            `KDTreeSearchParamHybrid(radius, max_nn)`, at most `k` points
            within the distance.
        include_self
            Whether each point is among its own neighbours.
        out
            As in `nearest_k_each`, with buffers of shape `(len(self), k)`.

        Raises
        ------
        ValueError
            `argument 'k': expected an integer of at least 1, got 0`; a
            negative or NaN `max_distance`; an `out` buffer of another
            shape, not contiguous, or overlapping the other buffer.
        TypeError
            An `include_self` that is not a bool (`argument 'include_self':
            ...`), and as `nearest_k_each`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(3, 0, 0)])
        >>> indices, distances = tree.nearest_k_each_point(1, include_self=False)
        >>> indices.tolist(), distances.tolist()
        ([[1], [0], [1]], [[1.0], [1.0], [2.0]])
        """

    def within_each_point(self, radius: float, *, include_self: bool = True) -> tuple[ResultArray, ResultArray]:
        """The points within `radius` of each point of the tree: `(offsets, indices)`, as `within_each`.

        With `include_self` (the default) exactly `within_each(self.points,
        radius)`; without it, each point's own index is left out. Answered
        leaf by leaf, as `nearest_k_each_point`.

        Raises
        ------
        ValueError
            `argument 'radius': expected a number of at least 0, got -1.0`
            (NaN too).

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(3, 0, 0)])
        >>> offsets, indices = tree.within_each_point(1.0, include_self=False)
        >>> offsets.tolist(), indices.tolist()
        ([0, 1, 2, 2], [1, 0])
        """

    @overload
    def count_within_each_point(
        self, radius: float, *, include_self: bool = True, out: None = None
    ) -> ResultArray:
        """How many points lie within `radius` of each point of the tree, shape `(len(self),)`, format `n`.

        With `include_self` (the default) exactly
        `count_within_each(self.points, radius)`, every finite point
        counting itself; without it, one less for each finite point (a
        point with a NaN or infinite coordinate is at a NaN distance from
        itself, never within).

        Parameters
        ----------
        radius
            At least 0; boundary included.
        include_self
            Whether each point counts itself.
        out
            As in `count_within_each`, of shape `(len(self),)`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(3, 0, 0)])
        >>> tree.count_within_each_point(1.0).tolist()
        [2, 2, 1]
        >>> tree.count_within_each_point(1.0, include_self=False).tolist()
        [1, 1, 0]
        """
    @overload
    def count_within_each_point(self, radius: float, *, include_self: bool = True, out: _Out) -> _Out:
        """How many points lie within `radius` of each point of the tree, shape `(len(self),)`, format `n`.

        With `include_self` (the default) exactly
        `count_within_each(self.points, radius)`, every finite point
        counting itself; without it, one less for each finite point (a
        point with a NaN or infinite coordinate is at a NaN distance from
        itself, never within).

        Parameters
        ----------
        radius
            At least 0; boundary included.
        include_self
            Whether each point counts itself.
        out
            As in `count_within_each`, of shape `(len(self),)`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(3, 0, 0)])
        >>> tree.count_within_each_point(1.0).tolist()
        [2, 2, 1]
        >>> tree.count_within_each_point(1.0, include_self=False).tolist()
        [1, 1, 0]
        """

    @overload
    def normals(
        self, k: SupportsIndex | None = None, *, radius: float | None = None, out: None = None
    ) -> ResultArray:
        """The normal of the surface at each point of the tree, shape `(len(self), 3)`, float64.

        Row i is the unit axis of least variance of point i's
        neighbourhood: its `k` nearest points (itself included), the points
        within `radius` of it, or with both the `k` nearest within
        `radius` (Open3D's hybrid search), ranked as `nearest_k_each_point`
        ranks them. The neighbourhood's covariance is taken about its own
        mean, from the neighbours' offsets from the nearest of them, which
        are exact wherever the neighbourhood does not straddle a
        coordinate's zero (always at map coordinates): so a cloud moved by
        an offset that is exact in doubles has the same normals, bit for
        bit, as the cloud where it was, and a cloud at (512 000,
        5 430 000, 231) the normals it has at the origin to within the
        rounding of its own coordinates, where the one-pass sums
        `sum(p p^T) - n mean mean^T` of Open3D's legacy `estimate_normals`
        and of small_gicp lose every digit. The sums are taken in the
        neighbours' order, each entry of the covariance within about
        `k * 2**-53` of its trace. The eigenvectors come from the module's
        Jacobi method, the same bits on every platform and at any number of
        threads; a normal's sign follows `VecList.principal_axes`' rule
        (its component of largest magnitude positive, the first of equals):
        orient them with `orient_normals_towards`, `orient_normals_along`
        or `orient_normals_consistently`.

        A row is NaN where no plane is defined: fewer than three points in
        the neighbourhood, all of them on one line or one point (the middle
        variance at most `2**-40` of the largest), or a NaN or infinite
        coordinate among them (a point with one has NaN for its normal).

        Parameters
        ----------
        k
            How many neighbours, at least 1; None with a `radius` for every
            point within it.
        radius
            At least 0; boundary included.
        out
            A writable C-contiguous buffer of shape `(len(self), 3)` and
            format `d`; written and returned.

        Raises
        ------
        ValueError
            `argument 'k': expected an integer of at least 1, or a radius,
            got neither`; `argument 'k': expected an integer of at least 1,
            got 0`; a negative or NaN `radius`; an `out` of another shape.
        TypeError
            An `out` of another format or read-only.

        Examples
        --------
        >>> floor = KdTree([Vec3d(x, y, 0) for x in range(3) for y in range(3)])
        >>> floor.normals(4).tolist()[4]
        [0.0, 0.0, 1.0]
        """
    @overload
    def normals(self, k: SupportsIndex | None = None, *, radius: float | None = None, out: _Out) -> _Out:
        """The normal of the surface at each point of the tree, shape `(len(self), 3)`, float64.

        Row i is the unit axis of least variance of point i's
        neighbourhood: its `k` nearest points (itself included), the points
        within `radius` of it, or with both the `k` nearest within
        `radius` (Open3D's hybrid search), ranked as `nearest_k_each_point`
        ranks them. The neighbourhood's covariance is taken about its own
        mean, from the neighbours' offsets from the nearest of them, which
        are exact wherever the neighbourhood does not straddle a
        coordinate's zero (always at map coordinates): so a cloud moved by
        an offset that is exact in doubles has the same normals, bit for
        bit, as the cloud where it was, and a cloud at (512 000,
        5 430 000, 231) the normals it has at the origin to within the
        rounding of its own coordinates, where the one-pass sums
        `sum(p p^T) - n mean mean^T` of Open3D's legacy `estimate_normals`
        and of small_gicp lose every digit. The sums are taken in the
        neighbours' order, each entry of the covariance within about
        `k * 2**-53` of its trace. The eigenvectors come from the module's
        Jacobi method, the same bits on every platform and at any number of
        threads; a normal's sign follows `VecList.principal_axes`' rule
        (its component of largest magnitude positive, the first of equals):
        orient them with `orient_normals_towards`, `orient_normals_along`
        or `orient_normals_consistently`.

        A row is NaN where no plane is defined: fewer than three points in
        the neighbourhood, all of them on one line or one point (the middle
        variance at most `2**-40` of the largest), or a NaN or infinite
        coordinate among them (a point with one has NaN for its normal).

        Parameters
        ----------
        k
            How many neighbours, at least 1; None with a `radius` for every
            point within it.
        radius
            At least 0; boundary included.
        out
            A writable C-contiguous buffer of shape `(len(self), 3)` and
            format `d`; written and returned.

        Raises
        ------
        ValueError
            `argument 'k': expected an integer of at least 1, or a radius,
            got neither`; `argument 'k': expected an integer of at least 1,
            got 0`; a negative or NaN `radius`; an `out` of another shape.
        TypeError
            An `out` of another format or read-only.

        Examples
        --------
        >>> floor = KdTree([Vec3d(x, y, 0) for x in range(3) for y in range(3)])
        >>> floor.normals(4).tolist()[4]
        [0.0, 0.0, 1.0]
        """

    @overload
    def surface_variation(
        self, k: SupportsIndex | None = None, *, radius: float | None = None, out: None = None
    ) -> ResultArray:
        """Each point's surface variation, shape `(len(self),)`, float64.

        The least eigenvalue of the neighbourhood's covariance over the sum
        of the three (0 on a plane, 1/3 for points spread evenly in space),
        for the neighbourhoods of `normals`; NaN for fewer than three
        neighbours, identical points or a non-finite coordinate.

        Examples
        --------
        >>> floor = KdTree([Vec3d(x, y, 0) for x in range(3) for y in range(3)])
        >>> floor.surface_variation(4).tolist()[4]
        0.0
        """
    @overload
    def surface_variation(self, k: SupportsIndex | None = None, *, radius: float | None = None, out: _Out) -> _Out:
        """Each point's surface variation, shape `(len(self),)`, float64.

        The least eigenvalue of the neighbourhood's covariance over the sum
        of the three (0 on a plane, 1/3 for points spread evenly in space),
        for the neighbourhoods of `normals`; NaN for fewer than three
        neighbours, identical points or a non-finite coordinate.

        Examples
        --------
        >>> floor = KdTree([Vec3d(x, y, 0) for x in range(3) for y in range(3)])
        >>> floor.surface_variation(4).tolist()[4]
        0.0
        """

    @overload
    def covariances(
        self, k: SupportsIndex | None = None, *, radius: float | None = None, out: None = None
    ) -> ResultArray:
        """Each point's neighbourhood covariance, shape `(len(self), 6)`, float64.

        The covariance of `normals`' neighbourhood about its mean, divided
        by the number of neighbours, as its six distinct entries `xx, xy,
        xz, yy, yz, zz`; `c[:, [0, 1, 2, 1, 3, 4, 2, 4, 5]].reshape(-1, 3,
        3)` gives the matrices. NaN where a neighbour has a NaN or infinite
        coordinate.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(2, 0, 0)])
        >>> tree.covariances(2).tolist()[0]
        [1.0, 0.0, 0.0, 0.0, 0.0, 0.0]
        """
    @overload
    def covariances(self, k: SupportsIndex | None = None, *, radius: float | None = None, out: _Out) -> _Out:
        """Each point's neighbourhood covariance, shape `(len(self), 6)`, float64.

        The covariance of `normals`' neighbourhood about its mean, divided
        by the number of neighbours, as its six distinct entries `xx, xy,
        xz, yy, yz, zz`; `c[:, [0, 1, 2, 1, 3, 4, 2, 4, 5]].reshape(-1, 3,
        3)` gives the matrices. NaN where a neighbour has a NaN or infinite
        coordinate.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(2, 0, 0)])
        >>> tree.covariances(2).tolist()[0]
        [1.0, 0.0, 0.0, 0.0, 0.0, 0.0]
        """

    @overload
    def orient_normals_towards(self, normals: Points, viewpoint: Vec3d | Points, *, out: None = None) -> ResultArray:
        """The normals flipped to face a viewpoint: shape `(len(self), 3)`, float64.

        Normal i (of point i of the tree) is negated where
        `n . (viewpoint - p) < 0`, kept otherwise (0 included); a NaN
        normal stays NaN. `viewpoint` is one `Vec3d` (a sensor's position)
        or one per point (an `(n, 3)` buffer, a scanner's positions along
        its track). Replaces Open3D's `orient_normals_towards_camera_location`.

        Parameters
        ----------
        normals
            One per point, as `normals()` gives them: an `(n, 3)` buffer,
            a `VecList` or a sequence of `Vec3d`.
        viewpoint
            A `Vec3d`, or one per point.
        out
            A writable C-contiguous `(n, 3)` float64 buffer, which may be
            `normals` itself (oriented in place) but may not overlap it
            otherwise.

        Raises
        ------
        ValueError
            `argument 'normals': expected one normal per point, 3 for this
            tree, got 2`, and the same for `viewpoint`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0)])
        >>> tree.orient_normals_towards([Vec3d(0, 0, 1), Vec3d(0, 0, 1)], Vec3d(0, 0, -5)).tolist()
        [[-0.0, -0.0, -1.0], [-0.0, -0.0, -1.0]]
        """
    @overload
    def orient_normals_towards(self, normals: Points, viewpoint: Vec3d | Points, *, out: _Out) -> _Out:
        """The normals flipped to face a viewpoint: shape `(len(self), 3)`, float64.

        Normal i (of point i of the tree) is negated where
        `n . (viewpoint - p) < 0`, kept otherwise (0 included); a NaN
        normal stays NaN. `viewpoint` is one `Vec3d` (a sensor's position)
        or one per point (an `(n, 3)` buffer, a scanner's positions along
        its track). Replaces Open3D's `orient_normals_towards_camera_location`.

        Parameters
        ----------
        normals
            One per point, as `normals()` gives them: an `(n, 3)` buffer,
            a `VecList` or a sequence of `Vec3d`.
        viewpoint
            A `Vec3d`, or one per point.
        out
            A writable C-contiguous `(n, 3)` float64 buffer, which may be
            `normals` itself (oriented in place) but may not overlap it
            otherwise.

        Raises
        ------
        ValueError
            `argument 'normals': expected one normal per point, 3 for this
            tree, got 2`, and the same for `viewpoint`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0)])
        >>> tree.orient_normals_towards([Vec3d(0, 0, 1), Vec3d(0, 0, 1)], Vec3d(0, 0, -5)).tolist()
        [[-0.0, -0.0, -1.0], [-0.0, -0.0, -1.0]]
        """

    @overload
    def orient_normals_along(self, normals: Points, direction: Vec3d, *, out: None = None) -> ResultArray:
        """The normals flipped to point along a direction: shape `(len(self), 3)`, float64.

        Normal i is negated where `n . direction < 0`, kept otherwise.
        Replaces Open3D's `orient_normals_to_align_with_direction` (whose
        direction is `+z` by default: pass `Vec3d(0, 0, 1)`). `out` as in
        `orient_normals_towards`.
        """
    @overload
    def orient_normals_along(self, normals: Points, direction: Vec3d, *, out: _Out) -> _Out:
        """The normals flipped to point along a direction: shape `(len(self), 3)`, float64.

        Normal i is negated where `n . direction < 0`, kept otherwise.
        Replaces Open3D's `orient_normals_to_align_with_direction` (whose
        direction is `+z` by default: pass `Vec3d(0, 0, 1)`). `out` as in
        `orient_normals_towards`.
        """

    @overload
    def orient_normals_consistently(self, normals: Points, k: SupportsIndex, *, out: None = None) -> ResultArray:
        """The normals flipped to agree over the surface: shape `(len(self), 3)`, float64.

        Hoppe's propagation, as Open3D's
        `orient_normals_consistent_tangent_plane(k)`: the graph joins each
        point to its `k` nearest others; a spanning tree of least bending
        (edge weight `1 - |n . m|`) is grown over each connected part from
        its point of lowest index, which keeps the sign it has, and each
        point reached is flipped where it disagrees with the point it is
        reached from (`n . m < 0`). Ties among equal weights go to the lower
        indices, so the result is a function of the points and normals
        alone, at any number of threads, and it ends after one pass over
        the graph. To choose each part's side, orient the normals first
        (`orient_normals_towards` or `orient_normals_along`): the lowest
        index of each part decides. NaN normals stay NaN and join no part.
        `out` as in `orient_normals_towards`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(x, 0, 0) for x in range(4)])
        >>> tree.orient_normals_consistently([Vec3d(0, 0, 1), Vec3d(0, 0, -1), Vec3d(0, 0, 1), Vec3d(0, 0, -1)], 2).tolist()
        [[0.0, 0.0, 1.0], [-0.0, -0.0, 1.0], [0.0, 0.0, 1.0], [-0.0, -0.0, 1.0]]
        """
    @overload
    def orient_normals_consistently(self, normals: Points, k: SupportsIndex, *, out: _Out) -> _Out:
        """The normals flipped to agree over the surface: shape `(len(self), 3)`, float64.

        Hoppe's propagation, as Open3D's
        `orient_normals_consistent_tangent_plane(k)`: the graph joins each
        point to its `k` nearest others; a spanning tree of least bending
        (edge weight `1 - |n . m|`) is grown over each connected part from
        its point of lowest index, which keeps the sign it has, and each
        point reached is flipped where it disagrees with the point it is
        reached from (`n . m < 0`). Ties among equal weights go to the lower
        indices, so the result is a function of the points and normals
        alone, at any number of threads, and it ends after one pass over
        the graph. To choose each part's side, orient the normals first
        (`orient_normals_towards` or `orient_normals_along`): the lowest
        index of each part decides. NaN normals stay NaN and join no part.
        `out` as in `orient_normals_towards`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(x, 0, 0) for x in range(4)])
        >>> tree.orient_normals_consistently([Vec3d(0, 0, 1), Vec3d(0, 0, -1), Vec3d(0, 0, 1), Vec3d(0, 0, -1)], 2).tolist()
        [[0.0, 0.0, 1.0], [-0.0, -0.0, 1.0], [0.0, 0.0, 1.0], [-0.0, -0.0, 1.0]]
        """

    @overload
    def fpfh(
        self, normals: Points, radius: float, *, max_neighbours: SupportsIndex | None = None, out: None = None
    ) -> ResultArray:
        """The FPFH feature of each point of the tree: shape `(len(self), 33)`, float64.

        Fast point feature histograms (Rusu et al.), as Open3D's
        `compute_fpfh_feature` with a hybrid search of `radius` and
        `max_neighbours`: three histograms of 11 bins each, of the angles
        (theta, alpha, phi) between point i's normal and each neighbour's
        in the frame of the pair. A point's neighbours are the
        `max_neighbours` nearest within `radius`, the point itself counted
        among them and then left out, ranked as `nearest_k_each_point` ranks
        them. Each point's own histograms (SPFH) sum to 100 each; its
        feature is its SPFH plus the SPFHs of its neighbours weighted by
        one over their squared distance (as Open3D weighs them), each
        histogram of that weighted sum scaled to sum to 100. Match
        features with `Transform.ransac`.

        Every operation is rounded on its own in a fixed order (the
        neighbours nearest first, then by index), so the features are the
        same bits at any number of threads. They equal Open3D's (every row
        the same bits on 10^5 points in the benchmark) where the normals
        are finite and no two neighbours lie at the same distance; a pair
        whose two normals make the same angle with the line between them
        to the last bit may take the other point as its frame's origin.

        A row is all zeros where no feature is defined: a point with no
        neighbour within `radius`, with a NaN or infinite coordinate or
        normal component (as Open3D leaves a point with no neighbour). A
        neighbour whose normal is not finite is left out of the others'
        histograms; a neighbour at distance 0 counts in the SPFH (its pair
        features are 0) but not in the weighted sum. A normal's sign
        changes the features: orient both clouds' normals alike (as
        `KdTree.normals` does, or with `orient_normals_towards`).

        Parameters
        ----------
        normals
            One normal per point of the tree (`KdTree.normals`), in any form
            the `VecList` constructor takes.
        radius
            The neighbourhood's radius, greater than 0 and finite; usually
            about five times the voxel size of a downsampled cloud.
        max_neighbours
            At least 1, the point itself among them; `None` for 100.
        out
            A writable C-contiguous float64 buffer of shape `(len(self),
            33)` to write into, not overlapping the normals.

        Raises
        ------
        ValueError
            `argument 'radius': expected a number greater than 0 and finite, got 0.0`;
            `argument 'normals': expected one normal per point, 4 for this tree, got 3`;
            `argument 'max_neighbours': expected an integer of at least 1, got 0`.
        TypeError
            `argument 'normals': expected an array of shape (n, 3), got (4, 2)`.
        """
    @overload
    def fpfh(
        self, normals: Points, radius: float, *, max_neighbours: SupportsIndex | None = None, out: _Out
    ) -> _Out:
        """The FPFH feature of each point of the tree: shape `(len(self), 33)`, float64.

        Fast point feature histograms (Rusu et al.), as Open3D's
        `compute_fpfh_feature` with a hybrid search of `radius` and
        `max_neighbours`: three histograms of 11 bins each, of the angles
        (theta, alpha, phi) between point i's normal and each neighbour's
        in the frame of the pair. A point's neighbours are the
        `max_neighbours` nearest within `radius`, the point itself counted
        among them and then left out, ranked as `nearest_k_each_point` ranks
        them. Each point's own histograms (SPFH) sum to 100 each; its
        feature is its SPFH plus the SPFHs of its neighbours weighted by
        one over their squared distance (as Open3D weighs them), each
        histogram of that weighted sum scaled to sum to 100. Match
        features with `Transform.ransac`.

        Every operation is rounded on its own in a fixed order (the
        neighbours nearest first, then by index), so the features are the
        same bits at any number of threads. They equal Open3D's (every row
        the same bits on 10^5 points in the benchmark) where the normals
        are finite and no two neighbours lie at the same distance; a pair
        whose two normals make the same angle with the line between them
        to the last bit may take the other point as its frame's origin.

        A row is all zeros where no feature is defined: a point with no
        neighbour within `radius`, with a NaN or infinite coordinate or
        normal component (as Open3D leaves a point with no neighbour). A
        neighbour whose normal is not finite is left out of the others'
        histograms; a neighbour at distance 0 counts in the SPFH (its pair
        features are 0) but not in the weighted sum. A normal's sign
        changes the features: orient both clouds' normals alike (as
        `KdTree.normals` does, or with `orient_normals_towards`).

        Parameters
        ----------
        normals
            One normal per point of the tree (`KdTree.normals`), in any form
            the `VecList` constructor takes.
        radius
            The neighbourhood's radius, greater than 0 and finite; usually
            about five times the voxel size of a downsampled cloud.
        max_neighbours
            At least 1, the point itself among them; `None` for 100.
        out
            A writable C-contiguous float64 buffer of shape `(len(self),
            33)` to write into, not overlapping the normals.

        Raises
        ------
        ValueError
            `argument 'radius': expected a number greater than 0 and finite, got 0.0`;
            `argument 'normals': expected one normal per point, 4 for this tree, got 3`;
            `argument 'max_neighbours': expected an integer of at least 1, got 0`.
        TypeError
            `argument 'normals': expected an array of shape (n, 3), got (4, 2)`.
        """

    @overload
    def statistical_inliers(self, k: SupportsIndex, std_ratio: float, *, out: None = None) -> ResultArray:
        """Which points statistical outlier removal keeps: a mask of shape `(len(self),)`, format `?`.

        Each point's mean distance to its `k` nearest points, itself among
        them (as Open3D's `remove_statistical_outlier(nb_neighbors=k,
        std_ratio=...)` counts them), is kept when it is at most `mean +
        std_ratio * deviation`, where the mean and the sample standard
        deviation (divisor n - 1) of those mean distances are each the exact
        value rounded once; a point with a NaN or infinite coordinate is
        never kept and takes no part. Open3D keeps the same points where
        no distances tie. Filter with the mask: `points[mask]`,
        `colours[mask]`, `np.flatnonzero(mask)` for the indices.

        Raises
        ------
        ValueError
            `argument 'k': expected an integer of at least 1, got 0`;
            `argument 'std_ratio': expected a number that is finite, got nan`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(x, 0, 0) for x in range(5)] + [Vec3d(50, 0, 0)])
        >>> tree.statistical_inliers(2, 1.0).tolist()
        [True, True, True, True, True, False]
        """
    @overload
    def statistical_inliers(self, k: SupportsIndex, std_ratio: float, *, out: _Out) -> _Out:
        """Which points statistical outlier removal keeps: a mask of shape `(len(self),)`, format `?`.

        Each point's mean distance to its `k` nearest points, itself among
        them (as Open3D's `remove_statistical_outlier(nb_neighbors=k,
        std_ratio=...)` counts them), is kept when it is at most `mean +
        std_ratio * deviation`, where the mean and the sample standard
        deviation (divisor n - 1) of those mean distances are each the exact
        value rounded once; a point with a NaN or infinite coordinate is
        never kept and takes no part. Open3D keeps the same points where
        no distances tie. Filter with the mask: `points[mask]`,
        `colours[mask]`, `np.flatnonzero(mask)` for the indices.

        Raises
        ------
        ValueError
            `argument 'k': expected an integer of at least 1, got 0`;
            `argument 'std_ratio': expected a number that is finite, got nan`.

        Examples
        --------
        >>> tree = KdTree([Vec3d(x, 0, 0) for x in range(5)] + [Vec3d(50, 0, 0)])
        >>> tree.statistical_inliers(2, 1.0).tolist()
        [True, True, True, True, True, False]
        """

    @overload
    def radius_inliers(
        self, radius: float, min_neighbours: SupportsIndex, *, out: None = None
    ) -> ResultArray:
        """Which points radius outlier removal keeps: a mask of shape `(len(self),)`, format `?`.

        A point is kept when at least `min_neighbours` *other* points lie
        within `radius` of it (boundary included): the points Open3D's
        `remove_radius_outlier(nb_points=min_neighbours, radius=...)` keeps.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(9, 0, 0)])
        >>> tree.radius_inliers(1.0, 1).tolist()
        [True, True, False]
        """
    @overload
    def radius_inliers(self, radius: float, min_neighbours: SupportsIndex, *, out: _Out) -> _Out:
        """Which points radius outlier removal keeps: a mask of shape `(len(self),)`, format `?`.

        A point is kept when at least `min_neighbours` *other* points lie
        within `radius` of it (boundary included): the points Open3D's
        `remove_radius_outlier(nb_points=min_neighbours, radius=...)` keeps.

        Examples
        --------
        >>> tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(9, 0, 0)])
        >>> tree.radius_inliers(1.0, 1).tolist()
        [True, True, False]
        """

    def directed_hausdorff(self, points: Points) -> tuple[float, int, int]:
        """The directed Hausdorff distance from `points` to the tree's points: `(distance, i, j)`.

        The greatest, over the points with finite coordinates, of the
        distance to their nearest point of the tree; `i` is that point's
        index in `points` (the lowest of equals) and `j` its nearest's in the
        tree. As scipy's `directed_hausdorff(points, tree_points)`. The
        symmetric distance is the greater of both directions:
        `max(a.directed_hausdorff(b_points)[0], b.directed_hausdorff(a_points)[0])`.
        With no point to measure: `(nan, len(points), len(self))`.

        Examples
        --------
        >>> KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0)]).directed_hausdorff([Vec3d(0, 0, 0), Vec3d(4, 0, 0)])
        (3.0, 1, 1)
        """

    def mean_distance(self, points: Points, *, squared: bool = False) -> float:
        """The mean distance from `points` to their nearest point of the tree.

        Over the points with finite coordinates, the exact mean of their
        distances to their nearest point of the tree (with `squared`, of the
        squared distances as `Vec3d.distance_squared` computes them),
        rounded once; NaN with no point to measure. The Chamfer distance is
        defined in several ways: the sum of the two directed means of
        squared distances (the common choice in learning libraries) is
        `a.mean_distance(b_points, squared=True) + b.mean_distance(a_points,
        squared=True)`; others average the two, or use plain distances
        (`squared=False`).

        Examples
        --------
        >>> KdTree([Vec3d(0, 0, 0)]).mean_distance([Vec3d(1, 0, 0), Vec3d(0, 2, 0)], squared=True)
        2.5
        """

    def __len__(self) -> int:
        """The number of points, those with a NaN or infinite coordinate included."""

    def __repr__(self) -> str:
        """`KdTree(n points)` (`KdTree(1 point)` for one), with `, m not finite` when m points have a NaN or infinite coordinate."""

@final
class ResultArray:
    """The results of a `KdTree` query on many points: an array that numpy reads without a copy.

    One or two dimensions of numbers, format `n` (the platform's signed
    index type, numpy's `intp`) or `d` (float64), C-contiguous. It exports
    them through the buffer protocol, writable: `numpy.asarray(a)` is a
    view of them, and `memoryview(a)` works without numpy. It can be
    passed back as an `out` buffer. The class is `tessary_py.ResultArray`
    (for `isinstance` and annotations at run time), but cannot be
    instantiated: only the queries make one.

    Examples
    --------
    >>> indices, distances = KdTree([Vec3d(0, 0, 0)]).nearest_k_each([Vec3d(1, 0, 0)], 2)
    >>> indices
    ResultArray(shape=(1, 2), format='l')
    >>> memoryview(distances).tolist()
    [[1.0, inf]]
    """

    def tolist(self) -> builtins.list[Any]:
        """The numbers as nested lists of `int` or `float`, one level per dimension."""

    def __len__(self) -> int:
        """The size of the first dimension."""

    def __repr__(self) -> str:
        """`ResultArray(shape=(m, k), format='l')`: the shape and the item format, not the numbers."""

    def __buffer__(self, flags: int, /) -> memoryview:
        """A writable buffer of the numbers, zero-copy. (Python exposes the method by this name from 3.12 on.)"""

    def __release_buffer__(self, buffer: memoryview, /) -> None:
        """Releases a buffer that `__buffer__` gave. (Python exposes the method by this name from 3.12 on.)"""

@final
class RegistrationResult:
    """What `Transform.icp` or `Transform.ransac` found: the transform and how well it matches.

    Open3D's `RegistrationResult`, with the transform as a `Transform`
    (Open3D's 4x4 `transformation` is `result.transform.to_matrix()`),
    the number of correspondences instead of their list, and why the
    loop stopped (`status`). The same class for every method of ICP and
    for RANSAC over feature matches (whose `iterations` are its trials and
    whose `fitness` is the share of the matches that are inliers). Read-only;
    the class cannot be instantiated.

    Examples
    --------
    >>> cloud = [Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0), Vec3d(0, 0, 1)]
    >>> Transform.icp(cloud, cloud, 0.1)
    RegistrationResult(transform=Transform(Quat(1, 0, 0, 0), Vec3d(0, 0, 0)), fitness=1, inlier_rmse=0, \
correspondences=4, iterations=1, converged=True, status='converged')
    """

    @property
    def transform(self) -> Transform:
        """The transform that moves the source onto the target: the last one the loop reached."""

    @property
    def fitness(self) -> float:
        """The share of source points with a correspondence under `transform`: `correspondences / len(source)`, 0 for none."""

    @property
    def inlier_rmse(self) -> float:
        """The root of the mean squared distance of the correspondences under `transform` (0 for none).

        The mean is the exact sum of the squared distances, rounded once,
        divided by their number.
        """

    @property
    def correspondences(self) -> int:
        """The number of source points with a target point within `max_distance` under `transform`."""

    @property
    def iterations(self) -> int:
        """The number of iterations run, at most `max_iterations`."""

    @property
    def converged(self) -> bool:
        """Whether the search succeeded: `status == "converged"`.

        For `Transform.icp`, the fitness and the inlier RMSE changed by
        less than their tolerances; for `Transform.ransac`, the confidence
        was reached with a pose found.
        """

    @property
    def status(
        self,
    ) -> Literal["converged", "max_iterations", "no_correspondences", "non_finite", "degenerate", "no_pose"]:
        """Why the loop stopped.

        - `"converged"`: the fitness and the inlier RMSE changed by less
          than their tolerances.
        - `"max_iterations"`: `max_iterations` ran out first.
        - `"no_correspondences"`: no source point had a target point within
          `max_distance` (at the start: `iterations` is 0, the transform
          the initial one; or at the end).
        - `"non_finite"`: an update would have made the transform NaN or
          infinite (sums that overflow, at coordinates near 1e154 and
          beyond); it was not taken, and the transform is the last finite
          one.
        - `"degenerate"`: the last estimate left a motion unconstrained (a
          plane, a line, a corridor, two points: the normal equations'
          free directions, or point to point's family of best rotations),
          so the transform is one of many that fit equally well: the one
          that does not move along the free directions.
        - `"no_pose"`: `Transform.ransac` found no sample that passed its
          checks; the transform's components are NaN.

        Only `"converged"` is a success; `converged` is True for it alone.
        """

    def __repr__(self) -> str:
        """`RegistrationResult(transform=..., fitness=..., inlier_rmse=..., correspondences=..., iterations=..., converged=..., status=...)`."""

@final
class VoxelGrid:
    """The points of a cloud grouped by the voxel of a grid they fall in: each voxel's centroid, count and nearest point, each point's voxel.

    The grid is made of cubes of side `voxel_size` with a corner at
    `origin` (by default `(0, 0, 0)`, so that the answer does not depend on
    the cloud's extent). A point's voxel is
    `(floor((x - ox) / s), floor((y - oy) / s), floor((z - oz) / s))` of the
    exact values, with no rounding anywhere: a point exactly on a face
    belongs to the voxel above it, and at map coordinates (x ≈ 5e5,
    y ≈ 5e6) centimetre voxels are as exact as anywhere. Voxel indices are
    64-bit integers, so no real cloud reaches their limit; one that would
    is refused with a `ValueError` that says so.

    Points with a NaN or infinite coordinate belong to no voxel: they are
    left out of the counts and centroids, and their entry in `inverse()` is
    `len(grid)`, one past the last voxel (as `KdTree` marks missing
    neighbours).

    The voxels come in the order of their first points, the lowest index
    among each voxel's points: voxel 0 is point 0's when point 0 is
    finite. The centroid of a voxel is each component's exact sum rounded
    once, divided by its count (`math.fsum(column) / count`), as
    `VecList.centroid` computes it, so a
    cloud in one voxel has `grid.centroids[0] == cloud.centroid()` bit for
    bit. The grouping runs on the worker pool (see Conventions: the worker pool) (a radix sort of the
    voxels' keys, then each voxel's points summed exactly), and every
    result is a function of the points alone: the same voxels in the same
    order, the same bits, at any number of threads. Besides the results
    (five words per voxel and one per point) it takes about 17 bytes per
    point while it works. See [Downsampling](../guide/downsampling.md) for
    the Open3D, PCL, PDAL, small_gicp and numpy equivalents, where their
    answers differ, and aggregating colours or labels with `inverse()`.

    Parameters
    ----------
    points
        The cloud: anything `VecList` takes (a
        `VecList`, a sequence of `Vec3d`, or a buffer of real numbers of
        shape `(n, 3)` read where it is).
    voxel_size
        The side of the voxels, a finite number greater than 0.
    origin
        A corner of the grid, with finite coordinates; None for
        `(0, 0, 0)`. Open3D's grid, for instance, starts half a voxel below
        the cloud's smallest corner: `origin=low - Vec3d(s, s, s) * 0.5`
        with `low, _ = cloud.bounds()` gives its voxels.

    Raises
    ------
    ValueError
        `argument 'voxel_size': expected a number greater than 0 and finite,
        got -1.0` (0, NaN and infinities too); `argument 'origin': expected
        finite coordinates, got Vec3d(NaN, 0, 0)`; `argument 'voxel_size':
        the voxel of x = 1e+300 is 2**63 voxels or more from the origin's;
        voxel indices are 64-bit integers`.
    TypeError
        As `VecList(points)`, naming the argument `points`; a `voxel_size`
        that is not a number; an `origin` that is not a `Vec3d`.

    Examples
    --------
    >>> cloud = [Vec3d(0.25, 0, 0), Vec3d(1.5, 0, 0), Vec3d(0.75, 0.5, 0), Vec3d(float("nan"), 0, 0)]
    >>> grid = VoxelGrid(cloud, 1.0)
    >>> grid
    VoxelGrid(2 voxels of 1 from 4 points, 1 not finite)
    >>> grid.centroids
    [Vec3d(0.5, 0.25, 0)
    Vec3d(1.5, 0, 0)]
    >>> grid.counts().tolist(), grid.inverse().tolist(), grid.nearest().tolist()
    ([2, 1], [0, 1, 0, 2], [0, 1])
    """

    def __new__(cls, points: Points, voxel_size: float, *, origin: Vec3d | None = None) -> VoxelGrid: ...
    @property
    def centroids(self) -> VecList:
        """The centroid of each voxel, in the voxels' order, as a `VecList` (shared with the grid until either changes)."""

    @property
    def voxel_size(self) -> float:
        """The side of the voxels."""

    @property
    def origin(self) -> Vec3d:
        """The corner of the grid: `(0, 0, 0)` unless given."""

    @overload
    def counts(self, *, out: None = None) -> ResultArray:
        """The number of points in each voxel, in the voxels' order, shape `(len(self),)`, format `n`.

        Parameters
        ----------
        out
            A writable C-contiguous buffer of shape `(len(self),)` and
            format `n` (numpy's `intp`); written and returned. Checked as
            `VecList.dot`'s `out` is, before anything is written.

        Examples
        --------
        >>> VoxelGrid([Vec3d(0, 0, 0), Vec3d(2, 0, 0), Vec3d(0.5, 0, 0)], 1.0).counts().tolist()
        [2, 1]
        """
    @overload
    def counts(self, *, out: _Out) -> _Out:
        """The number of points in each voxel, in the voxels' order, shape `(len(self),)`, format `n`.

        Parameters
        ----------
        out
            A writable C-contiguous buffer of shape `(len(self),)` and
            format `n` (numpy's `intp`); written and returned. Checked as
            `VecList.dot`'s `out` is, before anything is written.

        Examples
        --------
        >>> VoxelGrid([Vec3d(0, 0, 0), Vec3d(2, 0, 0), Vec3d(0.5, 0, 0)], 1.0).counts().tolist()
        [2, 1]
        """

    @overload
    def inverse(self, *, out: None = None) -> ResultArray:
        """The voxel of each point, shape `(n,)`, format `n`: `len(self)` for a point with a NaN or infinite coordinate.

        numpy's `unique(..., return_inverse=True)` of the voxels, so a
        point's attributes aggregate per voxel in one line: the mean colour
        is `np.bincount(inverse, colours[:, 0], minlength=len(grid) + 1)[:-1] / counts`,
        the largest intensity `np.maximum.at(top, inverse, intensity)` into
        `top = np.full(len(grid) + 1, -np.inf)`; see
        [Downsampling](../guide/downsampling.md).

        Parameters
        ----------
        out
            A writable C-contiguous buffer of shape `(n,)` and format `n`;
            written and returned.

        Examples
        --------
        >>> VoxelGrid([Vec3d(0, 0, 0), Vec3d(2, 0, 0), Vec3d(0.5, 0, 0)], 1.0).inverse().tolist()
        [0, 1, 0]
        """
    @overload
    def inverse(self, *, out: _Out) -> _Out:
        """The voxel of each point, shape `(n,)`, format `n`: `len(self)` for a point with a NaN or infinite coordinate.

        numpy's `unique(..., return_inverse=True)` of the voxels, so a
        point's attributes aggregate per voxel in one line: the mean colour
        is `np.bincount(inverse, colours[:, 0], minlength=len(grid) + 1)[:-1] / counts`,
        the largest intensity `np.maximum.at(top, inverse, intensity)` into
        `top = np.full(len(grid) + 1, -np.inf)`; see
        [Downsampling](../guide/downsampling.md).

        Parameters
        ----------
        out
            A writable C-contiguous buffer of shape `(n,)` and format `n`;
            written and returned.

        Examples
        --------
        >>> VoxelGrid([Vec3d(0, 0, 0), Vec3d(2, 0, 0), Vec3d(0.5, 0, 0)], 1.0).inverse().tolist()
        [0, 1, 0]
        """

    @overload
    def nearest(self, *, out: None = None) -> ResultArray:
        """The index of the point nearest each voxel's centroid, in the voxels' order, shape `(len(self),)`, format `n`.

        For a downsampled cloud of original points rather than centroids:
        `numpy.asarray(points)[grid.nearest()]`. Nearest by
        `point.distance_squared(centroid)`, equal distances to the lower
        index.

        Parameters
        ----------
        out
            A writable C-contiguous buffer of shape `(len(self),)` and
            format `n`; written and returned.

        Examples
        --------
        >>> VoxelGrid([Vec3d(0.1, 0, 0), Vec3d(0.5, 0, 0), Vec3d(0.7, 0, 0)], 1.0).nearest().tolist()
        [1]
        """
    @overload
    def nearest(self, *, out: _Out) -> _Out:
        """The index of the point nearest each voxel's centroid, in the voxels' order, shape `(len(self),)`, format `n`.

        For a downsampled cloud of original points rather than centroids:
        `numpy.asarray(points)[grid.nearest()]`. Nearest by
        `point.distance_squared(centroid)`, equal distances to the lower
        index.

        Parameters
        ----------
        out
            A writable C-contiguous buffer of shape `(len(self),)` and
            format `n`; written and returned.

        Examples
        --------
        >>> VoxelGrid([Vec3d(0.1, 0, 0), Vec3d(0.5, 0, 0), Vec3d(0.7, 0, 0)], 1.0).nearest().tolist()
        [1]
        """

    def __len__(self) -> int:
        """The number of voxels that hold a point."""

    def __repr__(self) -> str:
        """`VoxelGrid(m voxels of s from n points)`, with `, k not finite` when k points have a NaN or infinite coordinate."""

@final
class PlaneResult:
    """What `VecList.segment_plane` found: the plane, its inliers and how the search went.

    Open3D's `segment_plane` returns `(plane_model, inliers)`; here
    `plane` is a `Plane` (Open3D's
    `[a, b, c, d]` is `[*plane.normal, plane.distance]`), `inliers` an
    index array, with the mask, the counts and the winning sample beside
    them. Read-only; the class cannot be instantiated.

    Examples
    --------
    >>> line = VecList([Vec3d(x, 0, 0) for x in range(5)])
    >>> line.segment_plane(0.1, iterations=10)
    PlaneResult(found=False, inlier_count=0, inlier_rmse=nan, iterations=10, degenerate=10)
    """

    @property
    def found(self) -> bool:
        """Whether a plane was found: False only when every sample was degenerate."""

    @property
    def plane(self) -> geometry.Plane | None:
        """The least-squares plane of the inliers (`Plane.fit` of them, bit for bit); None when nothing was found.

        Should the inliers count as one line for the least squares (at
        most 2**-40 of the largest variance across it), the best sample's
        own plane is given instead.
        """

    @property
    def inliers(self) -> ResultArray:
        """The indices of the inliers of the best sample's plane, ascending, shape `(inlier_count,)`, format `n`; a new array each time."""

    @property
    def mask(self) -> ResultArray:
        """Whether each point is an inlier, shape `(n,)` for a cloud of n points, format `?`; a new array each time."""

    @property
    def inlier_count(self) -> int:
        """The number of inliers, 0 when nothing was found."""

    @property
    def inlier_rmse(self) -> float:
        """The root of the mean squared distance of the inliers from `plane` (NaN when nothing was found).

        The mean is the exact sum of the squared distances, rounded once,
        divided by their number.
        """

    @property
    def iterations(self) -> int:
        """The number of samples drawn, degenerate ones included: `iterations`, or fewer where `confidence` stopped the search."""

    @property
    def degenerate(self) -> int:
        """The number of samples skipped because their three points coincide or lie on one line (the squared sine of their angle at the first at most 2**-40), or are not finite."""

    @property
    def sample(self) -> tuple[int, int, int] | None:
        """The indices of the three points of the best sample, in the order drawn; None when nothing was found."""

    def __repr__(self) -> str:
        """`PlaneResult(found=..., normal=..., distance=..., inlier_count=..., inlier_rmse=..., iterations=..., degenerate=...)`, without the normal and distance when nothing was found."""
