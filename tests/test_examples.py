"""The example scripts run, and the tour prints a session that replays.

Each script runs in its own interpreter, as a reader would run it.
"""

import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from test_doc_blocks import Block, buffers_exported, run_block, skip_without_peers

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
# Examples that pass numpy arrays in and out, through the buffer export.
NEED_BUFFERS = {"tour.py", "point_cloud.py"}
needs_buffers = pytest.mark.skipif(not buffers_exported(),
                                   reason="this build of tessary_py exports no buffers, which this example needs")


def run(*args: str, code: str | None = None) -> subprocess.CompletedProcess[str]:
    command = [sys.executable, "-c", code, *args] if code else [sys.executable, *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=ROOT)


# The Dask example starts a cluster of worker processes, the slowest example
# by far; tests/test_dask_example.py checks what it computes.
@pytest.mark.parametrize("name", [pytest.param(p.name, marks=pytest.mark.interpreter_independent)
                                  if p.name == "dask_cloud.py" else p.name
                                  for p in sorted(EXAMPLES.glob("*.py"))])
def test_example_runs(name):
    if name in NEED_BUFFERS and not buffers_exported():
        pytest.skip("this build of tessary_py exports no buffers, which this example needs")
    skip_without_peers(EXAMPLES / name)
    result = run(str(EXAMPLES / name))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip()


@needs_buffers
def test_tour_prints_a_session_that_replays():
    result = run(str(EXAMPLES / "tour.py"))
    assert result.returncode == 0, result.stderr
    transcript = Block(EXAMPLES / "tour.py", 1, result.stdout, False)
    # Every shown result is checked by running the printed code again.
    assert run_block(transcript, {"__name__": "__replay__"}) >= 35


def test_tour_without_numpy_still_runs():
    # The README's first command installs tessary_py alone: the tour must
    # then skip its numpy and timing parts and run the rest.
    code = textwrap.dedent("""
        import runpy, sys
        sys.modules["numpy"] = None
        sys.argv = [sys.argv[1]]
        runpy.run_path(sys.argv[0], run_name="__main__")
    """)
    result = run(str(EXAMPLES / "tour.py"), code=code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("not installed") == 2
    replayed = run_block(Block(EXAMPLES / "tour.py", 1, result.stdout, False), {"__name__": "__replay__"})
    assert replayed >= 30


@needs_buffers
def test_point_cloud_loads_a_saved_array(tmp_path):
    path = tmp_path / "cloud.npy"
    np.save(path, np.random.default_rng(3).normal(size=(500, 3)).astype(np.float32))
    result = run(str(EXAMPLES / "point_cloud.py"), str(path))
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("500 points, float64, shape (500, 3)")
    nearest = next(line for line in result.stdout.splitlines() if line.startswith("nearest"))
    ours, theirs = nearest.split(": point ")[1].split(" at ")[0], nearest.split("(numpy: point ")[1].rstrip(")")
    assert ours == theirs


def test_point_cloud_refuses_other_shapes(tmp_path):
    path = tmp_path / "flat.npy"
    np.save(path, np.zeros((4, 2)))
    result = run(str(EXAMPLES / "point_cloud.py"), str(path))
    assert result.returncode != 0
    assert "expected an array of shape (n, 3), got (4, 2)" in result.stderr
