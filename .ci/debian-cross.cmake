# Cross build of the module for a Debian target, with Debian's cross
# compiler for TESSARY_TARGET_TRIPLET (arm-linux-gnueabihf, aarch64-linux-gnu)
# and a root file system of the target in TESSARY_TARGET_ROOT that has its
# python3 and libpython3.11-dev. The target's interpreter runs under
# qemu-user: CMake asks it for its headers and extension suffix, and the
# floating-point probe of CMakeLists.txt runs under the same emulator.
#
#   cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=.ci/debian-cross.cmake \
#         -DTESSARY_TARGET_TRIPLET=arm-linux-gnueabihf -DTESSARY_TARGET_ROOT=/path/to/root
#
# The interpreter is started directly, so binfmt_misc must send foreign
# binaries to qemu-user, and QEMU_LD_PREFIX must name the root so that the
# emulator finds the target's dynamic loader (.ci/run sets both up).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSARY_TARGET_TRIPLET TESSARY_TARGET_ROOT)

if(TESSARY_TARGET_TRIPLET STREQUAL "arm-linux-gnueabihf")
  set(CMAKE_SYSTEM_PROCESSOR arm)
  set(qemu qemu-arm-static)
elseif(TESSARY_TARGET_TRIPLET STREQUAL "aarch64-linux-gnu")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(qemu qemu-aarch64-static)
else()
  message(FATAL_ERROR "TESSARY_TARGET_TRIPLET: arm-linux-gnueabihf or aarch64-linux-gnu, not '${TESSARY_TARGET_TRIPLET}'")
endif()
if(NOT IS_DIRECTORY "${TESSARY_TARGET_ROOT}/usr/include/python3.11")
  message(FATAL_ERROR "TESSARY_TARGET_ROOT: a root of the target with libpython3.11-dev, not '${TESSARY_TARGET_ROOT}'")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${TESSARY_TARGET_TRIPLET}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L ${TESSARY_TARGET_ROOT})

# The toolchain's own C and C++ headers come first; the target root adds
# only what the toolchain lacks, Python's multiarch pyconfig.h.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${TESSARY_TARGET_ROOT}/usr/include")
set(Python_EXECUTABLE ${TESSARY_TARGET_ROOT}/usr/bin/python3.11)
set(Python_INCLUDE_DIR ${TESSARY_TARGET_ROOT}/usr/include/python3.11)

set(CMAKE_FIND_ROOT_PATH ${TESSARY_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
