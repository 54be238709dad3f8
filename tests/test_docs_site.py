"""The documentation site's sources keep up with the stubs and the examples:
every public class and function has its reference entry, every class with
special methods shows their table, and the Examples page includes every
script. (The site itself is built strictly and opened in a browser by CI:
.ci/check-site.)"""

import importlib.util
import re
from pathlib import Path

import pytest

from stub_docs import definitions
from test_doc_blocks import blocks

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
DEFINITIONS = definitions()


def load_hook():
    spec = importlib.util.spec_from_file_location("operators_hook", DOCS / "hooks" / "operators.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


HOOK = load_hook()


def reference_sources() -> str:
    return "\n".join(p.read_text(encoding="utf-8") for p in sorted((DOCS / "reference").rglob("*.md")))


def special_methods() -> dict[str, set[str]]:
    """Class -> names of the special methods the stubs declare, constructors aside."""
    found: dict[str, set[str]] = {}
    for d in DEFINITIONS:
        if d.kind != "method":
            continue
        owner, name = d.qualname.rsplit(".", 1)
        if name.startswith("__") and name.endswith("__") and name not in HOOK.NOT_LISTED:
            found.setdefault(owner, set()).add(name)
    return found


def test_every_public_class_and_function_has_a_reference_entry():
    entries = set(re.findall(r"^::: ([\w.]+)", reference_sources(), re.MULTILINE))
    public = {d.qualname for d in DEFINITIONS if d.kind in ("class", "function")}
    assert public - entries == set()
    assert entries - public == {"tessary_py", "tessary_py.geometry"}


def reference_tree():
    """The stubs as the reference reads them: griffe with the extensions of mkdocs.yml."""
    config = (ROOT / "mkdocs.yml").read_text(encoding="utf-8")
    extensions = []
    for path, name in re.findall(r"^\s+- (docs/\w+\.py):(\w+)$", config, re.MULTILINE):
        spec = importlib.util.spec_from_file_location(Path(path).stem, ROOT / path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        extensions.append(getattr(module, name)())
    assert extensions, "mkdocs.yml names no griffe extensions"
    return HOOK.griffe.load("tessary_py", search_paths=[ROOT], find_stubs_package=True, allow_inspection=False,
                            extensions=HOOK.griffe.load_extensions(*extensions))


def public_stub_members() -> set[str]:
    """Every public name the stubs define, members of classes included (the reference filters out `_` names)."""
    return {d.qualname for d in DEFINITIONS if d.kind not in ("module", "setter")
            and not any(part.startswith("_") for part in d.qualname.split("."))}


def test_every_public_member_has_a_reference_entry():
    # Overloaded methods included: griffe keeps overloads without an
    # implementation aside, and docs/overloads.py makes them members.
    if HOOK.griffe is None:
        pytest.skip("the docs extra (griffe) is not installed")
    tree = reference_tree()
    missing = []
    for qualname in sorted(public_stub_members()):
        try:
            member = tree[qualname.removeprefix("tessary_py.")]
        except KeyError:
            missing.append(f"{qualname}: not in the reference")
            continue
        if member.docstring is None or not member.docstring.value.strip():
            missing.append(f"{qualname}: no docstring in the reference (shown only with one)")
    assert missing == []


def test_every_public_member_of_the_module_is_in_the_stubs():
    # The other half: what the running module has, the stubs (and so the
    # reference) declare.
    tessary_py = pytest.importorskip("tessary_py")
    declared = public_stub_members()
    found = set()
    for module, prefix in ((tessary_py, "tessary_py"), (tessary_py.geometry, "tessary_py.geometry")):
        for name in module.__all__:
            value = getattr(module, name)
            if name == "geometry":
                continue
            found.add(f"{prefix}.{name}")
            if isinstance(value, type):
                found |= {f"{prefix}.{name}.{member}" for member in vars(value) if not member.startswith("_")}
    assert found - declared == set()


def test_the_site_links_what_the_stubs_name_in_plain_text():
    if HOOK.griffe is None:
        pytest.skip("the docs extra (griffe) is not installed")
    tree = reference_tree()
    icp = tree["Transform.icp"].docstring.value
    assert "[`KdTree.covariances`][tessary_py.KdTree.covariances]" in icp
    assert "[`KdTree`][tessary_py.KdTree]" in icp
    assert "[guide: Fitting and registration][guide-fitting]" in icp
    # An overloaded member and each overload, once each.
    dot = tree["VecList.dot"]
    assert dot.docstring.value.count("[Conventions: numpy][numpy]") == 1
    assert all(o.docstring.value.count("[Conventions: numpy][numpy]") == 1 for o in dot.overloads)
    # A name that is no member, and code that is not a name, stay code.
    assert "`out` itself" in dot.docstring.value
    assert "[`max_distance`]" not in tree["KdTree.nearest_each"].docstring.value


def test_every_page_the_stubs_name_is_known():
    spec = importlib.util.spec_from_file_location("crossrefs", DOCS / "crossrefs.py")
    if HOOK.griffe is None:
        pytest.skip("the docs extra (griffe) is not installed")
    crossrefs = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(crossrefs)
    stubs = " ".join(d.docstring for d in DEFINITIONS if d.docstring)
    named = {" ".join(m.split()) for m in re.findall(r"\b(?:Conventions|guide):(?:\s+[\w-]+){1,4}", stubs)}
    linked = {" ".join(m.group(0).split()) for m in crossrefs.PAGE.finditer(stubs)}
    # Each phrase is one of the table, whatever words follow it.
    assert all(any(name.startswith(phrase) for phrase in linked) for name in named), named - linked
    pages = "\n".join(p.read_text(encoding="utf-8") for p in DOCS.rglob("*.md"))
    anchors = set(re.findall(r"\{ #([\w-]+) \}", pages)) | {"errors"}  # "## Errors" by its heading
    assert set(crossrefs.PAGES.values()) <= anchors


def test_each_class_with_special_methods_shows_their_table():
    assert set(HOOK.MARKER.findall(reference_sources())) == set(special_methods())


def test_every_special_method_has_a_written_form():
    # A method without one would be shown as a plain call, self.__x__(...).
    declared = set().union(*special_methods().values())
    assert declared - HOOK.SYNTAX.keys() == set()


def test_operator_tables_list_every_special_method():
    if HOOK.griffe is None:
        pytest.skip("the docs extra (griffe) is not installed")
    for qualname, names in special_methods().items():
        table = HOOK.table(qualname)
        rows = [line for line in table.splitlines() if line.startswith("| `")]
        listed = {m.group(1) for row in rows if (m := re.search(r"\| `(__\w+__)[( =]", row))}
        assert names <= listed, qualname
        assert all(row.count(" | ") == 2 for row in rows), "a cell holds an unescaped |"
    assert "| `self + other` | `__add__(other: Vec3d, /) -> Vec3d` |" in HOOK.table("tessary_py.Vec3d")
    assert "| `hash(self)` | `__hash__ = None` |" in HOOK.table("tessary_py.Quat")


# At a window 1280 pixels wide a code block of the site holds about 109
# characters (the theme's 61rem grid less its 12.1rem navigation and
# margins, at 20 px to the rem, in 13.6 px monospace); a longer line is cut
# off and has to be scrolled to, which hides the end of a result comment.
CODE_WIDTH = 100


def test_code_lines_fit_a_1280_pixel_window():
    long = [f"{path.relative_to(ROOT)}:{block.line + i}" for path in sorted(DOCS.rglob("*.md"))
            for block in blocks(path) for i, line in enumerate(block.source.splitlines())
            if len(line) > CODE_WIDTH]
    assert long == []


def test_the_examples_page_includes_every_script():
    page = (DOCS / "guide" / "examples.md").read_text(encoding="utf-8")
    included = re.findall(r'^--8<-- "examples/([^"]+)"$', page, re.MULTILINE)
    assert sorted(included) == sorted(p.name for p in (ROOT / "examples").glob("*.py"))


def test_every_guide_page_but_the_examples_runs_code():
    # The examples are run by test_examples.py; the other pages by test_doc_blocks.py.
    pages = [p for p in sorted((DOCS / "guide").glob("*.md")) if p.name != "examples.md"]
    assert pages
    assert [p.name for p in pages if not blocks(p)] == []
