"""Argument binding and conversion: the exact messages, seen through Vec3d."""

import re
import subprocess
import sys
import textwrap

import pytest

from reference import WORD_MAX
from tessary_py import Vec3d

V = Vec3d(1, 2, 3)


def message(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value), info.value


class TestArity:
    @pytest.mark.parametrize("call, text", [
        (lambda: V.dot(), "Vec3d.dot() missing 1 required positional argument: 'other'"),
        (lambda: Vec3d(1, 2), "Vec3d.__new__() missing 1 required positional argument: 'z'"),
        (lambda: Vec3d(1), "Vec3d.__new__() missing 2 required positional arguments: 'y' and 'z'"),
        (lambda: Vec3d(), "Vec3d.__new__() missing 3 required positional arguments: 'x', 'y', and 'z'"),
        (lambda: Vec3d(y=1), "Vec3d.__new__() missing 2 required positional arguments: 'x' and 'z'"),
        (lambda: V.distance_to_line(V), "Vec3d.distance_to_line() missing 1 required positional argument: 'b'"),
        (lambda: Vec3d.new_from_to(to=V), "Vec3d.new_from_to() missing 1 required positional argument: 'from'"),
        (lambda: V.dot(V, V), "Vec3d.dot() takes 1 positional arguments but 2 were given"),
        (lambda: Vec3d(1, 2, 3, 4), "Vec3d.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: Vec3d.new_from_to(V, V, V), "Vec3d.new_from_to() takes 2 positional arguments but 3 were given"),
        (lambda: V.dot(x=V), "Vec3d.dot() got an unexpected keyword argument 'x'"),
        (lambda: Vec3d(1, 2, 3, w=4), "Vec3d.__new__() got an unexpected keyword argument 'w'"),
        (lambda: V.dot(V, other=V), "Vec3d.dot() got multiple values for argument 'other'"),
        (lambda: Vec3d(1, 2, 3, x=1), "Vec3d.__new__() got multiple values for argument 'x'"),
    ])
    def test_messages(self, call, text):
        kind, got, _ = message(call)
        assert kind is TypeError
        assert got == text

    def test_new_called_directly_binds_the_same_way(self):
        _, got, _ = message(lambda: Vec3d.__new__(Vec3d, 1, 2, 3, 4))
        assert got == "Vec3d.__new__() takes 3 positional arguments but 4 were given"
        _, got, _ = message(lambda: Vec3d.__new__(Vec3d, 1, y=2))
        assert got == "Vec3d.__new__() missing 1 required positional argument: 'z'"

    def test_no_argument_methods_refuse_arguments_like_builtins(self):
        kind, got, _ = message(lambda: V.magnitude(1))
        assert kind is TypeError and "takes no arguments" in got
        kind, got, _ = message(lambda: Vec3d.zero(1))
        assert kind is TypeError and "takes no arguments" in got

    def test_keywords_bind_by_name(self):
        a, b = Vec3d(1, 0, 0), Vec3d(3, 2, 1)
        assert Vec3d(z=3, x=1, y=2) == Vec3d(1, 2, 3)
        assert Vec3d(1, z=3, y=2) == Vec3d(1, 2, 3)
        assert Vec3d.new_from_to(to=b, **{"from": a}) == b - a
        assert V.distance_to_line(b=b, a=a) == V.distance_to_line(a, b)
        assert Vec3d.__new__(Vec3d, x=1, y=2, z=3) == V


class TestDoubleConversion:
    def test_accepts_int_bool_and_float_likes(self):
        class Real:
            def __float__(self):
                return 2.5

        class Integral:
            def __index__(self):
                return 7

        v = Vec3d(True, Real(), Integral())
        assert (v.x, v.y, v.z) == (1.0, 2.5, 7.0)
        assert all(type(c) is float for c in v)

    def test_float_subclass_value_is_read(self):
        class Sub(float):
            pass

        assert Vec3d(Sub(1.5), 0, 0).x == 1.5

    def test_type_error_names_argument_and_keeps_cause(self):
        kind, got, error = message(lambda: Vec3d("1", 2, 3))
        assert kind is TypeError
        assert got == "argument 'x': must be real number, not str"
        assert isinstance(error.__cause__, TypeError)
        assert str(error.__cause__) == "must be real number, not str"
        _, got, _ = message(lambda: Vec3d(1, 2, None))
        assert got == "argument 'z': must be real number, not NoneType"

    def test_first_failing_argument_decides(self):
        _, got, _ = message(lambda: Vec3d(1, "a", []))
        assert got.startswith("argument 'y': ")

    def test_other_exceptions_pass_unchanged(self):
        kind, got, _ = message(lambda: Vec3d(10**400, 0, 0))
        assert kind is OverflowError
        assert "argument" not in got

        class Broken:
            def __float__(self):
                raise ValueError("nope")

        kind, got, _ = message(lambda: Vec3d(Broken(), 0, 0))
        assert (kind, got) == (ValueError, "nope")

    def test_property_setter_names_value(self):
        v = Vec3d(1, 2, 3)
        kind, got, error = message(lambda: setattr(v, "x", "a"))
        assert (kind, got) == (TypeError, "argument 'value': must be real number, not str")
        assert isinstance(error.__cause__, TypeError)
        assert v.x == 1.0
        v.x = 5
        assert v.x == 5.0 and type(v.x) is float

    def test_property_delete(self):
        v = Vec3d(1, 2, 3)
        for name in "xyz":
            kind, got, _ = message(lambda: delattr(v, name))
            assert (kind, got) == (AttributeError, "can't delete attribute")
        assert v == Vec3d(1, 2, 3)


class TestClassConversion:
    @pytest.mark.parametrize("given, name", [(5, "int"), ("s", "str"), (None, "NoneType"), ((1, 2, 3), "tuple"),
                                             (1.0, "float")])
    def test_wrong_class_message(self, given, name):
        kind, got, _ = message(lambda: V.dot(given))
        assert kind is TypeError
        assert got == f"argument 'other': '{name}' object cannot be cast as 'Vec3d'"

    def test_message_names_each_parameter(self):
        for call, name in [(lambda: V.cross(1), "other"), (lambda: V.distance_to_line(V, 1), "b"),
                           (lambda: V.project_onto_line(1, V), "line_r"),
                           (lambda: V.project_onto_plane(1), "normal"),
                           (lambda: V.scalar_triple_product(V, 1), "c"),
                           (lambda: Vec3d.new_from_to(1, V), "from"), (lambda: Vec3d.new_from_to(V, 1), "to")]:
            _, got, _ = message(call)
            assert got == f"argument '{name}': 'int' object cannot be cast as 'Vec3d'"


@pytest.mark.platform_dependent
class TestIndexConversion:
    def test_integers_and_index_objects(self):
        class Two:
            def __index__(self):
                return 2

        assert V[0] == 1.0 and V[2] == 3.0
        assert V[True] == 2.0
        assert V[Two()] == 3.0

    def test_out_of_range(self):
        kind, got, _ = message(lambda: V[3])
        assert (kind, got) == (IndexError, "Index out of bounds")
        kind, got, _ = message(lambda: V[WORD_MAX])
        assert (kind, got) == (IndexError, "Index out of bounds")

    @pytest.mark.parametrize("index", [2**32, 2**63, 2**64 - 1])
    def test_above_the_platform_word(self, index):
        """Indices are read as 64 bits, then narrowed to the platform's word."""
        if index <= WORD_MAX:
            expected = (IndexError, "Index out of bounds")
        else:
            expected = (OverflowError, "out of range integral type conversion attempted")
        kind, got, error = message(lambda: V[index])
        assert (kind, got) == expected
        assert error.__cause__ is None

    def test_negative_is_overflow(self):
        kind, got, _ = message(lambda: V[-1])
        assert kind is OverflowError
        assert got == "can't convert negative int to unsigned"

    def test_beyond_unsigned_64_is_overflow(self):
        kind, _, _ = message(lambda: V[2**64])
        assert kind is OverflowError

    def test_non_integer_names_index(self):
        kind, got, error = message(lambda: V[1.0])
        assert kind is TypeError
        assert got == "argument 'index': 'float' object cannot be interpreted as an integer"
        assert isinstance(error.__cause__, TypeError)
        kind, got, _ = message(lambda: V[0:2])
        assert kind is TypeError and got.startswith("argument 'index': ")


class TestOperatorsNeverRaiseTheirOwnErrors:
    @pytest.mark.parametrize("call", [lambda: V * "a", lambda: "a" * V, lambda: V * V, lambda: V + 1,
                                      lambda: 1 + V, lambda: V - 1.0, lambda: 2.0 - V, lambda: 2.0 / V,
                                      lambda: V / V, lambda: V * 10**400, lambda: 10**400 * V, lambda: V / None])
    def test_type_error_from_interpreter(self, call):
        kind, got, _ = message(call)
        assert kind is TypeError
        assert "argument" not in got
        assert re.search("unsupported operand|can't multiply sequence", got)

    def test_comparisons_with_other_types(self):
        assert (V == 5) is False
        assert (V != 5) is True
        assert (V == (1.0, 2.0, 3.0)) is False
        for op in ("<", "<=", ">", ">="):
            with pytest.raises(TypeError):
                eval(f"V {op} V")


class TestPanicWithoutMemory:
    # The first panic of a process creates PanicException. When memory runs
    # out while the type or its instance is made, the call raises
    # MemoryError instead; the process goes on, and a later panic still
    # arrives as PanicException. Each round makes exactly one allocation
    # fail, a little later each time, through the allocator hooks of
    # CPython's test module: first while the type does not exist yet, then
    # again once it does, when only the instance is made.
    CODE = """
        import _testcapi
        from tessary_py import VecList

        collapse, axis = VecList.empty().collapse, 3  # panics: "assertion failed: axis <= 2"

        def sweep(rounds):
            outcomes = []
            for start in range(rounds):
                _testcapi.set_nomemory(start, start + 1)
                try:
                    collapse(axis)
                except BaseException as error:
                    _testcapi.remove_mem_hooks()
                    outcomes.append(type(error).__name__)
                else:
                    _testcapi.remove_mem_hooks()
                    outcomes.append("returned")
            return outcomes

        for outcomes in (sweep(300), sweep(30)):
            print(outcomes[0], outcomes[-1], *sorted(set(outcomes)))
        try:
            collapse(axis)
        except BaseException as error:
            print(type(error).__name__, isinstance(error, Exception), error)
    """

    def test_memory_error_instead_of_abort(self):
        pytest.importorskip("_testcapi", reason="needs an interpreter built with its test modules")
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(self.CODE)], capture_output=True, text=True,
                                timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            "MemoryError PanicException MemoryError PanicException",
            "MemoryError PanicException MemoryError PanicException",
            "PanicException False assertion failed: axis <= 2",
        ]
