#!/usr/bin/env bash
# before-after.sh BASE_BUILD [RUNS]
#
# Before/after figures for a change: runs this tree's benchmarks
# (build/release) and those of BASE_BUILD, the release build of an older
# commit (e.g. a worktree of it: `cmake --preset release` and build the
# targets trellum, trellum_jvm, trellum_jvm_java and trellum_bench there),
# alternately RUNS times (default 3), and prints per row the medians of each
# side and the median of the paired after/before ratios. Alternating whole
# runs lets a drift of the shared machine's load hit both sides alike.
#
# The Java harness of this tree runs against both bindings; against one
# without the channel API it times only the static natives.
set -eu
cd "$(dirname "$0")/.."
base=${1:?usage: bench/before-after.sh BASE_BUILD [RUNS]}
runs=${2:-3}
here=build/release
java=${JAVA:-/usr/lib/jvm/java-17-openjdk-amd64/bin/java}
out=$here/bench/before-after
rm -rf "$out" && mkdir -p "$out"
bench_jar=$here/trellum_jvm/java/trellum-jvm-bench.jar
for f in "$here/bench/trellum_bench" "$bench_jar" "$base/bench/trellum_bench" "$base/trellum_jvm/java/trellum-jvm.jar"; do
  [ -e "$f" ] || { echo "before-after.sh: missing $f (build it first)" >&2; exit 1; }
done

run_side() {  # side build run
  local side=$1 dir=$2 run=$3
  echo "run $run: $side ($dir)"
  "$dir/bench/trellum_bench" > "$out/$side-native-$run.txt"
  "$java" "-Djava.library.path=$dir/trellum:$dir/trellum_jvm" \
    -cp "$dir/trellum_jvm/java/trellum-jvm.jar:$bench_jar" com.fendrel.vm.channel.bench.JvmBench \
    --results "$out/$side-java-$run.tsv" > "$out/$side-java-$run.txt"
}

for run in $(seq 1 "$runs"); do
  if [ $((run % 2)) -eq 1 ]; then
    run_side after "$here" "$run"; run_side before "$base" "$run"
  else
    run_side before "$base" "$run"; run_side after "$here" "$run"
  fi
done
python3 bench/before_after.py "$out"
