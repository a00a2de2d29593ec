#!/usr/bin/env bash
# run-junit.sh <java command line...>
# Runs a JUnit console launcher and fails when it fails, and also when the
# JVM's -Xcheck:jni printed a warning or fatal error about native code:
# the JVM itself still exits 0 after a warning.
set -u -o pipefail
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$@" 2>&1 | tee "$log"
status=$?
if grep -E -q 'WARNING in native method|FATAL ERROR in native method' "$log"; then
  echo "run-junit.sh: the JVM reported a JNI problem in native code (see above)" >&2
  status=1
fi
exit $status
