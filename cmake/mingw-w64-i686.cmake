# Cross-build for 32-bit Windows (x86, i686) with Debian's MinGW-w64 compilers
# (g++-mingw-w64-i686-posix): the DLL for 32-bit host programs, which cannot
# load the x64 one.
#
#   cmake --preset mingw32          # or: -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KELVANE_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
