# The shared half of the cross toolchains (toolchain-armhf.cmake, toolchain-arm64.cmake):
# Debian's cross compiler for target_triplet, with a Debian root of the target
# architecture (C library, the target interpreter's headers) as the sysroot. The root comes
# as FERROVANE_TARGET_ROOT, on the command line or in the environment; scripts/release.sh
# makes it and drives the build through the build backend.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${target_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${target_triplet}-g++)

if(NOT FERROVANE_TARGET_ROOT)
  set(FERROVANE_TARGET_ROOT "$ENV{FERROVANE_TARGET_ROOT}")
endif()
if(NOT IS_DIRECTORY "${FERROVANE_TARGET_ROOT}/usr/include/python3.13")
  message(FATAL_ERROR "FERROVANE_TARGET_ROOT must name a Debian root of the target with "
    "Python 3.13's headers, got '${FERROVANE_TARGET_ROOT}'")
endif()
# CMake's compiler checks re-read this file in their own projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FERROVANE_TARGET_ROOT)

set(CMAKE_SYSROOT "${FERROVANE_TARGET_ROOT}")
set(CMAKE_FIND_ROOT_PATH "${FERROVANE_TARGET_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target interpreter's headers and extension suffix, as Debian lays them out.
set(Python_INCLUDE_DIR "${FERROVANE_TARGET_ROOT}/usr/include/python3.13" CACHE PATH "")
set(Python_SOABI cpython-313-${target_triplet} CACHE STRING "")
# Once the project has its compiler: the target's ABI definitions, and a check that the
# target interpreter's pyconfig.h agrees with the compiler.
set(CMAKE_PROJECT_ferrovane_sdk_INCLUDE "${CMAKE_CURRENT_LIST_DIR}/target-abi.cmake")
