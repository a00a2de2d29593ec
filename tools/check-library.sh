#!/usr/bin/env bash
# check-library.sh [--stays-loaded] <library.so> <expected-exports.txt>
# Fails unless the shared library
#  - exports exactly the symbols listed (one per line, '#' comments allowed),
#  - is linked for immediate binding (BIND_NOW / NOW),
#  - needs no C++ runtime shared library (libstdc++, libc++, libgcc_s),
#  - with --stays-loaded, is marked to stay mapped once loaded (NODELETE),
#    because it has code that runs when a thread ends.
set -u
stays_loaded=no
if [ "${1:-}" = --stays-loaded ]; then
  stays_loaded=yes
  shift
fi
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
if [ $stays_loaded = yes ] && ! grep -Eq 'FLAGS_1.*NODELETE' <<<"$dynamic"; then
  echo "$lib is not linked to stay loaded (-z nodelete)"
  status=1
fi
if grep -E 'NEEDED' <<<"$dynamic" | grep -Eq 'libstdc\+\+|libc\+\+|libgcc_s'; then
  echo "$lib needs a C++ runtime library:"
  grep NEEDED <<<"$dynamic"
  status=1
fi

[ $status -eq 0 ] && echo "$lib: exports, binding, dependencies and unloading as expected"
exit $status
