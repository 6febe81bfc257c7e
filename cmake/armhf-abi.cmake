# Included right after project() in armhf cross builds (see armhf-toolchain.cmake).
# Debian's armhf ABI (since trixie) has 64-bit time_t and file offsets; the root's Python
# was built that way, so every translation unit must agree with it, whatever flags the
# build is given. Before any module is compiled, a check confirms that the target
# Python's pyconfig.h agrees with the cross compiler on the sizes that matter.

set(armhf_abi_definitions _FILE_OFFSET_BITS=64 _TIME_BITS=64)
add_compile_definitions(${armhf_abi_definitions})

function(check_armhf_python_abi)
  # Compile only: the check needs no link and no main().
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  list(TRANSFORM armhf_abi_definitions PREPEND -D OUTPUT_VARIABLE definition_flags)
  try_compile(abi_matches "${CMAKE_BINARY_DIR}/armhf-abi-check"
    SOURCES "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/armhf-abi-check.cpp"
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${Python_INCLUDE_DIR}"
    COMPILE_DEFINITIONS ${definition_flags}
    CXX_STANDARD 20
    OUTPUT_VARIABLE output)
  if(NOT abi_matches)
    message(FATAL_ERROR "The Python headers in ${Python_INCLUDE_DIR} do not match the armhf "
      "target:\n${output}")
  endif()
  message(STATUS "Python headers match the armhf ABI (pointer, size_t, long, time_t)")
endfunction()

check_armhf_python_abi()
