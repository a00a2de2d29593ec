#!/usr/bin/env bash
# run-fuzzer.sh runs|seconds <count> <work-dir> <seed-dir> <fuzzer command...>
# Runs a libFuzzer program for a number of inputs (the bounded test) or of
# seconds (`make fuzz`). New inputs go to <work-dir>/corpus, never to the
# committed seeds; a failing input is kept in <work-dir>/artifacts.
set -eu
mode=$1 count=$2 work=$3 seeds=$4
shift 4
mkdir -p "$work/corpus" "$work/artifacts"
case $mode in
  runs) limit=(-runs="$count" -seed=1)  # the same inputs on every test pass
        rm -rf "$work/corpus"; mkdir -p "$work/corpus" ;;
  seconds) limit=(-max_total_time="$count") ;;
  *) echo "run-fuzzer.sh: runs or seconds, not $mode" >&2; exit 2 ;;
esac
exec "$@" "${limit[@]}" -max_len=512 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds"
