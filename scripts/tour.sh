#!/bin/bash
# The tour of quellix, run against a private platform: the commands of the
# README's "Tour" and of the EXAMPLES in the man pages, with their real
# output. Prints the README part, writes every part into its file between
# the "tour: begin" and "tour: end" markers (--update), or fails with a
# diff when a file no longer holds what the programs print now (--check).
# Usage: scripts/tour.sh [--update | --check] [BINDIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
mode=print
case ${1:-} in
--print | --update | --check) mode=${1#--}; shift ;;
esac
bin=$(cd "${1:-build/bin}" && pwd)

. "$here/platform.sh"
platform_enter "--$mode" "$bin"
export PATH=$bin:$PATH
out=$platform_tmp/parts
mkdir "$out"

# Each part is a transcript: lines "$ COMMAND" followed by what it printed.
# show COMMAND: runs it (standard error joined to standard output) and,
# when it fails, shows its exit status as "echo $?" would.
show() {
  local status=0
  echo "\$ $1"
  eval "$1" 2>&1 || status=$?
  if [ $status != 0 ]; then
    echo "\$ echo \$?"
    echo $status
  fi
}

# background COMMAND: starts a daemon as "COMMAND &" would, shows what it
# printed until it was ready.
background() {
  echo "\$ $1 &"
  eval "platform_start $1"
  cat "$platform_log"
}

background service-manager >"$out/service-manager.8"
# The process id changes from run to run; the page shows a fixed one.
show service-manager | sed 's/(pid [0-9]*,/(pid 1234,/' >>"$out/service-manager.8"
platform_start service-host

{
  show "quellix list"
  show "quellix check demo.echo"
  show "quellix check no.such.service"
  show "quellix call demo.adder 1 i32 2 i32 40"
  show "quellix call demo.greeter 1 s16 world"
  show "quellix call demo.echo 1 null"
  show "quellix call demo.echo 1 intent action=VIEW launchFlags=16"
  show "quellix call demo.nothing 1"
  show "unshare -rn quellix list"
} >"$out/quellix.1"

{
  background "service-host --service my.echo --interface my.IEcho --service my.failing --status -38"
  show "quellix call my.echo 7 i32 42"
  show "quellix call my.failing 1"
  show "service-host --service my.echo" | sed 's/(pid [0-9]*,/(pid 1234,/'
  show "service-host --service 'bad\\q'"
} >"$out/service-host.1"

markdown() {
  echo '```console'
  cat "$1"
  echo '```'
}

# Lines of a transcript as roff text in an example block: backslashes and
# minus signs escaped, a leading dot or quote kept from being a request.
roff() {
  echo '.EX'
  sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^[.']/\\\\\\&&/" "$1"
  echo '.EE'
}

# FILE PART: FILE with PART between its markers.
replace() {
  grep -q 'tour: begin' "$1" || { echo "tour: no 'tour: begin' marker in $1" >&2; return 1; }
  awk -v part="$2" '
    /tour: end/ { skip = 0 }
    !skip { print }
    /tour: begin/ { while ((getline line < part) > 0) print line; skip = 1 }
  ' "$1"
}

if [ $mode = print ]; then
  markdown "$out/quellix.1"
  exit 0
fi

markdown "$out/quellix.1" >"$out/README.md"
for page in quellix.1 service-manager.8 service-host.1; do
  roff "$out/$page" >"$out/$page.roff"
done
stale=0
for target in README.md:README.md man/man1/quellix.1:quellix.1.roff \
  man/man8/service-manager.8:service-manager.8.roff man/man1/service-host.1:service-host.1.roff; do
  file=$root/${target%%:*}
  replace "$file" "$out/${target#*:}" >"$out/new"
  if [ $mode = update ]; then
    cmp -s "$out/new" "$file" || cat "$out/new" >"$file"
  elif ! diff -u "$file" "$out/new"; then
    stale=1
  fi
done
if [ $stale = 1 ]; then
  echo "tour: the files above differ from what the programs print now; run scripts/tour.sh --update" >&2
  exit 1
fi
