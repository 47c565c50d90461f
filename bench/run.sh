#!/bin/sh
# The benchmarks (make bench): quellix against a private platform of 10 to
# 100,000 services, timed by hyperfine, peak memory by GNU time and /proc;
# the floor and the micro-benchmarks by quellix-bench (Google Benchmark);
# the tools a user would pick instead, on a private message bus beside it.
# bench/report.py writes the report from their JSON; it is printed too.
#
#   bench/run.sh [--short] [--bin DIR] [--out FILE]
#
# --short (the test suite's guard): 10 and 100 services, a few runs each.
# DIR holds quellix, service-manager, service-host, quellix-bench,
# bench-true and quellix-dynamic (default build-bench/bin); FILE defaults to docs/performance.md.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/platform.sh"
platform_enter "$@"

short=false bin=build-bench/bin out=docs/performance.md
while [ $# -gt 0 ]; do
  case $1 in
    --short) short=true ;;
    --bin) bin=$2; shift ;;
    --out) out=$2; shift ;;
    *) echo "usage: bench/run.sh [--short] [--bin DIR] [--out FILE]" >&2; exit 2 ;;
  esac
  shift
done
bin=$(cd "$bin" && pwd)
for tool in hyperfine /usr/bin/time; do
  command -v $tool >/dev/null || { echo "bench: $tool is missing: scripts/install-deps.sh (as root) installs it" >&2; exit 1; }
done

if $short; then
  sizes="10 100" peer_sizes=100 reps=3 min_time=0.01
else
  sizes="10 100 1000 10000 100000" peer_sizes="1000 10000" reps=5 min_time=0.2
fi
# hyperfine runs of a command that takes about as long as N look-ups.
runs() {
  if $short; then echo 3
  elif [ "$1" -ge 100000 ]; then echo 3
  elif [ "$1" -ge 10000 ]; then echo 10
  elif [ "$1" -ge 1000 ]; then echo 20
  else echo 50
  fi
}
json=$platform_tmp/json
mkdir "$json"
name=bench.s000000
time_commands() { # FILE RUNS [-i] (-n LABEL COMMAND)...
  file=$1 count=$2
  shift 2
  hyperfine -N --style basic --warmup 1 --runs "$count" --export-json "$json/$file" "$@"
}
floor() { # FILE FILTER
  "$bin/quellix-bench" --benchmark_filter="$2" --benchmark_repetitions=$reps \
    --benchmark_min_time=$min_time --benchmark_display_aggregates_only=true \
    --benchmark_out="$json/$1" --benchmark_out_format=json
}

# Before any service manager: starting a program, and quellix finding none,
# linked statically (as it ships) and dynamically.
time_commands startup.json 20 -i -n exec "$bin/bench-true" -n startup "$bin/quellix list" \
  -n dynamic "$bin/quellix-dynamic list"
floor micro.json 'BM_(Parcel|String)'

peers_missing=""
command -v dbus-daemon >/dev/null || peers_missing="$peers_missing dbus"
command -v busctl >/dev/null || peers_missing="$peers_missing systemd"
command -v gdbus >/dev/null || peers_missing="$peers_missing libglib2.0-bin"
/usr/bin/python3 -c 'import dbus' 2>/dev/null || peers_missing="$peers_missing python3-dbus"
/usr/bin/python3 -c 'import gi' 2>/dev/null || peers_missing="$peers_missing python3-gi"
if [ -n "$peers_missing" ]; then
  echo "peers skipped: install$peers_missing" | tee "$json/peers-skipped"
  peer_sizes=""
else
  bus=unix:path=$platform_tmp/bus
  platform_pids="$platform_pids $(dbus-daemon --session --address="$bus" --fork --print-pid --nopidfile)"
fi

platform_start "$bin/service-manager"
manager=$!
have=0
for n in $sizes; do
  # Hosts of at most 10,000 names each, for the names up to N.
  while [ $have -lt "$n" ]; do
    last=$((have + 10000)); [ $last -le "$n" ] || last=$n
    platform_start "$bin/service-host" $(seq -f "--service bench.s%06g" $have $((last - 1)))
    have=$last
  done
  echo "== $n services"
  # Starting a program again, beside the commands it is the floor of.
  time_commands quellix-$n.json "$(runs 1)" -n exec "$bin/bench-true" \
    -n check "$bin/quellix check $name" -n call "$bin/quellix call $name 1 i32 7 s16 hello"
  time_commands list-$n.json "$(runs "$n")" -n list "$bin/quellix list"
  for command in "check $name" "call $name 1 i32 7 s16 hello" list; do
    /usr/bin/time -f %M -o "$json/memory-$n-${command%% *}" "$bin/quellix" $command >/dev/null
  done
  awk '/^VmHWM/ { print $2 }' /proc/$manager/status >"$json/memory-$n-service-manager"
  floor floor-$n.json 'BM_(RoundTrip|Connect|LookUp|Transaction)$'

  case " $peer_sizes " in *" $n "*)
    platform_start "$here/peer.py" "$bus" "$n"
    peer=$!
    time_commands peers-$n.json "$(runs "$n")" \
      -n "busctl list --acquired" "busctl --address=$bus list --acquired" \
      -n "dbus-send --print-reply (call)" "dbus-send --bus=$bus --print-reply --dest=$name / quellix.bench.Echo.Echo int32:7 string:hello" \
      -n "busctl call" "busctl --address=$bus call $name / quellix.bench.Echo Echo is 7 hello" \
      -n "gdbus call" "gdbus call --address $bus --dest $name --object-path / --method quellix.bench.Echo.Echo 7 hello" \
      -n "dbus-send GetNameOwner" "dbus-send --bus=$bus --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.GetNameOwner string:$name"
    kill $peer && wait $peer || true
  esac
done

python3 "$here/report.py" "$json" >"$out"
cat "$out"
