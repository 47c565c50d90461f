#!/bin/sh
# Makes sure the Debian packages that building and testing need are there.
# As root it installs what is missing; otherwise it names the packages.
set -eu

packages="g++ cmake ninja-build make libgtest-dev libgmock-dev util-linux clang libclang-rt-14-dev libbenchmark-dev groff-base man-db"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "installing missing packages:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
else
  echo "missing Debian packages:$missing" >&2
  echo "install them with: sudo apt-get install$missing" >&2
  exit 1
fi
