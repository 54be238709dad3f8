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
NEED_BUFFERS = {"tour.py", "point_cloud.py", "scan_job.py"}
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


class TestScanJob:
    """examples/scan_job.py on files of its own making and on a reader's."""

    @pytest.fixture(scope="class")
    def job(self):
        import runpy
        return runpy.run_path(str(EXAMPLES / "scan_job.py"), run_name="scan_job")

    def test_reads_each_format_as_float64_rows(self, job, tmp_path):
        import laspy
        import plyfile
        points = np.random.default_rng(5).uniform(-50, 50, size=(200, 3))
        # ASCII PLY of float32: read as float64 rows of the same float32 values.
        vertex = np.array([tuple(p) for p in points.astype(np.float32)], dtype=[("x", "f4"), ("y", "f4"), ("z", "f4")])
        plyfile.PlyData([plyfile.PlyElement.describe(vertex, "vertex")], text=True).write(tmp_path / "a.ply")
        read = job["read_points"](tmp_path / "a.ply")
        assert read.dtype == np.float64 and read.shape == (200, 3) and read.flags.c_contiguous
        assert np.array_equal(read, points.astype(np.float32).astype(np.float64))
        # LAS: the scaled integers times the scale plus the offset.
        header = laspy.LasHeader(point_format=0, version="1.2")
        header.offsets, header.scales = np.array([512_000.0, 5_430_000.0, 0.0]), np.array([0.001, 0.001, 0.001])
        las = laspy.LasData(header)
        las.xyz = points + header.offsets
        las.write(tmp_path / "b.las")
        read = job["read_points"](tmp_path / "b.las")
        stored = laspy.read(tmp_path / "b.las")
        expected = np.column_stack([stored.X * 0.001 + 512_000.0, stored.Y * 0.001 + 5_430_000.0, stored.Z * 0.001])
        assert np.array_equal(read, expected)
        assert np.abs(read - (points + header.offsets)).max() <= 0.0005 + 1e-9
        with pytest.raises(SystemExit, match="expected a .ply, .las or .laz file"):
            job["read_points"](tmp_path / "c.xyz")

    def test_the_written_cloud_is_registered(self, job, tmp_path):
        import plyfile
        target, source = job["make_scans"](tmp_path, 6000)
        out = tmp_path / "out.ply"
        result = run(str(EXAMPLES / "scan_job.py"), str(target), str(source), "--out", str(out))
        assert result.returncode == 0, result.stderr
        written = int(result.stdout.split("wrote ")[1].split(" ")[0])
        vertex = plyfile.PlyData.read(out)["vertex"]
        assert vertex["x"].dtype == np.float64 and len(vertex) == written
        points = np.column_stack([vertex["x"], vertex["y"], vertex["z"]]) - job["MAP_ORIGIN"]
        normals = np.column_stack([vertex["nx"], vertex["ny"], vertex["nz"]])
        assert np.allclose(np.linalg.norm(normals, axis=1), 1, atol=1e-6)
        # Both scans, the registered one too, lie on the ground they were
        # made of (the unregistered second scan is off by decimetres); a
        # few strays near it survive the outlier filter.
        height = np.abs(points[:, 2] - job["ground"](points[:, 0], points[:, 1]))
        assert np.median(height) < 0.01 and (height > 0.5).mean() < 0.01
        # Towards scanners above: every normal of the ground points up.
        assert (normals[height < 0.05, 2] > 0).all()
        unregistered = job["read_points"](source) - job["MAP_ORIGIN"]
        assert np.median(np.abs(unregistered[:, 2] - job["ground"](unregistered[:, 0], unregistered[:, 1]))) > 0.05

    def test_refuses_one_scan(self, tmp_path):
        result = run(str(EXAMPLES / "scan_job.py"), str(tmp_path / "a.ply"))
        assert result.returncode != 0 and "give two scans" in result.stderr
