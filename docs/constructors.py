"""A griffe extension for the API reference: constructors are `__new__`.

The classes of tessary_py are built by `__new__` (their `__init__` is the one
of `object`), and the stubs say so. The reference shows a class's signature
and its constructor arguments from `__init__`, so this extension gives each
class that defines `__new__` alone an `__init__` with the same parameters,
which the page then merges into the class heading.
"""

import griffe


class ConstructorsFromNew(griffe.Extension):
    def on_class_members(self, *, cls: griffe.Class, **kwargs: object) -> None:
        new = cls.members.get("__new__")
        if not isinstance(new, griffe.Function) or "__init__" in cls.members:
            return
        parameters = [griffe.Parameter("self", kind=griffe.ParameterKind.positional_or_keyword)]
        parameters += [
            griffe.Parameter(p.name, annotation=p.annotation, kind=p.kind, default=p.default)
            for p in list(new.parameters)[1:]
        ]
        init = griffe.Function("__init__", parameters=griffe.Parameters(*parameters), returns="None",
                               lineno=new.lineno, endlineno=new.endlineno)
        cls.set_member("__init__", init)
