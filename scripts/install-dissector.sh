#!/usr/bin/env bash
# Builds the Wireshark dissector kelvane.lua (release preset) and copies it to
# the personal Lua plugin folder of the user who runs this, where Wireshark
# and tshark load it at start. --global puts it in the folder of all users
# instead (needs root). Run again after the packet tables change.
set -euo pipefail
cd "$(dirname "$0")/.."

label="Personal Lua Plugins"
[ "${1:-}" != "--global" ] || label="Global Lua Plugins"

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target kelvane_dissector
lua_file=build/release/tools/dump/dissector/kelvane.lua

# tshark names its folders; the usual personal one when it cannot.
folder=$(tshark -G folders 2>/dev/null | sed -n "s/^$label:[[:space:]]*//p" || true)
[ -n "$folder" ] || folder="$HOME/.local/lib/wireshark/plugins"
install -D -m 0644 "$lua_file" "$folder/kelvane.lua"
echo "kelvane.lua installed in $folder"
echo "check: tshark -G protocols | grep -w kelvane"
