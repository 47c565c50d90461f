#!/bin/sh
# The packages on a real system (make boot-test): a clean Debian bookworm
# root made with mmdebstrap from this machine's apt sources, booted with
# systemd as PID 1 in systemd-nspawn (with a network of its own), the
# packages of PACKAGES installed with apt, and an operator's session in it,
# driven from outside with nsenter. One line per step; the exit status is 0
# only when every step holds. Run as root.
#
#   scripts/boot-test.sh PACKAGES UPGRADE WORK
#
# PACKAGES and UPGRADE hold the three packages, UPGRADE's of a later
# version; WORK keeps the root's tarball between runs (made again when
# missing) and the root while the test runs.
set -u
[ $# -eq 3 ] || { echo "usage: scripts/boot-test.sh PACKAGES UPGRADE WORK" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "boot-test: run as root (it boots a container)" >&2; exit 2; }
packages=$(cd "$1" && pwd) upgrade=$(cd "$2" && pwd)
mkdir -p "$3"
work=$(cd "$3" && pwd)
root=$work/root
tarball=$work/bookworm.tar
for tool in mmdebstrap systemd-nspawn nsenter; do
  command -v $tool >/dev/null || { echo "boot-test: $tool is missing (packages mmdebstrap, systemd-container)" >&2; exit 2; }
done

if [ ! -s "$tarball" ]; then
  sources=$(ls /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null)
  echo "making a bookworm root with mmdebstrap (sources: $(echo $sources))"
  mmdebstrap --quiet --format=tar --variant=apt --include=systemd,systemd-sysv,procps,passwd,util-linux \
    bookworm "$tarball.new" $sources || exit 1
  mv "$tarball.new" "$tarball"
fi
rm -rf "$root"
mkdir "$root"
tar -C "$root" -xf "$tarball" || exit 1
mkdir "$root/root/packages" "$root/root/upgrade"
cp "$packages"/quellix_*.deb "$packages"/quellix-dev_*.deb "$packages"/libquellix-platform0_*.deb "$root/root/packages/"
cp "$upgrade"/quellix_*.deb "$upgrade"/quellix-dev_*.deb "$upgrade"/libquellix-platform0_*.deb "$root/root/upgrade/"

systemd-nspawn -q -b -D "$root" --register=no --keep-unit --console=passive --private-network \
  >"$work/console.log" 2>&1 &
nspawn=$!
stop_container() {
  kill -TERM $nspawn 2>/dev/null
  wait $nspawn 2>/dev/null
  rm -rf "$root"
}
trap stop_container EXIT
trap 'exit 1' INT TERM

# The container's PID 1, once systemd runs there.
init=""
for _ in $(seq 100); do
  init=$(ps -o pid= --ppid $nspawn | tr -d ' ')
  [ -n "$init" ] && [ "$(cat /proc/$init/comm 2>/dev/null)" = systemd ] && break
  init=""
  sleep 0.1
done
[ -n "$init" ] || { echo "boot-test: the container did not boot (see $work/console.log)" >&2; exit 1; }

# In the container, as root.
inside() {
  nsenter -t "$init" -a -r -w env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}
# As the user $1.
as() {
  user=$1
  shift
  inside runuser -u "$user" -- "$@"
}
inside systemctl is-system-running --wait >/dev/null 2>&1
inside useradd --create-home alice
inside useradd --create-home bob

failures=0
step() { # NAME COMMAND...: runs the step, says how it went
  name=$1
  shift
  if out=$("$@" 2>&1); then
    # A step that measures something says it on its line's end.
    measured=$(printf '%s\n' "$out" | sed -n 's/^measured: //p')
    echo "ok   $name${measured:+ ($measured)}"
  else
    echo "FAIL $name"
    [ -n "$out" ] && printf '%s\n' "$out" | sed 's/^/     /'
    failures=$((failures + 1))
  fi
}
# Ends the step (each runs in a subshell of its own), saying why.
fail() { echo "$*"; exit 1; }

socket_active() { [ "$(inside systemctl is-active quellix-service-manager.socket)" = active ]; }
service_active() { [ "$(inside systemctl is-active quellix-service-manager.service)" = active ]; }
main_pid() { inside systemctl show -P MainPID quellix-service-manager.service; }
# Whether anyone listens at the address in the container's network.
listening() { inside grep -q ' @quellix.service-manager$' /proc/net/unix; }
# Whether nobody can take the address: a service manager of theirs fails
# at once instead of serving.
nobody_cannot_bind() {
  out=$(inside timeout 5 setpriv --reuid=nobody --regid=nogroup --clear-groups service-manager 2>&1)
  status=$?
  [ $status -ne 0 ] && [ $status -ne 124 ] || fail "nobody's service-manager (exit $status): $out"
}
found() { inside quellix check "$1" | grep -q ': found$'; }
stopped() { ! inside systemctl is-active --quiet "$1"; }
names() { inside quellix list | sort; }
names_are() { [ "$(names)" = "$1" ]; }
# Whether the manager's journal has a line of priority warning or higher
# since $1 that holds $2.
warned() { inside journalctl -q -p warning -u quellix-service-manager --since "$1" | grep -qF "$2"; }
# Until $1 seconds have passed, whether COMMAND... holds.
within() {
  tries=$(($1 * 10))
  shift
  while [ $tries -gt 0 ]; do
    "$@" >/dev/null 2>&1 && return 0
    tries=$((tries - 1))
    sleep 0.1
  done
  "$@"
}

installs() {
  inside sh -c 'apt-get install -y -qq /root/packages/*.deb' >/dev/null || fail "apt-get install fails"
  socket_active || fail "socket: $(inside systemctl is-active quellix-service-manager.socket)"
  listening || fail "nothing listens at @quellix.service-manager"
  ! service_active || fail "the service runs before anyone connected"
}
step "install: the socket listens, the service waits for a client" installs

first_list() { # USER
  inside systemctl stop quellix-service-manager.service
  out=$(as "$1" quellix list)
  [ "$out" = "Found 0 services:" ] || fail "quellix list as $1: $out"
  service_active || fail "the service does not run after $1's quellix list"
}
step "the first quellix list starts the service, as root" first_list root
step "the first quellix list starts the service, as a user" first_list alice

host() { # UNIT USER ARGS...: service-host as USER, a transient unit
  unit=$1 user=$2
  shift 2
  inside systemd-run --quiet --unit="$unit" --uid="$user" --property=Restart=no /usr/bin/service-host "$@"
}
policy_reload() {
  host alice-refused alice --service example.alice
  within 5 stopped alice-refused || fail "alice registers without a grant"
  inside sh -c 'mkdir -p /etc/quellix/policy.d && echo "allow alice prefix example." > /etc/quellix/policy.d/alice.conf'
  inside systemctl reload quellix-service-manager.service || fail "systemctl reload fails"
  host alice-host alice --service example.alice
  within 5 found example.alice || fail "after the reload: $(inside quellix check example.alice 2>&1)"
}
step "a user granted names in a policy file registers after systemctl reload" policy_reload

kills() {
  for round in $(seq 20); do
    inside quellix list >/dev/null
    pid=$(main_pid)
    [ "$pid" -gt 0 ] || fail "kill $round: no manager runs"
    inside kill -9 "$pid"
  done
  within 5 socket_active || fail "socket: $(inside systemctl is-active quellix-service-manager.socket)"
  listening || fail "nothing listens at @quellix.service-manager"
  nobody_cannot_bind
}
step "twenty kill -9 of the manager: the socket listens, nobody can bind the address" kills

restart_with_hosts() {
  host demo-host root
  within 5 found demo.greeter || fail "the demo host did not register"
  before=$(names)
  inside systemctl restart quellix-service-manager.service || fail "systemctl restart fails"
  # systemctl returns once the new manager is ready (Type=notify).
  ready=$(date +%s.%N)
  within 5 names_are "$before" || fail "after the restart: $(names) (before: $before)"
  echo "measured: every name listed again $(awk -v from="$ready" -v to="$(date +%s.%N)" 'BEGIN { printf "%.1f", to - from }') s after ready"
}
step "systemctl restart with hosts running brings every name back" restart_with_hosts

refusal_logged() {
  since=$(inside date '+%Y-%m-%d %H:%M:%S')
  sleep 1
  as bob timeout 5 service-host --service x >/dev/null 2>&1
  within 3 warned "$since" "refused to register 'x'" ||
    fail "journalctl -p warning shows none; at every priority: $(inside journalctl -q -o cat -u quellix-service-manager --since "$since" | grep -F "'x'")"
}
step "journalctl -p warning shows a refused registration" refusal_logged

upgrades() {
  inside quellix list >/dev/null
  before=$(main_pid)
  inside sh -c 'apt-get install -y -qq /root/upgrade/*.deb' >/dev/null 2>&1 || fail "apt-get install fails"
  after=$(main_pid)
  [ "$after" -gt 0 ] && [ "$after" != "$before" ] || fail "MainPID $before before the upgrade, $after after"
  socket_active || fail "socket: $(inside systemctl is-active quellix-service-manager.socket)"
}
step "an upgrade restarts the service" upgrades

purges() {
  inside systemctl stop alice-host demo-host 2>/dev/null
  inside rm -f /etc/quellix/policy.d/alice.conf
  files=$(inside dpkg -L quellix quellix-dev libquellix-platform0 | sort -u)
  inside apt-get purge -y -qq quellix quellix-dev libquellix-platform0 >/dev/null || fail "apt-get purge fails"
  left=""
  for f in $files; do
    [ -e "$root$f" ] && [ ! -d "$root$f" ] && left="$left $f"
  done
  [ -z "$left" ] || fail "left behind:$left"
  [ -z "$(inside systemctl list-unit-files 'quellix*' --no-legend)" ] || fail "units: $(inside systemctl list-unit-files 'quellix*' --no-legend)"
  ! listening || fail "something still listens at @quellix.service-manager"
  ! inside pgrep -x service-manager >/dev/null || fail "a service manager still runs"
}
step "apt purge leaves nothing" purges

[ $failures -eq 0 ] && echo "boot test: every step holds" || { [ $failures -eq 1 ] && echo "boot test: 1 step failed" || echo "boot test: $failures steps failed"; }
[ $failures -eq 0 ]
