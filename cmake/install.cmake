# cmake --install: the header, the client library and a CMake package, so a
# game finds the client with find_package(qxcl) (see qxclConfig.cmake.in).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS qxcl
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/qx
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The library a game loads: qxcl.dll beside the programs, libqxcl.so (the
# link name, whatever its version) in the library folder.
if(WIN32)
  set(QX_INSTALL_LIBRARY ${CMAKE_INSTALL_BINDIR}/qxcl.dll)
else()
  set(QX_INSTALL_LIBRARY ${CMAKE_INSTALL_LIBDIR}/libqxcl.so)
endif()
set(QX_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qxcl)
configure_package_config_file(
  ${CMAKE_SOURCE_DIR}/cmake/qxclConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/qxclConfig.cmake
  INSTALL_DESTINATION ${QX_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR QX_INSTALL_LIBRARY)
write_basic_package_version_file(
  ${CMAKE_BINARY_DIR}/package/qxclConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/qxclConfig.cmake
              ${CMAKE_BINARY_DIR}/package/qxclConfigVersion.cmake
        DESTINATION ${QX_PACKAGE_DIR})
