# The two lists of functions that cross between a host and a shader library,
# by name, for the build: what a shader library exports and what a host
# exports. include/oska/host_api.h declares both as X-macros; configuring
# fails when these lists and the header disagree.
set(OSKA_EXPORTED_FUNCTIONS
  miSetModuleHandle
  oskacolor_version oskacolor oskacolor_init oskacolor_exit
  oskalight_version oskalight oskalight_init oskalight_exit)

set(OSKA_HOST_FUNCTIONS
  mi_scene_edit mi_scene_edit_end mi_trace_shadow mi_phen_eval mi_mem_int_allocate
  mi_mem_int_release mi_luminance mi_query mi_lookup_color_texture mi_error mi_warning
  mi_info mi_db_type mi_api_tag_lookup)

set(OSKA_HOST_API_HEADER ${CMAKE_CURRENT_LIST_DIR}/../include/oska/host_api.h)
cmake_path(NORMAL_PATH OSKA_HOST_API_HEADER)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${OSKA_HOST_API_HEADER})

# The names of the X-macro `macro` in the header, in order: the second
# argument of each X(...) entry after the name (`skip` arguments first).
function(oska_header_list_names macro skip out)
  file(READ ${OSKA_HOST_API_HEADER} header)
  string(REGEX MATCH "#define ${macro}\\(X\\)([^\n]*\\\\\n)*[^\n]*" block "${header}")
  if(NOT block)
    message(FATAL_ERROR "${OSKA_HOST_API_HEADER} does not define ${macro}(X)")
  endif()
  string(REPLACE "\\\n" " " block "${block}")
  string(REPEAT "[^,()]+,[ ]*" ${skip} leading)
  string(REGEX MATCHALL "X\\(${leading}[A-Za-z_][A-Za-z_0-9]*" entries "${block}")
  set(names "")
  foreach(entry IN LISTS entries)
    string(REGEX MATCH "[A-Za-z_][A-Za-z_0-9]*$" name "${entry}")
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

oska_header_list_names(OSKA_EXPORTED_FUNCTIONS 1 header_exports)
if(NOT header_exports STREQUAL OSKA_EXPORTED_FUNCTIONS)
  message(FATAL_ERROR "OSKA_EXPORTED_FUNCTIONS differs between cmake/OskaExports.cmake "
                      "[${OSKA_EXPORTED_FUNCTIONS}] and the header [${header_exports}]")
endif()
oska_header_list_names(OSKA_HOST_FUNCTIONS 2 header_host_functions)
if(NOT header_host_functions STREQUAL OSKA_HOST_FUNCTIONS)
  message(FATAL_ERROR "OSKA_HOST_FUNCTIONS differs between cmake/OskaExports.cmake "
                      "[${OSKA_HOST_FUNCTIONS}] and the header [${header_host_functions}]")
endif()

# oska_version_script(FILE NAME...): writes a linker version script to FILE
# that exports the NAMEs and hides every other symbol.
function(oska_version_script file)
  list(JOIN ARGN ";\n    " globals)
  file(CONFIGURE OUTPUT ${file} CONTENT "{\n  global:\n    ${globals};\n  local: *;\n};\n")
endfunction()
