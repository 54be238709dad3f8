"""Per-call cost of Vec3d beside complex (the floor of a C-level call that
makes a new object), PyGLM's dvec3 and a numpy array of three doubles.

Run: python3 bench/bench_vec3d.py   (needs PyGLM and numpy)
"""

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

import glm  # noqa: E402
import numpy as np  # noqa: E402

from common import fmt, per_call_times, ratio  # noqa: E402
from tessary_py import Vec3d  # noqa: E402

env = {
    "Vec3d": Vec3d, "v": Vec3d(1.0, 2.0, 3.0), "w": Vec3d(0.5, -1.0, 4.0),
    "glm": glm, "g": glm.dvec3(1.0, 2.0, 3.0), "h": glm.dvec3(0.5, -1.0, 4.0),
    "np": np, "a": np.array([1.0, 2.0, 3.0]), "b": np.array([0.5, -1.0, 4.0]),
    "c": complex(1.0, 2.0), "d": complex(0.5, -1.0),
}

# operation: (tessary_py, complex analogue, PyGLM, numpy)
cases = {
    "construct": ("Vec3d(1.0, 2.0, 3.0)", "complex(1.0, 2.0)", "glm.dvec3(1.0, 2.0, 3.0)",
                  "np.array([1.0, 2.0, 3.0])"),
    "v + w": ("v + w", "c + d", "g + h", "a + b"),
    "v * 2.0": ("v * 2.0", "c * 2.0", "g * 2.0", "a * 2.0"),
    "v.dot(w)": ("v.dot(w)", None, "glm.dot(g, h)", "a.dot(b)"),
    "v.cross(w)": ("v.cross(w)", None, "glm.cross(g, h)", "np.cross(a, b)"),
    "v.normalize()": ("v.normalize()", "c.conjugate()", "glm.normalize(g)", "a / np.linalg.norm(a)"),
    "v.x": ("v.x", "c.real", "g.x", "a[0]"),
    "v[1]": ("v[1]", None, "g[1]", "a[1]"),
    "x, y, z = v": ("x, y, z = v", None, "x, y, z = g", "x, y, z = a"),
    "repr(v)": ("repr(v)", "repr(c)", "repr(g)", "repr(a)"),
    "hash(v)": ("hash(v)", "hash(c)", "hash(g)", None),
}


COLUMNS = ("tessary_py", "complex", "PyGLM", "numpy")


def measure():
    """{operation: [ns per call for each of COLUMNS, None where none]},
    the contenders of each operation timed in alternation."""
    return {name: per_call_times(stmts, env)
            for name, stmts in cases.items()}


def main():
    print(f"{'operation':<16}{'tessary':>9}{'complex':>9}{'PyGLM':>9}{'numpy':>9}"
          f"{'complex/':>10}{'PyGLM/':>9}{'numpy/':>9}   (ns per call, best of 7)")
    for name, (ours, floor, pyglm, npy) in measure().items():
        print(f"{name:<16}{fmt(ours):>9}{fmt(floor):>9}{fmt(pyglm):>9}{fmt(npy):>9}"
              f"{ratio(floor, ours):>10}{ratio(pyglm, ours):>9}{ratio(npy, ours):>9}")
    print("ratios are peer time / tessary_py time: above 1.00 means tessary_py is faster")


if __name__ == "__main__":
    main()
