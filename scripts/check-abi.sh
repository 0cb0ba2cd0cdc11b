#!/usr/bin/env bash
# Checks the ABI of libKelvaneDll.so.1 against the baseline stored in
# abi/libKelvaneDll.so.1.abi: the nine exports and every type they reach
# (the five records, the image list and the snapshot map), as libabigail's
# abidw reads them from the debug info of a release build (preset "abi":
# the optimised library alone, with -g). Any change that abidiff reports
# fails (it leaves out the harmless ones): an export removed, added or
# changed, a record laid out otherwise. Part of scripts/test-package.sh.
#
#   bash scripts/check-abi.sh            check this tree against the baseline
#   bash scripts/check-abi.sh --update   write the baseline from this tree
#
# Refresh the baseline (with --update, and commit it) only when the library
# keeps its SONAME for a change hosts built against the old header survive
# (an export added, say); a change they do not survive needs a new SONAME
# (KELVANE_SOVERSION in CMakeLists.txt) and then a new baseline.
set -euo pipefail
cd "$(dirname "$0")/.."

update=0
case "${1:-}" in
  --update) update=1 ;;
  "") ;;
  *) echo "usage: check-abi.sh [--update]" >&2; exit 2 ;;
esac
KELVANE_EXTRA_PACKAGES="abigail-tools" bash scripts/setup.sh
# Quiet unless the build fails: then its output says why.
build_log=$(mktemp /tmp/kelvane-abi-build.XXXXXX)
if ! { cmake --preset abi && cmake --build --preset abi; } >"$build_log" 2>&1; then
  cat "$build_log" >&2
  rm -f "$build_log"
  echo "check-abi.sh: FAIL: the library of preset abi did not build" >&2
  exit 1
fi
rm -f "$build_log"
lib=build/abi/client/libKelvaneDll.so.1
baseline=abi/libKelvaneDll.so.1.abi
# Only what the public header declares, without paths of the build machine
# and with type ids from the types themselves: the same file from any tree.
abidw_options=(--drop-undefined-syms
  --exported-interfaces-only --no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed
  --type-id-style hash)

if [ "$update" -eq 1 ]; then
  abidw "${abidw_options[@]}" --out-file "$baseline" "$lib"
  echo "check-abi.sh: wrote $baseline from $lib"
  exit 0
fi
[ -s "$baseline" ] || { echo "check-abi.sh: no baseline $baseline" >&2; exit 1; }
current=$(mktemp /tmp/kelvane-abi.XXXXXX)
trap 'rm -f "$current"' EXIT
abidw "${abidw_options[@]}" --out-file "$current" "$lib"
status=0
abidiff "$baseline" "$current" || status=$?
if [ "$status" -ne 0 ]; then
  echo "check-abi.sh: FAIL: the ABI of $lib differs from $baseline (abidiff status $status)" >&2
  exit 1
fi
echo "ok: the ABI of $lib (nine exports, their records) matches $baseline"
