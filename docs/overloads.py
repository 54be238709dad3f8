"""A griffe extension for the API reference: members declared by overloads.

A stub declares a method whose result depends on its arguments (`out=`)
by `@overload` definitions alone, with no implementation after them.
griffe keeps such overloads aside, waiting for an implementation that never
comes, and the member would be missing from the reference. This extension
makes each of them a member: its signature and docstring those of the
overload with the longest docstring, and every overload's signature shown
above it (`overloads_only` in mkdocs.yml).
"""

from __future__ import annotations

import griffe


def _complete(obj: griffe.Class | griffe.Module) -> None:
    for name, overloads in obj.overloads.items():
        if name in obj.members or not overloads:
            continue
        richest = max(overloads, key=lambda o: len(o.docstring.value) if o.docstring else 0)
        member = griffe.Function(
            name,
            parameters=richest.parameters,
            returns=richest.returns,
            decorators=[d for d in richest.decorators if d.callable_path != "typing.overload"],
            docstring=richest.docstring,
            lineno=overloads[0].lineno,
            endlineno=overloads[-1].endlineno,
        )
        member.labels |= richest.labels - {"overload"}
        member.overloads = list(overloads)
        obj.set_member(name, member)


class OverloadedMembers(griffe.Extension):
    def on_class_members(self, *, cls: griffe.Class, **kwargs: object) -> None:
        _complete(cls)

    def on_module_members(self, *, mod: griffe.Module, **kwargs: object) -> None:
        _complete(mod)
