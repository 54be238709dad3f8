"""The same inputs give the same bits on every processor: results of every
operation, and of the bulk operations with one and two workers, against a
table made on x86-64 (tests/cross_target.py writes it)."""

import json
import math
import struct

import pytest

import cross_target

pytestmark = pytest.mark.platform_dependent

TABLE = json.loads(cross_target.TABLE.read_text())


def ordered(value: float) -> int:
    """The double's position in the line of all doubles, so that adjacent
    doubles differ by 1 (+0 and -0 share a position)."""
    bits = struct.unpack("<q", struct.pack("<d", value))[0]
    return -(bits & 0x7FFFFFFFFFFFFFFF) if bits < 0 else bits


def within_one_ulp(expected: str, got: str) -> bool:
    if expected == got:
        return True
    if "nan" in (expected, got) or not expected.startswith(("0x", "-0x")) or not got.startswith(("0x", "-0x")):
        return False
    a, b = float.fromhex(expected), float.fromhex(got)
    if math.isinf(a) or math.isinf(b):
        return False
    return abs(ordered(a) - ordered(b)) <= 1


@pytest.fixture(scope="module")
def computed():
    return cross_target.scalar_operations()


def test_table_covers_every_operation(computed):
    assert set(computed) == set(TABLE["scalar"])
    assert set(cross_target.LIBRARY_DEPENDENT) <= set(computed)


@pytest.mark.parametrize("name", sorted(n for n in TABLE["scalar"] if n not in cross_target.LIBRARY_DEPENDENT))
def test_exact_operations(computed, name):
    items = cross_target.flatten(computed[name])
    expected = TABLE["scalar"][name]
    assert len(items) == expected["count"], f"{name}: a different number of results"
    assert cross_target.row_digest(items) == expected["sha256"], (
        f"{name} gives other bits than on x86-64; `python tests/cross_target.py --dump FILE` on both "
        "machines shows where")


def within_bound(expected: str, got: str, bound: float) -> bool:
    """Both numbers, at most `bound` apart."""
    if not expected.startswith(("0x", "-0x")) or not got.startswith(("0x", "-0x")):
        return False
    return abs(float.fromhex(expected) - float.fromhex(got)) <= bound


@pytest.mark.parametrize("name", sorted(cross_target.LIBRARY_DEPENDENT))
def test_library_dependent_operations_to_one_ulp(computed, name):
    got = [cross_target.text(item) for item in cross_target.flatten(computed[name])]
    expected = TABLE["scalar"][name]["values"]
    assert len(got) == len(expected)
    bound = cross_target.COMPOUND.get(name)
    far = [(k, e, g) for k, (e, g) in enumerate(zip(expected, got))
           if not within_one_ulp(e, g) and not (bound is not None and within_bound(e, g, bound))]
    assert not far, f"{name}: {len(far)} results more than one ulp from x86-64's, first (index, x86-64, here): {far[0]}"


@pytest.mark.parametrize("threads", cross_target.BULK_THREADS)
def test_bulk_operations(threads):
    got = cross_target.bulk_digests_with_threads(threads)
    differing = sorted(name for name in TABLE["bulk"] if got.get(name) != TABLE["bulk"][name])
    assert set(got) == set(TABLE["bulk"])
    assert not differing, f"with {threads} worker(s) these differ from x86-64: {', '.join(differing)}"


class TestOneUlpComparison:
    def test_neighbours_and_signs(self):
        one = (1.0).hex()
        assert within_one_ulp(one, (1.0000000000000002).hex())
        assert within_one_ulp(one, (0.9999999999999999).hex())
        assert not within_one_ulp(one, (1.0000000000000004).hex())
        assert within_one_ulp((0.0).hex(), (5e-324).hex()) and within_one_ulp((-0.0).hex(), (-5e-324).hex())
        assert not within_one_ulp((5e-324).hex(), (-5e-324).hex())

    def test_compound_results_within_their_bound(self):
        assert set(cross_target.COMPOUND) <= cross_target.LIBRARY_DEPENDENT
        assert within_bound((1e-3).hex(), (1e-3 + 2.0**-50).hex(), 2.0**-50)
        assert not within_bound((1e-3).hex(), (1e-3 + 2.0**-49).hex(), 2.0**-50)
        assert not within_bound("nan", (0.0).hex(), 1.0) and not within_bound(math.inf.hex(), math.inf.hex(), 1.0)

    def test_special_values_must_match_exactly(self):
        assert within_one_ulp("nan", "nan")
        assert not within_one_ulp("nan", (1.0).hex())
        assert not within_one_ulp(math.inf.hex(), (1.7976931348623157e308).hex())
        assert not within_one_ulp("True", "False")
