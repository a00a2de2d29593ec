#!/usr/bin/env bash
# bootstrap.sh: makes sure this Debian machine has what the build and tests
# need. As root it installs what is missing; otherwise it prints the exact
# apt-get line to run and fails.
set -eu

packages=(cmake make g++ binutils g++-multilib googletest
          openjdk-17-jdk-headless openjdk-17-jdk-headless:i386 junit5
          android-libnativehelper-dev qemu-user libtbb-dev proguard pkgconf spin valgrind
          clang-14 libclang-rt-14-dev)

need_i386=no
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=yes

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "$need_i386" = no ] && [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  [ "$need_i386" = yes ] && echo "  dpkg --add-architecture i386 && apt-get update" >&2
  echo "  apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "bootstrap: installing ${missing[*]}"
[ "$need_i386" = yes ] && dpkg --add-architecture i386
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
