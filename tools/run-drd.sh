#!/usr/bin/env bash
# run-drd.sh [--suppressions=FILE]... <program> [args...]
# Runs a test program under valgrind's DRD thread checker; any report fails.
# DRD, not helgrind: helgrind reports false races in 32-bit glibc's
# condition variables. valgrind runs a 32-bit program only where the kernel
# itself runs 32-bit programs (it cannot run inside qemu-i386); elsewhere the
# test is skipped (exit 77) and says why.
set -u
command -v valgrind >/dev/null || { echo "run-drd.sh: valgrind is missing (tools/bootstrap.sh installs it)" >&2; exit 1; }
options=()
while [ $# -gt 0 ] && [ "${1#--suppressions=}" != "$1" ]; do options+=("$1"); shift; done
program=$1
shift
# Byte 4 of an ELF file is its class: 1 for 32-bit.
if [ "$(od -An -j4 -N1 -tu1 "$program" | tr -d ' ')" = 1 ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "run-drd.sh: this kernel runs no 32-bit programs, so valgrind cannot run $program; skipped" >&2
  exit 77
fi
# Fair scheduling: with the default one, a thread that unlocks and at once
# relocks a mutex can starve the others for seconds under valgrind.
exec valgrind --tool=drd --fair-sched=yes --error-exitcode=1 -q "${options[@]}" "$program" "$@"
