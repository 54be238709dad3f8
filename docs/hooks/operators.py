"""A mkdocs hook: the operators and special methods of a class as one table.

The reference leaves every name starting with an underscore out of its
per-member sections. A page asks for a class's table with the line

    <!-- operators: tessary_py.Vec3d -->

and gets one row per special method the stubs declare, in their order: how
it is written, its signature and its documentation. The table is built from
the stubs at every build, so it cannot drift from them.
"""

from __future__ import annotations

import functools
import re
from pathlib import Path

try:
    import griffe
except ImportError:  # the test suite reads the tables below without the docs extra
    griffe = None

ROOT = Path(__file__).resolve().parents[2]
MARKER = re.compile(r"^<!-- operators: ([\w.]+) -->$", re.MULTILINE)

# How each special method is written, from the names of its parameters.
SYNTAX = {
    "__add__": "self + {0}", "__sub__": "self - {0}", "__mul__": "self * {0}", "__rmul__": "{0} * self",
    "__truediv__": "self / {0}", "__neg__": "-self",
    "__eq__": "self == {0}", "__ne__": "self != {0}", "__lt__": "self < {0}", "__le__": "self <= {0}",
    "__gt__": "self > {0}", "__ge__": "self >= {0}",
    "__hash__": "hash(self)", "__repr__": "repr(self)", "__len__": "len(self)", "__getitem__": "self[{0}]",
    "__iter__": "iter(self)", "__next__": "next(self)", "__buffer__": "memoryview(self)",
    "__release_buffer__": "memoryview(self).release()",
}
# Constructors are documented by their class.
NOT_LISTED = {"__new__", "__init__"}


@functools.cache
def stubs() -> griffe.Object:
    return griffe.load("tessary_py", search_paths=[ROOT], find_stubs_package=True, allow_inspection=False)


def special_members(qualname: str) -> list[griffe.Object]:
    cls = stubs()[qualname.removeprefix("tessary_py.")]
    return [member for name, member in cls.members.items()
            if name.startswith("__") and name.endswith("__") and name not in NOT_LISTED]


def cell(text: str) -> str:
    return " ".join(text.split()).replace("|", "\\|")


def description(member: griffe.Object) -> str:
    if member.docstring is None:
        return ""
    parts = []
    for section in member.docstring.parse("numpy"):
        if section.kind is griffe.DocstringSectionKind.text:
            parts.append(section.value)
        elif section.kind is griffe.DocstringSectionKind.raises:
            parts += [f"Raises `{item.annotation}`: {item.description}" for item in section.value]
    return "<br>".join(cell(part) for part in parts)


def signature(function: griffe.Function) -> str:
    parameters = [p for p in function.parameters if p.name != "self"]
    text = ", ".join(f"{p.name}: {p.annotation}" if p.annotation else p.name for p in parameters)
    if any(p.kind is griffe.ParameterKind.positional_only for p in parameters):
        text += ", /"
    return f"({text}) -> {function.returns}"


def usage(member: griffe.Object) -> str:
    if not isinstance(member, griffe.Function):
        return SYNTAX.get(member.name, member.name)
    names = [p.name for p in member.parameters if p.name != "self"]
    template = SYNTAX.get(member.name)
    if template is None:
        return f"self.{member.name}({', '.join(names)})"
    return template.format(*names)


def row(member: griffe.Object) -> str:
    if isinstance(member, griffe.Function):
        return f"| `{usage(member)}` | `{member.name}{signature(member)}` | {description(member)} |"
    if member.name == "__hash__":
        # Declared `__hash__: ClassVar[None]`: the class has no hash.
        return "| `hash(self)` | `__hash__ = None` | Not hashable: `hash()` raises `TypeError`. |"
    return f"| `{member.name}` | `{member.name}` | {description(member)} |"


def table(qualname: str) -> str:
    members = special_members(qualname)
    if not members:
        raise ValueError(f"{qualname} declares no special methods")
    short = qualname.rsplit(".", 1)[-1]
    lines = [f"## Operators and special methods {{ #{short}-operators }}", "",
             "| Written | Method | Description |", "| --- | --- | --- |"]
    lines += [row(member) for member in members]
    return "\n".join(lines) + "\n"


def on_page_markdown(markdown: str, **kwargs: object) -> str:
    return MARKER.sub(lambda match: table(match.group(1)), markdown)


def on_pre_build(**kwargs: object) -> None:
    # `mkdocs serve` rebuilds after an edit of the stubs.
    stubs.cache_clear()
