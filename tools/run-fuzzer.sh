#!/usr/bin/env bash
# run-fuzzer.sh runs <count> <max-seconds> <work-dir> <seed-dir> <fuzzer command...>
# run-fuzzer.sh seconds <seconds> <work-dir> <seed-dir> <fuzzer command...>
# Runs a libFuzzer program for a number of inputs (the bounded test) or of
# seconds (`make fuzz`). New inputs go to <work-dir>/corpus, never to the
# committed seeds; a failing input is kept in <work-dir>/artifacts.
#
# The bounded test also stops at <max-seconds>, below the test's timeout, so
# that a slow machine (the 32-bit build runs emulated) ends it with a report
# rather than a kill; it then passes only if a hundredth of the inputs ran
# (emulated, an input costs some fifty times what it costs natively).
set -eu
mode=$1 count=$2
case $mode in
  runs) bound=$3; shift 3 ;;
  seconds) shift 2 ;;
  *) echo "run-fuzzer.sh: runs or seconds, not $mode" >&2; exit 2 ;;
esac
work=$1 seeds=$2
shift 2
mkdir -p "$work/corpus" "$work/artifacts"
if [ "$mode" = runs ]; then rm -rf "$work/corpus"; mkdir -p "$work/corpus"; fi

# Seeds go in as a list of files, not as a directory: a 32-bit program under
# qemu-user reads no directory on ext4 (the 64-bit entry offsets overflow its
# readdir), and would silently start from nothing.
inputs=$work/seed-inputs
: >"$inputs"
sep=
for f in "$seeds"/* "$work/corpus"/*; do
  [ -f "$f" ] || continue
  printf '%s%s' "$sep" "$f" >>"$inputs"
  sep=,
done
flags=(-max_len=512 -timeout=60 -print_final_stats=1 -artifact_prefix="$work/artifacts/")
[ -s "$inputs" ] && flags+=(-seed_inputs=@"$inputs")

if [ "$mode" = seconds ]; then
  exec "$@" -max_total_time="$count" "${flags[@]}" "$work/corpus"
fi

# The same inputs on every test pass (or the first of them, when time is up).
log=$work/fuzz.log
status=0
"$@" -runs="$count" -seed=1 -max_total_time="$bound" "${flags[@]}" "$work/corpus" 2>"$log" || status=$?
cat "$log" >&2
[ "$status" -eq 0 ] || exit "$status"
ran=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
if [ -z "$ran" ] || [ "$ran" -lt $((count / 100)) ]; then
  echo "run-fuzzer.sh: only ${ran:-no} of $count inputs ran in $bound s" >&2
  exit 1
fi
echo "run-fuzzer.sh: $ran of $count inputs ran" >&2
