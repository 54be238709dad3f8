import math

import pytest

from conftest import same_bits
from float_reference import EPSILON, acos, agree, cases, cos, div, positional, sin
from tessary_py import AngleRadians, Quat, Vec3d

NAN = math.nan
INF = math.inf


def components(q):
    return (q.w, q.i, q.j, q.k)


def vec(v):
    return (v.x, v.y, v.z)


# Reference formulas, each in the module's evaluation order.

def ref_magnitude(w, i, j, k):
    return math.sqrt(((w * w + i * i) + j * j) + k * k)


def ref_normalize(w, i, j, k):
    m = ref_magnitude(w, i, j, k)
    return (div(w, m), div(i, m), div(j, m), div(k, m))


def ref_from_axis_angle(ax, ay, az, theta):
    h = theta * -0.5
    s, c = sin(h), cos(h)
    return (c, s * ax, s * ay, s * az)


def ref_rotate(w, i, j, k, x, y, z):
    m0 = ((x * i + w * 0.0) + y * j) + z * k
    m1 = ((x * w - i * 0.0) - z * j) + y * k
    m2 = ((y * w - j * 0.0) - x * k) + z * i
    m3 = ((z * w - k * 0.0) - y * i) + x * j
    return (
        ((i * m0 + w * m1) + k * m2) - j * m3,
        ((w * m2 + j * m0) + i * m3) - k * m1,
        ((w * m3 + k * m0) + j * m1) - i * m2,
    )


def ref_to_axis_angle(w, i, j, k):
    if abs(w - 1.0) < EPSILON:
        return (1.0, 0.0, 0.0), 0.0
    alpha = acos(w)
    theta = alpha + alpha
    s = sin(theta * 0.5)
    return (div(i, s), div(j, s), div(k, s)), theta


def ref_rotation_matrix(w, i, j, k):
    def twice(b):
        return b + b

    return [
        [1.0 - twice(j * j + k * k), twice(i * j - w * k), twice(i * k + w * j)],
        [twice(i * j + w * k), 1.0 - twice(i * i + k * k), twice(j * k - w * i)],
        [twice(i * k - w * j), twice(j * k + w * i), 1.0 - twice(i * i + j * j)],
    ]


QUATS = cases(1500, 4, seed=11) + [
    (0.0, 0.0, 0.0, 0.0), (1.0, 0.0, 0.0, 0.0), (-1.0, 0.0, 0.0, 0.0), (INF, 0.0, 0.0, 0.0),
    (0.5, NAN, 0.5, 0.5), (1.0 + EPSILON, 1.0, 2.0, 3.0), (1.0 - EPSILON, 0.0, 0.0, 1e-8),
]


class TestAgainstReference:
    def test_rotate(self):
        vectors = cases(len(QUATS), 3, seed=12)
        for q, v in zip(QUATS, vectors):
            assert agree(vec(Quat(*q).rotate(Vec3d(*v))), ref_rotate(*q, *v)), (q, v)

    def test_from_axis_angle(self):
        for c in cases(2000, 4, seed=13):
            q = Quat.from_axis_angle(Vec3d(*c[:3]), AngleRadians(c[3]))
            assert agree(components(q), ref_from_axis_angle(*c)), c

    def test_to_axis_angle(self):
        for q in QUATS:
            axis, angle = Quat(*q).to_axis_angle()
            ref_axis, ref_angle = ref_to_axis_angle(*q)
            assert agree(vec(axis), ref_axis) and agree(angle.angle, ref_angle), q

    def test_to_rotation_matrix(self):
        for q in QUATS:
            assert agree(Quat(*q).to_rotation_matrix(), ref_rotation_matrix(*q)), q

    def test_magnitude_normalize_is_unit(self):
        for q in QUATS:
            quat = Quat(*q)
            m = ref_magnitude(*q)
            assert agree(quat.magnitude(), m), q
            assert agree(components(quat.normalize()), ref_normalize(*q)), q
            assert quat.is_unit() is (abs(m - 1.0) < EPSILON), q

    def test_conjugate_and_vector_part(self):
        for q in QUATS:
            quat = Quat(*q)
            assert same_bits(components(quat.conjugate()), (q[0], -q[1], -q[2], -q[3])), q
            assert same_bits(quat.to_vec3d(), q[1:]), q
            assert same_bits(components(Vec3d(*q[1:]).to_quat()), (0.0, *q[1:])), q


class TestRotationConvention:
    def test_quarter_turn_about_z_takes_x_to_y(self):
        q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())
        assert same_bits(components(q), (0.7071067811865476, -0.0, -0.0, -0.7071067811865475))
        assert repr(q) == "Quat(0.7071067811865476, -0, -0, -0.7071067811865475)"
        rotated = q.rotate(Vec3d(1, 0, 0))
        assert type(rotated) is Vec3d
        assert same_bits(vec(rotated), (2.220446049250313e-16, 1.0, 0.0))

    def test_half_turn_about_x(self):
        q = Quat.from_axis_angle(Vec3d(1, 0, 0), AngleRadians.pi())
        assert same_bits(vec(q.rotate(Vec3d(0, 1, 0))), (0.0, -1.0, 1.2246467991473532e-16))

    def test_to_axis_angle_reports_the_negated_axis(self):
        q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())
        result = q.to_axis_angle()
        assert type(result) is tuple and len(result) == 2
        axis, angle = result
        assert type(axis) is Vec3d and type(angle) is AngleRadians
        assert same_bits(vec(axis), (-0.0, -0.0, -1.0))
        assert same_bits(angle.angle, 1.5707963267948966)
        for axis, theta in [((0.6, 0.8, 0.0), 1.0), ((0.0, -1.0, 0.0), 2.5), ((0.48, 0.6, 0.64), 0.3)]:
            back_axis, back_angle = Quat.from_axis_angle(Vec3d(*axis), AngleRadians(theta)).to_axis_angle()
            assert back_angle.angle == pytest.approx(theta, abs=1e-12)
            assert vec(back_axis) == pytest.approx(tuple(-c for c in axis), abs=1e-12)

    def test_matrix_is_transpose_of_rotate(self):
        q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())
        assert same_bits(q.to_rotation_matrix(), [
            [2.220446049250313e-16, 1.0, 0.0], [-1.0, 2.220446049250313e-16, 0.0], [0.0, 0.0, 1.0]])
        for c in cases(50, 4, seed=14):
            if not all(math.isfinite(x) and abs(x) < 4 for x in c) or abs(c[0]) + abs(c[1]) < 0.1:
                continue
            q = Quat.from_axis_angle(Vec3d(c[0], c[1], c[2]).normalize(), AngleRadians(c[3]))
            rows = q.to_rotation_matrix()
            for basis in ((1, 0, 0), (0, 1, 0), (0, 0, 1), (0.3, -2.0, 5.0)):
                transposed = [sum(rows[r][col] * basis[r] for r in range(3)) for col in range(3)]
                assert vec(q.rotate(Vec3d(*basis))) == pytest.approx(transposed, abs=1e-12)

    def test_non_finite_component_gives_nan(self):
        # The products with the pure quaternion's 0.0 scalar are kept.
        assert all(math.isnan(c) for c in vec(Quat(INF, 0, 0, 0).rotate(Vec3d(0, 0, 0))))


class TestEdgeCases:
    def test_identity(self):
        identity = Quat.identity()
        assert same_bits(components(identity), (1.0, 0.0, 0.0, 0.0))
        assert repr(identity) == "Quat(1, 0, 0, 0)"
        assert repr(identity.conjugate()) == "Quat(1, -0, -0, -0)"
        axis, angle = identity.to_axis_angle()
        assert same_bits(vec(axis), (1.0, 0.0, 0.0)) and repr(angle) == "0 radians"

    def test_w_within_tolerance_of_one_ignores_vector_part(self):
        axis, angle = Quat(1.0 - EPSILON / 2, 5.0, NAN, -3.0).to_axis_angle()
        assert same_bits(vec(axis), (1.0, 0.0, 0.0)) and same_bits(angle.angle, 0.0)

    def test_minus_one(self):
        axis, angle = Quat(-1, 0, 0, 0).to_axis_angle()
        assert same_bits(vec(axis), (0.0, 0.0, 0.0))
        assert same_bits(angle.angle, 6.283185307179586)

    def test_zero_angle_gives_negative_zero_vector_part(self):
        q = Quat.from_axis_angle(Vec3d(1, 2, 3), AngleRadians.zero())
        assert same_bits(components(q), (1.0, -0.0, -0.0, -0.0))
        assert q == Quat.identity()

    def test_non_unit_axis(self):
        q = Quat.from_axis_angle(Vec3d(0, 0, 2), AngleRadians.half_pi())
        assert q.magnitude() == 1.5811388300841895
        assert q.is_unit() is False

    def test_normalize(self):
        q = Quat(1, 2, 3, 4)
        assert q.to_vec3d() == (2.0, 3.0, 4.0) and type(q.to_vec3d()) is tuple
        n = q.normalize()
        assert same_bits(components(n), (0.18257418583505536, 0.3651483716701107,
                                         0.5477225575051661, 0.7302967433402214))
        assert n.magnitude() == 0.9999999999999999 and n.is_unit() is True
        assert same_bits(components(Quat(3, 0, 0, 4).normalize()), (0.6, 0.0, 0.0, 0.8))

    def test_text_form(self):
        for q in QUATS:
            assert repr(Quat(*q)) == "Quat(" + ", ".join(positional(c) for c in q) + ")"
            assert str(Quat(*q)) == repr(Quat(*q))

    def test_zero_quaternion(self):
        zero = Quat(0, 0, 0, 0)
        assert zero.magnitude() == 0.0 and zero.is_unit() is False
        assert repr(zero.normalize()) == "Quat(NaN, NaN, NaN, NaN)"

    @pytest.mark.parametrize("magnitude, unit", [
        (1.0, True), (1.0 - EPSILON / 2, True), (1.0 + EPSILON, False), (1.0 - EPSILON, False), (NAN, False)])
    def test_is_unit_is_strict(self, magnitude, unit):
        assert Quat(magnitude, 0, 0, 0).is_unit() is unit


class TestEquality:
    def test_tolerance(self):
        assert Quat(0, 0, 0, 0) == Quat(1e-16, 0, 0, 0)
        assert Quat(0, 0, 0, 0) != Quat(3e-16, 0, 0, 0)
        assert not Quat(0, 0, 0, 0) == Quat(0, 0, 0, EPSILON)
        nan = Quat(0, 0, NAN, 0)
        assert not nan == nan and nan != nan

    def test_other_types_and_ordering(self):
        q = Quat(1, 0, 0, 0)
        assert (q == (1, 0, 0, 0)) is False and (q != (1, 0, 0, 0)) is True
        assert (q == Vec3d(1, 0, 0)) is False
        with pytest.raises(TypeError, match="'<' not supported between instances of 'Quat' and 'Quat'"):
            q < Quat(1, 0, 0, 0)
        with pytest.raises(TypeError):
            q >= 1.0

    def test_unhashable_and_only_composition(self):
        q = Quat(1, 0, 0, 0)
        assert Quat.__hash__ is None
        with pytest.raises(TypeError, match="unhashable"):
            hash(q)
        assert type(q * q) is Quat
        for operation in (lambda: q + q, lambda: q - q, lambda: q * 2, lambda: 2 * q, lambda: -q, lambda: q / 2):
            with pytest.raises(TypeError):
                operation()


class TestPythonInterface:
    def test_construction(self):
        q = Quat(1, 2, 3, 4)
        assert components(q) == (1.0, 2.0, 3.0, 4.0) and all(type(c) is float for c in components(q))
        assert components(Quat(k=4, j=3, i=2, w=True)) == (1.0, 2.0, 3.0, 4.0)
        assert Quat.__text_signature__ == "(w, i, j, k)"
        with pytest.raises(TypeError, match=r"^argument 'w': must be real number, not str$"):
            Quat("a", "b", 0, 0)
        with pytest.raises(TypeError, match=r"^argument 'k': must be real number, not str$"):
            Quat(1, 2, 3, "x")
        with pytest.raises(TypeError, match=r"^Quat.__new__\(\) missing 2 required positional arguments: 'j' and 'k'$"):
            Quat(1, 2)

    def test_properties(self):
        q = Quat(1, 2, 3, 4)
        q.w = 2
        assert components(q) == (2.0, 2.0, 3.0, 4.0) and type(q.w) is float
        q.k = -0.0
        assert same_bits(components(q), (2.0, 2.0, 3.0, -0.0))
        with pytest.raises(TypeError, match=r"^argument 'value': must be real number, not str$"):
            q.w = "1"
        assert q.w == 2.0
        for name in "wijk":
            with pytest.raises(AttributeError, match="^can't delete attribute$"):
                delattr(q, name)
            assert getattr(Quat, name).__doc__ == ""
        with pytest.raises(AttributeError):
            q.x = 1

    def test_keyword_calls(self):
        axis, angle, v = Vec3d(0, 0, 1), AngleRadians(0.7), Vec3d(1, 2, 3)
        by_position = Quat.from_axis_angle(axis, angle)
        by_keyword = Quat.from_axis_angle(angle=angle, axis=axis)
        assert same_bits(components(by_position), components(by_keyword))
        assert same_bits(vec(by_position.rotate(v=v)), vec(by_position.rotate(v)))
        # The arguments are read, not changed.
        assert vec(axis) == (0.0, 0.0, 1.0) and angle.angle == 0.7 and vec(v) == (1.0, 2.0, 3.0)

    def test_argument_errors(self):
        q = Quat(1, 0, 0, 0)
        with pytest.raises(TypeError, match=r"^argument 'axis': 'tuple' object cannot be cast as 'Vec3d'$"):
            Quat.from_axis_angle((0, 0, 1), AngleRadians(1))
        with pytest.raises(TypeError, match=r"^argument 'angle': 'float' object cannot be cast as 'AngleRadians'$"):
            Quat.from_axis_angle(Vec3d(0, 0, 1), 1.0)
        with pytest.raises(TypeError, match=r"^argument 'v': 'Quat' object cannot be cast as 'Vec3d'$"):
            q.rotate(q)
        with pytest.raises(TypeError, match=r"^Quat.rotate\(\) missing 1 required positional argument: 'v'$"):
            q.rotate()
        with pytest.raises(TypeError, match=r"^Quat.from_axis_angle\(\) got an unexpected keyword argument 'theta'$"):
            Quat.from_axis_angle(axis=Vec3d(0, 0, 1), theta=AngleRadians(1))
        with pytest.raises(TypeError, match="takes no arguments"):
            q.magnitude(1)

    def test_signatures_and_shape(self):
        assert Quat.identity.__text_signature__ == "()"
        assert Quat.from_axis_angle.__text_signature__ == "(axis, angle)"
        assert Quat.rotate.__text_signature__ == "($self, v)"
        assert Quat.to_rotation_matrix.__text_signature__ == "($self)"
        assert Vec3d.to_quat.__text_signature__ == "($self)"
        assert Quat.__module__ == "builtins"
        with pytest.raises(TypeError):
            type("Sub", (Quat,), {})

    def test_result_types(self):
        rows = Quat(1, 2, 3, 4).to_rotation_matrix()
        assert type(rows) is list and len(rows) == 3
        assert all(type(row) is list and len(row) == 3 and all(type(x) is float for x in row) for row in rows)
        q = Vec3d(1, 2, 3).to_quat()
        assert type(q) is Quat and repr(q) == "Quat(0, 1, 2, 3)"
