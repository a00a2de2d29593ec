#!/usr/bin/env bash
# build-and-run.sh <prefix> <libdir> <work dir> <C compiler> <version>
# An outside C program built with nothing but pkg-config's answers about an
# installed trellum, then run against the installed library.
set -eu
prefix=$1 libdir=$2 work=$3 cc=$4 version=$5
here=$(cd "$(dirname "$0")" && pwd)

# Only the install under test: no trellum.pc of the system may answer.
export PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig"
unset PKG_CONFIG_PATH

found=$(pkg-config --modversion trellum)
if [ "$found" != "$version" ]; then
  echo "pkg-config reports trellum $found, expected $version" >&2
  exit 1
fi

rm -rf "$work" && mkdir -p "$work"
# shellcheck disable=SC2046  # pkg-config's flags are meant to split
"$cc" -Wall -Wextra -Werror -o "$work/roundtrip" "$here/../common/roundtrip.c" \
  $(pkg-config --cflags trellum) $(pkg-config --libs trellum) \
  "-Wl,-rpath,$(pkg-config --variable=libdir trellum)"
"$work/roundtrip"
