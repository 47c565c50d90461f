#!/bin/sh
# Runs quellix against a private platform: a service manager and the
# sample services, in a network namespace of their own, stopped afterwards.
# Usage: scripts/demo.sh BINDIR
set -eu
bin=$(cd "${1:-build/bin}" && pwd)

. "$(dirname "$0")/platform.sh"
platform_enter "$bin"
platform_start "$bin/service-manager"
platform_start "$bin/service-host"

run() {
  echo "\$ quellix $*"
  status=0
  "$bin/quellix" "$@" 2>&1 || status=$?
  echo "(exit status $status)"
  echo
}

run check demo.echo
run check no.such.service
run list
run call demo.adder 1 i32 2 i32 40
run call demo.greeter 1 s16 world
run call demo.echo 1 null
run call demo.echo 1 intent action=VIEW launchFlags=16
