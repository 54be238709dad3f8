"""Pure-Python formulas with the C library's results where `math` refuses.

Python floats are IEEE doubles and Python never fuses a multiply and an
add, so each formula written here in the module's evaluation order is an
exact oracle for the native result.
"""
import ctypes
import ctypes.util
import math
import random
import struct
from decimal import Decimal

EPSILON = 2.0**-52

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("sin", "cos", "tan", "acos"):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = [ctypes.c_double]


def _libm_call(name):
    # math raises for infinite or out-of-domain input where the C function
    # returns NaN; that NaN is what the module gets too.
    python_fn, c_fn = getattr(math, name), getattr(_libm, name)

    def call(x):
        try:
            return python_fn(x)
        except ValueError:
            return c_fn(x)

    return call


sin, cos, tan, acos = (_libm_call(n) for n in ("sin", "cos", "tan", "acos"))
# math.atan2 is the C library's, with C99's special values; math.hypot is
# Python's own algorithm, so the C library's is called instead.
atan2 = math.atan2
_libm.hypot.restype = ctypes.c_double
_libm.hypot.argtypes = [ctypes.c_double, ctypes.c_double]
hypot = _libm.hypot


def div(a, b):
    """IEEE division, where Python raises ZeroDivisionError."""
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def agree(a, b):
    """Equal bit patterns, or both NaN (NaN sign and payload are not part of any result)."""
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(agree(x, y) for x, y in zip(a, b))
    if a != a and b != b:
        return True
    return struct.pack("<d", a) == struct.pack("<d", b)


def positional(x):
    """The shortest round-trip digits laid out without an exponent."""
    if x != x:
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(Decimal(repr(x)).normalize(), "f")


def interesting_double(rng):
    """Mostly ordinary values, often the ones that break formulas."""
    kind = rng.random()
    if kind < 0.45:
        return rng.uniform(-2.0, 2.0)
    if kind < 0.60:
        return rng.choice([0.0, -0.0, 1.0, -1.0, 0.5, math.pi, 1.0 + EPSILON, 1.0 - EPSILON / 2])
    if kind < 0.70:
        return rng.choice([math.inf, -math.inf, math.nan])
    if kind < 0.80:
        return rng.choice([5e-324, -5e-324, 2.2250738585072014e-308 / 3, 1e300, -1e300, 1.7976931348623157e308])
    # Any finite bit pattern: every exponent, subnormals included.
    while True:
        value = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if math.isfinite(value):
            return value


def cases(count, width, seed):
    rng = random.Random(seed)
    return [tuple(interesting_double(rng) for _ in range(width)) for _ in range(count)]
