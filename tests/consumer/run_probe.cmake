# Runs PROGRAM (through EMULATOR, if any) with ARGS ('|'-separated), a host
# loading oska-probe, with the probe's report going to REPORTS; then requires
# the report, and a pass for each of the host's fourteen functions in it.
file(REMOVE_RECURSE "${REPORTS}")
file(MAKE_DIRECTORY "${REPORTS}")
set(folder "${REPORTS}")
if(EMULATOR)
  string(PREPEND folder "Z:")
endif()
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env "OSKA_PROBE_REPORT_DIR=${folder}"
                        ${EMULATOR} ${PROGRAM} ${args}
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE rc)
if(NOT EXISTS "${REPORTS}/oska-probe-report.md")
  message(FATAL_ERROR "no report in ${REPORTS}; exit code ${rc}\n${errors}\n${output}")
endif()
file(READ "${REPORTS}/oska-probe-report.md" report)
string(REGEX MATCHALL "\\| host functions \\| mi_[a-z_]+ \\| PASS \\|" found "${report}")
list(LENGTH found passed)
if(NOT passed EQUAL 14)
  message(FATAL_ERROR "${passed} of the 14 host functions found:\n${report}")
endif()
message(STATUS "the probe found the host's 14 functions")
