"""Python code that runs in the middle of a call (a __float__, __index__ or
__bool__ of an argument) and reaches back into the call's own objects."""

import subprocess
import sys
import textwrap

from tessary_py import Vec3d, geometry


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
