"""Files around the package: the changelog, the benchmark report's command line, and what PyPI and type checkers read (the README, the license fields, py.typed)."""

import re
import subprocess
import sys
import tomllib

import pytest
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


PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))


def test_readme_links_resolve_where_pypi_shows_it():
    # PyPI renders the README as the long description, away from the
    # repository: a relative link there points nowhere. In-page anchors work.
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    targets = re.findall(r"\]\(([^)\s]+)\)", readme) + re.findall(r"^\[[^\]]+\]:\s*(\S+)", readme, re.MULTILINE)
    assert targets
    relative = [t for t in targets if not t.startswith(("https://", "http://", "#"))]
    assert relative == []
    # The absolute links to the documentation name pages that exist.
    site = PYPROJECT["project"]["urls"]["Documentation"]
    for target in targets:
        if target.startswith(site):
            page = target[len(site):].split("#")[0].rstrip("/")
            assert (ROOT / "docs" / f"{page}.md").is_file() or (ROOT / "docs" / page / "index.md").is_file(), target


def test_readme_offers_the_wheels_and_only_the_wheels_that_are_built():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert "python3 -m pip install tessary_py\n" in readme
    archs = PYPROJECT["tool"]["cibuildwheel"]["linux"]["archs"]
    # The README names armv7l only as a wheel that is not released, unless
    # cibuildwheel builds it.
    words = " ".join(readme.split())
    assert {"x86_64", "aarch64"} <= set(archs)
    assert "armv7l" in archs or "(no armv7l:" in words


def test_license_metadata_is_a_spdx_expression_with_its_file():
    project = PYPROJECT["project"]
    assert project["license"] == "MIT"
    assert all((ROOT / f).is_file() for f in project["license-files"])
    # A license expression replaces the license classifiers (PEP 639).
    assert not [c for c in project["classifiers"] if c.startswith("License ::")]
    requirement = next(r for r in PYPROJECT["build-system"]["requires"] if r.startswith("scikit-build-core"))
    assert tuple(int(x) for x in requirement.split(">=")[1].split(".")[:2]) >= (0, 11)


def test_the_stub_package_is_marked_typed():
    assert (ROOT / "tessary_py-stubs" / "py.typed").is_file()
    assert "tessary_py-stubs" in PYPROJECT["tool"]["scikit-build"]["wheel"]["packages"]


def test_the_installed_package_ships_py_typed_and_its_license():
    from importlib import metadata
    try:
        dist = metadata.distribution("tessary_py")
    except metadata.PackageNotFoundError:
        pytest.skip("tessary_py runs from a build directory, not an installed wheel")
    files = {str(f) for f in dist.files or []}
    assert "tessary_py-stubs/py.typed" in files
    assert {"tessary_py_dask/__init__.py", "tessary_py_dask/py.typed"} <= files
    assert dist.metadata["License-Expression"] == "MIT"
    assert any(f.endswith("LICENSE") for f in files)


def test_result_array_is_the_type_the_queries_return():
    import tessary_py
    from tessary_py import KdTree, ResultArray, Vec3d
    tree = KdTree([Vec3d(0, 0, 0), Vec3d(1, 0, 0)])
    indices, distances = tree.nearest_k_each([Vec3d(0.2, 0, 0)], 2)
    assert type(indices) is ResultArray and type(distances) is ResultArray
    assert isinstance(tree.statistical_inliers(1, 1.0), ResultArray)
    assert "ResultArray" in tessary_py.__all__
    with pytest.raises(TypeError, match="cannot create 'tessary_py.ResultArray' instances"):
        ResultArray()
    # The stub declares it without type_check_only, so annotations that name
    # it evaluate at run time.
    stub = (ROOT / "tessary_py-stubs" / "__init__.pyi").read_text(encoding="utf-8")
    assert re.search(r"@final\nclass ResultArray:", stub)


def test_trimesh_equivalents_are_rigid():
    # trimesh's procrustes (and its icp, which passes the options on)
    # allows reflections and scaling unless told not to; a row set beside
    # Transform or Quat must forbid both, and trimesh's ICP has no
    # correspondence distance to set beside Transform.icp's.
    rows = [line for line in (ROOT / "docs" / "guide" / "fitting.md").read_text(encoding="utf-8").splitlines()
            if line.startswith("|") and "trimesh.registration." in line]
    assert len(rows) >= 3
    for row in rows:
        for call in re.findall(r"trimesh\.registration\.\w+\([^)]*\)", row):
            assert "reflection=False" in call and "scale=False" in call, call
            assert "threshold" not in call, call
        if "trimesh.registration.icp" in row:
            assert "Transform.icp(a, b, math.inf" in row
