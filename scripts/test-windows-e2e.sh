#!/usr/bin/env bash
# Optional: one end-to-end session of the Windows host tool (kelvane.exe with
# KelvaneDll.dll, under Wine) against the Linux server simulator, over a
# private network of two namespaces joined by a veth pair (server 10.79.0.1,
# tool 10.79.0.2). The discovery broadcast never leaves the two namespaces.
# Needs root; run scripts/test-windows.sh first (it installs MinGW-w64 and
# Wine and builds build/mingw, build/mingw32).
#
#   bash scripts/test-windows-e2e.sh [64|32]   # the x64 (default) or i686 build
#
# The 32-bit session runs 32-bit Wine through scripts/wine32-env.sh; where the
# kernel runs no 32-bit code that means qemu-i386, under which the threaded
# library crashes: the script then says so and stops with status 2.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/lib/netns.sh

if [ "$(id -u)" -ne 0 ]; then
  echo "test-windows-e2e.sh: needs root to create the private network" >&2
  exit 1
fi
# With wine32 installed, the prefix needs 32-bit Wine (scripts/wine32-env.sh);
# a 64-bit program runs with the 64-bit loader directly.
wrap=()
[ ! -e /lib/ld-linux.so.2 ] || wrap=(bash "$root/scripts/wine32-env.sh")
case "${1:-64}" in
  64) preset=mingw triple=x86_64-w64-mingw32 run=(wine)
      [ ! -x /usr/lib/wine/wine64 ] || run=(/usr/lib/wine/wine64) ;;
  32) preset=mingw32 triple=i686-w64-mingw32 run=("${wrap[@]}" wine) ;;
  *) echo "usage: test-windows-e2e.sh [64|32]" >&2; exit 2 ;;
esac
for tool in wine "$triple-g++-posix"; do
  command -v "$tool" >/dev/null || { echo "$tool missing: run scripts/test-windows.sh" >&2; exit 1; }
done
if [ "${1:-64}" = 32 ] && "${wrap[@]}" sh -c '[ "$KELVANE_WINE32_EMULATED" = 1 ]'; then
  echo "test-windows-e2e.sh: this kernel runs no 32-bit code, and under emulation the" \
       "library's threads crash: run the 32-bit session where 32-bit code runs" >&2
  exit 2
fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target KelvaneDll kelvane
# The simulator, built for Linux beside the cross-build.
native="$root/build/mingw-native"
cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_TESTS=OFF \
  -DKELVANE_SANITIZE= >/dev/null
cmake --build "$native" -j "$(nproc)" --target kelvane-server

host_exe="$root/build/$preset/tools/host/kelvane.exe"
server_bin="$native/tools/server/kelvane-server"
images="$root/tools/examples/images.json"

ns_server="kvwin-srv-$$"
ns_tool="kvwin-tool-$$"
veth_server="kvws$$"
veth_tool="kvwt$$"
work=$(mktemp -d /tmp/kelvane-wine-e2e.XXXXXX)
server_pid=""

export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
  # The wineserver of this prefix runs inside the tool's namespace.
  ip netns exec "$ns_tool" wineserver -k >/dev/null 2>&1 || true
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  netns_remove "$ns_tool" "$ns_server"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

netns_create "$ns_server" "$ns_tool" "$veth_server" "$veth_tool" 10.79.0.1/24 10.79.0.2/24

# Wine's sockets are made by its wineserver: start it inside the namespace.
ip netns exec "$ns_tool" "${wrap[@]}" wineboot --init >/dev/null 2>&1
ip netns exec "$ns_tool" wineserver -w

ip netns exec "$ns_server" "$server_bin" --images "$images" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do
  grep -q "tool service on tcp" "$work/server.log" 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.log"; exit 1; }
  sleep 0.1
done

status=0
# kelvane.exe loads the KelvaneDll.dll copied beside it, as a Windows host does.
ip netns exec "$ns_tool" "${run[@]}" "$host_exe" --quiet --json --name wine-tool \
  shell >"$work/session.json" 2>"$work/session.err" <<'EOF' || status=$?
discover
login
images
snapshots
select 2
heartbeat
EOF
cat "$work/session.json"
cat "$work/session.err" >&2

fail() {
  echo "test-windows-e2e.sh: $*" >&2
  echo "--- server log" >&2
  cat "$work/server.log" >&2
  exit 1
}
[ "$status" -eq 0 ] || fail "the session ended with status $status"
# Records that crossed the DLL boundary: the image list and the snapshot map.
grep -q '"base-desktop"' "$work/session.json" || fail "no image list"
grep -q '"drivers updated"' "$work/session.json" || fail "no snapshots"
[ "$(grep -c . "$work/session.json")" -eq 6 ] || fail "not one answer per command"
echo "test-windows-e2e.sh: the ${1:-64}-bit Windows host tool completed a session under Wine"
