#!/bin/sh
# Makes sure the Debian packages that building and testing need are there.
# As root it installs what is missing; otherwise it names the packages.
#
# With --peers: the programs the benchmarks set beside quellix (a message
# bus, its command-line clients, the Python bindings of the benchmarks'
# helper). The benchmarks run without them, so this never fails.
#
# With --boot-test: what the boot test needs (mmdebstrap, systemd-nspawn).
#
# With --build-deps DIR: what building the Debian packages of the tree DIR
# needs (its debian/control's Build-Depends, dpkg-buildpackage and lintian).
set -eu

if [ "${1:-}" = --build-deps ]; then
  cd "$2"
  if command -v dpkg-checkbuilddeps >/dev/null && command -v lintian >/dev/null &&
     dpkg-checkbuilddeps 2>/dev/null; then
    exit 0
  fi
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "installing the packages' build dependencies"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg-dev lintian >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq ./ >/dev/null
    exit 0
  fi
  echo "missing build dependencies: install them with: sudo apt-get install dpkg-dev lintian && sudo apt-get build-dep ./" >&2
  exit 1
fi

packages="g++ cmake ninja-build make libgtest-dev libgmock-dev util-linux clang libclang-rt-14-dev libbenchmark-dev groff-base man-db hyperfine time pkgconf libsystemd-dev systemd procps lintian"
peers=false
if [ "${1:-}" = --peers ]; then
  packages="dbus systemd libglib2.0-bin python3-dbus python3-gi"
  peers=true
elif [ "${1:-}" = --boot-test ]; then
  packages="mmdebstrap systemd-container"
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
