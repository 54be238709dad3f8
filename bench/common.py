"""Timing helpers shared by the benchmarks: best-of-N per-call times of
statements, best times of bulk calls measured in alternation, the check
that two contenders computed the same thing, and the peers at hand."""

import gc
import os
import time
import timeit
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np


def per_call_times(stmts, env: dict, repeat: int = 7, sample: float = 0.02) -> list:
    """Best per-call time in nanoseconds of each statement (None stays None):
    each statement is run in samples of about `sample` seconds, and the
    statements take turns within each of `repeat` rounds. Loop overhead is
    included: it is the same for every contender, so ratios stay comparable."""
    timers, numbers = [], []
    for s in stmts:
        timer = None if s is None else timeit.Timer(s, globals=env)
        timers.append(timer)
        numbers.append(0 if timer is None else max(1, int(sample / (timer.timeit(100) / 100))))
    best = [None if t is None else float("inf") for t in timers]
    for _ in range(repeat):
        for k, timer in enumerate(timers):
            if timer is not None:
                best[k] = min(best[k], timer.timeit(numbers[k]) / numbers[k] * 1e9)
    return best


def per_call_ns(stmt: str, env: dict, repeat: int = 7) -> float:
    """Best per-call time in nanoseconds of one statement."""
    return per_call_times([stmt], env, repeat)[0]


def pool_threads() -> int:
    """The worker pool's size, as the module sizes it."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        value = os.environ.get(name, "")
        if value.isdigit() and int(value) > 0:
            return int(value)
    return len(os.sched_getaffinity(0))


def best_run(fn: Callable, repeat: int, warm_up: bool = False):
    """(best seconds, last result) of `repeat` calls of fn(), each after a
    garbage collection; `warm_up` makes one uncounted call first."""
    if warm_up:
        fn()
    best, result = float("inf"), None
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def best_time(fn: Callable, budget: float, min_samples: int = 1, sample: float = 1e-3) -> float:
    """Best seconds per call of fn() within about `budget` seconds (at least
    `min_samples` samples). A call shorter than `sample` seconds is repeated
    within each sample, so that the clock's own cost stays negligible."""
    start = time.perf_counter()
    fn()
    first = time.perf_counter() - start
    number = max(1, int(sample / first)) if first > 0 else 1000
    best, samples = first, 0
    while samples < min_samples or time.perf_counter() - start < budget:
        t = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t) / number)
        samples += 1
    return best


def interleaved(fns, budget: float = 0.25, rounds: int = 5) -> list:
    """Best seconds per call of each function, measured in alternation:
    `rounds` rounds in which each function gets budget / rounds seconds."""
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for k, fn in enumerate(fns):
            best[k] = min(best[k], best_time(fn, budget / rounds))
    return best


@dataclass
class Op:
    """One bulk operation beside its peer. `raw` is a second peer (numpy
    without the conversion to a Python list); `value` gives ours' result for
    the check where `ours` returns nothing (an in-place operation); `exact`
    says that the results must agree bit for bit."""
    name: str
    ours: Callable
    peer: Callable
    peer_text: str
    kind: str = "VecList"
    exact: bool = False
    raw: Optional[Callable] = None
    raw_text: str = ""
    value: Optional[Callable] = None


def compare(ours, peer):
    """(bit-exact, largest absolute difference) between two results: arrays,
    VecLists, lists of numbers or bools, numbers, or tuples of these."""
    if isinstance(ours, tuple):
        parts = [compare(a, b) for a, b in zip(ours, peer, strict=True)]
        return all(p[0] for p in parts), max(p[1] for p in parts)
    a, b = np.asarray(ours, dtype=np.float64), np.asarray(peer, dtype=np.float64)
    if a.shape != b.shape:
        return False, float("inf")
    return a.tobytes() == b.tobytes(), float(np.max(np.abs(a - b), initial=0.0))


def check(op: Op, tolerance: float = 1e-9):
    """Runs ours and the peer(s) once and asserts that they agree (bit for
    bit where `op.exact`, else within `tolerance`); returns (bit-exact,
    largest difference) against the peer."""
    mine = (op.value or op.ours)()
    results = [compare(mine, peer()) for peer in (op.peer, op.raw) if peer is not None]
    for exact, diff in results:
        assert exact if op.exact else diff <= tolerance, (op.name, exact, diff)
    return results[0]


def fmt(ns):
    return "—" if ns is None else f"{ns:8.1f}"


def ratio(a, b):
    return "—" if a is None or b is None else f"{a / b:5.2f}"


def importable_peers(modules: dict) -> dict:
    """{name: module or None} for {name: module path}; a missing peer is
    left out of every table."""
    found = {}
    for name, module in modules.items():
        try:
            found[name] = __import__(module, fromlist=["_"])
        except ImportError:
            found[name] = None
    return found
