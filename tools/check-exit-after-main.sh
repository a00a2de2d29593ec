#!/usr/bin/env bash
# check-exit-after-main.sh <seconds> <marker> <command...>
# Runs the command (a JVM whose main prints <marker> just before it
# returns) and fails unless, once the marker appears, the process exits
# within <seconds>, with status 0 and without a JNI warning. Waiting for the
# marker is bounded too (120 s).
set -u
grace=$1 marker=$2
shift 2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Its own process group, so that a JVM started through a wrapper is stopped
# with it.
set -m
"$@" >"$log" 2>&1 &
pid=$!
set +m

waited=0
until grep -qF "$marker" "$log"; do
  if ! kill -0 "$pid" 2>/dev/null; then
    cat "$log"; echo "check-exit-after-main.sh: the program ended before main returned"; exit 1
  fi
  if [ "$waited" -ge 1200 ]; then
    kill -9 -- "-$pid"; cat "$log"; echo "check-exit-after-main.sh: main did not return"; exit 1
  fi
  sleep 0.1; waited=$((waited + 1))
done

ticks=0
while kill -0 "$pid" 2>/dev/null; do
  if [ "$ticks" -ge $((grace * 10)) ]; then
    cat "$log"
    echo "check-exit-after-main.sh: the JVM was still running ${grace} s after main returned"
    kill -9 -- "-$pid"
    exit 1
  fi
  sleep 0.1; ticks=$((ticks + 1))
done
wait "$pid"
status=$?
cat "$log"
if grep -E -q 'WARNING in native method|FATAL ERROR in native method' "$log"; then
  echo "check-exit-after-main.sh: the JVM reported a JNI problem in native code"
  status=1
fi
[ "$status" -eq 0 ] && echo "check-exit-after-main.sh: the JVM exited after main returned"
exit $status
