#!/usr/bin/env bash
# Builds and runs the whole test suite: the sanitizer build (AddressSanitizer
# and UndefinedBehaviorSanitizer) with the end-to-end sessions and a
# 60-second soak under network faults (scripts/soak.sh, as root), the threaded
# tests under ThreadSanitizer, a bounded run of the packet fuzzer, the
# Windows build (MinGW-w64) with its tests under Wine, and the packages: the
# install tree, the Debian packages and the Windows zip.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
cmake --preset debug
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs"
# The soak needs private network namespaces, so root.
if [ "$(id -u)" -eq 0 ]; then
  bash scripts/soak.sh --seconds 60 --preset debug
else
  echo "test.sh: soak skipped: scripts/soak.sh needs root for its private network namespaces"
fi

cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

bash scripts/fuzz.sh

bash scripts/test-windows.sh

# The zip is packed from the Windows test builds above rather than from two
# more optimised builds: the same install rules, a few minutes less.
KELVANE_ZIP_PRESETS="mingw:x64 mingw32:x86" bash scripts/test-package.sh
