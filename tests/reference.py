"""Pure-Python reference formulas and value generators for differential tests.

Python floats are IEEE doubles and Python never fuses a multiply-add, so each
formula here, written in the module's evaluation order, predicts the native
result to the last bit.
"""

import math
import random
import struct
import sys

SPECIAL = [
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-300, -1e-300, 5e-324, -5e-324,
    2.2250738585072014e-308, 1e300, -1e300, 1.7976931348623157e308,
    math.inf, -math.inf, math.nan, 0.1, 1.0000000000000002, 0.9999999999999999,
]


def random_double(rng: random.Random) -> float:
    """A double drawn from a mix of special values, ordinary magnitudes and raw bit patterns."""
    kind = rng.random()
    if kind < 0.25:
        return rng.choice(SPECIAL)
    if kind < 0.75:
        return rng.uniform(-10.0, 10.0)
    if kind < 0.9:
        return rng.uniform(-1.0, 1.0) * 10.0 ** rng.randint(-300, 300)
    return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]


def random_triple(rng: random.Random):
    return (random_double(rng), random_double(rng), random_double(rng))


def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def len2(a):
    return (a[0] * a[0] + a[1] * a[1]) + a[2] * a[2]


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


# The processor's default NaN, as invalid arithmetic produces it (its sign
# and payload differ from math.nan on some processors).
_INF = math.inf
DEFAULT_NAN = _INF - _INF


def sqrt(x):
    """math.sqrt, except that a negative operand gives the processor's NaN
    instead of raising, and a NaN operand passes through."""
    if math.isnan(x):
        return x
    return math.sqrt(x) if x >= 0 else DEFAULT_NAN


def magnitude(a):
    return sqrt(len2(a))


def normalize(a):
    m = magnitude(a)
    return tuple(div(c, m) for c in a)


def div(a, b):
    """IEEE division, which Python refuses for a zero divisor."""
    if b != 0:  # also true for a NaN divisor
        return a / b
    if math.isnan(a):
        return a
    if a == 0:
        return DEFAULT_NAN
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def distance_squared(a, b):
    d = (a[0] - b[0], a[1] - b[1], a[2] - b[2])
    return (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]


def distance_to_line(v, a, b):
    d = (b[0] - a[0], b[1] - a[1], b[2] - a[2])
    t = div(((v[0] - a[0]) * d[0] + (v[1] - a[1]) * d[1]) + (v[2] - a[2]) * d[2], len2(d))
    e = tuple(v[i] - (a[i] + d[i] * t) for i in range(3))
    return sqrt(len2(e))


def project_onto_line(v, line_r, line_q):
    d = tuple(line_r[i] - line_q[i] for i in range(3))
    t = div(((line_q[0] - v[0]) * d[0] + (line_q[1] - v[1]) * d[1]) + (line_q[2] - v[2]) * d[2], len2(d))
    return tuple(line_q[i] - d[i] * t for i in range(3))


def project_onto_plane(v, normal):
    s = dot(v, normal)
    return tuple(v[i] - normal[i] * s for i in range(3))


def is_unit(a):
    return abs(magnitude(a) - 1.0) < 2.0**-52


def approx_eq(a, b):
    return all(abs(x - y) < 2.0**-52 for x, y in zip(a, b))


def siphash13(message: bytes, k0: int = 0, k1: int = 0) -> int:
    mask = (1 << 64) - 1

    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & mask

    v0, v1 = k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D
    v2, v3 = k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573

    def sipround():
        nonlocal v0, v1, v2, v3
        v0 = (v0 + v1) & mask; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32)
        v2 = (v2 + v3) & mask; v3 = rotl(v3, 16); v3 ^= v2
        v0 = (v0 + v3) & mask; v3 = rotl(v3, 21); v3 ^= v0
        v2 = (v2 + v1) & mask; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32)

    full = len(message) // 8 * 8
    for offset in range(0, full, 8):
        m = int.from_bytes(message[offset:offset + 8], "little")
        v3 ^= m; sipround(); v0 ^= m
    tail = message[full:] + bytes(7 - len(message) % 8)
    b = int.from_bytes(tail, "little") | ((len(message) & 0xFF) << 56)
    v3 ^= b; sipround(); v0 ^= b
    v2 ^= 0xFF
    sipround(); sipround(); sipround()
    return v0 ^ v1 ^ v2 ^ v3


def vec_hash(x, y, z) -> int:
    def key(c):
        return 0x7FF8000000000000 if math.isnan(c) else struct.unpack("<Q", struct.pack("<d", c + 0.0))[0]

    return platform_hash(siphash13(struct.pack("<3Q", key(x), key(y), key(z))))


# The platform's word width: 32 or 64 bits. Hash values and index
# arguments have it.
WORD_BITS = sys.maxsize.bit_length() + 1
WORD_MAX = (1 << WORD_BITS) - 1


def platform_hash(digest: int) -> int:
    """A 64-bit digest as the interpreter's hash: its low word as a signed
    number, -1 (the interpreter's error value) made -2."""
    low = digest & WORD_MAX
    signed = low - (1 << WORD_BITS) if low >> (WORD_BITS - 1) else low
    return -2 if signed == -1 else signed


def shortest(value: float) -> str:
    """The module's text of a double: repr's digits, laid out without exponent."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value == 0:
        return "-0" if math.copysign(1.0, value) < 0 else "0"
    sign = "-" if value < 0 else ""
    mantissa, _, exponent = repr(abs(value)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    if fraction == "0":
        fraction = ""
    digits = (whole + fraction).lstrip("0")
    point = len(whole) + (int(exponent) if exponent else 0)
    if whole == "0":  # repr of a value below 1e-4 that did not use an exponent
        leading = len(fraction) - len(fraction.lstrip("0"))
        point = -leading
    digits = digits.rstrip("0") or "0"
    if point >= len(digits):
        text = digits + "0" * (point - len(digits))
    elif point > 0:
        text = digits[:point] + "." + digits[point:]
    else:
        text = "0." + "0" * (-point) + digits
    return sign + text
