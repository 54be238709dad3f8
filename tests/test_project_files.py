"""Files around the package: the changelog and the benchmark report's command line."""

import re
import subprocess
import sys
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_changelog_has_a_section_for_the_current_version():
    version = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    sections = re.findall(r"^## \[([^\]]+)\]", changelog, re.MULTILINE)
    assert sections[0] == "Unreleased"
    assert version in sections
    # Each section links its comparison or release.
    assert all(re.search(rf"^\[{re.escape(s)}\]: ", changelog, re.MULTILINE) for s in sections)


def test_report_help_needs_no_benchmark_dependencies():
    # -S -I: no site-packages, so neither numpy nor matplotlib can be found.
    result = subprocess.run([sys.executable, "-S", "-I", str(ROOT / "bench" / "report.py"), "--help"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "--budget" in result.stdout
