# Runs PROGRAM (through EMULATOR, if any) with ARGS ('|'-separated), then
# either compares its standard output with the file EXPECTED and requires
# success, or, given EXPECTED_ERROR, requires failure with that text on
# standard error.
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${args}
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE rc)
string(REPLACE "\r\n" "\n" output "${output}")
set(report "exit code: ${rc}\nstandard error:\n${errors}\nstandard output:\n${output}")
if(DEFINED EXPECTED_ERROR)
  string(FIND "${errors}" "${EXPECTED_ERROR}" at)
  if(rc EQUAL 0 OR NOT rc MATCHES "^[0-9]+$" OR at EQUAL -1)
    message(FATAL_ERROR "${report}\nexpected a failure saying: ${EXPECTED_ERROR}")
  endif()
  message(STATUS "refused as expected: ${errors}")
  return()
endif()
file(READ "${EXPECTED}" expected)
if(NOT rc EQUAL 0 OR NOT output STREQUAL expected)
  message(FATAL_ERROR "${report}\nthe output differs from ${EXPECTED}")
endif()
message(STATUS "output as expected:\n${output}")
