#!/usr/bin/env bash
# Cross-builds KelvaneDll.dll, the kelvane host tool and the test programs for
# 64-bit Windows with MinGW-w64 (preset "mingw", build/mingw) and runs the
# tests under Wine in a fresh headless prefix that is removed afterwards.
#
#   bash scripts/test-windows.sh
#
# What does not run under Wine, and why (those tests are not built for
# Windows; see the CMakeLists.txt of each test folder):
#  - client_dll_tests: loads the Linux .so and reads its ELF symbol table;
#    dll_load_tests (tests/windows) does the same for KelvaneDll.dll;
#  - Files_test of platform_tests: the POSIX file side; win32_seam_tests
#    checks the Win32 one;
#  - the log writer tests other than LogNaming_test: they name their host
#    executable the POSIX way ('/' paths, case kept, no .exe);
#    KvWin_LogNaming checks the Windows naming end to end;
#  - platform_netns_tests, netns_session_tests, host_tool_tests: Linux network
#    namespaces and Linux child processes (scripts/test-windows-e2e.sh runs
#    kelvane.exe under Wine against the simulator in namespaces instead).
set -euo pipefail
cd "$(dirname "$0")/.."

start=$(date +%s)
KELVANE_EXTRA_PACKAGES="g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 \
googletest ${KELVANE_EXTRA_PACKAGES:-}" bash scripts/setup.sh

# A private, headless Wine prefix: no display, no Mono or Gecko installers.
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
wineboot --init >/dev/null 2>&1
wineserver -w
# One server for the whole run instead of one per test program, with Wine's
# own service processes started now: started by the first test program
# instead, they would inherit its output pipe and ctest would wait for them.
wineserver -p >/dev/null 2>&1 &
wine cmd /c exit >/dev/null 2>&1 || true

cmake --preset mingw
cmake --build --preset mingw -j "$(nproc)"

# The DLL exports exactly the nine functions, by plain name.
dll=build/mingw/client/KelvaneDll.dll
exports=$(x86_64-w64-mingw32-objdump -p "$dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' |
  sort | tr '\n' ' ')
want="GetClientInfo GetDiscoverInfo GetLastErrCode GetListImageInfo GetMapSnapInfo \
GetSelectImageInfo SendAskPack StartServer StopServer "
if [ "$exports" != "$want" ]; then
  echo "KelvaneDll.dll exports: $exports" >&2
  echo "expected:               $want" >&2
  exit 1
fi
echo "KelvaneDll.dll exports exactly: $exports"

ctest --preset mingw -j 2
echo "test-windows.sh: $(( $(date +%s) - start )) s"
