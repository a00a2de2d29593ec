#!/usr/bin/env bash
# run-drd.sh <program> [args...]
# Runs a test program under valgrind's DRD thread checker; any report fails.
# DRD, not helgrind: helgrind reports false races in 32-bit glibc's
# condition variables. valgrind runs a 32-bit program only where the kernel
# itself runs 32-bit programs (it cannot run inside qemu-i386); elsewhere the
# test is skipped (exit 77) and says why.
set -u
command -v valgrind >/dev/null || { echo "run-drd.sh: valgrind is missing (tools/bootstrap.sh installs it)" >&2; exit 1; }
# Byte 4 of an ELF file is its class: 1 for 32-bit.
if [ "$(od -An -j4 -N1 -tu1 "$1" | tr -d ' ')" = 1 ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "run-drd.sh: this kernel runs no 32-bit programs, so valgrind cannot run $1; skipped" >&2
  exit 77
fi
exec valgrind --tool=drd --error-exitcode=1 --exit-on-first-error=no -q "$@"
