"""Text signatures are read at compile time: a malformed one does not
compile, with a message that says what is wrong, and a well-formed one
compiles under every sanitizer.

Each case compiles a few lines against the binding layer's header with the
C++ compiler that builds the module ($CXX, else c++)."""

import subprocess
from pathlib import Path

import pytest

from conftest import cxx_compiler, toolchain_environment

pytestmark = pytest.mark.per_compiler

ROOT = Path(__file__).resolve().parent.parent
BINDING = ROOT / "tessary-py/src/binding"
PROBE = ROOT / "tests/native/signature_probe.cpp"


def compile_source(source: Path, *flags: str) -> subprocess.CompletedProcess:
    return subprocess.run([*cxx_compiler(), "-std=c++20", f"-I{BINDING}", *flags, str(source)], capture_output=True,
                          text=True, env=toolchain_environment(), timeout=120)


NAME = "it begins with the callable's name, an identifier"
PARENTHESES = "it is name(parameters), with one '(' after the name, one ')' at the end, none elsewhere"
SEPARATOR = "parameters are separated by a comma and one space"
EMPTY = "a parameter name is empty"
PARAMETER_NAME = "a parameter name is an identifier (letters, digits, '_'), without spaces"
SELF = "$self comes first, then a comma and one space or the closing ')'"
DUPLICATE = "parameter names are distinct"
KEYWORD_MARKER = "'*' stands alone, at most once, and keyword-only parameters follow it"
DEFAULT_VALUE = "a default is None, True or False, written name=None, name=True or name=False"
DEFAULT_ORDER = "a positional parameter with a default is followed only by others with one"

MALFORMED = {
    "f(a,b)": SEPARATOR, "f(a, b,c)": SEPARATOR, "f(a,)": SEPARATOR,
    "g($self,a)": SELF, "g($selfish)": SELF, "g(a, $self)": SELF, "g($self, $self)": SELF,
    "f(a, , b)": EMPTY, "f(, a)": EMPTY, "f(a, )": EMPTY, "f($self, )": EMPTY,
    "f(a b)": PARAMETER_NAME, "f(a , b)": PARAMETER_NAME, "f(a,  b)": PARAMETER_NAME, "f( a)": PARAMETER_NAME,
    "f(1a)": PARAMETER_NAME, "f(a-b)": PARAMETER_NAME,
    "f(a))": PARENTHESES, "f((a)": PARENTHESES, "f(a": PARENTHESES, "f": PARENTHESES, "": PARENTHESES,
    "fa)": PARENTHESES, "f(a)b": PARENTHESES, "f)(a": PARENTHESES, "f(a(b))": PARENTHESES,
    "(a)": NAME, "2f(a)": NAME, "f g(a)": NAME, " f(a)": NAME,
    "f(a, b, a)": DUPLICATE, "f(a, *, a=None)": DUPLICATE,
    "f(a, *)": KEYWORD_MARKER, "f(*, *, a)": KEYWORD_MARKER, "f(a, **, b)": KEYWORD_MARKER, "f(*a)": KEYWORD_MARKER,
    "f(a=1)": DEFAULT_VALUE, "f(a=none)": DEFAULT_VALUE, "f(a=None )": DEFAULT_VALUE, "f(a = None)": PARAMETER_NAME,
    "f(*, out=)": DEFAULT_VALUE, "f(a=None, b)": DEFAULT_ORDER, "f(*, a=true)": DEFAULT_VALUE, "f(a=0)": DEFAULT_VALUE,
    "f(a=True, b)": DEFAULT_ORDER,
}


class TestMalformedSignaturesDoNotCompile:
    @pytest.mark.parametrize("text", MALFORMED)
    def test_rejected_with_its_reason(self, tmp_path, text):
        source = tmp_path / "case.cpp"
        source.write_text('#include "signature.hpp"\n'
                          f'constexpr auto arity = bind::Signature<"{text}">::arity;\n')
        result = compile_source(source, "-fsyntax-only")
        assert result.returncode != 0, f"{text!r} compiled"
        assert MALFORMED[text] in result.stderr, result.stderr
        others = [r for r in (NAME, PARENTHESES, SEPARATOR, EMPTY, PARAMETER_NAME, SELF, DUPLICATE, KEYWORD_MARKER,
                              DEFAULT_VALUE, DEFAULT_ORDER)
                  if r != MALFORMED[text] and r in result.stderr]
        assert others == [], result.stderr


class TestWellFormedSignatures:
    def test_names_and_documentation(self, tmp_path):
        program = tmp_path / "probe"
        result = compile_source(PROBE, "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-o", str(program))
        assert result.returncode == 0, result.stderr
        output = subprocess.run([str(program)], capture_output=True, text=True, check=True).stdout
        assert output == ("project_onto_line|project_onto_line($self, line_r, line_q)\n--\n\n|zero|zero()\n--\n\n"
                          "|dot($self, other, *, out=None)\n--\n\n\n")

    # GCC cannot evaluate some pointer checks of the null and
    # nonnull-attribute sanitizers at compile time; the header must not
    # depend on such evaluations.
    @pytest.mark.parametrize("sanitizers", ["address", "thread", "undefined", "null", "nonnull-attribute",
                                            "address,undefined"])
    def test_compiles_under_sanitizers(self, tmp_path, sanitizers):
        result = compile_source(PROBE, f"-fsanitize={sanitizers}", "-c", "-o", str(tmp_path / "probe.o"))
        assert result.returncode == 0, result.stderr
