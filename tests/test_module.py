"""The module object, its registration and the shape shared by every class."""

import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import tessary_py
from tessary_py import Vec3d


def run_python(code: str, **env) -> subprocess.CompletedProcess:
    import os

    environment = dict(os.environ, **env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=environment, timeout=120)


class TestModuleObject:
    def test_doc_is_empty_string(self):
        assert tessary_py.__doc__ == ""

    def test_all_lists_registered_names_in_order(self):
        # The first names, in their order, then the names added since.
        assert isinstance(tessary_py.__all__, list)
        # The first names in their registration order; classes added since
        # are registered after the submodule.
        names = [n for n in tessary_py.__all__]
        assert names[:6] == ["AngleDegrees", "AngleRadians", "Quat", "VecList", "Vec3d", "geometry"]
        assert names[6:] == ["Transform", "KdTree", "RegistrationResult", "VoxelGrid", "ResultArray", "PlaneResult"]
        for name in names:
            assert hasattr(tessary_py, name)

    def test_second_import_returns_same_object(self):
        first = tessary_py
        del sys.modules["tessary_py"]
        try:
            import tessary_py as again
        finally:
            sys.modules["tessary_py"] = first
        assert again is first
        assert again.Vec3d is first.Vec3d

    def test_import_in_subinterpreter_is_refused(self):
        # A subinterpreter that shares the main one's GIL: the kind in which
        # CPython itself lets a single-phase module load, so the refusal seen
        # is the module's own. It reports through a pipe, whatever its runner
        # does with exceptions.
        pytest.importorskip("_testcapi", reason="needs an interpreter built with its test modules")
        result = run_python("""
            import os
            import _testcapi
            import tessary_py
            SUBINTERPRETER = '''if True:
                import os
                try:
                    import tessary_py
                except ImportError as error:
                    outcome = "ImportError: " + str(error)
                else:
                    outcome = "imported"
                os.write(WRITE_END, outcome.encode())
            '''
            read_end, write_end = os.pipe()
            _testcapi.run_in_subinterp(SUBINTERPRETER.replace("WRITE_END", str(write_end)))
            os.close(write_end)
            print(os.read(read_end, 1000).decode())
            print(tessary_py.Vec3d(1, 2, 3))
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["ImportError: tessary_py does not support subinterpreters",
                                              "Vec3d(1, 2, 3)"]

    def test_panic_exception_is_not_an_attribute(self):
        assert not hasattr(tessary_py, "PanicException")


class TestClassShape:
    def test_module_and_names(self):
        assert Vec3d.__module__ == "builtins"
        assert Vec3d.__name__ == "Vec3d"
        assert Vec3d.__qualname__ == "Vec3d"

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            class Sub(Vec3d):  # noqa: F841
                pass

    def test_no_instance_dict_or_weakrefs(self):
        v = Vec3d(1, 2, 3)
        with pytest.raises(AttributeError):
            v.foo = 1
        assert not hasattr(v, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(v)

    def test_signatures_come_from_text_signature_blocks(self):
        assert Vec3d.__text_signature__ == "(x, y, z)"
        assert str(inspect.signature(Vec3d)) == "(x, y, z)"
        assert not Vec3d.__doc__
        assert Vec3d.dot.__text_signature__ == "($self, other)"
        assert Vec3d.dot.__doc__ is None
        assert Vec3d.zero.__text_signature__ == "()"
        assert Vec3d.new_from_to.__text_signature__ == "(from, to)"
        assert list(inspect.signature(Vec3d.project_onto_line).parameters) == ["self", "line_r", "line_q"]

    def test_interpreter_messages_use_bare_class_name(self):
        with pytest.raises(TypeError, match=r"^'<' not supported between instances of 'Vec3d' and 'Vec3d'$"):
            Vec3d(1, 2, 3) < Vec3d(1, 2, 3)
        assert repr(Vec3d) == "<class 'Vec3d'>"

    def test_class_attributes_are_read_only(self):
        with pytest.raises(TypeError):
            Vec3d.dot = None
