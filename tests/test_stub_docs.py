"""The stub package is the documentation editors show and the API reference
is built from: every public member has a docstring there, and every example
in a docstring gives the result it shows."""

import ast
import doctest
import inspect
import operator
import pydoc
import re

import pytest

import tessary_py
from tessary_py import geometry

from stub_docs import MODULES, STUBS, definitions

DEFINITIONS = definitions()
BY_NAME = {d.qualname: d for d in DEFINITIONS if d.kind != "setter"}

# Reflected operator names that exist at run time only as the other half of
# a number slot and never apply through an operator (see the stubtest
# allowlist); the stubs leave them out on purpose.
NOT_DECLARED = {"__radd__", "__rsub__", "__rtruediv__"}
# Angles scale only with the number on the right; quaternions and
# transforms compose only with their own kind, which the forward form
# covers.
NOT_DECLARED_IN = {("AngleRadians", "__rmul__"), ("Quat", "__rmul__"), ("Transform", "__rmul__")}
# The comparison slot answers all six operators; classes without an order
# answer NotImplemented for these four, so they are not declared.
ORDERING = {"__lt__", "__le__", "__gt__", "__ge__"}
ORDERED = {"AngleRadians", "AngleDegrees"}
# Attributes every class has that say nothing about this module.
INHERENT = {"__doc__", "__module__", "__hash__", "__new__"}


def runtime_members():
    """(qualified name, object) of every public member of the running module."""
    for module, name in ((tessary_py, "tessary_py"), (geometry, "tessary_py.geometry")):
        for attribute in module.__all__:
            value = getattr(module, attribute)
            if inspect.ismodule(value):
                continue
            yield f"{name}.{attribute}", value
            if isinstance(value, type):
                for member in vars(value):
                    if member in INHERENT or member in NOT_DECLARED:
                        continue
                    if (attribute, member) in NOT_DECLARED_IN:
                        continue
                    if member in ORDERING and attribute not in ORDERED:
                        continue
                    if member.startswith("_") and not member.startswith("__"):
                        continue
                    yield f"{name}.{attribute}.{member}", getattr(value, member)
    iterator_type = type(iter(tessary_py.VecList([])))
    yield "tessary_py.VecListIterator", iterator_type
    for member in ("__iter__", "__next__"):
        yield f"tessary_py.VecListIterator.{member}", getattr(iterator_type, member)


def undocumented_ok(name: str) -> bool:
    return name.endswith("__new__")


class TestCompleteness:
    def test_every_runtime_member_is_declared_with_a_docstring(self):
        missing = []
        for name, _ in runtime_members():
            definition = BY_NAME.get(name)
            if definition is None:
                missing.append(f"{name}: not in the stubs")
            elif not (definition.docstring or "").strip():
                missing.append(f"{name}: no docstring")
        assert not missing, "\n".join(missing)

    def test_every_stub_definition_has_a_docstring(self):
        # Setters are documented by their property, constructors by their
        # class (its Parameters section).
        bare = [f"{d.file.name}:{d.line} {d.qualname}" for d in DEFINITIONS
                if d.kind != "setter" and not undocumented_ok(d.qualname) and not (d.docstring or "").strip()]
        assert not bare, "\n".join(bare)

    # The iterator and the result classes have no constructor.
    @pytest.mark.parametrize("qualname", [d.qualname for d in DEFINITIONS if d.kind == "class" and not
                                          d.qualname.endswith(("VecListIterator", "ResultArray",
                                                               "RegistrationResult", "PlaneResult"))])
    def test_classes_document_their_constructor_arguments(self, qualname):
        cls = BY_NAME[qualname]
        assert "Parameters\n----------" in cls.docstring

    def test_parameters_are_described_one_by_one(self):
        # The reference shows one table row per name and would repeat a
        # description given to several ("x, y, z") in each row.
        shared = [f"{d.qualname}: {line.strip()}" for d in DEFINITIONS if d.docstring
                  for line in d.docstring.split("Parameters\n----------\n", 1)[-1].split("\n\n")[0].splitlines()
                  if "Parameters\n----------" in d.docstring and not line.startswith(" ") and "," in line]
        assert shared == []



# The classes and members added since the first release, whose __doc__ is
# their stub's docstring (help() shows it) and whose classes live in
# tessary_py; those of the first release keep their bare text signatures
# and "builtins".
NEWER_CLASSES = {"Transform", "KdTree", "RegistrationResult", "ResultArray", "VoxelGrid", "PlaneResult"}
NEWER_MEMBERS = {
    "Quat": {"align", "dot", "from_euler", "from_rotation_matrix", "from_rotation_vector", "inverse", "slerp",
             "to_euler", "to_rotation_vector"},
    "VecList": {"bounds", "centroid", "covariance", "farthest_point_sample", "principal_axes", "rotate_each",
                "segment_plane", "segment_planes", "transform", "transform_each", "voxel_down_sample"},
    "geometry.Plane": {"fit", "segment", "segment_all"},
}


def is_newer(qualname: str) -> bool:
    parts = qualname.removeprefix("tessary_py.").split(".")
    if parts[0] in NEWER_CLASSES:
        return True
    owner, name = ".".join(parts[:-1]), parts[-1]
    return name in NEWER_MEMBERS.get(owner, ())


def documented_members():
    """(name, object) of every class and named member whose __doc__ the module sets (CPython words its
    special methods' own)."""
    for name, value in runtime_members():
        if not name.rsplit(".", 1)[-1].startswith("__"):
            yield name, value


def stub_docstring(qualname: str) -> str:
    # Overloads share one docstring (see test_overloads_share_one_docstring).
    return BY_NAME[qualname].docstring


class TestRuntimeDocs:
    @pytest.mark.parametrize("name, value", [m for m in documented_members() if is_newer(m[0])],
                             ids=lambda v: v if isinstance(v, str) else "")
    def test_newer_members_carry_the_stub_docstring(self, name, value):
        assert value.__doc__ == stub_docstring(name)

    @pytest.mark.parametrize("name, value", [m for m in documented_members() if not is_newer(m[0])],
                             ids=lambda v: v if isinstance(v, str) else "")
    def test_members_of_the_first_release_keep_bare_signatures(self, name, value):
        assert value.__doc__ in (None, "")

    def test_every_entry_of_the_tables_exists(self):
        # A renamed member would otherwise drop out of the check above.
        names = {name for name, _ in documented_members()}
        listed = {f"tessary_py.{owner}.{member}" for owner, members in NEWER_MEMBERS.items() for member in members}
        listed |= {f"tessary_py.{cls}" for cls in NEWER_CLASSES}
        assert listed - names == set()

    @pytest.mark.parametrize("name, value", [m for m in runtime_members() if isinstance(m[1], type)],
                             ids=lambda v: v if isinstance(v, str) else "")
    def test_classes_report_their_module(self, name, value):
        short = name.rsplit(".", 1)[-1]
        assert value.__module__ == ("tessary_py" if short in NEWER_CLASSES else "builtins")
        assert value.__qualname__ == value.__name__ == short

    def test_the_interpreter_names_the_newer_classes_bare(self):
        # As it names those of the first release: tp_name stays the bare name.
        with pytest.raises(TypeError, match="instances of 'KdTree' and 'KdTree'"):
            operator.lt(tessary_py.KdTree([]), tessary_py.KdTree([]))
        with pytest.raises(TypeError, match="cannot create 'tessary_py.RegistrationResult' instances"):
            tessary_py.RegistrationResult()
        with pytest.raises(TypeError, match="cannot create 'builtins.VecListIterator' instances"):
            type(iter(tessary_py.VecList([])))()

    def test_help_names_the_module_and_shows_the_documentation(self):
        text = pydoc.render_doc(tessary_py.KdTree, renderer=pydoc.plaintext)
        assert "class KdTree in module tessary_py" in text
        assert "nearest_k_each(self, /, points, k, *, max_distance=None, out=None)" in text
        assert BY_NAME["tessary_py.KdTree.nearest_k_each"].docstring.splitlines()[0] in text

    def test_signatures_survive_the_documentation(self):
        assert inspect.signature(tessary_py.Transform).parameters.keys() == {"rotation", "translation"}
        assert str(inspect.signature(tessary_py.KdTree.count_within_each)) == "(self, /, points, radius, *, out=None)"
        assert tessary_py.Vec3d.dot.__text_signature__ == "($self, other)"
        assert geometry.circle_circle.__text_signature__ == "(circle1, circle2)"


def overload_sets():
    """(qualified name, [docstring of each overload]) of every member declared by overloads."""
    for file_name, module in MODULES.items():
        tree = ast.parse((STUBS / file_name).read_text(encoding="utf-8"))
        bodies = [(module, tree.body)] + [(f"{module}.{n.name}", n.body) for n in tree.body
                                          if isinstance(n, ast.ClassDef)]
        for owner, body in bodies:
            sets = {}
            for node in body:
                if isinstance(node, ast.FunctionDef) and any(
                        isinstance(d, ast.Name) and d.id == "overload" for d in node.decorator_list):
                    sets.setdefault(node.name, []).append(ast.get_docstring(node))
            yield from ((f"{owner}.{name}", docs) for name, docs in sets.items())


def outside_code(text: str) -> str:
    return re.sub(r"(`+).+?\1", "", text, flags=re.DOTALL)


class TestWhatEditorsShow:
    def test_overloads_share_one_docstring(self):
        # An editor shows the docstring of the overload it matched.
        sets = dict(overload_sets())
        assert len(sets) >= 20
        assert {name: len(set(docs)) for name, docs in sets.items() if len(set(docs)) != 1} == {}

    @pytest.mark.parametrize("definition", [d for d in DEFINITIONS if d.docstring], ids=lambda d: d.qualname)
    def test_no_link_markup(self, definition):
        # The site adds the links (docs/crossrefs.py); what editors and
        # help() show is plain.
        assert re.findall(r"\[[^\]]*\]\[[^\]]*\]", outside_code(definition.docstring)) == []

    def test_signatures_name_no_private_alias(self):
        # A type alias named in signatures is public (Points); only the type
        # variables that tie an `out` argument to the result are private.
        tree = ast.parse((STUBS / "__init__.pyi").read_text(encoding="utf-8"))
        private_aliases = {node.target.id for node in ast.walk(tree) if isinstance(node, ast.AnnAssign)
                           and isinstance(node.target, ast.Name) and node.target.id.startswith("_")
                           and "TypeAlias" in ast.unparse(node.annotation)}
        used = {n.id for f in ast.walk(tree) if isinstance(f, ast.FunctionDef) and not f.name.startswith("_")
                for a in [*f.args.args, *f.args.kwonlyargs, *f.args.posonlyargs] if a.annotation is not None
                for n in ast.walk(a.annotation) if isinstance(n, ast.Name)}
        assert used & private_aliases == set()
        assert "Points" in used


def _examples():
    parser = doctest.DocTestParser()
    for d in DEFINITIONS:
        if d.docstring and ">>>" in d.docstring:
            yield pytest.param(parser.get_doctest(d.docstring, {}, d.qualname, str(d.file), d.line), id=d.qualname)


@pytest.mark.parametrize("test", list(_examples()))
def test_docstring_examples_show_real_results(test):
    namespace = {name: getattr(tessary_py, name) for name in tessary_py.__all__}
    namespace.update({name: getattr(geometry, name) for name in geometry.__all__})
    test.globs = namespace
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    output = []
    runner.run(test, out=output.append)
    assert runner.failures == 0, "".join(output)


def test_examples_exist_for_most_members():
    # A guard against examples being dropped wholesale: the reference pages
    # show an example for a good share of the members.
    assert len(list(_examples())) >= 30
