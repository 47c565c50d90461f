#!/bin/sh
# Runs quellix against a private platform: a service manager and the
# sample services, in a network namespace of their own, stopped afterwards.
# Usage: scripts/demo.sh BINDIR
set -eu
bin=$(cd "${1:-build/bin}" && pwd)

if [ "${QUELLIX_DEMO_INSIDE:-}" != 1 ]; then
  # Root needs only a network namespace; anyone else a user namespace too.
  if [ "$(id -u)" = 0 ]; then flags=-n; else flags=-rn; fi
  exec env QUELLIX_DEMO_INSIDE=1 unshare $flags "$0" "$bin"
fi

tmp=$(mktemp -d)
pids=""
cleanup() {
  [ -n "$pids" ] && kill $pids 2>/dev/null
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

# Starts a daemon and waits (at most 10 s) for its "ready" line.
start() {
  log=$tmp/$(basename "$1").$$.$#
  "$@" >"$log" 2>&1 &
  pids="$pids $!"
  i=0
  until grep -q '^ready$' "$log"; do
    i=$((i + 1))
    if [ $i -gt 100 ] || ! kill -0 $! 2>/dev/null; then
      echo "demo: $1 did not start:" >&2; cat "$log" >&2; exit 1
    fi
    sleep 0.1
  done
}

start "$bin/service-manager"
start "$bin/service-host"

run() {
  echo "\$ quellix $*"
  status=0
  "$bin/quellix" "$@" 2>&1 || status=$?
  echo "(exit status $status)"
  echo
}

run check demo.echo
run check no.such.service
