#!/usr/bin/env bash
# check-linkage.sh <libtrellum_jvm.so>
# The binding names libtrellum as a needed library and finds it beside
# itself: its run path is exactly $ORIGIN, with no build-tree paths.
set -u
lib=$1
dynamic=$(readelf -d "$lib")
status=0
if ! grep -Eq 'NEEDED.*\[libtrellum\.so\]' <<<"$dynamic"; then
  echo "$lib does not name libtrellum.so as a needed library"
  status=1
fi
if ! grep -Eq '(RUNPATH|RPATH).*\[\$ORIGIN\]$' <<<"$dynamic"; then
  echo "$lib: run path is not exactly \$ORIGIN:"
  grep -E 'RUNPATH|RPATH' <<<"$dynamic"
  status=1
fi
[ $status -eq 0 ] && echo "$lib: needs libtrellum.so, run path \$ORIGIN"
exit $status
