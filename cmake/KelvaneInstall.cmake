# What a host author builds against, installed with the library
# (component "development"): the CMake package KelvaneDll with its version
# file, and the pkg-config file kelvanedll.pc. Both give the header folder
# and libKelvaneDll (the import library libKelvaneDll.dll.a on Windows).
include(CMakePackageConfigHelpers)

set(KELVANE_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KelvaneDll)
install(EXPORT KelvaneDllTargets NAMESPACE KelvaneDll::
        DESTINATION ${KELVANE_CMAKE_PACKAGE_DIR} COMPONENT development)
configure_package_config_file(cmake/KelvaneDllConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/KelvaneDllConfig.cmake
  INSTALL_DESTINATION ${KELVANE_CMAKE_PACKAGE_DIR})
# A host asking for 0.1 takes any 0.x from 0.1 on, built for its word size.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/KelvaneDllConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/KelvaneDllConfig.cmake
              ${PROJECT_BINARY_DIR}/package/KelvaneDllConfigVersion.cmake
        DESTINATION ${KELVANE_CMAKE_PACKAGE_DIR} COMPONENT development)

# The .pc file names its prefix relative to its own folder, so an installed
# tree keeps working after `cmake --install --prefix` or a move.
set(KELVANE_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KELVANE_PKGCONFIG_TO_PREFIX
     ${CMAKE_INSTALL_PREFIX}/${KELVANE_PKGCONFIG_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KELVANE_PKGCONFIG_TO_PREFIX "${KELVANE_PKGCONFIG_TO_PREFIX}")
configure_file(cmake/kelvanedll.pc.in ${PROJECT_BINARY_DIR}/package/kelvanedll.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/kelvanedll.pc
        DESTINATION ${KELVANE_PKGCONFIG_DIR} COMPONENT development)
