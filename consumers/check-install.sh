#!/usr/bin/env bash
# check-install.sh <build dir> <prefix> <libdir> <includedir> <datadir> <jar tool> <jar stems...>
# Installs the build into a fresh prefix and checks the tree: every shipped
# file present, nothing else (no test program, helper library or GoogleTest
# file), each sources jar holding the source of every top-level class of
# its jar, each Javadoc jar a page for every public class, and the binding
# still finding libtrellum beside itself.
set -u
build=$1 prefix=$2 libdir=$3 includedir=$4 datadir=$5 jar=$6
shift 6
jar_stems=("$@")
status=0
problem() { echo "check-install: $*" >&2; status=1; }

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "check-install: cmake --install failed" >&2; exit 1; }

expected=(
  "$libdir/libtrellum.so" "$libdir/libtrellum_jvm.so" "$libdir/libcassowin.so"
  "$includedir/trellum/trellum.h" "$includedir/trellum/Message.h"
  "$libdir/cmake/trellum/trellumConfig.cmake" "$libdir/cmake/trellum/trellumConfigVersion.cmake"
  "$libdir/cmake/trellum/trellumTargets.cmake" "$libdir/pkgconfig/trellum.pc")
for stem in "${jar_stems[@]}"; do
  expected+=("$datadir/java/$stem.jar" "$datadir/java/$stem-sources.jar" "$datadir/java/$stem-javadoc.jar"
    "$datadir/trellum/proguard/$stem.pro")
done
for f in "${expected[@]}"; do
  [ -f "$prefix/$f" ] || problem "missing $f"
done

# Anything else installed must be a public header or a per-configuration
# file of the CMake package.
while IFS= read -r f; do
  case " ${expected[*]} " in *" $f "*) continue ;; esac
  case "$f" in
    "$includedir"/trellum/*.h) ;;
    "$libdir"/cmake/trellum/trellumTargets-*.cmake) ;;
    *) problem "installed, but not something we ship: $f" ;;
  esac
done < <(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
for stem in "${jar_stems[@]}"; do
  dir="$prefix/$datadir/java"
  [ -f "$dir/$stem.jar" ] || continue
  classes=$("$jar" tf "$dir/$stem.jar" | grep '\.class$' | grep -v '\$' | sed 's/\.class$//' | sort)
  sources=$("$jar" tf "$dir/$stem-sources.jar" | grep '\.java$' | sed 's/\.java$//' | sort)
  [ "$classes" = "$sources" ] || problem "$stem-sources.jar does not match $stem.jar:
$(diff <(echo "$classes") <(echo "$sources"))"
  pages=$("$jar" tf "$dir/$stem-javadoc.jar")
  mkdir -p "$unpacked/$stem" && (cd "$unpacked/$stem" && "$jar" xf "$dir/$stem-sources.jar")
  for c in $classes; do
    if [ -f "$unpacked/$stem/$c.java" ] && grep -Eq "^public (final |abstract )*(class|interface|enum) " "$unpacked/$stem/$c.java"; then
      grep -qx "$c.html" <<<"$pages" || problem "$stem-javadoc.jar has no page for $c"
    fi
  done
done

# Installed beside it, the binding must find libtrellum without any search path.
runpath=$(readelf -d "$prefix/$libdir/libtrellum_jvm.so" | grep -E 'RUNPATH|RPATH' || true)
grep -q '\[\$ORIGIN\]' <<<"$runpath" || problem "libtrellum_jvm.so lost its \$ORIGIN run path: $runpath"

[ $status -eq 0 ] && echo "check-install: $prefix as expected"
exit $status
