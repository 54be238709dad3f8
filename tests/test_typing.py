"""The installed stubs make mypy --strict useful: correct code and the
examples pass, and typical mistakes are caught, each with its error code.

mypy runs in a scratch directory, so it reads the stub package that the
wheel installed, exactly as a user's checker does.
"""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.interpreter_independent

ROOT = Path(__file__).resolve().parent.parent
TYPING = ROOT / "tests" / "typing"
MARK = re.compile(r"#\s*error:\s*([a-z-]+)\s*$")
REPORT = re.compile(r"^(?P<file>.+?):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    pytest.importorskip("mypy")
    scratch = tmp_path_factory.mktemp("mypy")
    files = [TYPING / "usage.py", TYPING / "mistakes.py", *sorted((ROOT / "examples").glob("*.py"))]
    # The installed Dask package, typed inline, where Dask is there to check it against.
    if importlib.util.find_spec("dask") is not None and importlib.util.find_spec("tessary_py_dask") is not None:
        files.append(Path(importlib.util.find_spec("tessary_py_dask").origin))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--show-error-codes", "--no-error-summary",
         "--cache-dir", str(scratch / "cache"), *map(str, files)],
        capture_output=True, text=True, cwd=scratch, timeout=600)
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors: dict[str, set[tuple[int, str]]] = {}
    for line in result.stdout.splitlines():
        match = REPORT.match(line)
        if match:
            errors.setdefault(Path(match["file"]).name, set()).add((int(match["line"]), match["code"]))
        elif ": error:" in line:
            pytest.fail(f"unexpected mypy output: {line}")
    return errors, result.stdout


def test_correct_use_passes_with_the_inferred_types(mypy_report):
    errors, output = mypy_report
    assert "usage.py" not in errors, output


@pytest.mark.parametrize("name", sorted(p.name for p in (ROOT / "examples").glob("*.py")))
def test_examples_pass_strict_checking(mypy_report, name):
    errors, output = mypy_report
    assert name not in errors, output


def test_the_dask_package_passes_strict_checking(mypy_report):
    if importlib.util.find_spec("dask") is None:
        pytest.skip("dask is not installed")
    errors, output = mypy_report
    assert "__init__.py" not in errors, output


def test_mistakes_are_caught_with_their_codes(mypy_report):
    errors, output = mypy_report
    expected = set()
    for number, line in enumerate((TYPING / "mistakes.py").read_text(encoding="utf-8").splitlines(), 1):
        match = MARK.search(line)
        if match:
            expected.add((number, match[1]))
    assert len(expected) >= 15
    assert errors.get("mistakes.py", set()) == expected, output
