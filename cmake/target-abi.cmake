# Included right after project() in cross builds (see toolchain.cmake). Every translation
# unit gets the target's ABI definitions, whatever flags the build is given; then, before
# any module is compiled, a check confirms that the target Python's pyconfig.h agrees with
# the cross compiler on the sizes that matter.

add_compile_definitions(${FERROVANE_TARGET_DEFINITIONS})

function(check_target_python_abi)
  # Compile only: the check needs no link and no main().
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  list(TRANSFORM FERROVANE_TARGET_DEFINITIONS PREPEND -D OUTPUT_VARIABLE definition_flags)
  try_compile(abi_matches "${CMAKE_BINARY_DIR}/target-abi-check"
    SOURCES "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/target-abi-check.cpp"
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${Python_INCLUDE_DIR}"
    COMPILE_DEFINITIONS ${definition_flags}
    CXX_STANDARD 20
    OUTPUT_VARIABLE output)
  if(NOT abi_matches)
    message(FATAL_ERROR "The Python headers in ${Python_INCLUDE_DIR} do not match the "
      "${FERROVANE_TARGET_TRIPLET} target:\n${output}")
  endif()
  message(STATUS "Python headers match the ${FERROVANE_TARGET_TRIPLET} ABI (pointer, size_t, long, time_t)")
endfunction()

check_target_python_abi()
