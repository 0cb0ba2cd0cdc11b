#!/usr/bin/env bash
# Cross-builds KelvaneDll.dll, the kelvane host tool and the test programs for
# Windows with MinGW-w64 and runs the tests under Wine in a fresh headless
# prefix that is removed afterwards, for each word size asked for (both by
# default):
#   64  x64:  preset "mingw",   build/mingw,   64-bit Wine
#   32  i686: preset "mingw32", build/mingw32, 32-bit Wine (wine32:i386)
#
#   bash scripts/test-windows.sh [64] [32]
#
# Each word size builds both flavours of the DLL: gnu for MinGW-w64 hosts
# (build/<preset>/client/KelvaneDll.dll, today's tests) and msvc for Visual
# C++ hosts (build/<preset>/client/msvc/KelvaneDll.dll), which only its own
# test host msvc_layout_tests reads (an independent reader of the Visual C++
# layout, a session against the simulator): the msvc flavour differs only in
# the containers the manager fills, so the rest of the suite is not run
# twice. Every DLL must export exactly the nine functions by their plain
# names.
#
# What does not run under Wine, and why (those tests are not built for
# Windows; see the CMakeLists.txt of each test folder):
#  - client_dll_tests: loads the Linux .so and reads its ELF symbol table;
#    dll_load_tests (tests/windows) does the same for KelvaneDll.dll;
#  - files_test of platform_tests: the POSIX file side; win32_seam_tests
#    checks the Win32 one;
#  - the log writer tests other than log_naming_test: they name their host
#    executable the POSIX way ('/' paths, case kept, no .exe);
#    KvWin_LogNaming checks the Windows naming end to end;
#  - logview_process_tests: the viewer as a Linux child process;
#    logview_win_tests follows a writer with kelvane-logview.exe instead;
#  - platform_netns_tests, netns_session_tests, host_tool_tests: Linux network
#    namespaces and Linux child processes (scripts/test-windows-e2e.sh runs
#    kelvane.exe under Wine against the simulator in namespaces instead).
#
# The 32-bit build where the kernel runs no 32-bit code (see
# scripts/wine32-env.sh; CI's virtual machines are such): 32-bit Wine runs
# under qemu-i386, where Wine programs with several threads crash in the
# emulator. There the script builds the DLL, the host tool and the
# single-threaded test programs only (i686_single_threaded below) and runs
# each once: the packet library (with the stream framer), the platform seam,
# the log writer, the transport's address text, the Win32 seam, the log line
# and the DLL's export and import tables. Left out there: the DLL's calls
# (they start its threads),
# KvWin_LogNaming (its second Wine process is at times killed on exit under
# the emulator),
# the manager, export and handler tests of the client, the transport tests,
# the dissector and simulator tests (threaded, or tools that the x64 run
# already covers), and the session of msvc_layout_tests (its empty
# containers, read before any thread starts, are checked). Where 32-bit
# code runs, the 32-bit suite runs whole, as the 64-bit one does.
set -euo pipefail
cd "$(dirname "$0")/.."

start=$(date +%s)
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(64 32)
packages="wine googletest"
for size in "${sizes[@]}"; do
  case "$size" in
    64) packages+=" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64" ;;
    32) packages+=" g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine32:i386 \
wine32-preloader:i386" ;;
    *) echo "usage: test-windows.sh [64] [32]" >&2; exit 2 ;;
  esac
done
want32=""
if [[ " ${sizes[*]} " == *" 32 "* ]]; then
  want32=1
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO dpkg --add-architecture i386
    $SUDO apt-get update
  fi
fi
KELVANE_EXTRA_PACKAGES="$packages ${KELVANE_EXTRA_PACKAGES:-}" bash scripts/setup.sh
# The emulator, only where the kernel cannot run the 32-bit Wine itself.
if [ -n "$want32" ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  KELVANE_EXTRA_PACKAGES="qemu-user" bash scripts/setup.sh
fi

# Where wine32 is installed, the prefix and the 32-bit programs need 32-bit
# Wine: those commands go through wine32-env.sh. The 64-bit test programs run
# with the 64-bit loader (see cmake/mingw-w64-common.cmake).
wrap=()
[ ! -e /lib/ld-linux.so.2 ] || wrap=(bash scripts/wine32-env.sh)

# A private, headless Wine prefix for both word sizes: no display, no Mono or
# Gecko installers.
wine_home=$(mktemp -d /tmp/kelvane-wine.XXXXXX)
export WINEPREFIX="$wine_home/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  # Ends the wineserver of this prefix only (started by this script).
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$wine_home"
}
trap cleanup EXIT
"${wrap[@]}" bash -c 'wineboot --init >/dev/null 2>&1; wineserver -w'
# One server for the whole run instead of one per test program, with Wine's
# own service processes started now: started by the first test program
# instead, they would inherit its output pipe and ctest would wait for them.
wineserver -p >/dev/null 2>&1 &
"${wrap[@]}" wine cmd /c exit >/dev/null 2>&1 || true

# The DLL exports exactly the nine functions, by plain name: no leading
# underscore, no @N suffix of another calling convention.
check_exports() {  # objdump dll
  local exports want
  exports=$("$1" -p "$2" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' |
    sort | tr '\n' ' ')
  want="GetClientInfo GetDiscoverInfo GetLastErrCode GetListImageInfo GetMapSnapInfo \
GetSelectImageInfo SendAskPack StartServer StopServer "
  if [ "$exports" != "$want" ]; then
    echo "$2 exports: $exports" >&2
    echo "expected: $want" >&2
    return 1
  fi
  echo "$2 exports exactly: $exports"
}

# The single-threaded test programs: what 32-bit Wine runs under emulation.
# dll_load_tests without the calls that start the library's threads.
i686_single_threaded=(protocol_tests platform_tests log_tests transport_unit_tests
  win32_seam_tests win32_log_line_tests dll_load_tests msvc_layout_tests)
declare -A i686_filter=([dll_load_tests]="-KelvaneDll.CallsWithoutServer"
  [msvc_layout_tests]="MsvcLayout.EmptyBeforeFirstReply")

run_size() {  # 64 | 32
  local preset triple start
  start=$(date +%s)
  case "$1" in
    64) preset=mingw triple=x86_64-w64-mingw32 ;;
    32) preset=mingw32 triple=i686-w64-mingw32 ;;
  esac
  cmake --preset "$preset"
  if [ "$1" = 32 ] && "${wrap[@]}" sh -c '[ "$KELVANE_WINE32_EMULATED" = 1 ]'; then
    echo "32-bit code runs only under emulation here: the single-threaded tests run"
    cmake --build --preset "$preset" -j "$(nproc)" \
      --target KelvaneDll KelvaneDllMsvc kelvane "${i686_single_threaded[@]}"
    check_exports "$triple-objdump" "build/$preset/client/KelvaneDll.dll"
    check_exports "$triple-objdump" "build/$preset/client/msvc/KelvaneDll.dll"
    local t exe
    for t in "${i686_single_threaded[@]}"; do
      exe=$(find "build/$preset/tests" -name "$t.exe" | head -n 1)
      echo "== $t (32-bit)"
      "${wrap[@]}" wine "$exe" --gtest_brief=1 --gtest_filter="${i686_filter[$t]:-*}"
    done
  else
    cmake --build --preset "$preset" -j "$(nproc)"
    check_exports "$triple-objdump" "build/$preset/client/KelvaneDll.dll"
    check_exports "$triple-objdump" "build/$preset/client/msvc/KelvaneDll.dll"
    # Wine now and then fails to start a test program (no output, 0 s); a
    # second start tells that from a test that fails.
    local again=(--repeat until-pass:2)
    if [ "$1" = 32 ]; then "${wrap[@]}" ctest --preset "$preset" -j 2 "${again[@]}"
    else ctest --preset "$preset" -j 2 "${again[@]}"; fi
  fi
  echo "test-windows.sh: $1-bit build and tests: $(( $(date +%s) - start )) s"
}

for size in "${sizes[@]}"; do run_size "$size"; done
echo "test-windows.sh: $(( $(date +%s) - start )) s"
