# Fails when the shared library exports a symbol outside zarvel_* and zvl_*.
# Usage: cmake -DLIBRARY=<path to libzarvel.so> -DNM=<nm> -P check_exports.cmake
if(NOT LIBRARY OR NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "LIBRARY not given or missing: '${LIBRARY}'")
endif()
if(NOT NM)
  set(NM nm)
endif()
execute_process(COMMAND ${NM} -D --defined-only "${LIBRARY}"
  OUTPUT_VARIABLE listing RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed: ${errors}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(bad "")
set(count 0)
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  # "<address> <type> <name>"; the name may carry a @version suffix.
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  string(REGEX REPLACE "@.*$" "" name "${name}")
  if(name MATCHES "^(zarvel_|zvl_)")
    math(EXPR count "${count} + 1")
  elseif(name MATCHES "^(_init|_fini|_edata|_end|__bss_start)$")
    # Defined by the linker in every shared object.
  elseif(name MATCHES "^(__asan_|___asan_|__odr_asan|__ubsan_|__sanitizer_)")
    # Added by the sanitizer instrumentation of the ZARVEL_SANITIZE build.
  else()
    list(APPEND bad "${name}")
  endif()
endforeach()
if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "libzarvel exports symbols outside zarvel_* and zvl_*:\n  ${text}")
endif()
# The interface is exactly this many functions; one more or less is a
# leaked internal or a lost entry.
set(expected 127)
if(NOT count EQUAL expected)
  message(FATAL_ERROR "libzarvel exports ${count} zarvel_*/zvl_* symbols, expected ${expected}")
endif()
message(STATUS "${count} exported symbols, all zarvel_* or zvl_*")
