#!/usr/bin/env bash
# Runs a command where Wine can start 32-bit (i686) Windows programs.
#
#   bash scripts/wine32-env.sh COMMAND [ARG...]
#
# Debian's wine32 is a 32-bit Linux program. Where the kernel runs 32-bit
# code, the command runs as it is. Some kernels have that switched off
# (ia32_emulation=off, and virtual machines that cannot enter 32-bit mode,
# where even Wine's WoW64 mode faults); there the command runs in a private
# user and mount namespace with a binfmt_misc of its own, in which qemu-i386
# (Debian's qemu-user) runs every 32-bit Linux program. The registration
# exists only in that namespace and goes with it. Wine's preloader
# (wine32-preloader) is needed there: without it each 32-bit Wine process
# spends about a minute probing the address space through qemu.
#
# The command sees KELVANE_WINE32_EMULATED=1 under emulation, 0 otherwise.
# Under qemu-i386 (7.2) 32-bit Wine programs that run several threads crash
# inside the emulator, so callers run only single-threaded programs there.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: wine32-env.sh COMMAND [ARG...]" >&2
  exit 2
fi
if [ ! -e /lib/ld-linux.so.2 ]; then
  echo "wine32-env.sh: no 32-bit libraries: install wine32:i386 (scripts/test-windows.sh 32)" >&2
  exit 1
fi
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  KELVANE_WINE32_EMULATED=0 exec "$@"
fi
if ! command -v qemu-i386 >/dev/null || [ ! -e /usr/lib/wine/wine-preloader ]; then
  echo "wine32-env.sh: this kernel runs no 32-bit code; emulation needs qemu-user and" \
       "wine32-preloader:i386" >&2
  exit 1
fi

# ELF header of an i386 executable or shared object, as binfmt_misc matches it.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
KELVANE_WINE32_EMULATED=1 KV_BINFMT=":kelvane-i386:M::$magic:$mask:$(command -v qemu-i386):" \
  exec unshare --user --map-root-user --mount bash -c '
    set -e
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    printf "%s" "$KV_BINFMT" >/proc/sys/fs/binfmt_misc/register
    unset KV_BINFMT
    exec "$@"' wine32-env "$@"
