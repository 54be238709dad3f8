"""Per-call cost of the quaternion and angle entry points beside PyGLM and
pyquaternion, measured in one run. Run after installing (needs PyGLM,
pyquaternion and numpy):

    python3 bench/bench_quat.py
"""
import math
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

import glm  # noqa: E402
import numpy as np  # noqa: E402
from pyquaternion import Quaternion  # noqa: E402

from common import per_call_ns, per_call_times  # noqa: E402
from tessary_py import AngleRadians, Quat, Vec3d  # noqa: E402

THETA = 0.7
env = {
    "AngleRadians": AngleRadians, "Quat": Quat, "Vec3d": Vec3d, "glm": glm, "Quaternion": Quaternion,
    "math": math, "theta": THETA,
    "axis": Vec3d(0.0, 0.6, 0.8), "angle": AngleRadians(THETA), "v": Vec3d(1.0, 2.0, 3.0),
    "q": Quat.from_axis_angle(Vec3d(0.0, 0.6, 0.8), AngleRadians(THETA)),
    "g_axis": glm.dvec3(0.0, 0.6, 0.8), "g_v": glm.dvec3(1.0, 2.0, 3.0),
    "g_q": glm.angleAxis(THETA, glm.dvec3(0.0, 0.6, 0.8)),
    "p_axis": [0.0, 0.6, 0.8], "p_v": np.array([1.0, 2.0, 3.0]),
    "p_q": Quaternion(axis=[0.0, 0.6, 0.8], angle=THETA),
    # A second rotation to compose with; the same one in every library.
    "q2": Quat.from_axis_angle(Vec3d(1.0, 2.0, 2.0) / 3, AngleRadians(1.1)),
    "g_q2": glm.angleAxis(1.1, glm.dvec3(1.0, 2.0, 2.0) / 3),
    "p_q2": Quaternion(axis=[1 / 3, 2 / 3, 2 / 3], angle=1.1),
}

COLUMNS = ("tessary_py", "PyGLM", "pyquaternion", "math")

# operation: (tessary_py, PyGLM, pyquaternion, math)
cases = {
    "Quat.from_axis_angle": ("Quat.from_axis_angle(axis, angle)", "glm.angleAxis(theta, g_axis)",
                             "Quaternion(axis=p_axis, angle=theta)", None),
    "Quat.rotate": ("q.rotate(v)", "g_q * g_v", "p_q.rotate(p_v)", None),
    "to_rotation_matrix": ("q.to_rotation_matrix()", "glm.mat3_cast(g_q)", "p_q.rotation_matrix", None),
    "Quat * Quat": ("q * q2", "g_q * g_q2", "p_q * p_q2", None),
    "AngleRadians(x).sin()": ("AngleRadians(theta).sin()", None, None, "math.sin(theta)"),
    "angle.sin()": ("angle.sin()", None, None, "math.sin(theta)"),
}


def measure():
    """{operation: [ns per call for each of COLUMNS, None where none]},
    the contenders of each operation timed in alternation."""
    return {name: per_call_times(stmts, env, repeat=9) for name, stmts in cases.items()}


def main():
    columns = COLUMNS[1:]
    header = f"{'operation':<24}{'tessary ns':>11}" + "".join(f"{c + ' ns':>17}{'ratio':>8}" for c in columns)
    print(header)
    print("-" * len(header))
    for name, (t, *peers) in measure().items():
        line = f"{name:<24}{t:>11.1f}"
        for p in peers:
            line += " " * 25 if p is None else f"{p:>17.1f}{p / t:>7.2f}x"
        print(line)
    print("ratio = peer time / tessary time (above 1: tessary is faster)")
    # The matrix result is four new lists and nine new floats; this is what
    # the interpreter itself needs to build the same nested list.
    floor = per_call_ns("[[a + 0.0, b, c], [a, b + 0.0, c], [a, b, c + 0.0]]", {"a": 1.5, "b": 2.5, "c": 3.5})
    print(f"for scale: a Python literal list of 3 lists of 3 floats (3 of them new) takes {floor:.1f} ns")


if __name__ == "__main__":
    main()
