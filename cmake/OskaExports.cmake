# The two lists of functions that cross between a host and a shader library,
# by name, for the build: OSKA_EXPORTED_FUNCTIONS (what a shader library
# exports) and OSKA_HOST_FUNCTIONS (what a host exports). Both are read from
# the X-macro lists of include/oska/host_api.h, the one place they are
# written; configuring fails when a list is missing or empty, or a name is
# not an identifier or comes twice.
set(OSKA_HOST_API_HEADER ${CMAKE_CURRENT_LIST_DIR}/../include/oska/host_api.h)
cmake_path(NORMAL_PATH OSKA_HOST_API_HEADER)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${OSKA_HOST_API_HEADER})

# The names of the X-macro `macro` in the header, in order: the argument of
# each X(...) entry after `skip` leading arguments.
function(oska_header_list_names macro skip out)
  file(READ ${OSKA_HOST_API_HEADER} header)
  string(REGEX MATCH "#define ${macro}\\(X\\)([^\n]*\\\\\n)*[^\n]*" block "${header}")
  if(NOT block)
    message(FATAL_ERROR "${OSKA_HOST_API_HEADER} does not define ${macro}(X)")
  endif()
  string(REPLACE "\\\n" " " block "${block}")
  string(REPEAT "[^,()]+,[ ]*" ${skip} leading)
  string(REGEX MATCHALL "X\\(${leading}[^,()]+" entries "${block}")
  set(names "")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^X\\(${leading}" "" name "${entry}")
    string(STRIP "${name}" name)
    if(NOT name MATCHES "^[A-Za-z_][A-Za-z_0-9]*$")
      message(FATAL_ERROR "${macro} in ${OSKA_HOST_API_HEADER}: '${name}' is not a function name")
    endif()
    if(name IN_LIST names)
      message(FATAL_ERROR "${macro} in ${OSKA_HOST_API_HEADER}: ${name} comes twice")
    endif()
    list(APPEND names ${name})
  endforeach()
  if(NOT names)
    message(FATAL_ERROR "${macro} in ${OSKA_HOST_API_HEADER} lists no function")
  endif()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

oska_header_list_names(OSKA_EXPORTED_FUNCTIONS 1 OSKA_EXPORTED_FUNCTIONS)
oska_header_list_names(OSKA_HOST_FUNCTIONS 2 OSKA_HOST_FUNCTIONS)

# oska_version_script(FILE NAME...): writes a linker version script to FILE
# that exports the NAMEs and hides every other symbol.
function(oska_version_script file)
  list(JOIN ARGN ";\n    " globals)
  file(CONFIGURE OUTPUT ${file} CONTENT "{\n  global:\n    ${globals};\n  local: *;\n};\n")
endfunction()
