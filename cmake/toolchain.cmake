# The release's toolchain for every architecture: Debian's compiler for the target triplet,
# with a Debian root of the target architecture (C library, the target interpreter's headers)
# as the sysroot. The target's facts are the release table's (pyproject.toml), which
# scripts/release.sh passes as cache variables (scripts/lib/matrix.py toolchain ARCH):
#   FERROVANE_TARGET_PROCESSOR    CMake's processor name, the kernel's (aarch64, riscv64, ...)
#   FERROVANE_TARGET_TRIPLET      the multiarch triplet of the compiler and the module suffix
#   FERROVANE_TARGET_DEFINITIONS  NAME=VALUE definitions that the target's ABI needs (a list)
# The root comes as FERROVANE_TARGET_ROOT and the target interpreter's version as
# FERROVANE_TARGET_PYTHON (3.13 unless given), on the command line or in the environment.
# x86_64 builds this way too: the interpreter a release is built for need not be one this
# machine can run.

if(NOT FERROVANE_TARGET_PROCESSOR MATCHES "^[a-z0-9_]+$" OR NOT FERROVANE_TARGET_TRIPLET MATCHES "^[a-z0-9_]+-linux-gnu[a-z0-9]*$")
  message(FATAL_ERROR "FERROVANE_TARGET_PROCESSOR and FERROVANE_TARGET_TRIPLET must name the target "
    "(scripts/lib/matrix.py toolchain ARCH prints them), got '${FERROVANE_TARGET_PROCESSOR}' and "
    "'${FERROVANE_TARGET_TRIPLET}'")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${FERROVANE_TARGET_PROCESSOR})
set(CMAKE_C_COMPILER ${FERROVANE_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FERROVANE_TARGET_TRIPLET}-g++)

foreach(setting FERROVANE_TARGET_ROOT FERROVANE_TARGET_PYTHON)
  if(NOT ${setting})
    set(${setting} "$ENV{${setting}}")
  endif()
endforeach()
if(NOT FERROVANE_TARGET_PYTHON)
  set(FERROVANE_TARGET_PYTHON 3.13)
endif()
if(NOT FERROVANE_TARGET_PYTHON MATCHES "^3\\.[0-9]+$")
  message(FATAL_ERROR "FERROVANE_TARGET_PYTHON must be a Python version such as 3.14, "
    "got '${FERROVANE_TARGET_PYTHON}'")
endif()
if(NOT IS_DIRECTORY "${FERROVANE_TARGET_ROOT}/usr/include/python${FERROVANE_TARGET_PYTHON}")
  message(FATAL_ERROR "FERROVANE_TARGET_ROOT must name a Debian root of the target with "
    "Python ${FERROVANE_TARGET_PYTHON}'s headers, got '${FERROVANE_TARGET_ROOT}'")
endif()
# CMake's compiler checks re-read this file in their own projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FERROVANE_TARGET_PROCESSOR FERROVANE_TARGET_TRIPLET
  FERROVANE_TARGET_DEFINITIONS FERROVANE_TARGET_ROOT FERROVANE_TARGET_PYTHON)

set(CMAKE_SYSROOT "${FERROVANE_TARGET_ROOT}")
set(CMAKE_FIND_ROOT_PATH "${FERROVANE_TARGET_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target interpreter's headers and extension suffix, as Debian lays them out.
string(REPLACE "." "" python_version_nodot "${FERROVANE_TARGET_PYTHON}")
set(Python_INCLUDE_DIR "${FERROVANE_TARGET_ROOT}/usr/include/python${FERROVANE_TARGET_PYTHON}" CACHE PATH "")
set(Python_SOABI cpython-${python_version_nodot}-${FERROVANE_TARGET_TRIPLET} CACHE STRING "")
# Once the project has its compiler: the target's ABI definitions, and a check that the
# target interpreter's pyconfig.h agrees with the compiler.
set(CMAKE_PROJECT_ferrovane_sdk_INCLUDE "${CMAKE_CURRENT_LIST_DIR}/target-abi.cmake")
