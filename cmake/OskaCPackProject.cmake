# Read by cpack at packaging time. Every time stamp in the archive is the
# time of the last commit unless SOURCE_DATE_EPOCH says otherwise, so two
# packagings of one commit give the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  find_program(OSKA_GIT git)
  if(OSKA_GIT)
    execute_process(COMMAND ${OSKA_GIT} -C ${CPACK_OSKA_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE rc ERROR_QUIET)
  endif()
  if(NOT OSKA_GIT OR NOT rc EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "No SOURCE_DATE_EPOCH and no git history to take it from: "
                        "set SOURCE_DATE_EPOCH to the release's time stamp.")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()
