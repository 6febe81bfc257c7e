# Run after each native module is linked (cmake -DNM=... -DMODULE=... -P this file).
# The modules are called from C, where a C++ exception cannot pass: they are built
# without exceptions and take memory only from the interpreter. This fails the build
# when a module still needs the C++ runtime's exception, allocation or type-information
# machinery, which would mean a path that can throw, or a dependency on libstdc++.

execute_process(COMMAND "${NM}" -D --undefined-only "${MODULE}"
  OUTPUT_VARIABLE symbols ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not list the symbols of ${MODULE}:\n${errors}")
endif()

set(runtime_symbol "^(__cxa_|_Unwind_|__gxx_personality|_Zn[wa]|_Zd[la]|_ZSt|_ZNSt|_ZTI|_ZTS|_ZTV|_ZN10__cxxabiv1)")
set(runtime_version "@+(GLIBCXX|CXXABI)_")
# The C library's own: registered static destructors, called by every shared object.
set(c_library_symbol "^__cxa_(finalize|atexit)(@|$)")

string(REPLACE "\n" ";" lines "${symbols}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" symbol "${line}")
  if(symbol STREQUAL "" OR symbol MATCHES "${c_library_symbol}")
    continue()
  endif()
  if(symbol MATCHES "${runtime_symbol}" OR symbol MATCHES "${runtime_version}")
    string(APPEND found "\n  ${symbol}")
  endif()
endforeach()
if(found)
  message(FATAL_ERROR "${MODULE} needs the C++ runtime's exception or allocation support:${found}")
endif()
