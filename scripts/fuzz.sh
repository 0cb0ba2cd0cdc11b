#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, fuzz preset) and runs each for a
# bounded time over a copy of its seed corpus: the packet factory, the
# library's receive path (cutter, event handler, network manager) and the
# simulator's request side. Fails on any crash, leak, sanitizer report or
# broken check; the input that caused it is kept under
# build/fuzz/artifacts/<target>/.
#
#   scripts/fuzz.sh                  packet 60 s, receive 50 s, server 40 s
#                                    (KELVANE_FUZZ_SECONDS: each target that long)
#   scripts/fuzz.sh --update-corpus  rewrite fuzz/corpus/ from the packet tables
#                                    and a session with the simulator
set -euo pipefail
cd "$(dirname "$0")/.."

update=0
case "${1:-}" in
  "") ;;
  --update-corpus) update=1 ;;
  *) echo "usage: scripts/fuzz.sh [--update-corpus]" >&2; exit 2 ;;
esac

# clang and its fuzzer and sanitizer runtimes come with the project's packages.
bash scripts/setup.sh

cmake --preset fuzz
cmake --build --preset fuzz -j "$(nproc)"
bin=build/fuzz/fuzz

# Writes every seed into $1 (packet seeds), $2 (receive) and $3 (server).
make_seeds() {
  "$bin/make_fuzz_corpus" "$1" >/dev/null
  "$bin/make_session_corpus" "$2" "$3" >/dev/null
}

if [ "$update" -eq 1 ]; then
  rm -f fuzz/corpus/0x* fuzz/corpus/receive/* fuzz/corpus/server/*
  mkdir -p fuzz/corpus/receive fuzz/corpus/server
  make_seeds fuzz/corpus fuzz/corpus/receive fuzz/corpus/server
  exit 0
fi

# Fresh seeds from the current tables and simulator are read beside a copy
# of the committed ones, so that a code or reply that changed since the
# corpus was written still has a valid seed. New inputs go to the copy only.
fresh=$(mktemp -d)
trap 'rm -rf "$fresh"' EXIT
mkdir -p "$fresh/packet" "$fresh/receive" "$fresh/server"
make_seeds "$fresh/packet" "$fresh/receive" "$fresh/server"

# run_target NAME SECONDS COMMITTED_SEEDS...
run_target() {
  local name=$1 seconds=$2
  shift 2
  local work=build/fuzz/corpus-run/$name artifacts=build/fuzz/artifacts/$name
  rm -rf "$work" "$artifacts"
  mkdir -p "$work" "$artifacts"
  [ $# -gt 0 ] && cp "$@" "$work"/
  echo "Fuzzing $name for ${seconds} s"
  local status=0
  "$bin/${name}_fuzzer" "$work" "$fresh/$name" \
    -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    >"build/fuzz/$name.log" 2>&1 || status=$?
  tail -n 6 "build/fuzz/$name.log"
  if [ "$status" -ne 0 ]; then
    echo "fuzz.sh: the $name fuzzer failed (status $status); full log in" \
         "build/fuzz/$name.log, reproducer(s) in $artifacts/:" >&2
    ls -l "$artifacts" >&2
    exit 1
  fi
}

run_target packet "${KELVANE_FUZZ_SECONDS:-60}" fuzz/corpus/0x*
run_target receive "${KELVANE_FUZZ_SECONDS:-50}" fuzz/corpus/receive/*
run_target server "${KELVANE_FUZZ_SECONDS:-40}" fuzz/corpus/server/*
echo "fuzz.sh: no crash, leak or failed check in any target"
