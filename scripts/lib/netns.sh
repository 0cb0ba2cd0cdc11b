# A private network of two namespaces joined by a veth pair, for the scripts
# that run the host tool against the server simulator (demo.sh,
# test-windows-e2e.sh). Source it; the functions need root.
#
#   netns_create NS_SERVER NS_TOOL VETH_SERVER VETH_TOOL SERVER_CIDR TOOL_CIDR
#   netns_remove NS...

# Creates both namespaces with loopback up, the veth pair with one end and
# one address in each, and waits until both ends report their carrier.
netns_create() {
  local ns_server=$1 ns_tool=$2 veth_server=$3 veth_tool=$4 server_addr=$5 tool_addr=$6
  ip netns add "$ns_server"
  ip netns add "$ns_tool"
  ip link add "$veth_server" netns "$ns_server" type veth peer name "$veth_tool" netns "$ns_tool"
  ip -n "$ns_server" addr add "$server_addr" dev "$veth_server"
  ip -n "$ns_tool" addr add "$tool_addr" dev "$veth_tool"
  for ns in "$ns_server" "$ns_tool"; do ip -n "$ns" link set lo up; done
  ip -n "$ns_server" link set "$veth_server" up
  ip -n "$ns_tool" link set "$veth_tool" up
  # The library takes the address of an operational interface: wait for the carrier.
  for _ in $(seq 1 150); do
    if ip -n "$ns_tool" link show dev "$veth_tool" | grep -q "state UP" &&
       ip -n "$ns_server" link show dev "$veth_server" | grep -q "state UP"; then
      break
    fi
    sleep 0.1
  done
}

# Removes the namespaces (and with them the veth pair); missing ones are no
# error.
netns_remove() {
  for ns in "$@"; do ip netns del "$ns" 2>/dev/null || true; done
}
