"""The build refuses options that would change results: fast-math and its
parts, wider intermediates, and contraction into fused multiply-adds. Each
case configures the project with the compiler that builds the module and
the options under test; configuration compiles and runs the floating-point
probe with the options every source file gets."""

import platform
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import cxx_compiler, toolchain_environment

pytestmark = pytest.mark.per_compiler

ROOT = Path(__file__).resolve().parent.parent
PASSED = "the floating-point probe passed"
NO_FMA = "this processor has no fused multiply-add"


def cmake():
    beside = Path(sys.executable).with_name("cmake")
    found = str(beside) if beside.exists() else shutil.which("cmake")
    if found is None:
        pytest.skip("no cmake")
    return found


def configure(tmp_path, compiler, cxxflags="", source=ROOT):
    result = subprocess.run([cmake(), "-S", str(source), "-B", str(tmp_path / "build"),
                             f"-DPython_EXECUTABLE={sys.executable}"],
                            env=toolchain_environment(CXX=compiler, CXXFLAGS=cxxflags), capture_output=True,
                            text=True, timeout=300)
    return result.returncode, result.stdout + result.stderr


def wrapped(tmp_path, *appended):
    """The module's compiler, with options put after all of the build's own,
    as a distribution's compiler wrapper or a launcher might."""
    wrapper = tmp_path / "c++-wrapped"
    wrapper.write_text(f'#!/bin/sh\nexec {" ".join(cxx_compiler())} "$@" {" ".join(appended)}\n')
    wrapper.chmod(0o755)
    return str(wrapper)


def is_clang():
    version = subprocess.run([*cxx_compiler(), "--version"], capture_output=True, text=True).stdout
    return "clang" in version


def one_line(output):
    return " ".join(output.split())


FAST_MATH = "tessary_py must not be built with -ffast-math or -Ofast"
FINITE = "tessary_py must not be built with -ffinite-math-only"
UNSAFE = "tessary_py must not be built with -funsafe-math-optimizations, -fassociative-math, -freciprocal-math"
WIDE = "tessary_py must be built to evaluate double arithmetic in double precision"
CONTRACTION = "tessary_py must not be built with options that let the compiler contract a * b + c"
LAST_BIT = "results must agree to the last bit"


class TestRefusedOptions:
    def test_default_build_configures(self, tmp_path):
        status, output = configure(tmp_path, " ".join(cxx_compiler()))
        assert status == 0, output
        assert PASSED in output

    @pytest.mark.parametrize("cxxflags, reason", [
        ("-ffast-math", FAST_MATH),
        ("-O2 -ffast-math -ffp-contract=off", FAST_MATH),
        ("-ffinite-math-only", FINITE),
    ])
    def test_fast_math_stops_configuration(self, tmp_path, cxxflags, reason):
        status, output = configure(tmp_path, " ".join(cxx_compiler()), cxxflags)
        assert status != 0
        assert reason in one_line(output) and LAST_BIT in one_line(output), output

    @pytest.mark.parametrize("cxxflags", ["-funsafe-math-optimizations",
                                          "-fassociative-math -fno-signed-zeros -fno-trapping-math",
                                          "-freciprocal-math"])
    def test_unsafe_math_is_refused_or_switched_off(self, tmp_path, cxxflags):
        # GCC announces these options and the build refuses them; clang does
        # not, and the pragmas of float_model.hpp undo them in every file.
        status, output = configure(tmp_path, " ".join(cxx_compiler()), cxxflags)
        if is_clang():
            assert status == 0 and PASSED in output, output
        else:
            assert status != 0
            assert UNSAFE in one_line(output), output

    @pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"), reason="x87 arithmetic is an x86 option")
    def test_x87_arithmetic_stops_configuration(self, tmp_path):
        if is_clang():
            pytest.skip("clang itself refuses x87 arithmetic on x86-64")
        status, output = configure(tmp_path, " ".join(cxx_compiler()), "-mfpmath=387")
        assert status != 0
        assert WIDE in one_line(output), output


# The sources compiled with the bulk loops' options (TESSARY_BULK_OPTIONS).
BULK_SOURCES = ("tessary-py/src/vec_list/bulk.cpp", "tessary-py/src/kd_tree/kd_tree.cpp")


# What the compiler itself does with a * b + c in one expression, without
# float_model.hpp: compiled with the build's options and then `option`, for
# a processor with fused multiply-add, and run. True if it fused, None where
# this processor has no fused multiply-add to show it with.
RAW_CONTRACTION = r"""
#if defined(__x86_64__) || defined(__i386__)
#define FMA_TARGET __attribute__((target("fma")))
#define HAS_FMA __builtin_cpu_supports("fma")
#else
#define FMA_TARGET
#define HAS_FMA 1
#endif
volatile double a = 1.0 + 0x1p-27, b = 1.0 - 0x1p-27, c = -1.0;
FMA_TARGET __attribute__((noinline)) double product_plus(double x, double y, double z) { return x * y + z; }
int main() {
    if (!HAS_FMA) return 20;
    return product_plus(a, b, c) == 0.0 ? 0 : 10;
}
"""


def compiler_contracts(tmp_path, option):
    source = tmp_path / "raw_contraction.cpp"
    source.write_text(RAW_CONTRACTION)
    program = tmp_path / "raw_contraction"
    built = subprocess.run([*cxx_compiler(), "-std=c++20", "-O2", "-ffp-contract=off", option, str(source), "-o",
                            str(program)], env=toolchain_environment(), capture_output=True, text=True, timeout=120)
    assert built.returncode == 0, built.stderr
    status = subprocess.run([str(program)], env=toolchain_environment(), timeout=60).returncode
    assert status in (0, 10, 20), f"the contraction probe failed ({status})"
    return None if status == 20 else status == 10


class TestContraction:
    # CXXFLAGS come before the build's own -ffp-contract=off, which wins; an
    # option placed after it does not lose, and only the probe can tell.
    # What the compiler does with each option is measured, not assumed:
    # GCC 12 treats =on as off and GCC 16 contracts under it, and neither
    # has a pragma that stops it; clang contracts under =on too, and the
    # pragma of float_model.hpp switches that off within every file. Under
    # =fast both fuse whatever the source says.
    @pytest.mark.parametrize("option", ["-ffp-contract=off", "-ffp-contract=on", "-ffp-contract=fast"])
    def test_option_after_the_build_options(self, tmp_path, option):
        cmake()  # first, so that a machine without it skips before compiling
        fuses = compiler_contracts(tmp_path, option)
        if fuses is None:
            pytest.skip("this processor has no fused multiply-add to show contraction with")
        assert fuses == (option != "-ffp-contract=off") or option == "-ffp-contract=on", (
            f"the compiler {'fuses' if fuses else 'does not fuse'} under {option}: the probe measures nothing")
        refused = fuses and not (is_clang() and option == "-ffp-contract=on")
        status, output = configure(tmp_path, wrapped(tmp_path, option))
        if refused:
            assert status != 0, output
            assert CONTRACTION in one_line(output) and LAST_BIT in one_line(output), output
            assert "tessary-py/src/angle.cpp" in one_line(output)
        else:
            assert status == 0, output
            assert PASSED in output

    def test_contraction_in_one_file_is_found(self, tmp_path):
        # The options of each source file are probed, not only the target's.
        source = tmp_path / "source"
        shutil.copytree(ROOT, source, ignore=shutil.ignore_patterns(".git", "build", "_skbuild", "*.so"))
        lists = source / "CMakeLists.txt"
        text = lists.read_text()
        assert 'set(TESSARY_BULK_OPTIONS -O3)' in text
        lists.write_text(text.replace('set(TESSARY_BULK_OPTIONS -O3)',
                                      'set(TESSARY_BULK_OPTIONS -O3 -ffp-contract=fast)'))
        status, output = configure(tmp_path, " ".join(cxx_compiler()), source=source)
        if status == 0 and NO_FMA in output:
            pytest.skip("this processor has no fused multiply-add to show contraction with")
        assert status != 0
        # The first file compiled with those options is named.
        named = [f for f in BULK_SOURCES if f in one_line(output)]
        assert CONTRACTION in one_line(output) and named, output
