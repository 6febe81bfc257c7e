# Builds for 64-bit x86 Linux (Debian amd64) against a root of that architecture, for an
# interpreter that this machine may not have.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(target_triplet x86_64-linux-gnu)
set(target_definitions)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
