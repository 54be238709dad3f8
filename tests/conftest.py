import os
import shlex
import shutil
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


# What differs between the supported interpreters, decided here once. From
# CPython 3.12 on the buffer protocol has a Python side (PEP 688): types that
# export buffers show a `__buffer__` method, and classes written in Python
# can export buffers themselves.
PYTHON_BUFFER_PROTOCOL = sys.version_info >= (3, 12)
needs_python_buffer_protocol = pytest.mark.skipif(
    not PYTHON_BUFFER_PROTOCOL, reason="buffers in Python (__buffer__, PEP 688) need CPython 3.12")
# scipy's conventions that the rotation tests compare with (the angles it
# gives at gimbal lock, the sign of a half turn's rotation vector, the
# rotation it picks for degenerate alignments) are those of 1.16, which the
# test extra asks for; older ones (Debian's, in the ARM roots) differ there.
def _scipy_version():
    try:
        import scipy
    except ImportError:
        return None
    return tuple(int(part) for part in scipy.__version__.split(".")[:2] if part.isdigit())


SCIPY_VERSION = _scipy_version()
needs_scipy_conventions = pytest.mark.skipif(
    SCIPY_VERSION is not None and SCIPY_VERSION < (1, 16),
    reason="compares with the conventions of scipy 1.16 and later")
# The native struct formats that memoryview.cast takes: half precision ('e')
# from 3.12 on.
MEMORYVIEW_CAST_FORMATS = "bBhHiIlLqQnN?fd" + ("e" if sys.version_info >= (3, 12) else "")


def bits(value: float) -> int:
    """The IEEE 754 bit pattern of a double, for exact comparisons."""
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def same_bits(a, b) -> bool:
    """True when two doubles (or sequences of doubles) agree bit for bit.

    Any NaN matches any NaN: when two NaN operands meet, which payload and
    sign survive depends on the operand order the compiler chose for a
    commutative operation, and nothing documented depends on it."""
    if isinstance(a, float):
        if not isinstance(b, float):
            return False
        return (a != a and b != b) or bits(a) == bits(b)
    return len(a) == len(b) and all(same_bits(x, y) for x, y in zip(a, b))


def measure_peak(script: str, *args: str) -> str:
    """Runs `script` in a fresh interpreter that measures its own peak
    resident size (it resets the peak through /proc/self/clear_refs) and
    returns what it printed; skips where the peak cannot be reset."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pytest.skip("the peak resident size cannot be reset here")
    out = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout


def run_with_pool(script: str, threads: int, *args: str, timeout: float = 180) -> str:
    """Runs `script` (dedented) in a fresh interpreter whose worker pool has
    `threads` threads and returns what it printed."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *args], env=env, capture_output=True,
                         text=True, timeout=timeout)
    assert out.returncode == 0, out.stderr
    return out.stdout


def toolchain_environment(**overrides) -> dict:
    """The environment for compilers and build tools that a test starts:
    without the sanitizer runtime that a sanitizer run preloads into the
    interpreter, which would instrument the tools too."""
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    environment.update(overrides)
    return environment


def cxx_compiler() -> list:
    """The C++ compiler that builds the module: $CXX, else c++."""
    command = shlex.split(os.environ.get("CXX", "")) or ["c++"]
    if shutil.which(command[0]) is None:
        pytest.skip(f"no C++ compiler {command[0]}")
    return command


ROOT = Path(__file__).resolve().parent.parent


def cmake_program() -> str:
    """CMake: the test extra's (beside the interpreter), else the machine's."""
    beside = Path(sys.executable).with_name("cmake")
    found = str(beside) if beside.exists() else shutil.which("cmake")
    if found is None:
        pytest.skip("no cmake")
    return found


@pytest.fixture(scope="session")
def native_tests(tmp_path_factory):
    """The core's native test program, built by CMake with the module's
    compiler ($CXX, else c++) and options (TESSARY_NATIVE_TESTS);
    run(*args, input=None) runs it and returns what it printed."""
    compiler = cxx_compiler()
    build = tmp_path_factory.mktemp("native-tests")
    environment = toolchain_environment(CXX=" ".join(compiler))
    for command in ([cmake_program(), "-S", str(ROOT), "-B", str(build), "-DTESSARY_MODULE=OFF",
                     "-DTESSARY_NATIVE_TESTS=ON", "-DCMAKE_BUILD_TYPE=Release"],
                    [cmake_program(), "--build", str(build), "--parallel", "2"]):
        done = subprocess.run(command, capture_output=True, text=True, env=environment, timeout=900)
        assert done.returncode == 0, done.stdout + done.stderr
    program = build / "tessary_native_tests"

    def run(*args, input=None):
        done = subprocess.run([str(program), *args], input=input, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout
    return run
