# The shipping form: a version resource in oska.dll, byte-identical builds
# (OSKA_RELEASE), and the release archives made by CPack:
#   oska-VERSION-win32.zip, oska-VERSION-linux-x86_64.tar.gz
# holding the install tree of OskaInstall.cmake; with OSKA_RELEASE (the
# release presets) the library is linked without debug information.
#   cmake --preset release-windows && cmake --build --preset release-windows --target package

# The file and product version that Windows shows for each shipped DLL.
if(WIN32)
  enable_language(RC)
  function(oska_version_resource target file_name description)
    set(OSKA_RC_FILE_NAME ${file_name})
    set(OSKA_RC_INTERNAL_NAME ${target})
    set(OSKA_RC_DESCRIPTION "${description}")
    configure_file(${PROJECT_SOURCE_DIR}/src/oska.rc.in ${PROJECT_BINARY_DIR}/rc/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/rc/${target}.rc)
  endfunction()
  oska_version_resource(oska oska.dll "oska shader library (oskacolor, oskalight)")
  oska_version_resource(oska_probe oska_probe.dll "oska-probe: checks a host's side of the shader interface")
endif()

option(OSKA_RELEASE "Build the library for release: no build paths or link times in it" OFF)
if(OSKA_RELEASE)
  # Two builds of one commit, in any two folders, give the same bytes:
  # compiler-recorded paths are mapped to fixed names, and the PE header
  # carries no link time. The library is stripped as it is linked: a strip
  # after linking rewrites the PE header with the current time (or
  # SOURCE_DATE_EPOCH), so the shipped file is the linked file as it is.
  foreach(target oska oska_color oska_probe)
    target_compile_options(${target} PRIVATE
      -ffile-prefix-map=${PROJECT_SOURCE_DIR}=/oska
      -ffile-prefix-map=${PROJECT_BINARY_DIR}=/oska-build)
  endforeach()
  foreach(target oska oska_probe)
    target_link_options(${target} PRIVATE -s)
    if(WIN32)
      target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
    endif()
  endforeach()
endif()

set(CPACK_PACKAGE_NAME oska)
set(CPACK_PACKAGE_VENDOR oska)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "oska shader library for renderers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_GENERATOR ZIP)
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" CPACK_SYSTEM_NAME)
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Release builds link the library stripped (above); stripping again would
# stamp the DLL's header with a time.
set(CPACK_STRIP_FILES OFF)
set(CPACK_SOURCE_GENERATOR "")
# Archive times come from SOURCE_DATE_EPOCH; when it is unset, CPack takes
# the time of the last commit (OskaCPackProject.cmake runs at packaging time).
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/OskaCPackProject.cmake)
set(CPACK_OSKA_SOURCE_DIR ${PROJECT_SOURCE_DIR})
include(CPack)
