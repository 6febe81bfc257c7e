# Included right after project() in armhf cross builds: checks, before any module is
# compiled, that the target Python's pyconfig.h agrees with the cross compiler's ABI.

function(check_armhf_python_abi)
  # Compile only: the check needs no link and no main().
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  try_compile(abi_matches "${CMAKE_BINARY_DIR}/armhf-abi-check"
    SOURCES "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/armhf-abi-check.cpp"
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${Python_INCLUDE_DIR}"
    CXX_STANDARD 20
    OUTPUT_VARIABLE output)
  if(NOT abi_matches)
    message(FATAL_ERROR "The Python headers in ${Python_INCLUDE_DIR} do not match the armhf "
      "target:\n${output}")
  endif()
  message(STATUS "Python headers match the armhf ABI (pointer, size_t, long, time_t)")
endfunction()

check_armhf_python_abi()
