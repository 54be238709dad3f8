"""The stub package is the documentation editors show and the API reference
is built from: every public member has a docstring there, and every example
in a docstring gives the result it shows."""

import doctest
import inspect

import pytest

import tessary_py
from tessary_py import geometry

from stub_docs import definitions

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
    result_type = type(tessary_py.KdTree([]).count_within_each([], 1.0))
    yield "tessary_py.ResultArray", result_type
    for member in ("tolist", "__len__", "__repr__", "__buffer__", "__release_buffer__"):
        if hasattr(result_type, member):  # the buffer methods have these names from Python 3.12 on
            yield f"tessary_py.ResultArray.{member}", getattr(result_type, member)


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

    def test_runtime_docstrings_are_still_only_signatures(self):
        # Editors read the stubs; the objects themselves keep their text
        # signature block as their whole documentation.
        assert tessary_py.Vec3d.__doc__ in (None, "")
        assert tessary_py.Vec3d.dot.__doc__ is None
        assert geometry.circle_circle.__text_signature__ == "(circle1, circle2)"


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
