# Cross-compiles for 64-bit ARM Linux (Debian arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(target_triplet aarch64-linux-gnu)
set(target_definitions)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
