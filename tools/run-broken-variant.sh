#!/usr/bin/env bash
# run-broken-variant.sh <patch> <preset> "<targets>" <ctest-regex>
# Shows that a check can fail: copies the working tree, breaks the library
# with <patch> (see trellum/tests/broken/), builds <targets> in <preset> and
# runs the tests matching <ctest-regex>. Succeeds when they FAIL (the check
# caught the fault) and prints what they reported; fails when they pass.
set -u
patch_file=$(realpath "$1") preset=$2 targets=$3 regex=$4
root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
tree=$(mktemp -d "${TMPDIR:-/tmp}/trellum-broken.XXXXXX")
trap 'rm -rf "$tree"' EXIT
(cd "$root" && git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$tree")
patch -d "$tree" -p1 --quiet <"$patch_file" || { echo "the patch no longer applies" >&2; exit 2; }
cd "$tree"
cmake --preset "$preset" -DTRELLUM_BUILD_KEYSTORE_RELAY=OFF >/dev/null &&
  cmake --build --preset "$preset" -j 2 --target $targets >/dev/null || { echo "build failed" >&2; exit 2; }
if ctest --preset "$preset" -R "$regex" --output-on-failure >"$tree/log" 2>&1; then
  tail -5 "$tree/log"
  echo "NOT CAUGHT: $(basename "$patch_file") passed $regex" >&2
  exit 1
fi
grep -E -A7 ': Failure$|model mismatch|ERROR: |AssertionFailedError|^\s+Failed|still running' "$tree/log" |
  grep -v -E '^\s*$|GetParam|^--$' | head -40
echo "CAUGHT: $(basename "$patch_file") failed $regex"
