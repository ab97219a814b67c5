# Run as cmake -DCOMMITTED_DIR=DIR -DGENERATED_DIR=DIR -DFILES=A,B -DSTAMP=FILE
# -P OskaGeneratedCheck.cmake: fails, naming the first line that differs,
# unless each committed file (FILES, relative to COMMITTED_DIR) is the same
# to the byte as the one made from the header's parameter tables (the same
# path under GENERATED_DIR); touches STAMP when they all are.
function(oska_lines text out)
  string(REPLACE ";" "\\;" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

string(REPLACE "," ";" files "${FILES}")
foreach(file IN LISTS files)
  file(READ ${COMMITTED_DIR}/${file} committed)
  file(READ ${GENERATED_DIR}/${file} generated)
  if(NOT committed STREQUAL generated)
    oska_lines("${committed}" have)
    oska_lines("${generated}" want)
    list(LENGTH have have_count)
    list(LENGTH want want_count)
    set(line 0)
    while(line LESS have_count AND line LESS want_count)
      list(GET have ${line} a)
      list(GET want ${line} b)
      if(NOT a STREQUAL b)
        break()
      endif()
      math(EXPR line "${line} + 1")
    endwhile()
    set(a "(end of file)")
    set(b "(end of file)")
    if(line LESS have_count)
      list(GET have ${line} a)
    endif()
    if(line LESS want_count)
      list(GET want ${line} b)
    endif()
    math(EXPR number "${line} + 1")
    message(FATAL_ERROR "${file}:${number}: differs from what the parameter tables of "
                        "include/oska/host_api.h make: has '${a}', the tables make '${b}'.\n"
                        "To take the tables' version: cmake --build --preset linux --target oska_regenerate")
  endif()
endforeach()
file(TOUCH ${STAMP})
