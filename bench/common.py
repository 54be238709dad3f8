"""Timing helpers shared by the benchmarks: best-of-N per-call times."""

import timeit


def per_call_ns(stmt: str, env: dict, number: int = 200_000, repeat: int = 7) -> float:
    """Best per-call time in nanoseconds of `stmt`, loop overhead included
    (the same for every contender, so ratios stay comparable)."""
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def fmt(ns):
    return "—" if ns is None else f"{ns:8.1f}"


def ratio(a, b):
    return "—" if a is None or b is None else f"{a / b:5.2f}"
