#!/bin/sh
# Runs every fuzz target for SECONDS, starting from its seed corpus in
# fuzz/corpus/TARGET/. New corpus entries go to CORPUS/TARGET/ (default: a
# temporary directory, removed afterwards, so the repository is never
# changed); crashing inputs are kept in BUILD/fuzz-crashes/.
# Usage: fuzz/run.sh BUILD SECONDS [CORPUS]
set -eu
build=$(cd "$1" && pwd)
seconds=$2
source=$(cd "$(dirname "$0")" && pwd)/corpus
targets="parcel_fuzzer manager_request_fuzzer transaction_fuzzer"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
corpus=${3:-$tmp/corpus}
crashes=$build/fuzz-crashes
mkdir -p "$crashes"

# The targets run side by side, one per core; each one's summary line is
# printed in the order above once all are done.
run_target() {
  target=$1
  mkdir -p "$corpus/$target"
  log=$tmp/$target.log
  # -max_len leaves room for a whole service manager request (4 KiB payload
  # plus header); -timeout fails an input that takes over 10 s.
  if "$build/bin/$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$crashes/$target-" \
      "$corpus/$target" "$source/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $target: ${runs:-?} inputs in ${seconds} s, no failure" >"$tmp/$target.result"
  else
    { echo "fuzz: $target FAILED (crashing input in $crashes/):"; tail -n 60 "$log"; } >"$tmp/$target.failure"
  fi
}

for target in $targets; do
  run_target "$target" &
done
wait

failed=0
for target in $targets; do
  if [ -f "$tmp/$target.result" ]; then
    cat "$tmp/$target.result"
  else
    cat "$tmp/$target.failure" >&2 2>/dev/null || echo "fuzz: $target did not run" >&2
    failed=1
  fi
done
exit $failed
