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

if(TESSARY_WHEEL_ARCH STREQUAL "x86_64")
  set(target x86_64-linux-gnu.2.17)
  set(cpu x86_64)
  set(qemu qemu-x86_64-static)
elseif(TESSARY_WHEEL_ARCH STREQUAL "aarch64")
  set(target aarch64-linux-gnu.2.17)
  set(cpu generic)
  set(qemu qemu-aarch64-static)
elseif(TESSARY_WHEEL_ARCH STREQUAL "armv7l")
  set(target arm-linux-gnueabihf.2.17)
  set(cpu generic+v7a+vfp3d16-neon-d32)
  set(qemu qemu-arm-static)
else()
  message(FATAL_ERROR "TESSARY_WHEEL_ARCH: x86_64, aarch64 or armv7l, not '${TESSARY_WHEEL_ARCH}'")
endif()
if(NOT EXISTS "${TESSARY_ZIG}")
  message(FATAL_ERROR "TESSARY_ZIG: the zig executable (python -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))'), not '${TESSARY_ZIG}'")
endif()

# The compiler and its target together: nothing can drop the target.
set(CMAKE_CXX_COMPILER "${TESSARY_ZIG}" c++ -target ${target} -mcpu=${cpu})
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
  set(CMAKE_CXX_FLAGS_INIT "-idirafter ${TESSARY_TARGET_ROOT}/usr/include")
endif()
