# Packages made by `cpack` in a build folder (scripts/package.sh drives it):
#  - Linux: three Debian packages, one per install component:
#      libkelvanedll1     runtime      libKelvaneDll.so.1
#      libkelvanedll-dev  development  header, libKelvaneDll.so, CMake and
#                                      pkg-config files
#      kelvane-tools      tools        the four programs, their man pages,
#                                      completion, example images, dissector
#  - Windows (MinGW-w64): one zip of the whole install tree (bin with the DLL
#    and the .exe tools, lib with the import library, include, share).
set(KELVANE_DEB_RUNTIME libkelvanedll${KELVANE_SOVERSION})
set(KELVANE_DEB_DEVELOPMENT libkelvanedll-dev)
set(KELVANE_DEB_TOOLS kelvane-tools)
set(KELVANE_DEB_RELEASE 1)
set(KELVANE_PACKAGE_MAINTAINER "KelvaneDll developers <kelvanedll@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")

if(NOT WIN32)
  include(cmake/KelvaneDebianDocs.cmake)
endif()

set(CPACK_PACKAGE_NAME KelvaneDll)
set(CPACK_PACKAGE_VENDOR "KelvaneDll developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime development tools)

if(WIN32)
  install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME windows-x64)
  else()
    set(CPACK_SYSTEM_NAME windows-x86)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${KELVANE_DEB_RELEASE})
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KELVANE_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Dependencies on the C and C++ runtimes come from dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(_kelvane_exact "${PROJECT_VERSION}-${KELVANE_DEB_RELEASE}")

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KELVANE_DEB_RUNTIME})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  # The shlibs file (what packages linking libKelvaneDll.so.1 depend on)
  # and the ldconfig trigger; only this package holds a shared object.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"client library of a diskless-boot server's tool service
KelvaneDll lets an image-administration program talk to a diskless-boot
server: it finds the server by UDP broadcast, logs in over TCP, lists disk
images and snapshots, creates and selects images and switches clients in
and out of administrator mode, through nine exported functions.
.
This package holds the shared library.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${KELVANE_DEB_DEVELOPMENT})
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${KELVANE_DEB_RUNTIME} (= ${_kelvane_exact})")
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"development files of the KelvaneDll client library
KelvaneDll lets an image-administration program talk to a diskless-boot
server through nine exported functions.
.
This package holds the header KelvaneDll.h, the link libKelvaneDll.so, the
CMake package (find_package(KelvaneDll)) and the pkg-config file kelvanedll.")

  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${KELVANE_DEB_TOOLS})
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
  # kelvane loads the library at run time: dpkg-shlibdeps cannot see it.
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${KELVANE_DEB_RUNTIME} (= ${_kelvane_exact})")
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"command-line tools of the KelvaneDll client library
kelvane runs the library's requests against a diskless-boot server and
prints the results as tables or JSON; kelvane-server simulates the server's
tool service for trying out hosts; kelvane-dump decodes packets;
kelvane-logview follows the library's shared log ring live.")
  if(TARGET kelvane_dissector)
    string(APPEND CPACK_DEBIAN_TOOLS_DESCRIPTION
      "\nA Wireshark dissector of the protocol, kelvane.lua, is included.")
  endif()
endif()

include(CPack)
