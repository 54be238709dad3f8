"""Per-call cost of the quaternion and angle entry points beside PyGLM and
pyquaternion, measured in one run. Run with the built module on PYTHONPATH:

    PYTHONPATH=build python3 bench/bench_quat.py
"""
import math
import timeit

import glm
import numpy as np
from pyquaternion import Quaternion

from tessary_py import AngleRadians, Quat, Vec3d

REPEAT = 9
TARGET_SECONDS = 0.2


def per_call_ns(statement, namespace):
    timer = timeit.Timer(statement, globals=namespace)
    number, _ = timer.autorange()
    number = max(number, int(number * TARGET_SECONDS / 0.2))
    return min(timer.repeat(repeat=REPEAT, number=number)) / number * 1e9


def main():
    theta = 0.7
    ns = {
        "AngleRadians": AngleRadians, "Quat": Quat, "Vec3d": Vec3d, "glm": glm, "Quaternion": Quaternion,
        "math": math, "theta": theta,
        "axis": Vec3d(0.0, 0.6, 0.8), "angle": AngleRadians(theta), "v": Vec3d(1.0, 2.0, 3.0),
        "q": Quat.from_axis_angle(Vec3d(0.0, 0.6, 0.8), AngleRadians(theta)),
        "g_axis": glm.dvec3(0.0, 0.6, 0.8), "g_v": glm.dvec3(1.0, 2.0, 3.0),
        "g_q": glm.angleAxis(theta, glm.dvec3(0.0, 0.6, 0.8)),
        "p_axis": [0.0, 0.6, 0.8], "p_v": np.array([1.0, 2.0, 3.0]),
        "p_q": Quaternion(axis=[0.0, 0.6, 0.8], angle=theta),
    }
    rows = [
        ("from_axis_angle", "Quat.from_axis_angle(axis, angle)", "glm.angleAxis(theta, g_axis)",
         "Quaternion(axis=p_axis, angle=theta)"),
        ("rotate", "q.rotate(v)", "g_q * g_v", "p_q.rotate(p_v)"),
        ("to_rotation_matrix", "q.to_rotation_matrix()", "glm.mat3_cast(g_q)", "p_q.rotation_matrix"),
        ("AngleRadians(x).sin()", "AngleRadians(theta).sin()", None, None, "math.sin(theta)"),
        ("angle.sin()", "angle.sin()", None, None, "math.sin(theta)"),
    ]
    columns = ("PyGLM", "pyquaternion", "math")
    header = f"{'operation':<24}{'tessary ns':>11}" + "".join(f"{c + ' ns':>17}{'ratio':>8}" for c in columns)
    print(header)
    print("-" * len(header))
    for name, ours, *peers in rows:
        t = per_call_ns(ours, ns)
        line = f"{name:<24}{t:>11.1f}"
        for peer in peers + [None] * (len(columns) - len(peers)):
            if peer is None:
                line += " " * 25
            else:
                p = per_call_ns(peer, ns)
                line += f"{p:>17.1f}{p / t:>7.2f}x"
        print(line)
    print("ratio = peer time / tessary time (above 1: tessary is faster)")
    # The matrix result is four new lists and nine new floats; this is what
    # the interpreter itself needs to build the same nested list.
    floor = per_call_ns("[[a + 0.0, b, c], [a, b + 0.0, c], [a, b, c + 0.0]]", {"a": 1.5, "b": 2.5, "c": 3.5})
    print(f"for scale: a Python literal list of 3 lists of 3 floats (3 of them new) takes {floor:.1f} ns")


if __name__ == "__main__":
    main()
