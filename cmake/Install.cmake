# Installed layout: headers, the static and shared library, a CMake package
# (find_package(de30) -> de30::de30, de30::de30_shared, and with the tools
# de30::line_channel, de30::channels), pkg-config files (de30, de30-channels), and
# the Debian package built from all of it by CPack.
include(CMakePackageConfigHelpers)

install(TARGETS de30 de30_shared EXPORT de30Targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/de30 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(de30_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/de30)
install(EXPORT de30Targets NAMESPACE de30:: DESTINATION ${de30_cmake_dir})
configure_package_config_file(cmake/de30Config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/de30Config.cmake INSTALL_DESTINATION ${de30_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/de30ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/de30Config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/de30ConfigVersion.cmake DESTINATION ${de30_cmake_dir})

# The .pc file finds its prefix from where it lies, so an installed tree can move.
file(RELATIVE_PATH de30_pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(cmake/de30.pc.in ${CMAKE_CURRENT_BINARY_DIR}/de30.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/de30.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(TARGET de30_channels)
  configure_file(cmake/de30-channels.pc.in ${CMAKE_CURRENT_BINARY_DIR}/de30-channels.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/de30-channels.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

set(CPACK_PACKAGE_NAME de30)
set(CPACK_PACKAGE_VENDOR "de30")
set(CPACK_PACKAGE_CONTACT "de30 maintainers <maintainers@de30.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Fuel dispenser protocol driver, simulator and de30ctl")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The package carries stripped binaries; build it from a release tree
# (tests/install/check_deb.sh does).
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
