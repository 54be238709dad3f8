"""The Dask example: a cloud rotated chunk by chunk on worker processes, and
the nearest point found from the chunks' own nearest points, give exactly
what one VecList over the whole cloud gives: the same rotated bits, the
same position and the same distance bits, ties and NaNs included.

NaNs reach the squared distances with many bit patterns: a NaN coordinate
keeps its sign and payload through the rotation on x86-64 and AArch64, and
an infinite one makes inf - inf inside the rotation, the processor's own
NaN (its sign bit set on x86-64). Every one of them must rank as the one
NaN after every number, and NaNs tie among themselves, in the chunks'
candidates as in one VecList.
"""

import math
import os
import random
import struct
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("dask", reason="dask is not installed")
pytest.importorskip("dask.distributed", reason="dask.distributed is not installed")
import cloudpickle  # noqa: E402  (comes with dask.distributed)
import dask.array as da  # noqa: E402
import psutil  # noqa: E402

from tessary_py import Vec3d, VecList  # noqa: E402

from conftest import bits  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import dask_cloud  # noqa: E402

pytestmark = pytest.mark.interpreter_independent

# Sent to the workers by value, as when the example runs as a script: the
# workers need not find the examples folder.
cloudpickle.register_pickle_by_value(dask_cloud)

N = 10_000
# Row chunks with boundaries at 1800, 1801 (a one-row chunk), 4000, 6000, 8000.
CHUNKS = (1800, 1, 2199, 2000, 2000, 2000)
QUAT = dask_cloud.example_rotation()
PLANTED = np.array([20.0, -10.0, 15.0])  # far from the standard normal cloud


def nan(pattern):
    return np.array([pattern], dtype=np.uint64).view(np.float64)[0]


MINUS_NAN_BIG = nan(0xFFF8000000000123)
MINUS_NAN_SMALL = nan(0xFFF8000000000007)
PLUS_NAN = nan(0x7FF8000000000456)
PLUS_NAN_SIGNALLING = nan(0x7FF0000000000001)


def rotated_single(points):
    """The whole cloud rotated by one VecList on this process."""
    cloud = VecList(np.asarray(points))
    cloud.rotate(dask_cloud.tp.Quat(*QUAT))
    return cloud


def image_of(point):
    return tuple(np.asarray(rotated_single(np.array([point])))[0].tolist())


# Near the rotated planted point, so that planted copies are the nearest
# points of the cloud; not on it, so the distance is not 0.
TARGET = tuple(c + d for c, d in zip(image_of(PLANTED), (0.25, 0.5, -0.125)))


def base_cloud(seed=5):
    return np.random.default_rng(seed).standard_normal((N, 3))


def sqrt_merged_pair():
    """Two input points, a and b, whose rotated squared distances to TARGET
    differ while their square roots agree, b's the smaller: found among
    copies of PLANTED moved by a few units in the last place."""
    steps = range(-3, 4)
    spacing = np.spacing(PLANTED)
    inputs = np.array([PLANTED + np.array([i, j, k]) * spacing for i in steps for j in steps for k in steps])
    squared = rotated_single(inputs).distance_squared(Vec3d(*TARGET))
    by_root = {}
    for row, s in enumerate(squared):
        by_root.setdefault(math.sqrt(s), []).append((s, row))
    for group in by_root.values():
        (low, b), (high, a) = min(group), max(group)
        if low < high:
            assert math.sqrt(low) == math.sqrt(high)
            return inputs[a], inputs[b]
    raise AssertionError("no two squared distances with one square root among the copies")


def plant(rows):
    cloud = base_cloud()
    for position, row in rows.items():
        cloud[position] = row
    return cloud


def with_nan(where, value):
    row = PLANTED.copy()
    row[where] = value
    return row


def mixed_nan(p):
    """NaNs of both signs, several payloads, signalling and infinities."""
    return [MINUS_NAN_BIG, PLUS_NAN, MINUS_NAN_SMALL, PLUS_NAN_SIGNALLING, np.inf][p % 5]


def scenarios():
    a, b = sqrt_merged_pair()
    plus_nan_chunk = {p: with_nan(p % 3, PLUS_NAN) for p in range(0, 1800)}
    return {
        # name: (cloud, the position one VecList finds)
        "ties in different chunks": (plant({5000: PLANTED, 2500: PLANTED, 9000: PLANTED}), 2500),
        "ties within one chunk": (plant({5999: PLANTED, 4100: PLANTED, 4500: PLANTED}), 4100),
        "tie across a chunk boundary": (plant({4000: PLANTED, 3999: PLANTED}), 3999),
        "ties around a one-row chunk": (plant({1801: PLANTED, 1800: PLANTED, 1799: PLANTED}), 1799),
        "the one-row chunk wins": (plant({7000: PLANTED, 1800: PLANTED}), 1800),
        # Equal distances, but the later point's squared distance is smaller.
        "one root for two squared distances": (plant({1000: a, 7000: b}), 7000),
        # The first chunk's nearest point is a +NaN one: it must lose.
        "+NaN chunk first": (plant({**plus_nan_chunk, 6500: PLANTED, 9999: with_nan(1, PLUS_NAN)}), 6500),
        # NaNs of either sign, and the NaN of inf - inf, lose to any number.
        "NaNs lose": (plant({500: with_nan(2, MINUS_NAN_SMALL), 3000: with_nan(0, np.inf),
                             6100: with_nan(1, MINUS_NAN_BIG), 7777: PLANTED, 9500: with_nan(0, MINUS_NAN_BIG)}),
                      7777),
        # A number in the last chunk beats every NaN before it.
        "one number among NaNs": (np.array([PLANTED + 1 if p == 9000 else with_nan(p % 3, mixed_nan(p))
                                            for p in range(N)]), 9000),
        # Only NaNs: they tie, whatever their signs and payloads.
        "only NaNs": (np.array([with_nan(p % 3, mixed_nan(p)) for p in range(N)]), 0),
    }


SCENARIOS = scenarios()


@pytest.fixture(scope="module")
def client():
    """Two worker processes of one thread each, closed after the module's
    tests; their processes must be gone by then."""
    with dask_cloud.local_cluster(2, 1) as cluster, dask_cloud.connect(cluster) as client:
        pids = list(client.run(os.getpid).values())
        assert len(pids) == 2 and os.getpid() not in pids
        yield client
    processes = []
    for pid in pids:
        try:
            processes.append(psutil.Process(pid))
        except psutil.NoSuchProcess:
            pass
    _, alive = psutil.wait_procs(processes, timeout=10)
    assert not alive, f"worker processes left running: {alive}"


class TestOnWorkerProcesses:
    @pytest.mark.parametrize("name", list(SCENARIOS))
    def test_the_same_nearest_point_as_one_list(self, client, name):
        cloud, planted_answer = SCENARIOS[name]
        whole = rotated_single(cloud)
        position, distance = whole.minimum_distance_to(Vec3d(*TARGET), 1)
        assert position == planted_answer  # the cloud is planted as intended

        rotated = dask_cloud.rotate(da.from_array(cloud, chunks=(CHUNKS, 3)), QUAT)
        assert rotated.chunks[0] == CHUNKS
        found = dask_cloud.nearest(rotated, TARGET)
        assert (found.position, bits(found.distance)) == (position, bits(distance))
        assert found.key == dask_cloud.nearest_key(found.squared)
        squared = whole.distance_squared(Vec3d(*TARGET))[position]
        assert bits(found.squared) == bits(dask_cloud.RANKED_NAN if math.isnan(squared) else squared)
        assert np.asarray(whole).tobytes() == rotated.compute().tobytes()

    def test_only_nans_give_the_positive_quiet_nan(self, client):
        cloud, _ = SCENARIOS["only NaNs"]
        found = dask_cloud.nearest(dask_cloud.rotate(da.from_array(cloud, chunks=(CHUNKS, 3)), QUAT), TARGET)
        assert bits(found.squared) == bits(found.distance) == 0x7FF8000000000000

    def test_generated_on_the_workers(self, client):
        points = dask_cloud.random_cloud(30_000, 7_000, seed=3)
        found = dask_cloud.nearest(dask_cloud.rotate(points, QUAT), (0.5, -0.25, 1.0))
        position, distance = rotated_single(points.compute()).minimum_distance_to(Vec3d(0.5, -0.25, 1.0), 1)
        assert (found.position, bits(found.distance)) == (position, bits(distance))

    def test_empty_chunks_are_passed_over(self, client):
        cloud, answer = SCENARIOS["tie across a chunk boundary"]
        chunks = (0, 4000, 0, 6000, 0)
        rotated = dask_cloud.rotate(da.from_array(cloud, chunks=(chunks, 3)), QUAT)
        assert rotated.chunks[0] == chunks
        assert dask_cloud.nearest(rotated, TARGET).position == answer

    def test_an_empty_cloud_has_no_nearest_point(self, client):
        with pytest.raises(ValueError, match="no points"):
            dask_cloud.nearest(dask_cloud.rotate(da.zeros((0, 3), chunks=(5, 3)), QUAT), TARGET)

    def test_only_row_chunks(self):
        with pytest.raises(ValueError, match="chunked along rows only"):
            dask_cloud.rotate(da.zeros((10, 3), chunks=(5, 2)), QUAT)


NANS = [MINUS_NAN_BIG, MINUS_NAN_SMALL, PLUS_NAN_SIGNALLING, PLUS_NAN, float("nan")]


def keys_in_order():
    """Distinct keys, smallest first: numbers, then the one of every NaN."""
    values = [-math.inf, -1e308, -1.0, -5e-324, -0.0, 0.0, 5e-324, 1.0, 1e308, math.inf, PLUS_NAN]
    return [dask_cloud.nearest_key(float(v)) for v in values]


class TestCombine:
    def test_numbers_in_total_order_then_every_nan_as_one(self):
        keys = keys_in_order()
        assert keys == sorted(keys) and len(set(keys)) == len(keys)
        assert dask_cloud.nearest_key(0.0) == 0
        assert dask_cloud.nearest_key(-0.0) == -1
        assert {dask_cloud.nearest_key(float(v)) for v in NANS} == {dask_cloud.order_key(dask_cloud.RANKED_NAN)}
        assert bits(dask_cloud.RANKED_NAN) == 0x7FF8000000000000

    def test_the_smallest_key_then_the_lowest_position(self):
        n = dask_cloud.Nearest
        nan_plus, nan_minus = float(PLUS_NAN), float(MINUS_NAN_SMALL)
        cands = [n(9, dask_cloud.nearest_key(1.0), 1.0, 1.0), n(4, dask_cloud.nearest_key(nan_plus), nan_plus, nan_plus),
                 n(7, dask_cloud.nearest_key(0.5), 0.5, 0.5**0.5), n(3, dask_cloud.nearest_key(0.5), 0.5, 0.5**0.5)]
        assert dask_cloud.combine(cands).position == 3
        cands.append(n(1, dask_cloud.nearest_key(nan_minus), nan_minus, nan_minus))
        assert dask_cloud.combine(cands).position == 3  # a NaN of either sign loses to a number
        nans = [c for c in cands if math.isnan(c.squared)]
        assert dask_cloud.combine(nans).position == 1  # NaNs tie: the lower position

    def test_any_grouping_and_order_gives_one_answer(self):
        rng = random.Random(2)
        keys = keys_in_order()
        for _ in range(300):
            count = rng.randrange(1, 9)
            cands = [dask_cloud.Nearest(rng.randrange(50), rng.choice(keys), 0.0, 0.0) for _ in range(count)]
            expected = min(cands, key=lambda c: (c.key, c.position))
            shuffled = rng.sample(cands, count)
            cut = rng.randrange(1, count + 1)
            halves = [shuffled[:cut]] + ([shuffled[cut:]] if cut < count else [])
            split = [dask_cloud.combine(half) for half in halves]
            assert dask_cloud.combine(shuffled) == dask_cloud.combine(split) == expected
            a, b, c = (rng.choice(cands) for _ in range(3))
            assert dask_cloud.nearer(dask_cloud.nearer(a, b), c) == dask_cloud.nearer(a, dask_cloud.nearer(b, c))
