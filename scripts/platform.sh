# A private platform for the scripts that show quellix at work (demo.sh,
# shell.sh, tour.sh): a network namespace of their own, so that the
# service manager started there is reachable only from inside, and every
# daemon stopped again when the script ends. Sourced, not run:
#
#   . scripts/platform.sh
#   platform_enter "$@"          # re-runs the script in a new network namespace
#   platform_start PROGRAM ARG...  # starts a daemon, waits for its "ready"
#
# After platform_start, $! is the daemon's process id and $platform_log the
# file with what it printed. $platform_tmp is a scratch directory, removed
# on exit.

# Re-runs the calling script, with the same arguments, inside a network
# namespace of its own; returns inside it.
platform_enter() {
  if [ "${QUELLIX_PLATFORM_INSIDE:-}" != 1 ]; then
    # Root needs only a network namespace; anyone else a user namespace too.
    if [ "$(id -u)" = 0 ]; then flags=-n; else flags=-rn; fi
    exec env QUELLIX_PLATFORM_INSIDE=1 unshare $flags "$0" "$@"
  fi
  # Not inherited, so that a script started from inside gets its own.
  unset QUELLIX_PLATFORM_INSIDE
  platform_tmp=$(mktemp -d)
  platform_pids=""
  trap platform_cleanup EXIT
  # A signal ends the script through exit, so that the cleanup runs.
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

platform_cleanup() {
  if [ -n "$platform_pids" ]; then
    kill $platform_pids 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  rm -rf "$platform_tmp"
}

# Starts a daemon and waits (at most 10 s) for its "ready" line.
platform_start() {
  platform_log=$platform_tmp/$(basename "$1").$#.$(echo $platform_pids | wc -w)
  # Made here, not by the background job, so that grep finds it at once.
  : >"$platform_log"
  "$@" >"$platform_log" 2>&1 &
  platform_pids="$platform_pids $!"
  i=0
  until grep -q '^ready$' "$platform_log"; do
    i=$((i + 1))
    if [ $i -gt 100 ] || ! kill -0 $! 2>/dev/null; then
      echo "$(basename "$0" .sh): $1 did not start:" >&2
      cat "$platform_log" >&2
      exit 1
    fi
    sleep 0.1
  done
}
