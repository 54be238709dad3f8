"""Runs mypy's stubtest over tessary_py, the geometry submodule included.

The submodule is only an attribute of tessary_py: it is deliberately not
entered in sys.modules, so `import tessary_py.geometry` fails, and stubtest,
which imports every module it checks by its dotted name, could not find it.
For this check alone it is entered under that name before stubtest starts.

stubtest is given the package name only: it checks every submodule that the
stub package holds (naming tessary_py.geometry as well would make mypy load
that stub twice). Further arguments are passed on (allowlists, for example).
"""

import sys

import tessary_py
from mypy import stubtest

sys.modules["tessary_py.geometry"] = tessary_py.geometry

if __name__ == "__main__":
    sys.exit(stubtest.test_stubs(stubtest.parse_options(["tessary_py", *sys.argv[1:]])))
