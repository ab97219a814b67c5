# The shipping form: a version resource in oska.dll, byte-identical builds
# (OSKA_RELEASE), and the release archives made by CPack:
#   oska-VERSION-win32.zip, oska-VERSION-linux-x86_64.tar.gz
# holding the install tree of OskaInstall.cmake; with OSKA_RELEASE (the
# release presets) the library is linked without debug information.
#   cmake --preset release-windows && cmake --build --preset release-windows --target package

# The file and product version that Windows shows for oska.dll.
if(WIN32)
  enable_language(RC)
  set(OSKA_RC_FILE_NAME oska.dll)
  configure_file(${PROJECT_SOURCE_DIR}/src/oska.rc.in ${PROJECT_BINARY_DIR}/src/oska.rc @ONLY)
  target_sources(oska PRIVATE ${PROJECT_BINARY_DIR}/src/oska.rc)
endif()

option(OSKA_RELEASE "Build the library for release: no build paths or link times in it" OFF)
if(OSKA_RELEASE)
  # Two builds of one commit, in any two folders, give the same bytes:
  # compiler-recorded paths are mapped to fixed names, and the PE header
  # carries no link time. The library is stripped as it is linked: a strip
  # after linking rewrites the PE header with the current time (or
  # SOURCE_DATE_EPOCH), so the shipped file is the linked file as it is.
  foreach(target oska oska_color)
    target_compile_options(${target} PRIVATE
      -ffile-prefix-map=${PROJECT_SOURCE_DIR}=/oska
      -ffile-prefix-map=${PROJECT_BINARY_DIR}=/oska-build)
  endforeach()
  target_link_options(oska PRIVATE -s)
  if(WIN32)
    target_link_options(oska PRIVATE -Wl,--no-insert-timestamp)
  endif()
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
