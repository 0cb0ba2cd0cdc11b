# The body shared by the MinGW-w64 toolchain files: Debian's cross compilers
# for KELVANE_MINGW_TRIPLE (the posix threads variant, which std::thread and
# std::mutex need), set by the file that includes this one together with
# CMAKE_SYSTEM_PROCESSOR.
#
# Every program and the DLL link the compiler's runtime (libgcc, libstdc++,
# winpthread) statically, so they run in a plain Wine prefix or on Windows
# without extra DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)

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

# Test programs run through Wine (ctest, and test discovery). Debian's
# "wine" prefers its 32-bit loader whenever wine32 is installed, which then
# starts the 64-bit one for a 64-bit program: 64-bit programs use the 64-bit
# loader directly instead, so they run also where the kernel runs no 32-bit
# code.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    find_program(KELVANE_WINE64_PROGRAM NAMES wine64 wine PATHS /usr/lib/wine)
    set(_kelvane_wine ${KELVANE_WINE64_PROGRAM})
  else()
    find_program(KELVANE_WINE_PROGRAM NAMES wine)
    set(_kelvane_wine ${KELVANE_WINE_PROGRAM})
  endif()
  if(_kelvane_wine)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${_kelvane_wine})
  endif()
endif()

# Dependencies that the build machine has only as Linux packages (GoogleTest
# sources, header-only Asio and JSON) are brought in right after project().
set(CMAKE_PROJECT_KelvaneDll_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/MinGWDependencies.cmake)
