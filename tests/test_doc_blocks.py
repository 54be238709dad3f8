"""Every ```python block of README.md and docs/ runs, and shows real results.

The convention of those blocks: an expression statement followed by a
comment on its (last) line shows its result, and the comment must be exactly
the `repr` of the value:

    v + w                # Vec3d(1.5, 1, 7)

A result too long for that line (an error message) goes on the next line
instead, in a comment that starts with an arrow:

    error(lambda: v[1.0])
    # → "TypeError: argument 'index': 'float' object cannot be interpreted as an integer"

Other comments on their own line, or after any other kind of statement (an
assignment, a call inside `try`), are prose and are not checked. The blocks
of one file run in order in one namespace, so later blocks use the names of
earlier ones, as a reader does.

A block right after the line `<!-- needs: buffer-export -->` uses the buffer
export of Vec3d and VecList (numpy.asarray, VecList from an array). Where the
running module has no buffer export, the files holding such blocks get one
more test that runs them, reported as skipped; the other blocks still run.
"""

import ast
import importlib.util
import io
import os
import re
import tokenize
from dataclasses import dataclass
from pathlib import Path

import pytest

from tessary_py import Vec3d, VecList

ROOT = Path(__file__).resolve().parent.parent
MARK_BUFFER = "<!-- needs: buffer-export -->"
FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


@dataclass
class Block:
    path: Path
    line: int  # line of the first code line in the file
    source: str
    needs_buffer: bool


def documents() -> list[Path]:
    return [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]


def blocks(path: Path) -> list[Block]:
    text = path.read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        before = text[: match.start()].rstrip("\n").rsplit("\n", 1)[-1].strip()
        line = text.count("\n", 0, match.start(1)) + 1
        found.append(Block(path, line, match.group(1), before == MARK_BUFFER))
    return found


def buffers_exported() -> bool:
    try:
        memoryview(VecList([Vec3d(1, 2, 3)]))
        memoryview(Vec3d(1, 2, 3))
    except TypeError:
        return False
    return True


# Libraries that documents and examples show beside the module. A file that
# imports one that is not installed (the Debian roots of the ARM stages have
# neither) is skipped, naming it; on x86-64 CI both are installed.
PEERS = {"pyglm": "PyGLM", "dask": "dask"}
PEER_IMPORT = re.compile(r"^\s*(?:from|import)\s+(" + "|".join(PEERS) + r")\b", re.MULTILINE)


def skip_without_peers(path: Path) -> None:
    missing = sorted({PEERS[name] for name in PEER_IMPORT.findall(path.read_text(encoding="utf-8"))
                      if importlib.util.find_spec(name) is None})
    if missing:
        pytest.skip(f"{', '.join(missing)} not installed, which {path.name} uses")


RESULT_BELOW = "# → "


def result_comments(source: str) -> dict[int, str]:
    """Line number -> text of a comment that follows code on that line, or
    that starts with an arrow on the next line."""
    comments = {}
    code_lines = set()
    for token in tokenize.generate_tokens(io.StringIO(source).readline):
        if token.type == tokenize.COMMENT:
            line = token.start[0]
            if token.string.startswith(RESULT_BELOW) and line not in code_lines:
                assert line - 1 in code_lines and line - 1 not in comments, f"line {line}: {token.string} shows no result"
                comments[line - 1] = token.string[len(RESULT_BELOW):].strip()
            elif line in code_lines:
                comments[line] = token.string[1:].strip()
        elif token.type not in (tokenize.NL, tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT,
                                tokenize.ENDMARKER):
            code_lines.add(token.start[0])
    return comments


def display(path: Path) -> str:
    return str(path.relative_to(ROOT)) if path.is_relative_to(ROOT) else str(path)


def run_block(block: Block, namespace: dict) -> int:
    """Runs one block statement by statement; returns how many results it checked."""
    name = f"{display(block.path)}:{block.line}"
    tree = ast.parse(block.source, name)
    comments = result_comments(block.source)
    checked = 0
    for statement in tree.body:
        where = f"{display(block.path)}, line {block.line + statement.lineno - 1}"
        expected = comments.get(statement.end_lineno)
        below = block.source.splitlines()[statement.end_lineno:statement.end_lineno + 1]
        assert isinstance(statement, ast.Expr) or not below or not below[0].lstrip().startswith(RESULT_BELOW), \
            f"{where}: a result is shown after a statement that has none"
        if isinstance(statement, ast.Expr):
            value = eval(compile(ast.Expression(statement.value), name, "eval"), namespace)
            if expected is not None:
                assert repr(value) == expected, f"{where}: shows {expected}, gives {value!r}"
                checked += 1
        else:
            module = ast.Module(body=[statement], type_ignores=[])
            exec(compile(module, name, "exec"), namespace)
    return checked


def run_document(path: Path, with_buffer_blocks: bool) -> int:
    namespace: dict = {"__name__": "__doc_block__"}
    checked = 0
    cwd = os.getcwd()
    os.chdir(ROOT)
    try:
        for block in blocks(path):
            if block.needs_buffer and not with_buffer_blocks:
                continue
            checked += run_block(block, namespace)
    finally:
        os.chdir(cwd)
    return checked


DOCUMENTS = [p for p in documents() if blocks(p)]
WITH_BUFFER_BLOCKS = [p for p in DOCUMENTS if any(b.needs_buffer for b in blocks(p))]


@pytest.mark.parametrize("path", DOCUMENTS, ids=display)
def test_blocks_run_and_show_their_results(path):
    skip_without_peers(path)
    checked = run_document(path, with_buffer_blocks=buffers_exported())
    assert checked > 0, "a document with code shows at least one result"


@pytest.mark.parametrize("path", WITH_BUFFER_BLOCKS, ids=display)
def test_buffer_blocks_run(path):
    if not buffers_exported():
        pytest.skip("this build of tessary_py exports no buffers, which these blocks need")
    skip_without_peers(path)
    run_document(path, with_buffer_blocks=True)


class TestTheConvention:
    """The checker itself: a wrong result comment must fail."""

    def block(self, source, tmp_path):
        return Block(tmp_path / "x.md", 1, source, False)

    def test_checks_results_after_expressions(self, tmp_path):
        block = self.block("from tessary_py import Vec3d\nVec3d(1, 2, 3) * 2   # Vec3d(2, 4, 6)\n", tmp_path)
        assert run_block(block, {}) == 1

    def test_a_wrong_result_fails(self, tmp_path):
        block = self.block("1 + 1   # 3\n", tmp_path)
        with pytest.raises(AssertionError, match="shows 3, gives 2"):
            run_block(block, {})

    def test_prose_comments_are_not_results(self, tmp_path):
        block = self.block("# a heading\nx = 5   # an assignment\nfor i in range(2):\n    x += i  # prose\nx\n",
                           tmp_path)
        assert run_block(block, {}) == 0

    def test_multi_line_expression_is_checked_on_its_last_line(self, tmp_path):
        block = self.block("(1 +\n 2)   # 3\n", tmp_path)
        assert run_block(block, {}) == 1

    def test_blocks_are_found_with_their_marks(self, tmp_path):
        page = tmp_path / "page.md"
        page.write_text("Text\n\n```python\na = 1\n```\n\n" + MARK_BUFFER + "\n```python\nb = 2\n```\n"
                        "```sh\nnot python\n```\n", encoding="utf-8")
        found = blocks(page)
        assert [(b.source, b.needs_buffer, b.line) for b in found] == [("a = 1\n", False, 4), ("b = 2\n", True, 9)]
