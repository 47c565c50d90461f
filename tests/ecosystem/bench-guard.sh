#!/bin/sh
# The benchmarks' regression guard: bench/run.sh in its short mode, with
# this build's programs, must write a report that has every row. It checks
# that the figures are there, never what they are.
#
#   bench-guard.sh SOURCE_DIR BIN_DIR
set -eu
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
report=$tmp/performance.md
if ! "$1/bench/run.sh" --short --bin "$2" --out "$report" >"$tmp/log" 2>&1; then
  cat "$tmp/log"
  exit 1
fi

missing=0
# A table row that begins with FIGURE, has N (when given) in a cell of its
# own and a measured figure in some cell.
expect() {
  if ! grep -F -- "| $1" "$report" | grep -F -- "| ${2:-$1}${2:+ |}" | grep -Eq '[0-9] (ns|µs|ms|s|MiB) \|'; then
    echo "missing from the report: $1 ${2:+(N = $2)}"
    missing=1
  fi
}
expect "floor: exec"
expect '`quellix list`, no service manager'
if ! grep -Eq 'linked dynamically \(quellix-dynamic\), [0-9.]+ (µs|ms) median' "$report"; then
  echo "missing from the report: start-up, static against dynamic"
  missing=1
fi
for n in 10 100; do
  for figure in "floor: round trip" "floor: connect" "floor: look-up" "floor: transaction" \
    '`quellix check NAME`' '`quellix call NAME' '`quellix list` |' service-manager; do
    expect "$figure" $n
  done
done
for micro in BM_ParcelWriteTypical BM_ParcelReadTypical BM_ParcelPrint/1024 BM_ParcelPrint/1048576 \
  BM_String16FromUtf8/ascii BM_String16FromUtf8/mixed BM_String8FromString16/ascii BM_String8FromString16/mixed; do
  expect "$micro |"
done
if ! grep -q '^peers skipped: install' "$report"; then
  for peer in '`busctl list --acquired`' '`dbus-send --print-reply (call)`' '`busctl call`' '`gdbus call`' \
    '`dbus-send GetNameOwner`'; do
    expect "$peer" 100
  done
fi
for target in "check within" "call within" "list per service" "list linear" "quellix list at 100,000" \
  "service-manager with 100,000" "a look-up does not grow" "quellix startup"; do
  grep -q "^- $target.*: " "$report" || { echo "missing target: $target"; missing=1; }
done
if [ $missing = 1 ]; then
  cat "$report"
  exit 1
fi
echo "the benchmarks' short run wrote a complete report"
