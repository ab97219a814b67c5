# What `cmake --install` puts in the prefix, for a host writer:
#   include/oska/host_api.h         the header a host compiles against
#   lib/liboska.so, bin/oska.dll    the library a host loads at run time
#   lib/liboska_probe.so,           oska-probe, the drop-in that checks a host
#   bin/oska_probe.dll
#   share/oska/oska.decl            the parameter declarations
#   share/doc/oska/                 README, host guide, third-party notices, the
#                                   minimal host's source, oska-probe's guide and
#                                   scene (with its image), SHA256SUMS
#   lib/cmake/oska/                 the CMake package (oska::headers, OSKA_LIBRARY,
#                                   OSKA_PROBE_LIBRARY, OSKA_DECLARATIONS)
#   lib/pkgconfig/oska.pc           the same for pkg-config
# Every installed text names paths relative to its own place, so the tree can
# be moved or unpacked anywhere.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)


set(OSKA_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/oska)
set(OSKA_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/oska)

# Hosts load the library by file name and never link it: the runtime file
# alone is installed, no import library.
if(WIN32)
  set(OSKA_INSTALL_LIBRARY ${CMAKE_INSTALL_BINDIR}/oska.dll)
  set(OSKA_INSTALL_PROBE ${CMAKE_INSTALL_BINDIR}/oska_probe.dll)
else()
  set(OSKA_INSTALL_LIBRARY ${CMAKE_INSTALL_LIBDIR}/liboska.so)
  set(OSKA_INSTALL_PROBE ${CMAKE_INSTALL_LIBDIR}/liboska_probe.so)
endif()
set(OSKA_INSTALL_DECLARATIONS ${CMAKE_INSTALL_DATADIR}/oska/oska.decl)

install(TARGETS oska oska_probe
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} EXCLUDE_FROM_ALL)
# Installed as oska::headers.
set_target_properties(oska_headers PROPERTIES EXPORT_NAME headers)
install(TARGETS oska_headers EXPORT oskaTargets)
install(FILES ${PROJECT_SOURCE_DIR}/include/oska/host_api.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/oska)
install(FILES ${PROJECT_SOURCE_DIR}/src/oska.decl DESTINATION ${CMAKE_INSTALL_DATADIR}/oska)

set(OSKA_INSTALL_DOCS README.md docs/host-guide.md docs/probe.md examples/probe.json
    docs/third-party-notices.txt)
install(FILES ${OSKA_INSTALL_DOCS} DESTINATION ${OSKA_INSTALL_DOCDIR})
set(OSKA_INSTALL_EXAMPLE examples/minimal_host/minimal_host.c
    examples/minimal_host/CMakeLists.txt)
install(FILES ${OSKA_INSTALL_EXAMPLE} DESTINATION ${OSKA_INSTALL_DOCDIR}/minimal_host)
# The image the probe scene names, where the scene's own path finds it.
set(OSKA_INSTALL_PROBE_TEXTURE examples/textures/rainbow.png)
install(FILES ${OSKA_INSTALL_PROBE_TEXTURE} DESTINATION ${OSKA_INSTALL_DOCDIR}/textures)

# The CMake package.
install(EXPORT oskaTargets NAMESPACE oska:: DESTINATION ${OSKA_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/oskaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/oskaConfig.cmake
  INSTALL_DESTINATION ${OSKA_INSTALL_CMAKEDIR}
  PATH_VARS OSKA_INSTALL_LIBRARY OSKA_INSTALL_PROBE OSKA_INSTALL_DECLARATIONS
            CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/oskaConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/oskaConfig.cmake
              ${PROJECT_BINARY_DIR}/package/oskaConfigVersion.cmake
        DESTINATION ${OSKA_INSTALL_CMAKEDIR})

# pkg-config: the prefix is found from the .pc file's own folder.
set(OSKA_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${OSKA_PC_DIR}")
  set(OSKA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH OSKA_PC_UP /root/${OSKA_PC_DIR} /root)
  set(OSKA_PC_PREFIX "\${pcfiledir}/${OSKA_PC_UP}")
  string(REGEX REPLACE "/$" "" OSKA_PC_PREFIX "${OSKA_PC_PREFIX}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/oska.pc.in ${PROJECT_BINARY_DIR}/package/oska.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/oska.pc DESTINATION ${OSKA_PC_DIR})

# SHA256SUMS of everything above, written last so that it sees the library
# as installed (stripped by --strip, if given). Paths are relative to the prefix:
#   cd PREFIX && sha256sum -c share/doc/oska/SHA256SUMS
set(OSKA_INSTALLED_FILES
  ${OSKA_INSTALL_LIBRARY}
  ${OSKA_INSTALL_PROBE}
  ${CMAKE_INSTALL_INCLUDEDIR}/oska/host_api.h
  ${OSKA_INSTALL_DECLARATIONS}
  ${OSKA_INSTALL_CMAKEDIR}/oskaConfig.cmake
  ${OSKA_INSTALL_CMAKEDIR}/oskaConfigVersion.cmake
  ${OSKA_INSTALL_CMAKEDIR}/oskaTargets.cmake
  ${OSKA_PC_DIR}/oska.pc)
foreach(file IN LISTS OSKA_INSTALL_DOCS)
  get_filename_component(name ${file} NAME)
  list(APPEND OSKA_INSTALLED_FILES ${OSKA_INSTALL_DOCDIR}/${name})
endforeach()
foreach(file IN LISTS OSKA_INSTALL_EXAMPLE)
  get_filename_component(name ${file} NAME)
  list(APPEND OSKA_INSTALLED_FILES ${OSKA_INSTALL_DOCDIR}/minimal_host/${name})
endforeach()
list(APPEND OSKA_INSTALLED_FILES ${OSKA_INSTALL_DOCDIR}/textures/rainbow.png)
list(SORT OSKA_INSTALLED_FILES)
install(CODE "
  set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  set(sums \"\")
  foreach(file ${OSKA_INSTALLED_FILES})
    file(SHA256 \"\${root}/\${file}\" hash)
    string(APPEND sums \"\${hash}  \${file}\\n\")
  endforeach()
  file(WRITE \"\${root}/${OSKA_INSTALL_DOCDIR}/SHA256SUMS\" \"\${sums}\")
  message(STATUS \"Installing: \${root}/${OSKA_INSTALL_DOCDIR}/SHA256SUMS\")
")
