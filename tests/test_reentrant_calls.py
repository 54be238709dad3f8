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
