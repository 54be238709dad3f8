"""VecList as a container: construction, growth, indexing, conversions,
snapshot iteration and printing."""

import gc

import pytest

import tessary_py
from tessary_py import Vec3d, VecList

from conftest import same_bits
from reference import WORD_MAX

pytestmark = pytest.mark.platform_dependent

A = Vec3d(1, 0, 0)
B = Vec3d(0, 1, 0)
C = Vec3d(0, 0, 1)


def components(v):
    return [tuple(e) for e in v.to_array()]


class TestConstruction:
    def test_from_list_tuple_and_vec_list(self):
        assert components(VecList([A, B])) == [(1, 0, 0), (0, 1, 0)]
        assert components(VecList((A, B, C))) == [(1, 0, 0), (0, 1, 0), (0, 0, 1)]
        assert components(VecList(list=[C])) == [(0, 0, 1)]
        assert components(VecList(VecList([A, C]))) == [(1, 0, 0), (0, 0, 1)]

    def test_copy_of_a_vec_list_is_independent(self):
        original = VecList([A, B])
        copy = VecList(original)
        copy.append(C)
        original.extend(VecList([C, C]))
        assert components(copy) == [(1, 0, 0), (0, 1, 0), (0, 0, 1)]
        assert len(original) == 4

    def test_empty_inputs(self):
        for v in (VecList([]), VecList(()), VecList.empty()):
            assert len(v) == 0
            assert repr(v) == "[]"
            assert v.list == [] and v.to_array() == []
            assert list(iter(v)) == []

    def test_str_and_str_subclass(self):
        class Text(str):
            pass

        for text in ("abc", "", Text("xyz")):
            with pytest.raises(TypeError) as error:
                VecList(text)
            assert str(error.value) == "argument 'list': Can't extract `str` to `Vec`"

    @pytest.mark.parametrize(
        "given, type_name",
        [((x for x in [A]), "generator"), ({A}, "set"), ({0: A}, "dict"), (5, "int"), (None, "NoneType"),
         (iter([A]), "list_iterator")],
    )
    def test_not_a_sequence(self, given, type_name):
        with pytest.raises(TypeError) as error:
            VecList(given)
        assert str(error.value) == f"argument 'list': '{type_name}' object cannot be cast as 'Sequence'"

    @pytest.mark.parametrize("given", [[A, 1], (A, B, "x"), [None], b"ab"])
    def test_item_that_is_not_a_vec3d(self, given):
        bad = next(item for item in given if not isinstance(item, Vec3d))
        with pytest.raises(TypeError) as error:
            VecList(given)
        assert str(error.value) == f"argument 'list': '{type(bad).__name__}' object cannot be cast as 'Vec3d'"

    def test_argument_binding(self):
        with pytest.raises(TypeError, match=r"^VecList.__new__\(\) missing 1 required positional argument: 'list'$"):
            VecList()
        with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'items'"):
            VecList(items=[A])

    def test_sequence_protocols_beyond_list_and_tuple(self):
        class ByIndex:  # legacy iteration through __getitem__ alone
            def __getitem__(self, i):
                if i < 3:
                    return Vec3d(i, 0, 0)
                raise IndexError

        class OwnIter(list):  # a list subclass iterates its own way
            def __iter__(self):
                return iter([C])

        assert components(VecList(ByIndex())) == [(0, 0, 0), (1, 0, 0), (2, 0, 0)]
        assert components(VecList(OwnIter([A, B]))) == [(0, 0, 1)]
        assert components(VecList(range(0))) == []

    def test_a_failing_len_is_ignored(self):
        class BadLen:
            def __init__(self, error):
                self.error = error

            def __len__(self):
                raise self.error

            def __getitem__(self, i):
                if i < 2:
                    return B
                raise IndexError

        assert len(VecList(BadLen(ValueError("no")))) == 2
        assert len(VecList(BadLen(TypeError("no")))) == 2

    def test_iteration_errors_propagate(self):
        class Failing:
            def __init__(self, error, after):
                self.error, self.after = error, after

            def __getitem__(self, i):
                if i >= self.after:
                    raise self.error
                return A

        with pytest.raises(ValueError, match="^boom$"):
            VecList(Failing(ValueError("boom"), 1))
        with pytest.raises(TypeError) as error:
            VecList(Failing(TypeError("bad item"), 2))
        assert str(error.value) == "argument 'list': bad item"
        assert str(error.value.__cause__) == "bad item"

        class IterRaises:
            def __getitem__(self, i):
                return A

            def __iter__(self):
                raise TypeError("no iterator")

        with pytest.raises(TypeError, match="^argument 'list': no iterator$"):
            VecList(IterRaises())

    def test_elements_are_copies(self):
        a = Vec3d(1, 2, 3)
        v = VecList([a])
        a.x = 10
        assert v[0].x == 1
        got = v[0]
        got.y = 20
        assert v[0].y == 2
        listed = v.list
        listed[0].z = 30
        assert v[0].z == 3


class TestGrowth:
    def test_append(self):
        v = VecList.empty()
        assert v.append(A) is None
        v.append(vec=B)
        assert components(v) == [(1, 0, 0), (0, 1, 0)]
        with pytest.raises(TypeError) as error:
            v.append((1, 2, 3))
        assert str(error.value) == "argument 'vec': 'tuple' object cannot be cast as 'Vec3d'"
        assert len(v) == 2

    def test_extend(self):
        v = VecList([A, B])
        assert v.extend(VecList([C])) is None
        v.extend(other=VecList.empty())
        assert components(v) == [(1, 0, 0), (0, 1, 0), (0, 0, 1)]
        v.extend(VecList(v))
        assert components(v) == [(1, 0, 0), (0, 1, 0), (0, 0, 1)] * 2

    def test_extend_with_itself_is_refused(self):
        v = VecList([A, B])
        with pytest.raises(RuntimeError) as error:
            v.extend(v)
        assert str(error.value) == "Already mutably borrowed"
        assert components(v) == [(1, 0, 0), (0, 1, 0)]
        v.append(C)  # the refused call released everything it took
        assert len(v) == 3

    def test_extend_takes_only_a_vec_list(self):
        v = VecList([A])
        with pytest.raises(TypeError) as error:
            v.extend([B])
        assert str(error.value) == "argument 'other': 'list' object cannot be cast as 'VecList'"
        assert len(v) == 1

    def test_growth_is_not_seen_by_a_list_sharing_the_source(self):
        original = VecList([A] * 1000)
        copy = VecList(original)
        for _ in range(1000):
            copy.append(B)
        assert len(original) == 1000 and len(copy) == 2000
        assert all(e == A for e in original)


class TestIndexing:
    def test_positions(self):
        v = VecList([A, B, C])
        assert v[0] == A and v[2] == C and v[True] == B
        for bad in (3, 4, 2**31, WORD_MAX):
            with pytest.raises(IndexError) as error:
                v[bad]
            assert str(error.value) == "Index out of bounds"

    def test_rejected_indices(self):
        v = VecList([A, B, C])
        with pytest.raises(OverflowError):
            v[-1]
        for bad in (WORD_MAX + 1, 2**64):
            with pytest.raises(OverflowError):
                v[bad]
        with pytest.raises(TypeError, match="^argument 'index': "):
            v[1.0]
        with pytest.raises(TypeError, match="^argument 'index': "):
            v[0:2]

    def test_no_assignment_or_deletion(self):
        v = VecList([A, B])
        with pytest.raises(TypeError):
            v[0] = C
        with pytest.raises(TypeError):
            del v[0]
        with pytest.raises(AttributeError):
            v.list = []
        with pytest.raises(AttributeError):
            v.anything = 1
        assert components(v) == [(1, 0, 0), (0, 1, 0)]

    def test_membership_uses_vec3d_equality(self):
        v = VecList([A, B])
        assert B in v and Vec3d(1e-17, 1, 0) in v
        assert C not in v


class TestConversions:
    def test_list_property(self):
        v = VecList([A, Vec3d(1.5, -0.0, float("inf"))])
        first, second = v.list, v.list
        assert first is not second and first[0] is not second[0]
        assert [type(e) for e in first] == [Vec3d, Vec3d]
        assert same_bits(first[1].to_array(), [1.5, -0.0, float("inf")])

    def test_to_array(self):
        v = VecList([A, B])
        assert v.to_array() == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0]]
        nan_list = VecList([Vec3d(float("nan"), -0.0, 5e-324)]).to_array()
        assert same_bits(nan_list[0], [float("nan"), -0.0, 5e-324])
        assert all(type(x) is float for row in nan_list for x in row)

    def test_large_list_round_trip(self):
        items = [Vec3d(i, -i * 0.5, i * 1e-300) for i in range(40_000)]
        v = VecList(items)
        assert v.to_array() == [e.to_array() for e in items]
        assert [e.to_array() for e in v.list] == [e.to_array() for e in items]


    @pytest.mark.parametrize("read", [lambda v: v.to_array(), lambda v: v.list, lambda v: v.magnitude(),
                                      lambda v: v.dot(A), lambda v: repr(v), lambda v: list(iter(v))])
    def test_collector_cannot_change_a_list_being_read(self, read):
        # Building the result allocates; the collector may then run
        # finalizers, which must not change the list under the reader.
        items = [Vec3d(i, 0, 0) for i in range(3000)]
        v = VecList(items)
        refused = []

        class Appender:
            def __del__(self):
                try:
                    for _ in range(1000):
                        v.append(C)
                except RuntimeError as error:
                    refused.append(str(error))

        threshold = gc.get_threshold()
        try:
            gc.collect()
            for _ in range(5):
                a = Appender()
                a.cycle = a
            del a
            gc.set_threshold(1)
            result = read(v)
        finally:
            gc.set_threshold(*threshold)
        gc.collect()
        expected = read(VecList(items))
        assert result == expected or repr(result) == repr(expected)
        assert len(v) == 3000 + 1000 * (5 - len(refused))


class TestIteration:
    def test_yields_copies_in_order(self):
        v = VecList([A, B, C])
        assert [e.to_array() for e in v] == [[1, 0, 0], [0, 1, 0], [0, 0, 1]]

    def test_snapshot_ignores_later_changes(self):
        v = VecList([A, B])
        before_append = iter(v)
        v.append(C)
        before_extend = iter(v)
        v.extend(VecList([A] * 5))
        partly = iter(v)
        next(partly)
        v.append(B)
        assert [e.to_array() for e in before_append] == [[1, 0, 0], [0, 1, 0]]
        assert len(list(before_extend)) == 3
        assert len(list(partly)) == 7
        assert len(list(v)) == 9

    def test_iterators_are_independent(self):
        v = VecList([A, B])
        first, second = iter(v), iter(v)
        assert next(first) == A
        assert next(second) == A and next(first) == B

    def test_exhausted_stays_exhausted(self):
        v = VecList([A])
        it = iter(v)
        assert list(it) == [A]
        v.append(B)
        assert list(it) == []
        with pytest.raises(StopIteration):
            next(it)

    def test_iterator_class(self):
        it = iter(VecList([A]))
        assert iter(it) is it
        cls = type(it)
        assert cls.__name__ == "VecListIterator" and cls.__module__ == "builtins"
        with pytest.raises(TypeError) as error:
            cls()
        assert str(error.value) == "cannot create 'builtins.VecListIterator' instances"
        assert not hasattr(tessary_py, "VecListIterator")
        assert "VecListIterator" not in tessary_py.__all__


class TestRepr:
    def test_examples(self):
        assert repr(VecList([A, B])) == "[Vec3d(1, 0, 0)\nVec3d(0, 1, 0)]"
        assert repr(VecList([C])) == "[Vec3d(0, 0, 1)]"
        assert repr(VecList([Vec3d(1, 2.5, -3)])) == "[Vec3d(1, 2.5, -3)]"
        special = VecList([Vec3d(float("nan"), -0.0, float("-inf")), Vec3d(1e-7, 1e21, 0.1)])
        assert repr(special) == "[Vec3d(NaN, -0, -inf)\nVec3d(0.0000001, 1000000000000000000000, 0.1)]"

    def test_str_is_repr(self):
        v = VecList([A, Vec3d(0.5, 2, 3)])
        assert str(v) == repr(v)

    @pytest.mark.parametrize("n", [511, 512, 1023, 1024, 1025, 8191, 8192, 8193, 20000])
    def test_long_lists_match_element_reprs(self, n):
        # Lengths around the size where rendering is shared out and around
        # its blocks; the long texts of tiny and huge values grow the result.
        items = [Vec3d(i * 0.1, -i, 1.0 / (i + 1)) if i % 3 else Vec3d(5e-324, -1.7976931348623157e308, i)
                 for i in range(n)]
        assert repr(VecList(items)) == "[" + "\n".join(repr(e) for e in items) + "]"


class TestClassShape:
    def test_registration(self):
        names = tessary_py.__all__
        assert "VecList" in names and names.index("VecList") == names.index("Vec3d") - 1
        assert tessary_py.VecList is VecList
        assert VecList.__module__ == "builtins" and VecList.__qualname__ == "VecList"

    def test_documentation_is_the_signature(self):
        # The interpreter splits a documentation string that is only a
        # signature block into the signature and an empty body.
        assert VecList.__text_signature__ == "(list)"
        assert not VecList.__doc__
        for name, params in [
            ("empty", ""), ("append", "$self, vec"), ("extend", "$self, other"), ("to_array", "$self"),
            ("dot", "$self, other, *, out=None"), ("cross", "$self, other"), ("magnitude", "$self, *, out=None"),
            ("normalize", "$self"), ("is_unit", "$self, *, out=None"), ("distance_to", "$self, other, *, out=None"),
            ("distance_squared", "$self, other, *, out=None"), ("collapse", "$self, axis"),
            ("minimum_distance_to", "$self, other, stride"), ("rotate", "$self, quat"),
        ]:
            method = getattr(VecList, name)
            assert method.__text_signature__ == f"({params})" and not method.__doc__

    def test_equality_is_identity(self):
        v = VecList([A])
        assert v == v and v != VecList(v)
        assert hash(v) == hash(v)
