# The minimal host against declaration files that differ from the records of
# the header it was built with: each must be refused, with a message naming
# the first difference, before the library reads a record. The files are made
# here from the real declarations, one change each.
#   cmake -DPROGRAM=minimal_host [-DEMULATOR=wine] -DLIBRARY=liboska.so
#         -DDECLARATIONS=oska.decl -DWORK=folder -P minimal_host_declarations.cmake
# Under an emulator (Wine), the program sees the Unix root as drive Z:.
cmake_policy(SET CMP0007 NEW) # empty list elements are kept: "replace with nothing"
file(READ "${DECLARATIONS}" real)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(drive "")
if(EMULATOR)
  set(drive "Z:")
endif()

# NAME, the text to replace in the real declarations and what replaces it
# ('|'-separated; "<ALL>" stands for the whole file, and "<REAL>" in what
# replaces it for the real declarations), and the message the minimal host
# must give.
set(records "does not declare the records of this oska version: ")
set(cases
  "reordered|scalar  decay_start\n  scalar  decay_end|scalar  decay_end\n  scalar  decay_start|${records}oskacolor has scalar decay_end at +40 where the header has scalar decay_start at +40"
  "wrong_type|scalar  decay_end|integer decay_end|${records}oskacolor has integer decay_end at +44 where the header has scalar decay_end at +44"
  "renamed|tag     texture|tag     texture_map|${records}oskacolor has tag texture_map at +48 where the header has tag texture at +48"
  "wider_type|boolean shadows|color   shadows|${records}oskacolor has color shadows at +16 where the header has boolean shadows at +16"
  "not_an_array|array tag lights|tag lights|${records}oskalight has tag lights at +12 where the header has array tag lights at +12"
  "missing_field|  boolean set_instance_flags\n||${records}oskalight lacks boolean set_instance_flags (+52)"
  "missing_first_field|  integer reserved\n||${records}oskalight has boolean enable at +0 where the header has integer reserved at +0"
  "extra_field|  boolean set_instance_flags\n|  boolean set_instance_flags\n  scalar  extra\n|${records}oskalight has scalar extra at +56, past the header's record of 56 bytes"
  "missing_shader|shader oskalight boolean|shader other boolean|${records}no shader oskalight"
  "shader_twice|<ALL>|<REAL>\nshader oskacolor color\n  color color\nend\n|a shader declared twice"
  "empty_file|<ALL>||${records}no shader oskacolor"
  "long_line|<ALL>|# a comment far longer than any line the host takes: __________________________________________________________________________________________________________________________________________________________________________________________________________________________________________\n<REAL>|:1: line too long"
  "no_end|<ALL>|shader oskacolor color\n  color color\n|shader without 'end'")

function(run_host name declarations)
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} "${drive}${LIBRARY}" "${drive}${declarations}"
                  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE rc)
  string(REPLACE "\r\n" "\n" errors "${errors}")
  set(rc "${rc}" PARENT_SCOPE)
  set(errors "${errors}" PARENT_SCOPE)
endfunction()

set(failures "")
function(expect_refusal name file message)
  run_host(${name} "${file}")
  string(FIND "${errors}" "${message}" at)
  string(REGEX MATCHALL "\n" lines "${errors}")
  list(LENGTH lines line_count)
  if(rc EQUAL 0 OR NOT rc MATCHES "^[0-9]+$" OR at EQUAL -1 OR NOT line_count EQUAL 1)
    string(APPEND failures "${name}: exit ${rc}, said:\n${errors}  expected one line saying: ${message}\n")
    set(failures "${failures}" PARENT_SCOPE)
  endif()
endfunction()

# The real declarations are taken.
run_host(real "${DECLARATIONS}")
if(NOT rc EQUAL 0)
  string(APPEND failures "real declarations: exit ${rc}, said:\n${errors}\n")
endif()

foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 from)
  list(GET fields 2 to)
  list(GET fields 3 message)
  string(REPLACE "<REAL>" "${real}" to "${to}")
  if(from STREQUAL "<ALL>")
    set(text "${to}")
  else()
    string(FIND "${real}" "${from}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "${name}: the declarations hold no '${from}'")
    endif()
    string(REPLACE "${from}" "${to}" text "${real}")
  endif()
  file(WRITE "${WORK}/${name}.decl" "${text}")
  expect_refusal(${name} "${WORK}/${name}.decl" "${message}")
endforeach()

# A NUL byte in a short line is not a long line. CMake strings hold no NUL:
# printf writes the file.
execute_process(COMMAND printf "shader oskacolor color\\n  color co\\000lor\\nend\\n"
                OUTPUT_FILE "${WORK}/nul_byte.decl" RESULT_VARIABLE rc)
expect_refusal(nul_byte "${WORK}/nul_byte.decl" "nul_byte.decl:2: a NUL byte in the line: not a text file")

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "every declaration file refused as expected")
