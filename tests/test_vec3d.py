"""Vec3d: documented values, text form, hashing, and bit-exact agreement with
a pure-Python reference of every formula."""

import copy
import math
import pickle
import random
import subprocess
import sys

import pytest

import reference as ref
from conftest import bits, same_bits
from tessary_py import Vec3d

EPS = 2.0**-52
NAN = math.nan
INF = math.inf


def components(v):
    return (v.x, v.y, v.z)


class TestConstruction:
    def test_components_stored_unchanged(self):
        v = Vec3d(-0.0, NAN, -INF)
        assert bits(v.x) == bits(-0.0) and math.isnan(v.y) and v.z == -INF

    def test_named_constructors(self):
        assert components(Vec3d.zero()) == (0.0, 0.0, 0.0)
        assert components(Vec3d.i()) == (1.0, 0.0, 0.0)
        assert components(Vec3d.j()) == (0.0, 1.0, 0.0)
        assert components(Vec3d.k()) == (0.0, 0.0, 1.0)
        assert same_bits(components(Vec3d.zero()), (0.0, 0.0, 0.0))
        assert Vec3d(1, 2, 3).zero() == Vec3d.zero()

    def test_new_from_to_is_to_minus_from(self):
        a, b = Vec3d(0.1, 0.2, 0.3), Vec3d(3, -2, 1e-300)
        assert same_bits(components(Vec3d.new_from_to(a, b)), components(b - a))

    def test_results_are_new_objects(self):
        v = Vec3d(1, 2, 3)
        w = v + Vec3d.zero()
        w.x = 9
        assert v.x == 1.0
        assert v.to_array() is not v.to_array()


class TestDocumentedValues:
    def test_degenerate_vectors(self):
        assert all(math.isnan(c) for c in Vec3d.zero().normalize())
        assert Vec3d.zero().magnitude() == 0.0
        assert Vec3d.zero().is_unit() is False
        assert math.isnan(Vec3d(1, 2, 3).distance_to_line(Vec3d(1, 1, 1), Vec3d(1, 1, 1)))
        assert all(math.isnan(c) for c in Vec3d(1, 2, 3).project_onto_line(Vec3d(4, 4, 4), Vec3d(4, 4, 4)))

    def test_unit_test_is_strict(self):
        assert Vec3d.i().is_unit() is True
        assert Vec3d(0.6, 0.8, 0.0).is_unit() is True
        assert Vec3d(1.0000000000000002, 0, 0).is_unit() is False
        assert Vec3d(0.9999999999999999, 0, 0).is_unit() is True

    def test_division(self):
        assert components(Vec3d(1, 2, 3) / 0.0) == (INF, INF, INF)
        r = Vec3d(0, -1, 0) / 0.0
        assert math.isnan(r.x) and r.y == -INF and math.isnan(r.z)
        assert repr(Vec3d(1, 2, 3) / 0) == "Vec3d(inf, inf, inf)"

    def test_negation_flips_sign_bits(self):
        n = -Vec3d.zero()
        assert same_bits(components(n), (-0.0, -0.0, -0.0))
        assert hash(n) == hash(Vec3d.zero())

    def test_products(self):
        assert Vec3d.i().cross(Vec3d.j()) == Vec3d.k()
        assert components(Vec3d.j().cross(Vec3d.i())) == (0.0, 0.0, -1.0)
        assert Vec3d.i().scalar_triple_product(Vec3d.j(), Vec3d.k()) == 1.0
        assert Vec3d.i().scalar_triple_product(Vec3d.k(), Vec3d.j()) == -1.0
        assert components(Vec3d(0, 0, 1).project_onto_plane(Vec3d(0, 0, 2))) == (0.0, 0.0, -3.0)

    def test_scalar_on_either_side(self):
        v = Vec3d(1, 2, 3)
        assert components(3 * v) == components(v * 3) == (3.0, 6.0, 9.0)
        assert components(v * True) == (1.0, 2.0, 3.0)

    def test_in_place_operators_rebind(self):
        v = Vec3d(1, 2, 3)
        w = v
        v += Vec3d(1, 1, 1)
        v *= 2
        assert components(w) == (1.0, 2.0, 3.0)
        assert components(v) == (4.0, 6.0, 8.0)

    def test_missing_members(self):
        v = Vec3d(1, 2, 3)
        assert bool(Vec3d.zero()) is True
        for call in (lambda: abs(v), lambda: +v, lambda: len(v), lambda: copy.copy(v), lambda: pickle.dumps(v)):
            with pytest.raises(TypeError):
                call()


class TestSequenceBehaviour:
    def test_index_and_iteration(self):
        v = Vec3d(1, 2, 3)
        assert v[2] == 3.0
        assert list(v) == [1.0, 2.0, 3.0] == v.to_array()
        x, y, z = v
        assert (x, y, z) == (1.0, 2.0, 3.0)
        assert 2.0 in v and 4.0 not in v
        assert tuple(v) == (1.0, 2.0, 3.0)


class TestEquality:
    def test_tolerance_is_absolute_and_strict(self):
        assert Vec3d(0, 0, 0) == Vec3d(1e-17, 0, 0)
        assert Vec3d(0, 0, 0) != Vec3d(EPS, 0, 0)
        assert not (Vec3d(0, 0, 0) == Vec3d(0, 0, EPS))
        assert Vec3d(1e20, 0, 0) != Vec3d(1e20 + 16384, 0, 0)

    def test_nan_is_unequal_even_to_itself(self):
        v = Vec3d(NAN, 0, 0)
        assert (v == v) is False
        assert (v != v) is True

    def test_equal_vectors_may_hash_differently(self):
        a, b = Vec3d(0, 0, 0), Vec3d(1e-17, 0, 0)
        assert a == b and len({a, b}) == 2


class TestText:
    @pytest.mark.parametrize("v, text", [
        (Vec3d(1, 2, 3), "Vec3d(1, 2, 3)"),
        (Vec3d.zero(), "Vec3d(0, 0, 0)"),
        (-Vec3d.zero(), "Vec3d(-0, -0, -0)"),
        (Vec3d(1, 2.5, -0.0), "Vec3d(1, 2.5, -0)"),
        (Vec3d(0.1, 1e21, NAN), "Vec3d(0.1, 1000000000000000000000, NaN)"),
        (Vec3d(1e-7, -INF, INF), "Vec3d(0.0000001, -inf, inf)"),
        (Vec3d(1e23, 123.456, -45.5), "Vec3d(100000000000000000000000, 123.456, -45.5)"),
        (Vec3d.zero().normalize(), "Vec3d(NaN, NaN, NaN)"),
    ])
    def test_repr(self, v, text):
        assert repr(v) == text
        assert str(v) == text

    def test_shortest_form_matches_reference(self):
        rng = random.Random(1)
        for _ in range(3000):
            x = ref.random_double(rng)
            text = repr(Vec3d(x, 0, 0))[6:-7]
            assert text == ref.shortest(x), x
            if not math.isnan(x):
                assert bits(float(text)) == bits(x)


@pytest.mark.platform_dependent
class TestHash:
    def test_matches_siphash13_of_canonical_bits(self):
        rng = random.Random(2)
        for _ in range(500):
            t = ref.random_triple(rng)
            assert hash(Vec3d(*t)) == ref.vec_hash(*t)

    def test_canonicalisation(self):
        assert hash(Vec3d(0.0, 0, 0)) == hash(Vec3d(-0.0, 0, 0))
        nan_a = float.fromhex("nan")
        nan_b = -math.nan
        assert hash(Vec3d(nan_a, 1, 2)) == hash(Vec3d(nan_b, 1, 2))
        assert hash(Vec3d(1, 2, 3)) != hash(Vec3d(3, 2, 1))

    def test_has_the_platform_width(self):
        """Pinned values: the digest's low word on 32-bit platforms, all of it on 64-bit ones."""
        expected = {64: 3511550596308926913, 32: -1882324543}
        assert hash(Vec3d(1, 2, 3)) == expected[ref.WORD_BITS]
        assert -(1 << (ref.WORD_BITS - 1)) <= hash(Vec3d(0.1, -2, 1e300)) <= sys.maxsize
        assert sys.hash_info.width == ref.WORD_BITS

    def test_never_minus_one(self):
        assert all(hash(Vec3d(i, 0.5, -i)) != -1 for i in range(2000))

    def test_agrees_with_interpreter_siphash(self):
        """With hash randomisation off, CPython's bytes hash is SipHash-1-3
        with the zero key: the same digest of the same 24 bytes."""
        if sys.hash_info.algorithm != "siphash13":
            pytest.skip("interpreter built with another string hash")
        code = "import struct; print(hash(struct.pack('<3d', 1.0, 2.5, -3.0)))"
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             env={"PYTHONHASHSEED": "0"}, check=True).stdout
        assert hash(Vec3d(1.0, 2.5, -3.0)) == int(out)

    def test_stable_across_runs(self):
        code = "from tessary_py import Vec3d; print(hash(Vec3d(0.1, -2, 1e300)))"
        import os
        outs = {subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               env=dict(os.environ, PYTHONHASHSEED=seed), check=True).stdout
                for seed in ("1", "2")}
        assert outs == {f"{hash(Vec3d(0.1, -2, 1e300))}\n"}


def differential_cases(count=1500, seed=3):
    rng = random.Random(seed)
    return [(ref.random_triple(rng), ref.random_triple(rng), ref.random_triple(rng), ref.random_double(rng))
            for _ in range(count)]


class TestBitExactAgainstReference:
    """Each operation against its formula, on inputs with +-0, subnormals,
    huge values, infinities and NaN."""

    def test_vector_results(self):
        for a, b, c, s in differential_cases():
            va, vb, vc = Vec3d(*a), Vec3d(*b), Vec3d(*c)
            expected = {
                "add": tuple(a[i] + b[i] for i in range(3)),
                "sub": tuple(a[i] - b[i] for i in range(3)),
                "mul": tuple(a[i] * s for i in range(3)),
                "rmul": tuple(a[i] * s for i in range(3)),
                "div": tuple(ref.div(a[i], s) for i in range(3)),
                "cross": ref.cross(a, b),
                "normalize": ref.normalize(a),
                "project_onto_line": ref.project_onto_line(a, b, c),
                "project_onto_plane": ref.project_onto_plane(a, b),
                "new_from_to": tuple(b[i] - a[i] for i in range(3)),
            }
            got = {
                "add": va + vb, "sub": va - vb, "mul": va * s, "rmul": s * va, "div": va / s,
                "cross": va.cross(vb), "normalize": va.normalize(),
                "project_onto_line": va.project_onto_line(vb, vc), "project_onto_plane": va.project_onto_plane(vb),
                "new_from_to": Vec3d.new_from_to(va, vb),
            }
            for name, want in expected.items():
                assert same_bits(components(got[name]), want), (name, a, b, c, s)

    def test_scalar_results(self):
        for a, b, c, _ in differential_cases(seed=4):
            va, vb, vc = Vec3d(*a), Vec3d(*b), Vec3d(*c)
            pairs = [
                ("dot", va.dot(vb), ref.dot(a, b)),
                ("magnitude", va.magnitude(), ref.magnitude(a)),
                ("distance_squared", va.distance_squared(vb), ref.distance_squared(a, b)),
                ("distance_to", va.distance_to(vb), ref.sqrt(ref.distance_squared(a, b))),
                ("distance_to_line", va.distance_to_line(vb, vc), ref.distance_to_line(a, b, c)),
                ("scalar_triple_product", va.scalar_triple_product(vb, vc), ref.dot(a, ref.cross(b, c))),
            ]
            for name, got, want in pairs:
                assert same_bits(got, want), (name, a, b, c)

    def test_predicates_and_negation(self):
        for a, b, _, _ in differential_cases(seed=5):
            va, vb = Vec3d(*a), Vec3d(*b)
            assert va.is_unit() is ref.is_unit(a)
            assert (va == vb) is ref.approx_eq(a, b)
            assert (va != vb) is (not ref.approx_eq(a, b))
            flipped = tuple(-x for x in a)  # Python's unary minus flips the sign bit
            assert [bits(x) ^ (1 << 63) for x in a] == [bits(x) for x in components(-va)]
            assert same_bits(components(-va), flipped) or any(math.isnan(x) for x in a)
