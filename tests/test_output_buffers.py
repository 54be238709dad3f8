"""Results written into a caller's buffer: the keyword-only `out` of the
five operations whose results are numbers. The buffer receives exactly
what the list result holds, bit for bit, and is returned; any buffer that
cannot take the results is refused before anything is written."""

import array
import ctypes
import inspect
import os
import subprocess
import sys

import numpy as np
import pytest

from tessary_py import Vec3d, VecList

from conftest import needs_python_buffer_protocol
from test_numpy_boundary import awkward_array

pytestmark = pytest.mark.platform_dependent

P = Vec3d(0.25, -1.5, 3.0)
# name -> (call with out, result dtype)
OPERATIONS = {
    "dot": (lambda v, **k: v.dot(P, **k), np.float64),
    "magnitude": (lambda v, **k: v.magnitude(**k), np.float64),
    "is_unit": (lambda v, **k: v.is_unit(**k), np.bool_),
    "distance_to": (lambda v, **k: v.distance_to(P, **k), np.float64),
    "distance_squared": (lambda v, **k: v.distance_squared(P, **k), np.float64),
}


def same_results(got, want, dtype):
    """Bit for bit, except that a NaN matches any NaN: which payload a sum of
    two NaNs keeps follows the operand order that each compiled copy of a
    formula chose, and on ARM that order is not the same in every copy."""
    got, want = np.frombuffer(bytes(got), dtype=dtype), np.frombuffer(bytes(want), dtype=dtype)
    if dtype is np.bool_:
        return got.tobytes() == want.tobytes()
    nan = np.isnan(want)
    return np.array_equal(np.isnan(got), nan) and got[~nan].tobytes() == want[~nan].tobytes()


def awkward_list(n=40):
    points = awkward_array(n)
    points[-3:] = [(1, 0, 0), (0, 0, -1), (0.6, 0.8, 0)]  # unit vectors for is_unit
    return VecList(points)


@pytest.mark.parametrize("name", OPERATIONS)
class TestResults:
    def test_same_bits_as_the_list_result_and_the_same_object_back(self, name):
        call, dtype = OPERATIONS[name]
        v = awkward_list()
        out = np.full(len(v), 7, dtype=dtype)
        assert call(v, out=out) is out
        assert same_results(out.tobytes(), np.array(call(v), dtype=dtype).tobytes(), dtype)

    def test_none_is_the_list_result(self, name):
        call, _ = OPERATIONS[name]
        v = awkward_list(5)
        assert call(v, out=None) == call(v) and type(call(v, out=None)) is list

    def test_any_exporter_of_the_right_layout(self, name):
        call, dtype = OPERATIONS[name]
        v = awkward_list(6)
        want = np.array(call(v), dtype=dtype).tobytes()
        code = "d" if dtype is np.float64 else "B"
        raw = bytearray(len(want))
        exporters = [memoryview(raw).cast("d" if code == "d" else "?"), np.zeros(12, dtype=dtype)[3:9]]
        if code == "d":
            exporters.append(array.array("d", [0.0] * 6))
        for out in exporters:
            assert call(v, out=out) is out
            assert same_results(memoryview(out).cast("B"), want, dtype)

    def test_empty_list_takes_an_empty_buffer(self, name):
        call, dtype = OPERATIONS[name]
        out = np.empty(0, dtype=dtype)
        assert call(VecList.empty(), out=out) is out


DIGEST = """
import hashlib, numpy as np
from tessary_py import Vec3d, VecList
v = VecList(np.random.default_rng(5).standard_normal((300_001, 3)))
v = VecList(np.concatenate([np.asarray(v), np.asarray(v.normalize())]))  # is_unit True for half of them
p = Vec3d(0.3, -0.2, 0.7)
h = hashlib.sha256()
for name, args, dtype in [("dot", (p,), np.float64), ("magnitude", (), np.float64), ("is_unit", (), np.bool_),
                          ("distance_to", (p,), np.float64), ("distance_squared", (p,), np.float64)]:
    method = getattr(v, name)
    out = np.empty(len(v), dtype=dtype)
    method(*args, out=out)
    assert out.tobytes() == np.array(method(*args), dtype=dtype).tobytes(), name
    h.update(out.tobytes())
print(h.hexdigest())
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="sizes the pool of a child through its environment")
def test_written_by_the_pool_the_same_at_every_thread_count():
    digests = set()
    for threads in (1, 2, 3):
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        env["RAYON_NUM_THREADS"] = str(threads)
        result = subprocess.run([sys.executable, "-c", DIGEST], env=env, capture_output=True, text=True,
                                timeout=180)
        assert result.returncode == 0, result.stderr
        digests.add(result.stdout)
    assert len(digests) == 1


EXPECTED = "argument 'out': expected a writable C-contiguous buffer of shape (4,) and format '{}', got "


def refusals(dtype):
    """(buffer, exception, what the message says was given) for every way a
    buffer can be unfit; each holds data that a write would change."""
    code = "d" if dtype is np.float64 else "?"
    other = np.float32 if dtype is np.float64 else np.uint8
    read_only = np.ones(4, dtype=dtype)
    read_only.flags.writeable = False
    return [
        ([1.0] * 4, TypeError, "'list' object, which exports no buffer"),
        (np.ones(4, dtype=other), TypeError,
         f"a writable C-contiguous buffer of shape (4,) and format '{np.dtype(other).char}'"),
        (read_only, TypeError, f"a read-only C-contiguous buffer of shape (4,) and format '{code}'"),
        (np.ones(3, dtype=dtype), ValueError, f"a writable C-contiguous buffer of shape (3,) and format '{code}'"),
        (np.ones(5, dtype=dtype), ValueError, f"a writable C-contiguous buffer of shape (5,) and format '{code}'"),
        (np.ones((4, 1), dtype=dtype), ValueError,
         f"a writable C-contiguous buffer of shape (4, 1) and format '{code}'"),
        (np.ones(8, dtype=dtype)[::2], ValueError,
         f"a writable non-contiguous buffer of shape (4,) and format '{code}'"),
        (np.ones((), dtype=dtype), ValueError, f"a writable C-contiguous buffer of shape () and format '{code}'"),
    ]


class TestRefusals:
    @pytest.mark.parametrize("name", OPERATIONS)
    def test_every_unfit_buffer_is_refused_and_left_unwritten(self, name):
        call, dtype = OPERATIONS[name]
        v = awkward_list(4)
        code = "d" if dtype is np.float64 else "?"
        for out, kind, given in refusals(dtype):
            before = np.array(out, copy=True)
            with pytest.raises(kind) as caught:
                call(v, out=out)
            assert str(caught.value) == EXPECTED.format(code) + given
            assert np.array_equal(np.asarray(out), before)

    def test_the_lists_own_export_is_read_only(self):
        v = VecList([Vec3d(1, 2, 3)] * 4)
        with pytest.raises(TypeError, match=r"got a read-only C-contiguous buffer of shape \(4, 3\) and format 'd'$"):
            v.magnitude(out=np.asarray(v))
        with pytest.raises(TypeError, match=r"got a read-only C-contiguous buffer of shape \(4, 3\)"):
            v.magnitude(out=v)
        # A list of one element exports three doubles, still not writable.
        w = VecList([Vec3d(1, 2, 3)])
        with pytest.raises(TypeError, match="read-only"):
            w.dot(P, out=memoryview(w).cast("B").cast("d")[:1])
        v.append(Vec3d(0, 0, 0))  # no access left behind
        assert len(v) == 5

    def test_a_writable_alias_of_the_elements_is_refused(self):
        v = VecList([Vec3d(3, 4, 0)] * 6)
        elements = np.asarray(v)
        alias = np.ctypeslib.as_array((ctypes.c_double * 6).from_address(elements.ctypes.data))
        with pytest.raises(ValueError, match="^argument 'out': the buffer overlaps the elements the results are"):
            v.magnitude(out=alias)
        assert v.magnitude() == [5.0] * 6

    def test_a_failing_exporter_passes_its_error_and_leaves_the_list_free(self):
        v = VecList([Vec3d(1, 2, 3)] * 3)
        with pytest.raises(TypeError, match="^argument 'out': expected .* got 'int' object, which exports no"):
            v.distance_to(P, out=5)
        with pytest.raises(TypeError, match="^argument 'other': 'int' object cannot be cast as 'Vec3d'$"):
            v.distance_to(5, out=np.empty(3))  # `other` comes first
        v.append(P)
        assert len(v) == 4


class TestCalling:
    def test_signatures(self):
        for name in ("dot", "distance_to", "distance_squared"):
            assert str(inspect.signature(getattr(VecList, name))) == "(self, /, other, *, out=None)"
        for name in ("magnitude", "is_unit"):
            assert str(inspect.signature(getattr(VecList, name))) == "(self, /, *, out=None)"

    def test_out_is_keyword_only(self):
        v = VecList([Vec3d(1, 2, 3)] * 2)
        out = np.zeros(2)
        with pytest.raises(TypeError, match=r"^VecList\.dot\(\) takes 1 positional arguments but 2 were given$"):
            v.dot(P, out)
        # Still the message of a method without parameters, as before out= existed.
        with pytest.raises(TypeError, match=r"^VecList\.magnitude\(\) takes no arguments \(1 given\)$"):
            v.magnitude(out)
        with pytest.raises(TypeError, match=r"^VecList\.is_unit\(\) takes no arguments \(2 given\)$"):
            v.is_unit(out, out)
        with pytest.raises(TypeError, match=r"^VecList\.magnitude\(\) got an unexpected keyword argument 'other'$"):
            v.magnitude(other=out)
        with pytest.raises(TypeError, match=r"^VecList\.dot\(\) missing 1 required positional argument: 'other'$"):
            v.dot(out=out)
        assert not out.any()
        assert v.dot(out=out, other=P) is out and out.tolist() == v.dot(P)


@needs_python_buffer_protocol
class TestExportersInPython:
    def test_an_exporter_that_changes_the_arguments_is_refused_and_released(self):
        v, p = VecList([Vec3d(1, 2, 3)] * 3), Vec3d(1, 1, 1)
        storage = np.zeros(3)
        seen = []

        class Changing:
            def __buffer__(self, flags):
                for change in (lambda: v.append(p), lambda: setattr(p, "x", 5.0)):
                    try:
                        change()
                    except RuntimeError as error:
                        seen.append(str(error))
                return memoryview(storage)

            def __release_buffer__(self, view):
                seen.append("released")

        out = Changing()
        assert v.distance_squared(p, out=out) is out
        assert seen == ["Already borrowed", "Already borrowed", "released"]
        assert storage.tolist() == [5.0] * 3 and p.x == 1.0 and len(v) == 3

