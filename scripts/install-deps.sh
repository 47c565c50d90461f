#!/bin/sh
# Makes sure the Debian packages that building and testing need are there.
# As root it installs what is missing; otherwise it names the packages.
#
# With --peers: the programs the benchmarks set beside quellix (a message
# bus, its command-line clients, the Python bindings of the benchmarks'
# helper). The benchmarks run without them, so this never fails.
set -eu

packages="g++ cmake ninja-build make libgtest-dev libgmock-dev util-linux clang libclang-rt-14-dev libbenchmark-dev groff-base man-db hyperfine time pkgconf libsystemd-dev systemd lintian"
peers=false
if [ "${1:-}" = --peers ]; then
  packages="dbus systemd libglib2.0-bin python3-dbus python3-gi"
  peers=true
fi

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "installing missing packages:$missing"
  if apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null; then
    exit 0
  fi
  $peers && exit 0
  exit 1
elif $peers; then
  exit 0
else
  echo "missing Debian packages:$missing" >&2
  echo "install them with: sudo apt-get install$missing" >&2
  exit 1
fi
