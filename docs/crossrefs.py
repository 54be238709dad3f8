"""A griffe extension for the API reference: links in the stubs' plain text.

The stubs are what editors show, so their docstrings hold no link markup.
Two plain forms become links on the site:

- a code span that names a documented object of the module, `Vec3d`,
  `KdTree.covariances` or `geometry.Plane.fit` (a class of `geometry` also
  by its own name, `Plane`), links to its reference entry;
- a page of the documentation named as "Conventions: numpy" or
  "guide: Fitting and registration" (words may wrap) links to that section
  or page, by the anchors of PAGES.
"""

from __future__ import annotations

import re

import griffe

# How the stubs name a section of the Conventions page or a guide page, and
# its anchor.
PAGES = {
    "Conventions: equality and hashing": "equality",
    "Conventions: errors": "errors",
    "Conventions: rotations": "rotations",
    "Conventions: planes": "planes",
    "Conventions: the nearest-point search": "nearest",
    "Conventions: neighbour queries": "neighbours",
    "Conventions: the worker pool": "pool",
    "Conventions: numpy": "numpy",
    "guide: Fitting and registration": "guide-fitting",
    "guide: Rotations": "rotations-guide",
    "guide: Poses": "poses-guide",
    "guide: Plane detection": "guide-planes",
}
PAGE = re.compile("|".join(r"\s+".join(map(re.escape, phrase.split())) for phrase in PAGES))
# A code span, or a fenced block left as it is.
CODE = re.compile(r"```.*?```|(`+)([^`\n]+?)\1", re.DOTALL)


def documented(package: griffe.Module) -> dict[str, str]:
    """Every name a code span may use -> the identifier of its reference entry."""
    names: dict[str, str] = {}

    def visit(obj: griffe.Object, relative: str) -> None:
        for name, member in obj.members.items():
            if name.startswith("_") or member.is_alias or member.docstring is None:
                continue
            path = f"{relative}.{name}" if relative else name
            names[path] = member.path
            if isinstance(member, (griffe.Class, griffe.Module)):
                visit(member, path)

    visit(package, "")
    geometry = package.members.get("geometry")
    if isinstance(geometry, griffe.Module):
        for path, target in list(names.items()):
            if path.startswith("geometry."):
                names.setdefault(path.removeprefix("geometry."), target)
    return names


def link(text: str, names: dict[str, str]) -> str:
    pieces = []
    at = 0
    for code in CODE.finditer(text):
        pieces.append(PAGE.sub(lambda m: f"[{m.group(0)}][{PAGES[' '.join(m.group(0).split())]}]",
                               text[at:code.start()]))
        target = names.get(code.group(2) or "")
        pieces.append(f"[{code.group(0)}][{target}]" if target and code.group(1) == "`" else code.group(0))
        at = code.end()
    pieces.append(PAGE.sub(lambda m: f"[{m.group(0)}][{PAGES[' '.join(m.group(0).split())]}]", text[at:]))
    return "".join(pieces)


class CrossReferences(griffe.Extension):
    def on_package(self, *, pkg: griffe.Module, **kwargs: object) -> None:
        names = documented(pkg)
        # A member made from overloads shares a docstring with one of them.
        done: set[int] = set()

        def rewrite(docstring: griffe.Docstring | None) -> None:
            if docstring is not None and id(docstring) not in done:
                done.add(id(docstring))
                docstring.value = link(docstring.value, names)

        def visit(obj: griffe.Object) -> None:
            rewrite(obj.docstring)
            for member in obj.members.values():
                if not member.is_alias:
                    visit(member)
                    for overload in (member.overloads or []) if isinstance(member, griffe.Function) else []:
                        rewrite(overload.docstring)

        visit(pkg)
