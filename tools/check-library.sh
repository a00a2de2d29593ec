#!/usr/bin/env bash
# check-library.sh <library.so> <expected-exports.txt>
# Fails unless the shared library
#  - exports exactly the symbols listed (one per line, '#' comments allowed),
#  - is linked for immediate binding (BIND_NOW / NOW),
#  - needs no C++ runtime shared library (libstdc++, libc++, libgcc_s).
set -u
lib=$1 expected=$2
status=0

actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort -u)
wanted=$(sed 's/#.*//' "$expected" | awk 'NF {print $1}' | sort -u)
if [ "$actual" != "$wanted" ]; then
  echo "exported symbols differ from $expected (< expected, > actual):"
  diff <(echo "$wanted") <(echo "$actual")
  status=1
fi

dynamic=$(readelf -d "$lib")
if ! grep -Eq 'BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic"; then
  echo "$lib is not linked with immediate binding (-z now)"
  status=1
fi
if grep -E 'NEEDED' <<<"$dynamic" | grep -Eq 'libstdc\+\+|libc\+\+|libgcc_s'; then
  echo "$lib needs a C++ runtime library:"
  grep NEEDED <<<"$dynamic"
  status=1
fi

[ $status -eq 0 ] && echo "$lib: exports, binding and dependencies as expected"
exit $status
