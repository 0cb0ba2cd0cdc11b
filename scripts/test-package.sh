#!/usr/bin/env bash
# Checks what scripts/package.sh and cmake --install produce:
#  - installed into a temporary prefix, the library serves a host built out
#    of tree with find_package(KelvaneDll) and one built with pkg-config
#    alone (tests/package): both load the installed file and bind the nine
#    exports;
#  - the Debian packages pass lintian without errors; unpacked into a
#    throw-away root, with the build folder moved aside, the tools run from
#    there and find the library and their data relative to themselves;
#  - an install from a build folder that lacks part of what is installed
#    (as scripts/demo.sh leaves it) builds that part first and installs all;
#  - the Windows zip holds the expected files of both flavours (mingw-*,
#    msvc-*) for x64 and x86, each DLL is of its word size, exports exactly
#    the nine functions and carries the project version in its version
#    resource, and each header names its flavour;
#  - the ABI of libKelvaneDll.so.1 matches its stored baseline
#    (scripts/check-abi.sh).
#
#   bash scripts/test-package.sh [deb] [zip] [abi]      (all by default)
# "deb" covers the first three points, "zip" the fourth, "abi" the last.
set -euo pipefail
cd "$(dirname "$0")/.."

start=$(date +%s)
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(deb zip abi)
packages=()
for kind in "${kinds[@]}"; do [ "$kind" = abi ] || packages+=("$kind"); done
[ ${#packages[@]} -eq 0 ] || bash scripts/package.sh "${packages[@]}"
KELVANE_EXTRA_PACKAGES="lintian pkg-config binutils unzip file" bash scripts/setup.sh

work=$(mktemp -d /tmp/kelvane-pkgtest.XXXXXX)
cleanup() {
  [ ! -d build/package.aside ] || mv build/package.aside build/package
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "test-package.sh: FAIL: $*" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package/CMakeCache.txt 2>/dev/null ||
  true)

check_hosts() {
  local prefix=$work/prefix lib libdir loaded
  cmake --install build/package --prefix "$prefix" >/dev/null
  lib=$(find "$prefix" -name libKelvaneDll.so.1)
  [ -n "$lib" ] || fail "no libKelvaneDll.so.1 under $prefix"
  lib=$(realpath "$lib")
  cmake -S tests/package -B "$work/host-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/host-cmake" >/dev/null
  loaded=$("$work/host-cmake/host") || fail "the find_package host failed: $loaded"
  [ "$(realpath "$loaded")" = "$lib" ] || fail "the find_package host loaded $loaded, not $lib"

  export PKG_CONFIG_PATH=$(dirname "$lib")/pkgconfig
  [ "$(pkg-config --modversion kelvanedll)" = "$version" ] || fail "pkg-config version"
  libdir=$(pkg-config --variable=libdir kelvanedll)
  # shellcheck disable=SC2046
  g++ -std=c++17 -o "$work/host-pc" tests/package/host.cpp $(pkg-config --cflags --libs kelvanedll)
  loaded=$(LD_LIBRARY_PATH=$libdir "$work/host-pc") || fail "the pkg-config host failed: $loaded"
  [ "$(realpath "$loaded")" = "$lib" ] || fail "the pkg-config host loaded $loaded, not $lib"
  echo "ok: hosts built with find_package and with pkg-config load $lib"
}

# An install from a build folder that lacks what the demo does not build
# (kelvane-dump, the dissector, a man page, the changelog) builds them
# first and installs everything.
check_partial_install() {
  local prefix=$work/partial f
  rm -f build/package/tools/dump/kelvane-dump build/package/tools/dump/dissector/kelvane.lua \
    build/package/tools/man/kelvane-dump.1.gz build/package/package/changelog.Debian.gz
  cmake --install build/package --prefix "$prefix" >"$work/partial.log" 2>&1 ||
    { cat "$work/partial.log" >&2; fail "the install from a partly built folder failed"; }
  grep -q "building what the install needs" "$work/partial.log" ||
    fail "the install did not say that it builds what is missing"
  for f in bin/kelvane-dump share/man/man1/kelvane-dump.1.gz \
    share/doc/kelvane-tools/changelog.Debian.gz; do
    [ -s "$prefix/$f" ] || fail "$f was not installed from a partly built folder"
  done
  [ -n "$(find "$prefix" -name kelvane.lua)" ] || fail "the dissector was not installed"
  echo "ok: an install from a partly built folder builds the rest first and installs it all"
}

# The simulator with its default images, in a network namespace of its own:
# it must load ../share/kelvane/images.json and listen.
check_server_starts() {  # bin folder
  local ready=$work/ready pid i
  unshare -n "$1/kelvane-server" --port 0 --udp-port 0 --ready-file "$ready" >"$work/server.out" &
  pid=$!
  for i in $(seq 50); do
    [ ! -s "$ready" ] && kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$ready" ] || { cat "$work/server.out" >&2; fail "kelvane-server did not start"; }
  kill "$pid" && wait "$pid" || true
}

check_debs() {
  local debs=(build/packages/*_"$version"-*.deb) root=$work/root bin out tool
  [ ${#debs[@]} -eq 3 ] || fail "expected three packages of $version: ${debs[*]}"
  lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "${debs[@]}" \
    >"$work/lintian" 2>&1 || { cat "$work/lintian" >&2; fail "lintian reports errors"; }
  grep -v 'root privileges' "$work/lintian" || true
  for d in "${debs[@]}"; do dpkg-deb -x "$d" "$root"; done
  bin=$root/usr/bin
  for tool in kelvane kelvane-server kelvane-dump kelvane-logview; do
    [ -s "$root/usr/share/man/man1/$tool.1.gz" ] || fail "no man page for $tool"
    [ -s "$root/usr/share/bash-completion/completions/$tool" ] || fail "no completion for $tool"
  done

  mv build/package build/package.aside
  out=$("$bin/kelvane" --version)
  [ "$out" = "kelvane $version" ] || fail "kelvane --version printed '$out'"
  "$bin/kelvane-server" --help >/dev/null || fail "kelvane-server --help"
  # No network in the namespace: the library loads, then finds no address.
  out=$(unshare -n "$bin/kelvane" --json discover 2>/dev/null) || true
  [ "$out" = '{"result":1,"failed_step":"start"}' ] || fail "kelvane did not load its library: $out"
  check_server_starts "$bin"
  mv build/package.aside build/package
  echo "ok: the Debian packages pass lintian and their tools run from $root"
}

check_zip() {
  local zip listing arch f dll off want folder exports triple
  local first=${KELVANE_ZIP_PRESETS:-mingw-release}
  first=${first%%:*}
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/$first/CMakeCache.txt")
  zip=build/packages/KelvaneDll-$version-windows.zip
  listing=$(unzip -Z1 "$zip")
  grep -qx README.txt <<<"$listing" || fail "$zip lacks README.txt"
  for arch in x64 x86; do
    for f in bin/KelvaneDll.dll lib/libKelvaneDll.dll.a include/KelvaneDll.h \
      bin/kelvane.exe bin/kelvane-server.exe bin/kelvane-dump.exe bin/kelvane-logview.exe \
      lib/cmake/KelvaneDll/KelvaneDllConfig.cmake lib/pkgconfig/kelvanedll.pc \
      share/kelvane/images.json; do
      grep -qx "mingw-$arch/$f" <<<"$listing" || fail "$zip lacks mingw-$arch/$f"
    done
    for f in bin/KelvaneDll.dll lib/KelvaneDll.def include/KelvaneDll.h; do
      grep -qx "msvc-$arch/$f" <<<"$listing" || fail "$zip lacks msvc-$arch/$f"
    done
  done
  unzip -q -d "$work/zip" "$zip"
  want="GetClientInfo GetDiscoverInfo GetLastErrCode GetListImageInfo GetMapSnapInfo \
GetSelectImageInfo SendAskPack StartServer StopServer"
  for folder in mingw-x64 mingw-x86 msvc-x64 msvc-x86; do
    dll=$work/zip/$folder/bin/KelvaneDll.dll
    case "$folder" in
      *x64) file "$dll" | grep -q 'PE32+ .*x86-64' || fail "$folder DLL machine"
            triple=x86_64-w64-mingw32 ;;
      *x86) file "$dll" | grep -q 'PE32 .*80386' || fail "$folder DLL machine"
            triple=i686-w64-mingw32 ;;
    esac
    exports=$("$triple-objdump" -p "$dll" |
      sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' |
      sort | xargs)
    [ "$exports" = "$want" ] || fail "$folder DLL exports: $exports"
    grep -qx "#define KELVANE_HOST_STL_$(tr a-z A-Z <<<"${folder%-*}" | sed s/MINGW/GNU/) 1" \
      "$work/zip/$folder/include/KelvaneDll.h" || fail "$folder header does not name its flavour"
  done
  for arch in x64 x86; do
    [ "$(sed -n 's/^ *\([A-Za-z]*\) @[0-9]*$/\1/p' "$work/zip/msvc-$arch/lib/KelvaneDll.def" |
      sort | xargs)" = "$want" ] || fail "msvc-$arch/lib/KelvaneDll.def lists other exports"
  done
  # FileVersion and ProductVersion as text, and the fixed binary version
  # (VS_FIXEDFILEINFO after its signature FEEF04BD: file version words
  # minor, major, tweak, patch).
  IFS=. read -r -a want <<<"$version.0.0"
  for folder in mingw-x64 mingw-x86 msvc-x64 msvc-x86; do
    dll=$work/zip/$folder/bin/KelvaneDll.dll
    for f in FileVersion ProductVersion; do
      [ "$(strings -el -n 3 "$dll" | grep -A1 -x "$f" | tail -n 1)" = "$version" ] ||
        fail "$folder DLL: $f is not $version"
    done
    off=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$dll" | head -n 1 | cut -d: -f1)
    [ -n "$off" ] || fail "$folder DLL has no version resource"
    [ "$(od -An -tu2 -j $((off + 8)) -N 8 "$dll" | xargs)" = \
      "${want[1]} ${want[0]} ${want[3]} ${want[2]}" ] || fail "$folder DLL: binary file version"
  done
  echo "ok: $zip holds the DLLs of both flavours, the import libraries, headers and tools;" \
    "version $version"
}

for kind in "${kinds[@]}"; do
  case "$kind" in
    deb) check_hosts; check_partial_install; check_debs ;;
    zip) check_zip ;;
    abi) bash scripts/check-abi.sh ;;
  esac
done
echo "test-package.sh: $(( $(date +%s) - start )) s"
