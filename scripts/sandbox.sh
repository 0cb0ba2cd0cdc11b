#!/usr/bin/env bash
# Tries the host tool against the server simulator without touching a real
# network: kelvane-server runs in one private network namespace (10.78.0.1),
# and a command (by default an interactive shell) runs in a second one
# (10.78.0.2), joined to it by a veth pair. kelvane's discovery broadcast to
# 255.255.255.255:800 stays between the two. Inside, kelvane and the other
# tools of the release build are on the PATH. Everything is removed when the
# command ends. Needs root.
#
#   bash scripts/sandbox.sh                          # a shell: try "kelvane images"
#   bash scripts/sandbox.sh kelvane --json images    # one command
#   KELVANE_SERVER_ARGS="--fail select@2=5" bash scripts/sandbox.sh
#
# The simulator serves tools/examples/images.json unless KELVANE_SERVER_ARGS
# names other --images; its event lines are shown when the command ends.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/lib/netns.sh

if [ "$(id -u)" -ne 0 ]; then
  echo "sandbox.sh: needs root to create the private network (run it as root or with sudo)" >&2
  exit 1
fi

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target KelvaneDll kelvane kelvane-server \
  kelvane-dump kelvane-logview >/dev/null
tools="$root/build/release/tools"

ns_server="kvsb-srv-$$"
ns_tool="kvsb-tool-$$"
work=$(mktemp -d /tmp/kelvane-sandbox-XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    echo "== what kelvane-server saw"
    cat "$work/server.log"
  fi
  netns_remove "$ns_tool" "$ns_server"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

netns_create "$ns_server" "$ns_tool" "kvsbs$$" "kvsbt$$" 10.78.0.1/24 10.78.0.2/24
read -r -a server_args <<<"${KELVANE_SERVER_ARGS:-}"
ip netns exec "$ns_server" "$tools/server/kelvane-server" --images tools/examples/images.json \
  --ready-file "$work/ready" "${server_args[@]}" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do
  [ -e "$work/ready" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.log"; server_pid=""; exit 1; }
  sleep 0.1
done
[ -e "$work/ready" ] || { echo "sandbox.sh: kelvane-server did not start" >&2; exit 1; }

export PATH="$tools/host:$tools/server:$tools/dump:$tools/logview:$PATH"
if [ $# -eq 0 ]; then
  echo "== kelvane-server listens on 10.78.0.1; this shell is in $ns_tool (10.78.0.2)."
  echo "   Try: kelvane images | kelvane --json snapshots | kelvane shell. 'exit' ends it."
  set -- bash -i
fi
status=0
ip netns exec "$ns_tool" "$@" || status=$?
exit "$status"
