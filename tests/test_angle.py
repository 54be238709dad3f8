import ctypes
import math
import struct

import pytest

import tessary_py
from conftest import bits, same_bits
from float_reference import acos, agree, cases, cos, div, positional, sin, tan
from tessary_py import AngleDegrees, AngleRadians, Vec3d

NAN = math.nan
INF = math.inf


class TestConstantsAndConversions:
    @pytest.mark.parametrize(
        "name, value",
        [
            ("zero", 0.0),
            ("pi", 3.141592653589793),
            ("two_pi", 6.283185307179586),
            ("half_pi", 1.5707963267948966),
            ("quarter_pi", 0.7853981633974483),
            ("third_pi", 1.0471975511965976),
            ("sixth_pi", 0.5235987755982988),
        ],
    )
    def test_constant_bits(self, name, value):
        angle = getattr(AngleRadians, name)()
        assert type(angle) is AngleRadians
        assert same_bits(angle.angle, value)
        # Static methods answer on an instance too.
        assert same_bits(getattr(AngleRadians(7.0), name)().angle, value)

    @pytest.mark.parametrize(
        "radians, degrees",
        [
            (math.pi / 2, 90.0),
            (math.pi, 180.0),
            (math.pi / 4, 45.0),
            (math.pi / 3, 59.99999999999999),
            (math.pi / 6, 29.999999999999996),
            (1.0, 57.29577951308232),
        ],
    )
    def test_to_degrees_multiplies_first(self, radians, degrees):
        result = AngleRadians(radians).to_degrees()
        assert type(result) is AngleDegrees
        assert same_bits(result.angle, degrees)

    def test_sixty_degrees_is_third_pi_exactly(self):
        result = AngleDegrees(60).to_radians()
        assert type(result) is AngleRadians
        assert same_bits(result.angle, AngleRadians.third_pi().angle)
        assert result == AngleRadians.third_pi()

    def test_conversions_match_reference(self):
        for (x,) in cases(3000, 1, seed=1):
            assert agree(AngleRadians(x).to_degrees().angle, div(x * 180.0, math.pi)), x
            assert agree(AngleDegrees(x).to_radians().angle, div(x * math.pi, 180.0)), x

class TestTrigonometry:
    def test_reference_on_random_input(self):
        for (x,) in cases(3000, 1, seed=2):
            a = AngleRadians(x)
            assert agree(a.sin(), sin(x)), x
            assert agree(a.cos(), cos(x)), x
            assert agree(a.tan(), tan(x)), x
            # One division of the single result; cot is not cos/sin.
            assert agree(a.sec(), div(1.0, cos(x))), x
            assert agree(a.csc(), div(1.0, sin(x))), x
            assert agree(a.cot(), div(1.0, tan(x))), x

    def test_poles_give_values_not_errors(self):
        half_pi, pi = AngleRadians.half_pi(), AngleRadians.pi()
        assert half_pi.cos() == 6.123233995736766e-17
        assert half_pi.sec() == 1.633123935319537e16
        assert half_pi.tan() == 1.633123935319537e16
        assert half_pi.cot() == 6.123233995736766e-17
        assert pi.sin() == 1.2246467991473532e-16
        assert pi.csc() == 8165619676597685.0

    def test_zero_gives_signed_infinities(self):
        assert AngleRadians(0.0).cot() == INF
        assert AngleRadians(0.0).csc() == INF
        assert AngleRadians(-0.0).cot() == -INF

class TestTextForm:
    @pytest.mark.parametrize(
        "value, text",
        [
            (1.5, "1.5"),
            (1.0, "1"),
            (90.0, "90"),
            (-0.0, "-0"),
            (-45.5, "-45.5"),
            (1e-7, "0.0000001"),
            (1e21, "1000000000000000000000"),
            (NAN, "NaN"),
            (-INF, "-inf"),
        ],
    )
    def test_examples(self, value, text):
        assert repr(AngleRadians(value)) == text + " radians"
        assert str(AngleRadians(value)) == text + " radians"
        assert repr(AngleDegrees(value)) == text + "\u00b0"
        assert str(AngleDegrees(value)) == text + "\u00b0"

    def test_shortest_digits_on_random_doubles(self):
        for (x,) in cases(2000, 1, seed=3):
            assert repr(AngleRadians(x)) == positional(x) + " radians"
            assert repr(AngleDegrees(x)) == positional(x) + "\u00b0"

    def test_half_pi_in_degrees_shows_ninety(self):
        assert repr(AngleRadians.half_pi().to_degrees()) == "90°"


class TestComparison:
    def test_ieee_ordering(self):
        one, two = AngleRadians(1), AngleRadians(2)
        assert (one < two, one <= two, one == two, one != two, one > two, one >= two) == (
            True, True, False, True, False, False)
        assert (one <= one, one >= one, one == one, one != one) == (True, True, True, False)
        d1, d2 = AngleDegrees(1), AngleDegrees(2)
        assert (d1 < d2, d1 <= d2, d1 == d2, d1 != d2, d1 > d2, d1 >= d2) == (
            True, True, False, True, False, False)

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_nan_is_unequal_to_itself(self, cls):
        nan = cls(NAN)
        # != must not take the interpreter's identity shortcut for ==.
        assert not nan == nan
        assert nan != nan
        assert not (nan < nan or nan <= nan or nan > nan or nan >= nan)
        assert cls(NAN) != cls(1.0)

    def test_signed_zeros_are_equal(self):
        assert AngleRadians(0.0) == AngleRadians(-0.0)
        assert not AngleDegrees(0.0) != AngleDegrees(-0.0)

    @pytest.mark.parametrize("other", [1.0, 1, AngleDegrees(1), "1", None])
    def test_other_types_are_not_implemented(self, other):
        angle = AngleRadians(1)
        assert (angle == other) is False
        assert (angle != other) is True
        with pytest.raises(TypeError):
            angle < other
        with pytest.raises(TypeError):
            other >= angle

    def test_unknown_operator_code_is_a_panic(self):
        compare = ctypes.pythonapi.PyObject_RichCompare
        compare.restype = ctypes.py_object
        compare.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_int]
        for cls in (AngleRadians, AngleDegrees):
            with pytest.raises(BaseException, match="^invalid compareop$") as caught:
                compare(cls(1), cls(1), 6)
            assert type(caught.value).__name__ == "PanicException"
            assert not isinstance(caught.value, Exception)

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_unhashable(self, cls):
        assert cls.__hash__ is None
        with pytest.raises(TypeError, match="unhashable"):
            hash(cls(1))


class TestArithmetic:
    def test_operands_convert_to_float(self):
        a = AngleRadians(1.5)
        assert type(a + a) is type(a - a) is type(a * 2) is type(a / 2) is AngleRadians
        assert (a * 2).angle == 3.0 and (a * True).angle == 1.5 and (a / 3).angle == 0.5

    def test_reference_on_random_input(self):
        for x, y in cases(2000, 2, seed=4):
            a, b = AngleRadians(x), AngleRadians(y)
            assert agree((a + b).angle, x + y)
            assert agree((a - b).angle, x - y)
            assert agree((a * y).angle, y * x)
            assert agree((a / y).angle, div(x, y))

    def test_negation_flips_only_the_sign_bit(self):
        assert same_bits((-AngleRadians.zero()).angle, -0.0)
        assert repr(-AngleRadians.zero()) == "-0 radians"
        negated = -AngleDegrees(5)
        assert type(negated) is AngleDegrees and negated.angle == -5.0
        payload = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]
        assert bits((-AngleRadians(payload)).angle) == 0xFFF8000000000123
        assert bits((-AngleDegrees(payload)).angle) == 0xFFF8000000000123

    def test_division_by_zero(self):
        assert repr(AngleRadians(1) / 0) == "inf radians"
        assert repr(AngleRadians(-1) / 0.0) == "-inf radians"
        assert repr(AngleRadians(0) / 0) == "NaN radians"

    @pytest.mark.parametrize(
        "expression",
        [
            lambda a: 2 * a,
            lambda a: 2.0 + a,
            lambda a: 2.0 / a,
            lambda a: 1.0 - a,
            lambda a: a + 1.0,
            lambda a: a - 1,
            lambda a: a * "a",
            lambda a: "a" * a,
            lambda a: a * a,
            lambda a: a / a,
            lambda a: a * 10**400,
            lambda a: a / 10**400,
            lambda a: a + AngleDegrees(1),
            lambda a: AngleDegrees(1) + AngleDegrees(1),
            lambda a: AngleDegrees(1) * 2,
            lambda a: abs(a),
            lambda a: +a,
        ],
    )
    def test_unsupported_operands_raise_interpreter_type_error(self, expression):
        with pytest.raises(TypeError) as caught:
            expression(AngleRadians(1))
        assert "argument" not in str(caught.value)
        assert caught.value.__cause__ is None

    def test_augmented_assignment_binds_new_object(self):
        a = AngleRadians(1)
        b = a
        a += AngleRadians(2)
        a *= 2
        assert b.angle == 1.0 and a.angle == 6.0


class TestClassShape:
    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_construction(self, cls):
        assert cls(True).angle == 1.0
        assert cls(3).angle == 3.0 and type(cls(3).angle) is float
        assert cls(angle=2.5).angle == 2.5
        with pytest.raises(TypeError, match=r"^argument 'angle': must be real number, not str$"):
            cls("1")
        with pytest.raises(OverflowError) as caught:
            cls(10**400)
        assert "angle" not in str(caught.value)
        with pytest.raises(TypeError, match=rf"^{cls.__name__}.__new__\(\) missing 1 required positional argument: 'angle'$"):
            cls()
        with pytest.raises(TypeError, match=rf"^{cls.__name__}.__new__\(\) got an unexpected keyword argument 'radians'$"):
            cls(radians=1)

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_angle_property(self, cls):
        angle = cls(1)
        angle.angle = 2
        assert angle.angle == 2.0 and type(angle.angle) is float
        with pytest.raises(TypeError, match=r"^argument 'value': must be real number, not str$") as caught:
            angle.angle = "3"
        assert isinstance(caught.value.__cause__, TypeError)
        assert angle.angle == 2.0
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            del angle.angle
        assert cls.angle.__doc__ == ""

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_shape(self, cls):
        assert cls.__module__ == "builtins" and cls.__qualname__ == cls.__name__
        assert cls.__text_signature__ == "(angle)"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(AttributeError):
            cls(1).other = 1

    def test_method_signatures(self):
        assert AngleRadians.two_pi.__text_signature__ == "()"
        assert AngleRadians.to_degrees.__text_signature__ == "($self)"
        assert AngleDegrees.to_radians.__text_signature__ == "($self)"
        with pytest.raises(TypeError, match="takes no arguments"):
            AngleRadians(1).sin(1)
        assert not hasattr(AngleDegrees, "sin") and not hasattr(AngleDegrees, "pi")

    def test_registration_order(self):
        names = tessary_py.__all__
        assert names.index("AngleDegrees") < names.index("AngleRadians") < names.index("Quat") < names.index("Vec3d")


class TestVec3dAngleTo:
    def test_examples(self):
        half_pi = Vec3d(1, 0, 0).angle_to(Vec3d(0, 1, 0))
        assert type(half_pi) is AngleRadians and half_pi == AngleRadians.half_pi()
        assert math.isnan(Vec3d(1, 0, 0).angle_to(Vec3d(0, 0, 0)).angle)
        assert math.isnan(Vec3d.zero().angle_to(Vec3d.zero()).angle)
        assert Vec3d(1, 0, 0).angle_to(other=Vec3d(-1, 0, 0)).angle == math.pi

    def test_rounding_past_one_is_clamped(self):
        # Unclamped, the quotients are 1.0000000000000002 and its negative.
        same = Vec3d(1, 1, 1).angle_to(Vec3d(1, 1, 1))
        assert same_bits(same.angle, 0.0)
        assert same_bits(Vec3d(1, 1, 1).angle_to(Vec3d(-2, -2, -2)).angle, math.pi)

    def test_reference_on_random_input(self):
        def reference(v, o):
            n = (v[0] * o[0] + v[1] * o[1]) + v[2] * o[2]
            mv = math.sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2])
            mo = math.sqrt((o[0] * o[0] + o[1] * o[1]) + o[2] * o[2])
            q = div(n, mv * mo)
            return acos(1.0 if q > 1.0 else -1.0 if q < -1.0 else q)

        for c in cases(3000, 6, seed=5):
            v, o = c[:3], c[3:]
            assert agree(Vec3d(*v).angle_to(Vec3d(*o)).angle, reference(v, o)), c

    def test_argument_errors(self):
        assert Vec3d.angle_to.__text_signature__ == "($self, other)"
        with pytest.raises(TypeError, match=r"^argument 'other': 'int' object cannot be cast as 'Vec3d'$"):
            Vec3d(1, 0, 0).angle_to(5)
