#!/usr/bin/env bash
# Builds the release packages into build/packages/:
#   deb  the Debian packages libkelvanedll1, libkelvanedll-dev and
#        kelvane-tools (preset "package": release, no tests, prefix /usr)
#   zip  KelvaneDll-<version>-windows.zip: README.txt (which folder to take)
#        and the install trees of the MinGW-w64 release builds (presets
#        mingw-release for x64, mingw32-release for x86), one per flavour of
#        the DLL and word size:
#          mingw-x64/, mingw-x86/  for MinGW-w64 hosts: bin/ (KelvaneDll.dll
#                                  and the .exe tools), lib/ (the import
#                                  library libKelvaneDll.dll.a, CMake and
#                                  pkg-config files), include/ and share/
#          msvc-x64/, msvc-x86/    for Visual C++ hosts: bin/KelvaneDll.dll,
#                                  lib/KelvaneDll.def, include/, share/doc/
#
#   bash scripts/package.sh [deb] [zip]      (both by default)
#   KELVANE_ZIP_PRESETS="mingw:x64 mingw32:x86" packs other MinGW builds
set -euo pipefail
cd "$(dirname "$0")/.."

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(deb zip)
out=build/packages
mkdir -p "$out"
jobs=$(nproc)

project_version() {  # build folder
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

build_deb() {
  KELVANE_EXTRA_PACKAGES="dpkg-dev file help2man ${KELVANE_EXTRA_PACKAGES:-}" bash scripts/setup.sh
  cmake --preset package
  cmake --build --preset package -j "$jobs"
  rm -rf build/package/packages
  (cd build/package && cpack -G DEB)
  cp build/package/packages/*.deb "$out/"
}

# The MinGW-w64 build folders of the zip and their folder names in it.
# KELVANE_ZIP_PRESETS="mingw:x64 mingw32:x86" packs the unoptimised trees
# that scripts/test-windows.sh has built already (what CI checks).
zip_presets() {
  echo "${KELVANE_ZIP_PRESETS:-mingw-release:x64 mingw32-release:x86}"
}

build_zip() {
  KELVANE_EXTRA_PACKAGES="zip unzip g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
${KELVANE_EXTRA_PACKAGES:-}" bash scripts/setup.sh
  local stage preset arch name presets
  read -r -a presets <<<"$(zip_presets)"
  stage=$(mktemp -d /tmp/kelvane-zip.XXXXXX)
  for preset in "${presets[@]}"; do
    arch=${preset#*:} preset=${preset%:*}
    if [ -n "${KELVANE_ZIP_PRESETS:-}" ]; then
      # A tree built for the tests: only what the zip holds is built here,
      # and CPack must not build the rest (the tests) first.
      cmake --preset "$preset" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
      cmake --build --preset "$preset" -j "$jobs" --target KelvaneDll KelvaneDllMsvc kelvane \
        kelvane-server kelvane-dump kelvane-logview
    else
      cmake --preset "$preset"
      cmake --build --preset "$preset" -j "$jobs"
    fi
    rm -rf "build/$preset/packages"
    (cd "build/$preset" && cpack -G ZIP)
    unzip -q -d "$stage/mingw-$arch" "build/$preset"/packages/*.zip
    cmake --install "build/$preset" --component msvc --prefix "$stage/msvc-$arch" >/dev/null
  done
  cp packaging/windows-readme.txt "$stage/README.txt"
  name="KelvaneDll-$(project_version "build/${presets[0]%:*}")-windows"
  rm -f "$out/$name.zip"
  (cd "$stage" && zip -qr -X "$OLDPWD/$out/$name.zip" README.txt mingw-x64 mingw-x86 msvc-x64 \
    msvc-x86)
  rm -rf "$stage"
  echo "package.sh: $out/$name.zip"
}

for kind in "${kinds[@]}"; do
  case "$kind" in
    deb) build_deb ;;
    zip) build_zip ;;
    *) echo "usage: package.sh [deb] [zip]" >&2; exit 2 ;;
  esac
done
ls -l "$out"
