#!/usr/bin/env bash
# The soak: the library under a bad network for minutes, every answer checked.
#
# Two private network namespaces joined by a veth pair: the simulator
# (kelvane-server --tag-replies, on 127.0.0.1) and the fault proxy
# (kelvane-faultproxy, 10.77.0.1:9000, which the simulator's discovery reply
# announces) in one, the soak host (kelvane-soak, 10.77.0.2) in the other, so
# every TCP byte crosses the veth and the proxy. A schedule of phases then
# puts the faults between them:
#
#   clean, latency (20 +- 15 ms), trickle (bandwidth limits), hold (replies
#   held 3.5 s, so that some come after the 3000 ms wait, then all at once),
#   loss (10 %, nftables), dup (30 % duplicated, nftables), reorder (tc netem,
#   only where the kernel has it), corrupt (bits flipped by the proxy), cut
#   (links cut after N bytes), reset (links reset), veth (the link taken down
#   and up), restart (the simulator killed and restarted mid-request),
#   close-after (the simulator closing links after 5 requests, closes slowed
#   by the proxy), recover (clean again)
#
# and prints the figures: requests per kind and outcome, wrong answers, the
# longest block against its bound, crashes, sanitizer reports, and per phase
# the host's resident memory, descriptors and log bytes at its start and end.
# Needs root; the namespaces and every process are removed also on failure.
#
#   bash scripts/soak.sh                      # 10 minutes, release build
#   bash scripts/soak.sh --minutes 30 --preset debug
#   bash scripts/soak.sh --seconds 60 --preset debug --no-build   # as CI runs it
#
# Options: --minutes N (default 10) or --seconds N; --preset release|debug|tsan
# (the build the three programs come from; debug has ASan and UBSan);
# --no-build; --lib FILE (another build of the library to soak, by default
# the preset's); --report FILE (the figures, Markdown, also printed); --seed
# N; --keep DIR (copy the run's logs there). Exit status 0 when the host saw
# only its own answers or 1 within the bounds, nothing crashed and no
# sanitizer reported; 1 otherwise; 2 for a usage error.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/lib/netns.sh

seconds=600
preset=release
build=1
report_out=""
seed=1
keep=""
lib=""
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) seconds=$(( ${2:?--minutes needs a number} * 60 )); shift 2 ;;
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    --preset) preset=${2:?--preset needs a name}; shift 2 ;;
    --no-build) build=0; shift ;;
    --report) report_out=${2:?--report needs a file}; shift 2 ;;
    --seed) seed=${2:?--seed needs a number}; shift 2 ;;
    --keep) keep=${2:?--keep needs a folder}; shift 2 ;;
    --lib) lib=$(realpath "${2:?--lib needs a file}"); shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "soak.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
case "$preset" in release|debug|tsan) ;; *) echo "soak.sh: --preset is release, debug or tsan" >&2; exit 2 ;; esac
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 30 ] || [ "$seconds" -gt 86400 ]; then
  echo "soak.sh: the soak lasts 30 seconds to 24 hours, not '$seconds' seconds" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "soak.sh: needs root to create the private network (run it as root or with sudo)" >&2
  exit 1
fi

# The tsan preset builds no tools (its tests are the threaded ones): the
# soak's tsan build is a folder of its own with them.
bin="$root/build/$preset"
configure=(--preset "$preset")
if [ "$preset" = tsan ]; then
  bin="$root/build/tsan-soak"
  configure+=(-B "$bin" -DKELVANE_BUILD_TOOLS=ON -DKELVANE_BUILD_TESTS=OFF)
fi
if [ "$build" -eq 1 ]; then
  KELVANE_EXTRA_PACKAGES="nftables ${KELVANE_EXTRA_PACKAGES:-}" bash scripts/setup.sh
  cmake "${configure[@]}" >/dev/null
  cmake --build "$bin" -j "$(nproc)" \
    --target KelvaneDll kelvane-server kelvane-faultproxy kelvane-soak >/dev/null
fi
[ -n "$lib" ] || lib="$bin/client/libKelvaneDll.so.1"
for f in "$lib" "$bin/tools/server/kelvane-server" "$bin/tools/faultproxy/kelvane-faultproxy" \
         "$bin/tools/soak/kelvane-soak"; do
  [ -e "$f" ] || { echo "soak.sh: $f is missing (build the $preset preset)" >&2; exit 1; }
done

ns_srv="kvsoak-srv-$$"
ns_host="kvsoak-host-$$"
veth_srv="kvks$$"
veth_host="kvkh$$"
srv_ip=10.77.0.1
host_ip=10.77.0.2
sim_port=8000
proxy_port=9000
work=$(mktemp -d /tmp/kelvane-soak-XXXXXX)
sim_pid=""
proxy_pid=""
host_pid=""
unexpected_deaths=0   # the simulator or the proxy ended without being told to
sim_starts=0
figures="$work/figures.md"

# Every program writes a sanitizer report and exits 86, so that a report
# is never mistaken for a failed check (1).
export ASAN_OPTIONS="exitcode=86:detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="exitcode=86:print_stacktrace=1:${UBSAN_OPTIONS:-}"
export TSAN_OPTIONS="exitcode=86:${TSAN_OPTIONS:-}"

stopped_status=0
stop_pid() {  # PID [SIGNAL]: ends one process this script started, bounded;
              # its exit status in stopped_status (137: it had to be killed)
  local pid=$1 sig=${2:-TERM}
  stopped_status=0
  [ -n "$pid" ] || return 0
  kill -"$sig" "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  { wait "$pid" || stopped_status=$?; } 2>/dev/null
}
cleanup() {
  local status=$?
  stop_pid "$host_pid" KILL
  stop_pid "$proxy_pid"
  stop_pid "$sim_pid"
  netns_remove "$ns_host" "$ns_srv"
  if [ -n "$keep" ]; then mkdir -p "$keep" && cp -r "$work"/. "$keep"/ 2>/dev/null || true; fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log() { echo "$(date +%H:%M:%S) soak: $*"; }

# Starts the simulator with extra options; waits for its ready file (10 s).
start_sim() {
  rm -f "$work/sim.ready"
  ip netns exec "$ns_srv" "$bin/tools/server/kelvane-server" --bind 127.0.0.1 \
    --port "$sim_port" --announce-port "$proxy_port" --tag-replies \
    --ready-file "$work/sim.ready" "$@" >>"$work/sim.log" 2>>"$work/sim.err" &
  sim_pid=$!
  sim_starts=$((sim_starts + 1))
  for _ in $(seq 1 100); do
    [ -e "$work/sim.ready" ] && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "soak.sh: kelvane-server did not start:" >&2
  tail -n 5 "$work/sim.err" "$work/sim.log" >&2
  exit 1
}
# Ends the simulator: TERM must end it with status 0, KILL is a crash we made.
stop_sim() {
  local sig=${1:-TERM} status=0
  [ -n "$sim_pid" ] || return 0
  kill -0 "$sim_pid" 2>/dev/null || { wait "$sim_pid" || status=$?; sim_pid="";
    log "kelvane-server had ended by itself (status $status)"; unexpected_deaths=$((unexpected_deaths + 1)); return 0; }
  kill -"$sig" "$sim_pid" 2>/dev/null || true
  { wait "$sim_pid" || status=$?; } 2>/dev/null
  if [ "$sig" = TERM ] && [ "$status" -ne 0 ]; then
    log "kelvane-server ended with status $status"
    unexpected_deaths=$((unexpected_deaths + 1))
  fi
  sim_pid=""
}

# The proxy's toxics for the next phase: the lines given, read on SIGHUP.
toxics() {
  printf '%s\n' "$@" >"$work/toxics.new"
  mv "$work/toxics.new" "$work/toxics"
  kill -HUP "$proxy_pid"
}
set_phase() {  # NAME [corrupting]
  echo "$*" >"$work/phase.new"
  mv "$work/phase.new" "$work/phase"
  log "phase $1"
}

# nftables in both namespaces: loss on input from the veth, or duplication
# on its egress (a copy made at ingress leaves by the same device, back to
# the sender, which drops it).
nft_loss() {
  local ns dev
  for pair in "$ns_srv:$veth_srv" "$ns_host:$veth_host"; do
    ns=${pair%%:*} dev=${pair#*:}
    ip netns exec "$ns" nft -f - <<EOF
table inet kvsoak {
  chain input {
    type filter hook input priority 0; policy accept;
    iifname "$dev" numgen random mod 100 < $1 counter drop
  }
}
EOF
  done
}
nft_dup() {
  local ns dev
  for pair in "$ns_srv:$veth_srv" "$ns_host:$veth_host"; do
    ns=${pair%%:*} dev=${pair#*:}
    ip netns exec "$ns" nft -f - <<EOF
table netdev kvsoak {
  chain egress {
    type filter hook egress device "$dev" priority 0; policy accept;
    numgen random mod 100 < $1 counter dup to "$dev"
  }
}
EOF
  done
}
# The packets the rules of both namespaces counted; then removes them.
nft_take() {
  local n=0 c
  for ns in "$ns_srv" "$ns_host"; do
    c=$(ip netns exec "$ns" nft list ruleset 2>/dev/null | sed -n 's/.*counter packets \([0-9]*\).*/\1/p' |
        awk '{s += $1} END {print s + 0}')
    n=$((n + c))
    ip netns exec "$ns" nft flush ruleset 2>/dev/null || true
  done
  echo "$n"
}

have_nft=1
have_netem=0
command -v nft >/dev/null || have_nft=0
skipped=()
phase_notes=()

log "building the private network $ns_srv ($srv_ip) <-> $ns_host ($host_ip)"
netns_create "$ns_srv" "$ns_host" "$veth_srv" "$veth_host" "$srv_ip/24" "$host_ip/24"
if [ "$have_nft" -eq 1 ] && ! ip netns exec "$ns_host" nft add table netdev kvprobe 2>/dev/null; then
  have_nft=0
fi
[ "$have_nft" -eq 0 ] || ip netns exec "$ns_host" nft flush ruleset
if ip netns exec "$ns_host" tc qdisc add dev "$veth_host" root netem delay 1ms 2>/dev/null; then
  have_netem=1
  ip netns exec "$ns_host" tc qdisc del dev "$veth_host" root
fi

start_sim
: >"$work/toxics"
ip netns exec "$ns_srv" "$bin/tools/faultproxy/kelvane-faultproxy" \
  --listen "$srv_ip:$proxy_port" --upstream "127.0.0.1:$sim_port" --toxics "$work/toxics" \
  --seed "$seed" --ready-file "$work/proxy.ready" >"$work/proxy.log" 2>"$work/proxy.err" &
proxy_pid=$!
for _ in $(seq 1 100); do [ -e "$work/proxy.ready" ] && break; sleep 0.1; done
[ -e "$work/proxy.ready" ] || { echo "soak.sh: kelvane-faultproxy did not start" >&2; cat "$work/proxy.err" >&2; exit 1; }

# The host runs from a folder of its own: the library's Log folder beside it
# holds this run's lines only.
mkdir -p "$work/host"
cp "$bin/tools/soak/kelvane-soak" "$work/host/"
echo clean >"$work/phase"
ip netns exec "$ns_host" "$work/host/kelvane-soak" --lib "$lib" --phase-file "$work/phase" \
  --report "$work/host-report.md" --seconds $((seconds + 120)) --seed "$seed" \
  --expect-server "$srv_ip:$proxy_port" >"$work/host.out" 2>"$work/host.err" &
host_pid=$!

# The phases: name and share of the whole time in percent.
phases=(clean:4 latency:7 trickle:7 hold:14 loss:7 dup:7 reorder:5 corrupt:7 cut:7 reset:7 veth:7
        restart:8 close-after:8 recover:5)
soak_start=$(date +%s)

# Sleeps until the phase's end; `every` runs its action each period meanwhile.
phase_wait() {  # END_EPOCH_MS
  local end=$1
  while [ "$(date +%s%3N)" -lt "$end" ]; do
    kill -0 "$host_pid" 2>/dev/null || return 0
    sleep 0.2
  done
}
now_ms() { date +%s%3N; }

run_phase() {  # NAME MS
  local name=$1 ms=$2 end n
  end=$(( $(now_ms) + ms ))
  case "$name" in
    clean|recover)
      set_phase "$name"; toxics; phase_wait "$end" ;;
    latency)
      set_phase "$name"; toxics "latency ms=20 jitter=15 dir=both"; phase_wait "$end" ;;
    trickle)
      set_phase "$name"; toxics "bandwidth rate=8000 dir=down" "bandwidth rate=2000 dir=up"
      phase_wait "$end" ;;
    hold)
      set_phase "$name"; toxics "hold ms=3500 pass=1500 dir=down"; phase_wait "$end" ;;
    loss|dup)
      if [ "$have_nft" -eq 0 ]; then skipped+=("$name: nft is missing or refused"); return; fi
      set_phase "$name"; toxics
      if [ "$name" = loss ]; then nft_loss 10; else nft_dup 30; fi
      phase_wait "$end"
      n=$(nft_take)
      phase_notes+=("$name: $n packets $([ "$name" = loss ] && echo dropped || echo duplicated) by nftables") ;;
    reorder)
      if [ "$have_netem" -eq 0 ]; then
        skipped+=("reorder: the kernel has no netem queueing discipline (tc qdisc ... netem fails)")
        return
      fi
      set_phase "$name"; toxics
      for pair in "$ns_srv:$veth_srv" "$ns_host:$veth_host"; do
        ip netns exec "${pair%%:*}" tc qdisc add dev "${pair#*:}" root netem delay 20ms 10ms reorder 25% 50%
      done
      phase_wait "$end"
      for pair in "$ns_srv:$veth_srv" "$ns_host:$veth_host"; do
        ip netns exec "${pair%%:*}" tc qdisc del dev "${pair#*:}" root 2>/dev/null || true
      done ;;
    corrupt)
      # A flipped Length leaves a link waiting for bytes that never come (the
      # protocol cannot find the next head again): the links are reset at the
      # end, so that the next phase starts in step.
      set_phase "$name" corrupting; toxics "corrupt every=4000 dir=down"; phase_wait "$end"
      toxics "reset ms=1"; sleep 0.2 ;;
    cut)
      set_phase "$name"; toxics "cut bytes=12000 dir=down"; phase_wait "$end" ;;
    reset)
      set_phase "$name"; toxics "reset ms=1500"; phase_wait "$end" ;;
    veth)
      set_phase "$name"; toxics
      n=0
      while [ "$(now_ms)" -lt $((end - 2500)) ] && [ "$n" -lt 1000 ]; do
        ip -n "$ns_srv" link set "$veth_srv" down
        phase_wait $(( $(now_ms) + 2500 ))
        ip -n "$ns_srv" link set "$veth_srv" up
        phase_wait $(( $(now_ms) + 2500 ))
        n=$((n + 1))
      done
      ip -n "$ns_srv" link set "$veth_srv" up
      phase_wait "$end"
      phase_notes+=("veth: taken down for 2.5 s $n times") ;;
    restart)
      # Latency keeps requests in flight, so that a kill lands mid-request.
      set_phase "$name"; toxics "latency ms=50 dir=both"
      n=0
      while [ "$(now_ms)" -lt $((end - 3000)) ] && [ "$n" -lt 1000 ]; do
        phase_wait $(( $(now_ms) + 1500 ))
        stop_sim KILL
        phase_wait $(( $(now_ms) + 1000 ))
        start_sim
        n=$((n + 1))
      done
      phase_wait "$end"
      phase_notes+=("restart: the simulator killed (SIGKILL) and started again $n times") ;;
    close-after)
      set_phase "$name"; toxics "slow-close ms=500"; stop_sim; start_sim --close-after 5
      phase_wait "$end"
      stop_sim; start_sim ;;
  esac
}

# A phase skipped on this machine leaves its time to the next one.
carry=0
for p in "${phases[@]}"; do
  name=${p%%:*}
  share=${p#*:}
  kill -0 "$host_pid" 2>/dev/null || { log "the soak host has ended early"; break; }
  before=$(now_ms)
  run_phase "$name" $(( seconds * 10 * share + carry ))
  carry=0
  [ $(( $(now_ms) - before )) -ge 1000 ] || carry=$(( seconds * 10 * share ))
done
set_phase end

# The host ends after its request in hand (at most about 6 s) and writes
# the figures; more than a minute is a hang.
host_status=0
for _ in $(seq 1 600); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$host_pid" 2>/dev/null; then
  log "the soak host did not end within a minute: killed"
  stop_pid "$host_pid" KILL
  host_status=137
else
  wait "$host_pid" || host_status=$?
fi
host_pid=""
stop_pid "$proxy_pid"
proxy_status=$stopped_status
proxy_pid=""
stop_sim

# ---- figures ----------------------------------------------------------------
crashes=$unexpected_deaths
case "$host_status" in 0|1) ;; *) crashes=$((crashes + 1)) ;; esac
[ "$proxy_status" -eq 0 ] || crashes=$((crashes + 1))
sanitizer=0
for f in "$work"/host.err "$work"/sim.err "$work"/proxy.err; do
  [ -e "$f" ] || continue
  c=$(grep -cE "ERROR: (Address|Leak)Sanitizer|runtime error:|WARNING: ThreadSanitizer" "$f" || true)
  sanitizer=$((sanitizer + c))
done
log_bytes=$(du -sb "$work/host/Log" 2>/dev/null | cut -f1)
requests=$(grep -c " -> " "$work/sim.log" || true)
{
  echo "## Soak of $(date +%Y-%m-%d): $((seconds / 60)) min $((seconds % 60)) s, preset $preset, seed $seed"
  echo
  echo "Library ${lib#"$root"/}; tools of tree $(git -C "$root" log -1 --format=%h 2>/dev/null || echo unknown)."
  echo "Kernel $(uname -r), $(nproc) CPUs. Outcomes: own = the request's own answer (its tag);"
  echo "timeout, closed, local = result 1 and why; wrong = another request's answer; bad record"
  echo "= the records of another request; altered = not its own in a phase that flips bits."
  echo
  if [ -s "$work/host-report.md" ]; then cat "$work/host-report.md"; else echo "(the host wrote no figures)"; fi
  echo
  echo "| figure | value |"
  echo "|---|---|"
  echo "| soak host exit status | $host_status |"
  echo "| crashes (host, proxy, simulator ending by itself) | $crashes |"
  echo "| sanitizer reports (host, simulator, proxy) | $sanitizer |"
  echo "| simulator starts | $sim_starts |"
  echo "| requests the simulator served | $requests |"
  echo "| library log written | ${log_bytes:-0} bytes |"
  echo "| proxy | $(grep -o 'kelvane-faultproxy: [0-9]* connections.*' "$work/proxy.log" | tail -n 1 | sed 's/^kelvane-faultproxy: //') |"
  for n in "${phase_notes[@]}"; do echo "| note | $n |"; done
  for s in "${skipped[@]}"; do echo "| skipped | $s |"; done
} >"$figures"
cat "$figures"
[ -z "$report_out" ] || cp "$figures" "$report_out"

if [ "$host_status" -eq 0 ] && [ "$crashes" -eq 0 ] && [ "$sanitizer" -eq 0 ]; then
  log "passed"
  exit 0
fi
log "FAILED (host status $host_status, crashes $crashes, sanitizer reports $sanitizer)"
for f in "$work"/host.err "$work"/sim.err "$work"/proxy.err; do
  [ -s "$f" ] && { echo "== $f"; tail -n 40 "$f"; }
done
exit 1
