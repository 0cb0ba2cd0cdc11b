#!/usr/bin/env bash
# Builds the benchmarks in release mode, runs them all and prints one table:
# each figure, the baseline measured beside it in the same run, the ratio and
# the target.
#
#   bash scripts/bench.sh                 # build/release (the release preset)
#   KELVANE_BENCH_BUILD_DIR=build/mine bash scripts/bench.sh
#   KELVANE_BENCH_REPS=1 bash scripts/bench.sh   # quicker, noisier
#
# Run as root, the round-trip benchmark also measures discovery inside a
# network namespace it makes for itself; otherwise that row says "not run".
# The JSON output of each benchmark stays in <build dir>/bench/results/.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
REPS="${KELVANE_BENCH_REPS:-5}"

# Google Benchmark comes with the project's packages; spdlog is the log
# writer's baseline and needed only here.
KELVANE_EXTRA_PACKAGES="libspdlog-dev python3 strace ${KELVANE_EXTRA_PACKAGES:-}" bash scripts/setup.sh
command -v python3 >/dev/null || { echo "bench.sh: python3 is needed for the table" >&2; exit 1; }

if [ -n "${KELVANE_BENCH_BUILD_DIR:-}" ]; then
  BUILD="$KELVANE_BENCH_BUILD_DIR"
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_BENCH=ON >/dev/null
else
  BUILD=build/release
  cmake --preset release >/dev/null
fi
JOBS="${KELVANE_BENCH_JOBS:-2}"
cmake --build "$BUILD" -j"$JOBS" \
  --target kelvane_bench_codec kelvane_bench_log kelvane_bench_roundtrip kelvane_bench_logview

BIN="$BUILD/bench"
OUT="$BIN/results"
mkdir -p "$OUT"

machine() {
  local cpu
  cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
  echo "machine: $(nproc) CPUs, ${cpu:-unknown CPU}; $(uptime | sed 's/.*load average/load average/')"
}
echo "== start: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
machine

# Repetitions run interleaved in random order, so that a burst of load on
# the machine spreads over all figures instead of spoiling one.
common=(--benchmark_repetitions="$REPS" --benchmark_enable_random_interleaving=true
        --benchmark_report_aggregates_only=true --benchmark_out_format=json)
run() {
  local name="$1"; shift
  echo "== running $name (console output in $OUT/$name.txt)"
  if ! "$BIN/kelvane_bench_$name" "${common[@]}" --benchmark_out="$OUT/$name.json" "$@" \
       >"$OUT/$name.txt" 2>&1; then
    tail -n 20 "$OUT/$name.txt" >&2
    echo "bench.sh: kelvane_bench_$name failed" >&2
    exit 1
  fi
}
run codec --benchmark_min_time=0.2
run log --benchmark_min_time=0.3
run roundtrip
run logview

# System calls of the log writer per line (file, flushed, and ring), from
# strace over 10,000 lines less those of a run that writes none.
syscalls() {
  strace -f -c -o "$OUT/log_syscalls_$1.txt" "$BIN/kelvane_bench_log" --lines "$1" >/dev/null
  awk '$NF == "total" {print $4}' "$OUT/log_syscalls_$1.txt"
}
if command -v strace >/dev/null; then
  none="$(syscalls 0)" lines="$(syscalls 10000)"
  echo "== log writer: $((lines - none)) system calls for 10,000 lines" \
    "(strace -c -f; $OUT/log_syscalls_10000.txt)"
fi

echo
python3 bench/bench_table.py "$OUT/codec.json" "$OUT/log.json" "$OUT/roundtrip.json" \
  "$OUT/logview.json"
echo
echo "== end: $(date -u '+%Y-%m-%d %H:%M UTC')"
machine
