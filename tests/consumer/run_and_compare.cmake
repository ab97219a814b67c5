# Runs PROGRAM (through EMULATOR, if any) with ARGS ('|'-separated) and
# compares its standard output, line by line, with the file EXPECTED.
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${args}
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE rc)
string(REPLACE "\r\n" "\n" output "${output}")
file(READ "${EXPECTED}" expected)
if(NOT rc EQUAL 0 OR NOT output STREQUAL expected)
  message("exit code: ${rc}\nstandard error:\n${errors}\nstandard output:\n${output}")
  message(FATAL_ERROR "the output differs from ${EXPECTED}")
endif()
message(STATUS "output as expected:\n${output}")
