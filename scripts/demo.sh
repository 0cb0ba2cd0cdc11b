#!/usr/bin/env bash
# The main job: a whole session of the host tool with the server simulator
# over a private network.
#
# Builds the library, the host tool (kelvane) and the simulator
# (kelvane-server) with the release preset, creates two network namespaces
# joined by a veth pair (server 10.77.0.1, tool 10.77.0.2), starts the
# simulator with the example images in one, runs a session with the host tool
# in the other, shows what the server saw and where the library's log file
# is, and removes everything again, also on failure or Ctrl-C. The discovery
# broadcast never leaves the two namespaces. Needs root.
#
# KELVANE_DEMO_PCAP=FILE.pcap also captures the session with tcpdump inside
# the server's namespace, for kelvane-dump --pcap and Wireshark.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/lib/netns.sh

if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh: needs root to create the private network (run it as root or with sudo)" >&2
  exit 1
fi

bash scripts/setup.sh
echo "== building (release preset): libKelvaneDll.so, kelvane, kelvane-server, kelvane-logview"
cmake --preset release >/dev/null
targets=(KelvaneDll kelvane kelvane-server kelvane-logview)
pcap="${KELVANE_DEMO_PCAP:-}"
[ -z "$pcap" ] || targets+=(kelvane-dump kelvane_dissector)
cmake --build --preset release -j "$(nproc)" --target "${targets[@]}"

build="$root/build/release"
host="$build/tools/host/kelvane"
server_bin="$build/tools/server/kelvane-server"
images="$root/tools/examples/images.json"

ns_server="kvdemo-srv-$$"
ns_tool="kvdemo-tool-$$"
veth_server="kvds$$"
veth_tool="kvdt$$"
work=$(mktemp -d /tmp/kelvane-demo-XXXXXX)
server_pid=""
tcpdump_pid=""

stop() {
  if [ -n "$1" ]; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
cleanup() {
  stop "$server_pid"
  stop "$tcpdump_pid"
  netns_remove "$ns_tool" "$ns_server"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== creating the private network: $ns_server (10.77.0.1) <-> $ns_tool (10.77.0.2)"
netns_create "$ns_server" "$ns_tool" "$veth_server" "$veth_tool" 10.77.0.1/24 10.77.0.2/24

if [ -n "$pcap" ]; then
  echo "== capturing the session in $ns_server to $pcap"
  # --immediate-mode: each packet is written as it comes; -Z root: no user switch.
  ip netns exec "$ns_server" tcpdump -i any --immediate-mode -U -Z root -w "$pcap" \
    >"$work/tcpdump.log" 2>&1 &
  tcpdump_pid=$!
  for _ in $(seq 1 100); do
    grep -q "listening on" "$work/tcpdump.log" 2>/dev/null && break
    sleep 0.1
  done
fi

echo "== starting kelvane-server with $images"
ip netns exec "$ns_server" "$server_bin" --images "$images" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do
  grep -q "tool service on tcp" "$work/server.log" 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.log"; exit 1; }
  sleep 0.1
done
head -n 1 "$work/server.log"

# The daily log file beside the host executable; remember where this run starts.
logfile="$build/tools/host/Log/kelvane$(date +%Y%m%d).log"
log_start=$(stat -c %s "$logfile" 2>/dev/null || echo 0)

echo
echo "== a session with the host tool (kelvane shell in $ns_tool)"
echo "   (to watch its log live, run in a second terminal first:"
echo "    $build/tools/logview/kelvane-logview --wait kelvane)"
status=0
ip netns exec "$ns_tool" "$host" --quiet --name demo-tool shell <<'EOF' || status=$?
discover
login
images
snapshots
create demo-image 1 0
images
select 2
set-admin 1
cancel-admin 1 0 "demo finished"
heartbeat
EOF

echo
echo "== what the server saw"
tail -n +2 "$work/server.log"

echo
echo "== the library's log file: $logfile"
echo "   (its lines of this session; the same lines went to the shared ring Global\\kelvane.mem, see kelvane-logview)"
if [ -f "$logfile" ]; then
  tail -c +"$((log_start + 1))" "$logfile"
else
  echo "   (no log file was written)"
fi

if [ -n "$pcap" ]; then
  sleep 0.5  # the last packets of the session reach the file
  stop "$tcpdump_pid"
  tcpdump_pid=""
  echo
  echo "== the capture: $pcap"
  echo "   $build/tools/dump/kelvane-dump --pcap $pcap"
  echo "   tshark -r $pcap -X lua_script:$build/tools/dump/dissector/kelvane.lua"
fi

echo
if [ "$status" -eq 0 ]; then
  echo "== session complete"
else
  echo "== the session ended with status $status"
fi
exit "$status"
