"""Reference and memory balance of the hot paths and of every error path.

Each instance holds a reference to its (heap) class, so a leaked result shows
up in the class's reference count; leaked arguments show up in theirs; and
tracemalloc sees every object allocation, leaked or not.
"""

import sys
import tracemalloc

import pytest

from tessary_py import Vec3d

ROUNDS = 2000


def vec3d_calls():
    v, w, u = Vec3d(1, 2, 3), Vec3d(-0.5, 4, 1e-3), Vec3d(7, 8, 9)
    big = 10**400

    def swallow(call):
        try:
            call()
        except BaseException:
            pass

    calls = [
        lambda: Vec3d(1.0, 2.0, 3.0), lambda: Vec3d(x=1, y=2, z=3), lambda: Vec3d.zero(),
        lambda: Vec3d.new_from_to(v, w), lambda: v + w, lambda: v - w, lambda: v * 2.0, lambda: 2 * v,
        lambda: v / 3, lambda: -v, lambda: v.dot(w), lambda: v.cross(w), lambda: v.magnitude(),
        lambda: v.normalize(), lambda: v.is_unit(), lambda: v.distance_to(w), lambda: v.distance_squared(w),
        lambda: v.distance_to_line(w, u), lambda: v.project_onto_line(line_r=w, line_q=u),
        lambda: v.project_onto_plane(w), lambda: v.scalar_triple_product(w, u), lambda: v.to_array(),
        lambda: v[1], lambda: list(v), lambda: repr(v), lambda: hash(v), lambda: v == w, lambda: v != 3,
        lambda: v.x, lambda: setattr(u, "y", 8.0),
        # error paths
        lambda: swallow(lambda: Vec3d("a", 1, 2)), lambda: swallow(lambda: Vec3d(big, 1, 2)),
        lambda: swallow(lambda: Vec3d(1, 2)), lambda: swallow(lambda: Vec3d(1, 2, 3, q=1)),
        lambda: swallow(lambda: v.dot(5)), lambda: swallow(lambda: v.dot(w, other=w)),
        lambda: swallow(lambda: v[3]), lambda: swallow(lambda: v[-1]), lambda: swallow(lambda: v[1.5]),
        lambda: swallow(lambda: v * "a"), lambda: swallow(lambda: v < w), lambda: swallow(lambda: setattr(v, "x", "a")),
        lambda: swallow(lambda: delattr(v, "x")), lambda: swallow(lambda: v.magnitude(1)),
    ]
    return calls, (v, w, u, big)


def test_reference_counts_stay_flat():
    calls, arguments = vec3d_calls()
    for call in calls:
        call()
    before = [sys.getrefcount(Vec3d)] + [sys.getrefcount(a) for a in arguments]
    for call in calls:
        for _ in range(ROUNDS):
            call()
    after = [sys.getrefcount(Vec3d)] + [sys.getrefcount(a) for a in arguments]
    assert after == before


@pytest.mark.parametrize("index", range(len(vec3d_calls()[0])))
def test_memory_stays_flat(index):
    calls, _ = vec3d_calls()
    call = calls[index]
    for _ in range(100):
        call()
    tracemalloc.start()
    try:
        for _ in range(ROUNDS):
            call()
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(ROUNDS):
            call()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # A leak of one small object per call would be >= 2000 * 48 bytes.
    assert second - first < 20_000
