# Cross-compiles for 32-bit ARM Linux (Debian armhf) with Debian's arm-linux-gnueabihf
# compiler, using an armhf Debian root (C library, Python headers) as the sysroot.
# The root comes as FERROVANE_ARMHF_ROOT, on the command line or in the environment;
# scripts/armhf.sh makes it and drives the build.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT FERROVANE_ARMHF_ROOT)
  set(FERROVANE_ARMHF_ROOT "$ENV{FERROVANE_ARMHF_ROOT}")
endif()
if(NOT IS_DIRECTORY "${FERROVANE_ARMHF_ROOT}/usr/include")
  message(FATAL_ERROR "FERROVANE_ARMHF_ROOT must name an armhf Debian root, got '${FERROVANE_ARMHF_ROOT}'")
endif()
# CMake's compiler checks re-read this file in their own projects.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FERROVANE_ARMHF_ROOT)

set(CMAKE_SYSROOT "${FERROVANE_ARMHF_ROOT}")
set(CMAKE_FIND_ROOT_PATH "${FERROVANE_ARMHF_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target interpreter's headers and extension suffix, as Debian lays them out.
set(Python_INCLUDE_DIR "${FERROVANE_ARMHF_ROOT}/usr/include/python3.13" CACHE PATH "")
set(Python_SOABI cpython-313-arm-linux-gnueabihf CACHE STRING "")
# Sets and checks the ABI definitions once the project has its compiler.
set(CMAKE_PROJECT_ferrovane_sdk_INCLUDE "${CMAKE_CURRENT_LIST_DIR}/armhf-abi.cmake")
