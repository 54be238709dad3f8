"""Reads the stub package: its path, and the docstring of every definition."""

import ast
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "tessary_py-stubs"
# Stub file and the run-time module path it describes.
MODULES = {"__init__.pyi": "tessary_py", "geometry.pyi": "tessary_py.geometry"}


@dataclass
class Definition:
    qualname: str  # for example "tessary_py.Vec3d.dot"
    kind: str  # "module", "class", "function", "method", "property" or "setter"
    docstring: str | None
    line: int
    file: Path


def _decorators(node: ast.FunctionDef) -> set[str]:
    names = set()
    for decorator in node.decorator_list:
        if isinstance(decorator, ast.Name):
            names.add(decorator.id)
        elif isinstance(decorator, ast.Attribute):
            names.add(decorator.attr)
    return names


def definitions() -> list[Definition]:
    found = []
    for file_name, module in MODULES.items():
        path = STUBS / file_name
        tree = ast.parse(path.read_text(encoding="utf-8"))
        found.append(Definition(module, "module", ast.get_docstring(tree), 1, path))
        for node in tree.body:
            if isinstance(node, ast.ClassDef):
                found.append(Definition(f"{module}.{node.name}", "class", ast.get_docstring(node), node.lineno, path))
                for member in node.body:
                    if isinstance(member, ast.FunctionDef):
                        decorators = _decorators(member)
                        kind = ("setter" if "setter" in decorators
                                else "property" if "property" in decorators else "method")
                        found.append(Definition(f"{module}.{node.name}.{member.name}", kind,
                                                ast.get_docstring(member), member.lineno, path))
            elif isinstance(node, ast.FunctionDef):
                found.append(Definition(f"{module}.{node.name}", "function", ast.get_docstring(node),
                                        node.lineno, path))
    return found
