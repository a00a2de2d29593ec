#!/usr/bin/env bash
# run-i386.sh <program> [args...]
# Runs a 32-bit x86 program: natively where the kernel can, else under
# qemu-i386 user emulation (some x86_64 kernels are built without IA-32
# support). Used as the emulator of the 32-bit build's tests.
probe=${TMPDIR:-/tmp}/trellum-i386-native.$UID
if [ ! -e "$probe" ]; then
  if [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    echo yes >"$probe"
  else
    echo no >"$probe"
  fi
fi
if [ "$(cat "$probe")" = yes ]; then
  exec "$@"
fi
command -v qemu-i386 >/dev/null || { echo "run-i386.sh: this kernel runs no 32-bit programs and qemu-i386 is missing (apt-get install qemu-user)" >&2; exit 127; }
exec qemu-i386 -L / "$@"
