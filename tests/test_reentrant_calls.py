"""Python code that runs in the middle of a call (a __float__, __index__ or
__bool__ of an argument) and reaches back into the call's own objects."""

import subprocess
import sys
import textwrap

import pytest

from tessary_py import Quat, Vec3d, VecList, geometry


def run_isolated(code: str) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter, so that a crash is a test failure."""
    return subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)


class TestKeywordDictionaryEmptiedDuringConversion:
    # Vec3d.__new__(Vec3d, **{...}) hands the constructor a dictionary that
    # holds the only references to the later arguments; a conversion that
    # finds the dictionary and clears it must not free them under the call.
    CODE = """
        import gc
        from tessary_py import Vec3d

        class Clearing:
            def __float__(self):
                for holder in gc.get_referrers(self):
                    if type(holder) is dict and "z" in holder:
                        holder.clear()
                return 1.0

        class Later:
            def __float__(self):
                return 2.0

        print(Vec3d.__new__(Vec3d, **{"x": Clearing(), "y": 1.0, "z": Later()}))
        print(Vec3d.__new__(Vec3d, 0.5, **{"y": Clearing(), "z": Later()}))
    """

    def test_later_arguments_stay_alive(self):
        result = run_isolated(self.CODE)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split("\n")[:2] == ["Vec3d(1, 1, 2)", "Vec3d(0.5, 1, 2)"]


class Mutating:
    """A number whose conversion first runs `action`, then yields `value`."""

    def __init__(self, action, value=1.0):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return self.value

    def __index__(self):
        self.action()
        return int(self.value)


class TestArgumentsConvertedEarlierStayBorrowed:
    # A class argument stays under its shared access until the call ends, so
    # Python code run by a later conversion cannot change it: the write is
    # refused with "Already borrowed", as a write to the receiver is.

    def test_circle_center_during_radius_conversion(self):
        center = Vec3d(0, 0, 0)

        def write():
            center.x = 5.0

        try:
            geometry.Circle(center, Mutating(write), Vec3d(0, 0, 1))
        except RuntimeError as error:
            assert str(error) == "Already borrowed"
        else:
            raise AssertionError("the write to center was not refused")
        assert center.x == 0.0

    def test_plane_normal_during_distance_conversion(self):
        normal = Vec3d(0, 0, 1)

        def write():
            normal.z = 2.0

        try:
            geometry.Plane(normal, Mutating(write))
        except RuntimeError as error:
            assert str(error) == "Already borrowed"
        else:
            raise AssertionError("the write to normal was not refused")
        assert normal.z == 1.0

    def test_circle_during_numpy_like_flag_conversion(self):
        circle = geometry.Circle(Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 1))

        class Meta(type):
            @property
            def __module__(cls):
                return "numpy"

        class FakeFlag(metaclass=Meta):
            def __bool__(self):
                circle.radius = 7.0
                return True

        FakeFlag.__name__ = "bool_"
        for function in (geometry.circle_point, geometry.circle_point_unchecked):
            try:
                function(circle, Vec3d(0.5, 0, 0), FakeFlag())
            except RuntimeError as error:
                assert str(error) == "Already borrowed"
            else:
                raise AssertionError("the write to circle was not refused")
        assert circle.radius == 1.0

    def test_receiver_during_argument_conversion(self):
        v = Vec3d(1, 2, 3)

        def write():
            v.x = 9.0

        for call in (lambda: v[Mutating(write)], lambda: v * Mutating(write)):
            try:
                call()
            except (RuntimeError, TypeError):
                pass
        assert v.x == 1.0

    def test_reading_the_arguments_is_allowed(self):
        center, normal = Vec3d(1, 2, 3), Vec3d(0, 0, 1)
        seen = []
        circle = geometry.Circle(center, Mutating(lambda: seen.append((center.x, repr(center)))), normal)
        assert seen == [(1.0, "Vec3d(1, 2, 3)")]
        assert circle.center == center


class TestVecListWrittenDuringItsOwnCall:
    # A list is under a shared access for the whole of a call on it, so an
    # append from Python code run by a conversion is refused and the call
    # sees the list as it was.

    @staticmethod
    def refusing(v, swallow=False):
        """A number whose conversion tries to append to v; with `swallow`
        it ignores the refusal and converts anyway."""
        def write():
            try:
                v.append(Vec3d(9, 9, 9))
            except RuntimeError as error:
                if not swallow:
                    raise
                assert str(error) == "Already borrowed"
        return Mutating(write)

    CALLS = {
        "collapse": lambda v, n: v.collapse(n),
        "minimum_distance_to": lambda v, n: v.minimum_distance_to(Vec3d(7, 8, 9), n),
        "getitem": lambda v, n: v[n],
    }

    @pytest.mark.parametrize("name", CALLS)
    def test_index_conversion(self, name):
        call = self.CALLS[name]
        v = VecList([Vec3d(1, 2, 3), Vec3d(-4, 5, -6), Vec3d(7, 8, 9)])
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            call(v, self.refusing(v))
        assert v.to_array() == [[1, 2, 3], [-4, 5, -6], [7, 8, 9]]
        # Refused but ignored: the call goes on with the list unchanged.
        result = call(v, self.refusing(v, swallow=True))
        assert repr(result) == repr(call(VecList(v), 1))
        assert len(v) == 3

    def test_other_argument_during_stride_conversion(self):
        v, other = VecList([Vec3d(1, 2, 3)]), Vec3d(0, 0, 0)

        def write():
            other.x = 5.0

        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            v.minimum_distance_to(other, Mutating(write))
        assert other.x == 0.0

    def test_extend_with_itself(self):
        v = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            v.extend(v)
        assert v.to_array() == [[1, 2, 3], [4, 5, 6]]

    def test_operators_give_not_implemented(self):
        v = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
        for call in (lambda: v * self.refusing(v), lambda: self.refusing(v) * v, lambda: v / self.refusing(v)):
            with pytest.raises(TypeError, match="^unsupported operand type"):
                call()
        assert v.to_array() == [[1, 2, 3], [4, 5, 6]]
        assert (v * self.refusing(v, swallow=True)).to_array() == [[1, 2, 3], [4, 5, 6]]
        assert len(v) == 2


class TestVecListWrittenByFinalizers:
    # Building a result allocates Python objects, and the cyclic collector
    # may then run finalizers that write to the list being read. Each write
    # is either refused or lands whole before or after the read.
    #
    # Whether the collector can start inside a native call depends on the
    # interpreter: some collect at the allocation that crosses the threshold,
    # others only schedule the collection for the next check between
    # bytecodes, after the call has returned. The first line printed says
    # which this interpreter does, seen from a builtin that allocates while
    # it fills a list: a finalizer that runs inside the call sees the list
    # half filled.
    CODE = """
        import gc
        from tessary_py import Quat, Vec3d, VecList

        # call() with an instance of `finalizer` left in a garbage cycle and
        # the collector due at the next allocation.
        def with_finalizer_pending(finalizer, call):
            gc.collect()
            f = finalizer()
            f.cycle = f
            del f
            threshold = gc.get_threshold()
            gc.set_threshold(1)
            try:
                return call()
            finally:
                gc.set_threshold(*threshold)
                gc.collect()

        def collector_runs_inside_native_calls():
            target, seen = [], []

            class Finalized:
                def __del__(self):
                    seen.append(len(target))

            pairs, extend = zip(range(3000), range(3000)), target.extend
            # each pair is a new tuple, tracked by the collector
            with_finalizer_pending(Finalized, lambda: extend(pairs))
            return seen[0] < 3000

        print("collector inside native calls:", collector_runs_inside_native_calls())

        items = [Vec3d(i, -i, 0.5 * i) for i in range(3000)]
        # Each read allocates nothing of its own before the call, so that the
        # first allocation that can start the collector is inside it.
        reads = {
            "to_array": lambda v: v.to_array(), "list": lambda v: v.list, "repr": repr,
            "magnitude": lambda v: v.magnitude(), "dot": lambda v: v.dot(Vec3d(1, 2, 3)),
            "iter": lambda v: list(iter(v)), "nearest": lambda v: v.minimum_distance_to(Vec3d(5, 0, 0), 7),
            "collapse": lambda v: v.collapse(1).to_array(), "copy": lambda v: VecList(v).to_array(),
        }

        def plain(result):
            return [tuple(e) for e in result] if type(result) is list and type(result[0]) is Vec3d else result

        writes = {
            "append": lambda v: v.append(Vec3d(9, 9, 9)),
            "extend": lambda v: v.extend(VecList([Vec3d(8, 8, 8)] * 10)),
            "rotate": lambda v: v.rotate(Quat(0, 1, 0, 0)),
        }
        for read_name, read in reads.items():
            for write_name, write in writes.items():
                v = VecList(items)
                outcome = []

                class Writer:
                    def __del__(self):
                        try:
                            write(v)
                            outcome.append("written")
                        except RuntimeError as error:
                            outcome.append(str(error))

                result = plain(with_finalizer_pending(Writer, lambda: read(v)))
                before = plain(read(VecList(items)))
                changed = VecList(items)
                write(changed)
                after = plain(read(changed))
                good = result in (before, after) and plain(read(v)) == (after if outcome == ["written"] else before)
                print(read_name, write_name, outcome[0] if outcome else "not run", "ok" if good else "BAD")
    """

    def test_writes_are_refused_or_whole(self):
        result = run_isolated(self.CODE)
        assert result.returncode == 0, result.stderr
        first, *rest = result.stdout.splitlines()
        collector_inside = {"collector inside native calls: True": True,
                            "collector inside native calls: False": False}[first]
        lines = [line.split() for line in rest]
        assert len(lines) == 27
        assert [line for line in lines if line[-1] != "ok"] == []
        outcomes = {line[2] for line in lines}
        assert outcomes <= {"written", "Already"}
        # Where the collector can run inside a call, some writes came while
        # the list was being read and were refused; where it cannot, every
        # write came after the read and landed.
        assert ("Already" in outcomes) == collector_inside


class TestSnapshotsSurviveWrites:
    # An iterator, and a list built from another list, share the list's array
    # until the list is written; the write copies or replaces it first.
    HALF_TURN = Quat(0, 1, 0, 0)
    WRITES = {
        "append": (lambda v, copy: v.append(Vec3d(9, 9, 9)), lambda old: old + [[9, 9, 9]]),
        "extend": (lambda v, copy: v.extend(VecList([Vec3d(8, 8, 8)] * 2)), lambda old: old + [[8, 8, 8]] * 2),
        "extend with the copy": (lambda v, copy: v.extend(copy), lambda old: old + old),
        "rotate": (lambda v, copy: v.rotate(TestSnapshotsSurviveWrites.HALF_TURN),
                   lambda old: [TestSnapshotsSurviveWrites.HALF_TURN.rotate(Vec3d(*e)).to_array() for e in old]),
    }

    @pytest.mark.parametrize("name", WRITES)
    def test_iterator_and_copy_keep_their_elements(self, name):
        write, expected = self.WRITES[name]
        v = VecList([Vec3d(i, -i, 0.5 * i) for i in range(5)])
        old = v.to_array()
        started, fresh, copy = iter(v), iter(v), VecList(v)
        next(started)
        write(v, copy)
        assert v.to_array() == expected(old)
        assert [e.to_array() for e in started] == old[1:]
        assert [e.to_array() for e in fresh] == old
        assert copy.to_array() == old
