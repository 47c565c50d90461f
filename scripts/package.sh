#!/bin/sh
# Builds the Debian packages (debian/) with dpkg-buildpackage and leaves
# them in OUT: quellix, libquellix-platform0 and quellix-dev, their -dbgsym
# packages, the .buildinfo and the .changes; then lintian checks them all,
# and fails the build on a warning or an error. What it says (the tags that
# were overridden included) is kept in OUT/lintian.log.
#
#   scripts/package.sh [--version VERSION] OUT
#
# --version: the packages of VERSION, built from the same files with a
# changelog entry of that version on top (the boot test upgrades to them).
#
# The build runs in a copy of the tree, OUT/source, so that the tree itself
# gets none of its files. The copy's CMake build directory is kept from one
# run to the next, so that a new build compiles only what changed; without
# it (the first time, or after `make clean`) the build is a clean one.
set -eu
version=
if [ "${1:-}" = --version ] && [ $# -ge 2 ]; then
  version=$2
  shift 2
fi
[ $# -eq 1 ] || { echo "usage: scripts/package.sh [--version VERSION] OUT" >&2; exit 2; }
tree=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
copy=$out/source

"$tree/scripts/install-deps.sh" --build-deps "$tree"

# The copy: what git tracks and what it would add (not what it ignores),
# or, outside a git checkout, the whole tree but the build directories.
mkdir -p "$copy"
find "$copy" -mindepth 1 -maxdepth 1 ! -name 'obj-*' -exec rm -rf {} +
if git -C "$tree" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # (--ignore-failed-read: a file deleted but not yet committed is skipped)
  git -C "$tree" ls-files -z --cached --others --exclude-standard |
    tar -C "$tree" --null --ignore-failed-read -cf - -T - | tar -C "$copy" -xf -
else
  tar -C "$tree" --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -C "$copy" -xf -
fi

if [ -n "$version" ]; then
  (cd "$copy" && {
    printf '%s (%s) unstable; urgency=medium\n\n  * Rebuilt as %s.\n\n -- %s  %s\n\n' \
      "$(dpkg-parsechangelog -SSource)" "$version" "$version" "$(dpkg-parsechangelog -SMaintainer)" "$(date -R)"
    cat debian/changelog
  } >debian/changelog.new && mv debian/changelog.new debian/changelog)
fi

rm -f "$out"/*.deb "$out"/*.buildinfo "$out"/*.changes "$out"/lintian.log
keep=
ls -d "$copy"/obj-* >/dev/null 2>&1 && keep=--no-pre-clean
(cd "$copy" && dpkg-buildpackage -b -uc -us $keep)
changes=$(ls "$out"/*.changes)
# (lintian says, on standard error, that it would rather not run as root)
if ! lintian --fail-on warning --display-info --show-overrides --tag-display-limit 0 "$changes" >"$out/lintian.log.new" 2>/dev/null; then
  cat "$out/lintian.log.new"
  echo "lintian: warnings or errors in the packages above" >&2
  exit 1
fi
mv "$out/lintian.log.new" "$out/lintian.log"
echo "packages in $out:"
ls "$out"/*.deb
