# Installation: the library with its header, a CMake package (Zelmo::zelmo),
# a pkg-config file and the zelmo tool. On Windows the same rules lay out the
# distribution that scripts/package zips: Zelmo.dll beside libcurl.dll, the
# import libraries for mingw-w64 (Zelmo.dll.a) and Microsoft's linker
# (Zelmo.lib), the module-definition file, README-Windows.txt and the
# example hosts' sources.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The library's semantic version is the first three fields of the project's
# version; the fourth is the build number that the Windows version resource
# carries (1.0.0.1). Programs linked against libzelmo.so.1 keep working for
# every 1.x release.
set(ZELMO_LIBRARY_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
if(NOT WIN32)
  set_target_properties(zelmo PROPERTIES
    VERSION ${ZELMO_LIBRARY_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  # The installed tool finds the installed library wherever the tree lands.
  file(RELATIVE_PATH tool_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(zelmo_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${tool_to_lib}")
endif()

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Zelmo)
install(TARGETS zelmo EXPORT ZelmoTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zelmo_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/zelmo.h include/zelmo_fetch.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT ZelmoTargets NAMESPACE Zelmo:: DESTINATION ${package_dir})
configure_package_config_file(cmake/ZelmoConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ZelmoConfig.cmake
  INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ZelmoConfigVersion.cmake
  VERSION ${ZELMO_LIBRARY_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ZelmoConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/ZelmoConfigVersion.cmake
        DESTINATION ${package_dir})

# pkg-config: the prefix is found from the file's own place, so an installed
# tree may be moved.
file(RELATIVE_PATH pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
configure_file(cmake/zelmo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zelmo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zelmo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(WIN32)
  install(FILES ${ZELMO_DEF_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(ZELMO_MSVC_IMPORT_LIB)
    install(FILES ${ZELMO_MSVC_IMPORT_LIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
  install(FILES docs/README-Windows.txt DESTINATION .)
  install(DIRECTORY examples/ DESTINATION examples)
  install(IMPORTED_RUNTIME_ARTIFACTS zelmo_libcurl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
