# CMake toolchain for the AArch64 cross build: Debian's aarch64-linux-gnu
# compiler, with the arm64 sysroot made by sysroot.sh for the Python headers
# and GoogleTest. The project's own CMakeLists.txt is used unchanged, so the
# cross build gets exactly the native build's flags (-ffp-contract=off among
# them).
#
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=tools/arm64/toolchain.cmake \
#         [-DVANTU_ARM64_CACHE=/var/cache/vantu-arm64]

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(NOT VANTU_ARM64_CACHE)
  if(DEFINED ENV{VANTU_ARM64_CACHE})
    set(VANTU_ARM64_CACHE "$ENV{VANTU_ARM64_CACHE}")
  else()
    set(VANTU_ARM64_CACHE /var/cache/vantu-arm64)
  endif()
endif()
# try_compile projects read this file again and need the same value.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTU_ARM64_CACHE)
set(_sysroot "${VANTU_ARM64_CACHE}/root")
if(NOT EXISTS "${_sysroot}/usr/include/python3.11/Python.h")
  message(FATAL_ERROR "no arm64 sysroot at ${_sysroot}: run tools/arm64/sysroot.sh")
endif()

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The compiler keeps its own C library and C++ headers; the sysroot only adds
# what it lacks, searched after them (the Python headers include
# <aarch64-linux-gnu/python3.11/pyconfig.h> relative to usr/include).
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${_sysroot}/usr/include")

# Libraries and packages (GoogleTest) from the sysroot, programs from the host.
set(CMAKE_FIND_ROOT_PATH "${_sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables run under the emulator (ctest, gtest_discover_tests).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${_sysroot}")

# Python: the target interpreter is a host-runnable wrapper around the
# emulated one, so FindPython reads the arm64 include directory and module
# suffix (_vantu.cpython-311-aarch64-linux-gnu.so) from it; it needs no
# emulator prefix of its own. CMake asks a cross build's interpreter only
# under the new behaviour of policy CMP0190, which must be chosen on the
# command line (-DCMAKE_POLICY_DEFAULT_CMP0190=NEW, as build.sh does): this
# file is read after the project has set its policies. Without it, or with a
# CMake that predates the policy, the headers below still serve and the
# module is named plain _vantu.so, which imports as well.
set(Python_EXECUTABLE "${VANTU_ARM64_CACHE}/bin/python3.11" CACHE FILEPATH "arm64 Python (emulated)")
set(Python_CROSSCOMPILING_EMULATOR "")
set(Python_INCLUDE_DIR "${_sysroot}/usr/include/python3.11" CACHE PATH "arm64 Python headers")
