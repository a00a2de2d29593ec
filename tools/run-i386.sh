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
# Emulated, the guest differs from an IA-32 kernel in two ways that break
# sanitized programs (the 32-bit fuzzer): qemu offers the whole 4 GiB, while
# ASan sizes its shadow for the 3 GiB an i686 kernel leaves to user space and
# aborts on a heap block above it; and LeakSanitizer's tracer (a clone that
# shares memory but is not a thread) cannot be emulated, so its parent waits
# for it for ever. Give the guest 3 GiB, as the real target does, and leave
# leak checks to the native builds.
export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0xc0000000}
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
exec qemu-i386 -L / "$@"
