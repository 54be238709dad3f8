"""Builds manylinux2014 wheels of tessary_py (glibc 2.17 and later) without
containers, with zig's C++ compiler from PyPI and the project's own CMake
build (.ci/zig.cmake sets the target and its baseline processor).

    python .ci/build_wheels.py --out DIR SPEC...

Each SPEC is one wheel:

    x86_64:/path/to/python3.12   an interpreter that runs here
    ARCH:ROOT:VERSION            interpreter VERSION of ROOT, a root file
                                 system of the target (a Debian root made
                                 with mmdebstrap), run under qemu-user

ARCH is x86_64, aarch64 or armv7l. Building a CPython extension takes only
the interpreter's headers and its extension suffix, so an interpreter of
another architecture, or one that needs a newer C library than this
machine's, serves from its root. The interpreter running this script needs
ziglang, cmake, scikit-build-core and auditwheel (pip install).

Each wheel is checked before it is written out: the floating-point probe
ran at configuration (or the target has no fused multiply-add), every
mathematical function the module calls is the C library's (not the copy
in zig's runtime library, which rounds otherwise), no symbol needs a newer
glibc than 2.17, and `auditwheel show` calls the wheel manylinux_2_17.
"""

import argparse
import base64
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import tomllib
import zipfile
from pathlib import Path

import ziglang
from elftools.elf.elffile import ELFFile
from scikit_build_core.build import prepare_metadata_for_build_wheel

ROOT = Path(__file__).resolve().parent.parent
ZIG = Path(ziglang.__file__).parent / "zig"
CMAKE = shutil.which("cmake", path=Path(sys.executable).parent) or "cmake"
QEMU = {"x86_64": "qemu-x86_64-static", "aarch64": "qemu-aarch64-static", "armv7l": "qemu-arm-static"}
GLIBC = (2, 17)
PLATFORM = "manylinux_2_17_{arch}.manylinux2014_{arch}"
# The C library's mathematical functions. zig's runtime library
# (compiler_rt) defines several of them itself (sin, cos, tan, sincos, exp,
# log, fmod, ...), rounded otherwise; when the module links that library for
# anything, its copies take the place of the C library's. Each of these that
# the module's code calls must be imported from the C library.
LIBRARY_MATH = {"sin", "cos", "tan", "sincos", "asin", "acos", "atan", "atan2", "sinh", "cosh", "tanh", "exp",
                "exp2", "expm1", "log", "log2", "log10", "log1p", "pow", "cbrt", "hypot", "fmod", "remainder"}
PROBE = re.compile(r"tessary_py: (the floating-point probe passed[^\n]*|this processor has no fused multiply-add)")


class Target:
    """One wheel's architecture and interpreter."""

    def __init__(self, spec: str):
        arch, _, rest = spec.partition(":")
        if arch not in QEMU or not rest:
            raise SystemExit(f"{spec}: expected ARCH:PYTHON or ARCH:ROOT:VERSION, ARCH one of {', '.join(QEMU)}")
        self.arch = arch
        if re.fullmatch(r".+:3\.\d+", rest):
            root, _, version = rest.rpartition(":")
            self.root = Path(root).resolve()
            self.interpreter = self.root / "usr" / "bin" / f"python{version}"
            self.command = [QEMU[arch], "-L", str(self.root), str(self.interpreter)]
        else:
            if arch != os.uname().machine:
                raise SystemExit(f"{spec}: an interpreter of another architecture comes from its root: ARCH:ROOT:VERSION")
            self.root = None
            self.interpreter = Path(rest)
            self.command = [rest]
        if not self.interpreter.exists():
            raise SystemExit(f"{spec}: no interpreter {self.interpreter}")
        facts = subprocess.run(
            [*self.command, "-c", "import sys, sysconfig; print(sys.implementation.name, "
             "'%d%d' % sys.version_info[:2], sys.abiflags or '-', sysconfig.get_config_var('EXT_SUFFIX'))"],
            capture_output=True, text=True, check=True).stdout.split()
        implementation, self.version, abiflags, self.suffix = facts
        if implementation != "cpython" or abiflags != "-":
            raise SystemExit(f"{spec}: a CPython with the interpreter lock is needed, not {implementation} {abiflags}")
        self.tag = f"cp{self.version}-cp{self.version}-{PLATFORM.format(arch=arch)}"

    def cmake_definitions(self, work: Path) -> list:
        definitions = [f"-DCMAKE_TOOLCHAIN_FILE={ROOT / '.ci' / 'zig.cmake'}", f"-DTESSARY_ZIG={ZIG}",
                       f"-DTESSARY_WHEEL_ARCH={self.arch}", "-DCMAKE_BUILD_TYPE=Release"]
        if self.root is None:
            return [*definitions, f"-DPython_EXECUTABLE={self.interpreter}"]
        definitions += [f"-DTESSARY_TARGET_ROOT={self.root}",
                        f"-DPython_INCLUDE_DIR={self.root}/usr/include/python{self.version[0]}.{self.version[1:]}"]
        if self.arch != os.uname().machine:
            # binfmt_misc hands the interpreter to qemu-user, which finds the
            # root's dynamic loader through QEMU_LD_PREFIX (see environment).
            return [*definitions, f"-DPython_EXECUTABLE={self.interpreter}"]
        # CMake runs a native interpreter by one path, and this one needs its
        # root's C library.
        wrapper = work / f"python-{self.arch}-{self.version}"
        wrapper.write_text(f'#!/bin/sh\nexec {shlex.join(self.command)} "$@"\n')
        wrapper.chmod(0o755)
        return [*definitions, f"-DPython_EXECUTABLE={wrapper}"]


def build_module(target: Target, work: Path) -> tuple:
    build = work / f"build-{target.arch}-{target.version}"
    environment = dict(os.environ)
    if target.root is not None:
        environment["QEMU_LD_PREFIX"] = str(target.root)
    configured = subprocess.run([CMAKE, "-S", str(ROOT), "-B", str(build), *target.cmake_definitions(work)],
                                capture_output=True, text=True, env=environment)
    if configured.returncode != 0:
        sys.exit(f"configuring for {target.tag} failed:\n{configured.stdout}{configured.stderr}")
    probe = PROBE.findall(configured.stdout)
    if not probe:
        sys.exit(f"the floating-point probe did not run for {target.tag}:\n{configured.stdout}{configured.stderr}")
    subprocess.run([CMAKE, "--build", str(build), "--parallel", str(os.cpu_count() or 1)], check=True,
                   stdout=subprocess.DEVNULL)
    # CMake does not ask an emulated interpreter for its extension suffix,
    # and names the module tessary_py.so then; the wheel names it as the
    # interpreter would.
    built = list(build.glob("tessary_py*.so"))
    if len(built) != 1:
        sys.exit(f"the build made {', '.join(p.name for p in built) or 'no module'}")
    return built[0], probe


def symbols(path: Path, section: str, undefined: bool) -> set:
    with path.open("rb") as f:
        table = ELFFile(f).get_section_by_name(section)
        return {s.name for s in table.iter_symbols() if s.name and (s["st_shndx"] == "SHN_UNDEF") == undefined}


def check_module(module: Path) -> list:
    """The module calls the C library's mathematical functions, and needs
    nothing past glibc 2.17."""
    called = set()
    for objects in module.parent.glob("CMakeFiles/*.dir"):
        for path in objects.rglob("*.o"):
            called |= symbols(path, ".symtab", undefined=True) & LIBRARY_MATH
    not_imported = sorted(called - symbols(module, ".dynsym", undefined=True))
    if not called or not_imported:
        sys.exit(f"{module.name} calls {', '.join(sorted(called)) or 'no mathematical function'}; "
                 f"not from the C library: {', '.join(not_imported)}")
    with module.open("rb") as f:
        versions = ELFFile(f).get_section_by_name(".gnu.version_r")
        needed = {aux.name for _, auxes in versions.iter_versions() for aux in auxes}
    too_new = sorted(v for v in needed if v.startswith("GLIBC_") and tuple(map(int, v[6:].split("."))) > GLIBC)
    if too_new:
        sys.exit(f"{module.name} needs {', '.join(too_new)}, past glibc {GLIBC[0]}.{GLIBC[1]}")
    return sorted(called)


def record_line(path: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def write_wheel(target: Target, module: Path, metadata: Path, out: Path) -> Path:
    """The wheel as the build backend would lay it out: the module, the
    packages that pyproject.toml names (the stubs), the backend's own
    metadata, and this script's WHEEL file."""
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    files = {f"tessary_py{target.suffix}": module.read_bytes()}
    for package in project["tool"]["scikit-build"]["wheel"]["packages"]:
        for path in sorted((ROOT / package).rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts:
                files[path.relative_to(ROOT).as_posix()] = path.read_bytes()
    info = metadata.name
    for path in sorted(metadata.rglob("*")):
        if path.is_file() and path.name != "WHEEL":
            files[f"{info}/{path.relative_to(metadata).as_posix()}"] = path.read_bytes()
    tags = "".join(f"Tag: cp{target.version}-cp{target.version}-{platform}\n"
                   for platform in PLATFORM.format(arch=target.arch).split("."))
    files[f"{info}/WHEEL"] = ("Wheel-Version: 1.0\nGenerator: tessary_py .ci/build_wheels.py\n"
                              f"Root-Is-Purelib: false\n{tags}").encode()
    record = [record_line(name, data) for name, data in files.items()] + [f"{info}/RECORD,,"]
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    name, version = info.removesuffix(".dist-info").split("-")
    wheel = out / f"{name}-{version}-{target.tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for path, data in files.items():
            entry = zipfile.ZipInfo(path, date_time=(2020, 1, 1, 0, 0, 0))
            entry.external_attr = (0o755 if path.endswith(".so") else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data)
    return wheel


def auditwheel_platform(wheel: Path) -> str:
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel)], capture_output=True,
                           text=True, check=True).stdout
    found = re.search(r'consistent with the following platform tag: "([^"]+)"', " ".join(shown.split()))
    return found.group(1) if found else f"(none: {shown.strip()})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, required=True, help="the directory the wheels are written to")
    parser.add_argument("specs", nargs="+", metavar="SPEC")
    arguments = parser.parse_args()
    targets = [Target(spec) for spec in arguments.specs]
    arguments.out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="tessary-wheels.") as temporary:
        work = Path(temporary)
        previous = Path.cwd()
        os.chdir(ROOT)
        try:
            info = prepare_metadata_for_build_wheel(str(work), {})
        finally:
            os.chdir(previous)
        for target in targets:
            module, probe = build_module(target, work)
            math = check_module(module)
            wheel = write_wheel(target, module, work / info, arguments.out)
            platform = auditwheel_platform(wheel)
            expected = f"manylinux_2_17_{target.arch}"
            print(f"{wheel.name}\n  auditwheel: {platform}\n  from the C library: {', '.join(math)}\n"
                  f"  {'; '.join(probe)}", flush=True)
            if platform != expected:
                sys.exit(f"auditwheel calls {wheel.name} {platform}, not {expected}")
            shutil.rmtree(work / f"build-{target.arch}-{target.version}")


if __name__ == "__main__":
    main()
