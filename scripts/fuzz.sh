#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, fuzz preset) and fuzzes the packet
# factory for a bounded time over a copy of the seed corpus. Fails on any
# crash, leak, sanitizer report or re-pack mismatch; the input that caused
# it is kept under build/fuzz/artifacts/.
#
#   scripts/fuzz.sh                  fuzz for KELVANE_FUZZ_SECONDS (default 60)
#   scripts/fuzz.sh --update-corpus  rewrite fuzz/corpus/ from the packet tables
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${KELVANE_FUZZ_SECONDS:-60}"
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

if [ "$update" -eq 1 ]; then
  rm -f fuzz/corpus/0x*
  "$bin/make_fuzz_corpus" fuzz/corpus
  exit 0
fi

# Work on a copy of the committed seeds; fresh seeds from the current tables
# are read beside it, so a code that joined or changed since the corpus was
# written still has a valid seed. New inputs go to the copy only.
work=build/fuzz/corpus-run
artifacts=build/fuzz/artifacts
rm -rf "$work" "$artifacts"
mkdir -p "$work" "$artifacts"
cp fuzz/corpus/0x* "$work"/ 2>/dev/null || true
fresh=$(mktemp -d)
trap 'rm -rf "$fresh"' EXIT
"$bin/make_fuzz_corpus" "$fresh" >/dev/null

echo "Fuzzing the packet factory for ${seconds} s"
status=0
"$bin/packet_fuzzer" "$work" "$fresh" \
  -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$artifacts/" \
  >build/fuzz/fuzz.log 2>&1 || status=$?
tail -n 20 build/fuzz/fuzz.log
if [ "$status" -ne 0 ]; then
  echo "fuzz.sh: the fuzzer failed (status $status); full log in build/fuzz/fuzz.log," \
       "reproducer(s) in $artifacts/:" >&2
  ls -l "$artifacts" >&2
  exit 1
fi
echo "fuzz.sh: no crash, leak or mismatch in ${seconds} s"
