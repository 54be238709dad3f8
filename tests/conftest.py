import struct

import pytest


def bits(value: float) -> int:
    """The IEEE 754 bit pattern of a double, for exact comparisons."""
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def same_bits(a, b) -> bool:
    """True when two doubles (or sequences of doubles) agree bit for bit."""
    if isinstance(a, float):
        return isinstance(b, float) and bits(a) == bits(b)
    return len(a) == len(b) and all(same_bits(x, y) for x, y in zip(a, b))
