# Included right after project() by the MinGW toolchain file. Debian ships
# GoogleTest, Asio, nlohmann-json and CLI11 for Linux only; this makes them usable by
# the Windows cross-build without touching the build machine's own headers:
#  - GoogleTest is built from its sources (/usr/src/googletest) with the
#    cross compiler, and a small package file lets find_package(GTest) find
#    those targets;
#  - the header-only libraries (Asio, nlohmann-json, CLI11) are reached
#    through a folder of links to just their headers (adding /usr/include
#    itself would pull in glibc's);
#  - Winsock (ws2_32, mswsock) is linked into every program, as Asio needs.

set(KELVANE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to cross-build")
set(KELVANE_HOST_INCLUDE_DIR /usr/include CACHE PATH "Where the header-only libraries live")

set(_kelvane_deps ${CMAKE_BINARY_DIR}/_deps)
set(_kelvane_headers ${_kelvane_deps}/include)
file(MAKE_DIRECTORY ${_kelvane_headers})
foreach(entry asio asio.hpp nlohmann CLI)
  if(EXISTS ${KELVANE_HOST_INCLUDE_DIR}/${entry} AND NOT EXISTS ${_kelvane_headers}/${entry})
    file(CREATE_LINK ${KELVANE_HOST_INCLUDE_DIR}/${entry} ${_kelvane_headers}/${entry} SYMBOLIC)
  endif()
endforeach()
include_directories(SYSTEM ${_kelvane_headers})

# Windows sockets for Asio; harmless for programs that do not use them.
link_libraries(ws2_32 mswsock)

# nlohmann_json as a package.
set(_kelvane_json_pkg ${_kelvane_deps}/nlohmann_json)
file(WRITE ${_kelvane_json_pkg}/nlohmann_jsonConfig.cmake
  "if(NOT TARGET nlohmann_json::nlohmann_json)\n"
  "  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)\n"
  "  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES\n"
  "    INTERFACE_INCLUDE_DIRECTORIES \"${_kelvane_headers}\")\n"
  "endif()\n")
file(WRITE ${_kelvane_json_pkg}/nlohmann_jsonConfigVersion.cmake
  "set(PACKAGE_VERSION 3.11.2)\n"
  "set(PACKAGE_VERSION_COMPATIBLE TRUE)\n"
  "if(PACKAGE_FIND_VERSION_MAJOR AND NOT PACKAGE_FIND_VERSION_MAJOR EQUAL 3)\n"
  "  set(PACKAGE_VERSION_COMPATIBLE FALSE)\n"
  "endif()\n")
set(nlohmann_json_DIR ${_kelvane_json_pkg} CACHE PATH "" FORCE)

# CLI11 as a package.
set(_kelvane_cli11_pkg ${_kelvane_deps}/CLI11)
file(WRITE ${_kelvane_cli11_pkg}/CLI11Config.cmake
  "if(NOT TARGET CLI11::CLI11)\n"
  "  add_library(CLI11::CLI11 INTERFACE IMPORTED)\n"
  "  set_target_properties(CLI11::CLI11 PROPERTIES\n"
  "    INTERFACE_INCLUDE_DIRECTORIES \"${_kelvane_headers}\")\n"
  "endif()\n")
set(CLI11_DIR ${_kelvane_cli11_pkg} CACHE PATH "" FORCE)

# GoogleTest from source, only when tests are built.
if(NOT DEFINED KELVANE_BUILD_TESTS OR KELVANE_BUILD_TESTS)
  if(NOT EXISTS ${KELVANE_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${KELVANE_GTEST_SOURCE_DIR} "
                        "(Debian package googletest)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_SHARED_LIBS OFF)
  add_subdirectory(${KELVANE_GTEST_SOURCE_DIR} ${_kelvane_deps}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own build names the GTest:: aliases.
  set(_kelvane_gtest_pkg ${_kelvane_deps}/GTest)
  file(WRITE ${_kelvane_gtest_pkg}/GTestConfig.cmake
    "# The targets come from the GoogleTest sources built in this tree.\n"
    "set(GTest_FOUND TRUE)\n")
  set(GTest_DIR ${_kelvane_gtest_pkg} CACHE PATH "" FORCE)
  # Test lists are read when ctest runs, through Wine, not while building.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
