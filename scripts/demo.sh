#!/usr/bin/env bash
# The main job: builds the library and runs a short session with it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
exec build/release/tools/kelvane-demo
