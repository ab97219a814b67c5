# oska_add_module(TARGET [EXPORTS NAME...] [DECLARATIONS FILE] SOURCES FILE...)
#
# Makes TARGET a plug-in module: a shared library that a host loads by file
# name and that carries everything it needs.
#  - Its symbols stay hidden unless its code marks them for export, and it is
#    built without exceptions and RTTI: nothing may unwind across the C
#    boundary, and nothing of its C++ may meet the host's.
#  - Windows: TARGET.dll (no "lib" prefix) with the C and C++ runtimes linked
#    in, so that it imports Windows system libraries only.
#  - Linux: every symbol is resolved when it is linked; with EXPORTS, a
#    version script generated from the NAMEs makes them its only exports.
#  - DECLARATIONS: a file that ships beside the built module.
# It compiles against the host interface header (oska::headers) with the
# project's warnings.
function(oska_add_module target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DECLARATIONS" "EXPORTS;SOURCES")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_SOURCES)
    message(FATAL_ERROR "oska_add_module(${target}): expected SOURCES and optional EXPORTS, "
                        "DECLARATIONS; got ${arg_UNPARSED_ARGUMENTS}")
  endif()
  add_library(${target} SHARED ${arg_SOURCES})
  target_link_libraries(${target} PRIVATE oska::headers)
  set_target_properties(${target} PROPERTIES C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
  oska_warnings(${target})

  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "")
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    target_compile_definitions(${target} PRIVATE __USE_MINGW_ANSI_STDIO=1 WIN32_LEAN_AND_MEAN)
  else()
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
    target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
    if(arg_EXPORTS)
      set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
      oska_version_script(${map} ${arg_EXPORTS})
      target_link_options(${target} PRIVATE -Wl,--version-script=${map})
      set_target_properties(${target} PROPERTIES LINK_DEPENDS ${map})
    endif()
  endif()

  if(arg_DECLARATIONS)
    get_filename_component(name ${arg_DECLARATIONS} NAME)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${arg_DECLARATIONS}
              $<TARGET_FILE_DIR:${target}>/${name})
  endif()
endfunction()
