# Cross-build for 64-bit Windows with Debian's MinGW-w64 compilers (the posix
# threads variant, which std::thread and std::mutex need).
#
#   cmake --preset mingw            # or: -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# Every program and the DLL link the compiler's runtime (libgcc, libstdc++,
# winpthread) statically, so they run in a plain Wine prefix or on Windows
# without extra DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVANE_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW tree only: the build machine's
# own /usr/include and /usr/lib hold Linux files.
set(CMAKE_FIND_ROOT_PATH /usr/${KELVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 API level: Asio's Winsock code and the IP Helper tables need it.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run through Wine (ctest, and test discovery).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KELVANE_WINE_PROGRAM NAMES wine wine64)
  if(KELVANE_WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVANE_WINE_PROGRAM})
  endif()
endif()

# Dependencies that the build machine has only as Linux packages (GoogleTest
# sources, header-only Asio and JSON) are brought in right after project().
set(CMAKE_PROJECT_KelvaneDll_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/MinGWDependencies.cmake)
