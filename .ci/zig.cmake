# Build of the module for the manylinux2014 wheels (glibc 2.17) with zig's
# C++ compiler (the `ziglang` package from PyPI), which carries the C
# library's headers and link stubs of every glibc version and builds its own
# C++ runtime, linked into the module. .ci/build_wheels.py drives it:
#
#   cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=.ci/zig.cmake -DTESSARY_ZIG=/path/to/zig \
#         -DTESSARY_WHEEL_ARCH=aarch64 -DTESSARY_TARGET_ROOT=/path/to/root -DPython_EXECUTABLE=...
#
# TESSARY_WHEEL_ARCH is the wheel's architecture. Each target is the plainest
# processor of its kind, as the distributions assume: x86-64 without AVX
# (the AVX2 loops are compiled as run-time twins and chosen by CPUID), ARMv8-A,
# and ARMv7-A with VFPv3-D16 and no NEON, as Debian's armhf.
#
# TESSARY_TARGET_ROOT, when given, is a root file system of the target with
# the interpreter and its headers (a Debian root): the include directory and
# the multiarch pyconfig.h come from there. Foreign targets need it: the
# floating-point probe of CMakeLists.txt runs there under qemu-user.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSARY_ZIG TESSARY_WHEEL_ARCH TESSARY_TARGET_ROOT)

# Each wheel architecture: zig's target (glibc 2.17), the processor, and the
# emulator that runs the target's programs here.
set(targets
  "x86_64 x86_64-linux-gnu.2.17 x86_64 qemu-x86_64-static"
  "aarch64 aarch64-linux-gnu.2.17 generic qemu-aarch64-static"
  "armv7l arm-linux-gnueabihf.2.17 generic+v7a+vfp3d16-neon-d32 qemu-arm-static")
foreach(entry IN LISTS targets)
  separate_arguments(entry)
  list(GET entry 0 arch)
  if(arch STREQUAL TESSARY_WHEEL_ARCH)
    list(GET entry 1 target)
    list(GET entry 2 cpu)
    list(GET entry 3 qemu)
  endif()
endforeach()
if(NOT target)
  message(FATAL_ERROR "TESSARY_WHEEL_ARCH: x86_64, aarch64 or armv7l, not '${TESSARY_WHEEL_ARCH}'")
endif()
if(NOT EXISTS "${TESSARY_ZIG}")
  message(FATAL_ERROR "TESSARY_ZIG: the zig executable of the ziglang package "
                      "(ziglang/zig beside its __init__.py), not '${TESSARY_ZIG}'")
endif()

# The compiler and its target together: nothing can drop the target.
set(CMAKE_CXX_COMPILER "${TESSARY_ZIG}" c++ -target ${target} -mcpu=${cpu})
if(TESSARY_WHEEL_ARCH STREQUAL "armv7l")
  # clang has no strict floating-point model for 32-bit ARM and ignores
  # float_model.hpp's `#pragma float_control(precise, on)`, with a warning
  # for every file. It would only undo unsafe options that clang does not
  # announce, and this file passes none.
  string(APPEND CMAKE_CXX_FLAGS_INIT " -Wno-ignored-pragmas")
endif()
# zig's runtime library would give the module its own sin, cos and tan
# (zig-libm.cpp says why); the module calls the C library's.
set(CMAKE_PROJECT_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/zig-libm.cmake)
# The C++ runtime that zig builds carries its debugging information; the
# wheel does not.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--strip-all")

if(NOT TESSARY_WHEEL_ARCH STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  if(NOT IS_DIRECTORY "${TESSARY_TARGET_ROOT}/usr/include")
    message(FATAL_ERROR "TESSARY_TARGET_ROOT: a root file system of the ${TESSARY_WHEEL_ARCH} target, not '${TESSARY_TARGET_ROOT}'")
  endif()
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${TESSARY_WHEEL_ARCH})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L ${TESSARY_TARGET_ROOT})
endif()
if(TESSARY_TARGET_ROOT)
  # zig's own C and C++ headers come first; the root adds only what they
  # lack, Python's multiarch pyconfig.h.
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${TESSARY_TARGET_ROOT}/usr/include")
endif()
