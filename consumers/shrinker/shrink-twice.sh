#!/usr/bin/env bash
# shrink-twice.sh --proguard <proguard> --library <platform jar> --work <dir>
#                 --main <class> --injar <jar[(filter)]>... --app-rules <file>...
#                 --rules <file>... (--run <java launcher and options...> | --members <class> <member>...)
#
# Shrinks and obfuscates an app twice, as an Android release build would:
# once with our keep rules (--rules) and once without. Both times the app's
# own rules apply (--app-rules: its entry point, test support it keeps).
#  --run      runs the shrunk app on the JVM: with the rules it must work
#             (exit 0, no JNI warning); without them it must fail, and
#             with a linkage error, the sign that a name the native code
#             looks up was gone.
#  --members  for code no JVM here can run: with the rules the shrunk class
#             must have every listed member under its own name (as javap
#             prints it); without them at least one must be missing.
set -u
here=$(cd "$(dirname "$0")" && pwd)
injars=() app_rules=() rules=() members=() run=()
while [ $# -gt 0 ]; do
  case $1 in
    --proguard) proguard=$2; shift 2 ;;
    --library) library=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --main) main=$2; shift 2 ;;
    --injar) injars+=(-injars "$2"); shift 2 ;;
    --app-rules) app_rules+=(-include "$2"); shift 2 ;;
    --rules) rules+=(-include "$2"); shift 2 ;;
    --run) shift; run=("$@"); break ;;
    --members) shift; members=("$@"); break ;;
    *) echo "shrink-twice.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

# shrink <name> <extra rules...>: the shrunk app in $work/<name>/app.jar.
shrink() {
  local out="$work/$1"
  shift
  rm -rf "$out" && mkdir -p "$out"
  "$proguard" "${injars[@]}" -outjars "$out/app.jar" -libraryjars "$library" \
    -printmapping "$out/mapping.txt" "${app_rules[@]}" "$@" >"$out/proguard.log" 2>&1 || {
    cat "$out/proguard.log"
    echo "shrink-twice.sh: proguard failed ($out)" >&2
    exit 1
  }
}

# outcome <name>: 0 when the shrunk app works, else 1; says why.
outcome() {
  local out="$work/$1"
  if [ ${#run[@]} -gt 0 ]; then
    timeout 120 "$here/../../tools/run-junit.sh" "${run[@]}" -cp "$out/app.jar" "$main" >"$out/run.log" 2>&1
    local status=$?
    if [ $status -eq 0 ]; then
      echo "$1: the shrunk program works"
      return 0
    fi
    echo "$1: the shrunk program fails (exit $status):"
    grep -m3 -E 'Error|Exception|WARNING|FATAL' "$out/run.log" | sed 's/^/    /'
    grep -q -E 'UnsatisfiedLinkError|NoSuchFieldError|NoSuchMethodError|NoClassDefFoundError|ClassNotFoundException' \
      "$out/run.log" && return 1
    echo "    ...but with no linkage error: see $out/run.log"
    return 2
  fi
  local class=${members[0]} listing missing=0
  listing=$("${JAVAP:-javap}" -p -cp "$out/app.jar" "$class" 2>&1)
  for member in "${members[@]:1}"; do
    if ! grep -qF -- "$member" <<<"$listing"; then
      echo "$1: $class has no $member"
      missing=1
    fi
  done
  [ $missing -eq 0 ] && echo "$1: $class keeps every member native code reaches"
  return $missing
}

shrink with-rules "${rules[@]}"
shrink without-rules
outcome with-rules
with=$?
outcome without-rules
without=$?
if [ $with -ne 0 ]; then
  [ ${#run[@]} -gt 0 ] && cat "$work/with-rules/run.log"
  echo "shrink-twice.sh: FAILED: with our keep rules the shrunk app does not work" >&2
  exit 1
fi
if [ $without -ne 1 ]; then
  echo "shrink-twice.sh: FAILED: without our keep rules the app should fail by a lost name" >&2
  exit 1
fi
echo "shrink-twice.sh: the keep rules are needed, and enough"
