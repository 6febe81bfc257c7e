# Cross-compiles for 32-bit ARM Linux with hard float (Debian armhf), the shipped target.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(target_triplet arm-linux-gnueabihf)
# Debian's armhf ABI (since trixie) has 64-bit time_t and file offsets; the root's Python
# was built that way, so every translation unit must agree with it.
set(target_definitions _FILE_OFFSET_BITS=64 _TIME_BITS=64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
