#!/bin/sh
# An interactive bash inside a private platform: a service manager and the
# sample services in a network namespace of their own, quellix on PATH with
# its completion loaded and its manual pages on MANPATH. Leaving the shell
# stops the platform.
# Usage: scripts/shell.sh BINDIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:-build/bin}" && pwd)

. "$here/platform.sh"
platform_enter "$bin"
platform_start "$bin/service-manager"
manager=$!
platform_start "$bin/service-host"
host=$!

echo "quellix shell: a private platform with service-manager (pid $manager) and"
echo "service-host (pid $host) serving demo.adder, demo.echo and demo.greeter."
echo "Try 'quellix list' or 'quellix call demo.greeter 1 s16 you'; Tab completes."
echo "Leave with 'exit' or Ctrl-D; that stops the platform."

status=0
root=$(cd "$here/.." && pwd)
QUELLIX_BIN=$bin QUELLIX_COMPLETION=$root/completion/quellix QUELLIX_MAN=$root/man \
  bash --rcfile "$here/shell.bashrc" -i || status=$?
exit $status
