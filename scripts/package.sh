#!/usr/bin/env bash
# Builds the Debian package from the Release build and checks it as a user would meet
# it: lintian must report no error, and the programs installed from the package into a
# scratch root must run there: hivemend --version, hivetool check on a real hive, and
# the demo against the installed programs. Prints the package's path last.
# Run as root after scripts/install-deps.sh (the demo mounts NTFS images).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${HIVEMEND_BUILD_DIR:-$repo/build}
testdata=${HIVEMEND_TESTDATA:-$repo/../shared/testdata}

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB > /dev/null)
deb=$(ls "$build"/hivemend_*.deb)
echo "== package: $deb"
dpkg-deb --field "$deb" Package Version Depends

echo "== lintian"
# Errors fail the check; warnings are shown.
lintian --fail-on error --tag-display-limit 0 "$deb"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
echo "== installed into a scratch root"
"$root/usr/bin/hivemend" --version
"$root/usr/sbin/hivemend-repair" --help > /dev/null
hive=$root/SYSTEM
xz -dc "$testdata/hives/SYSTEM.xz" > "$hive"
"$root/usr/bin/hivetool" check "$hive" | head -3
rm -f "$hive"
man -l "$root/usr/share/man/man8/hivemend-repair.8.gz" > /dev/null
HIVEMEND_BIN_DIR=$root/usr/lib/hivemend "$repo/scripts/demo.sh" > "$root/demo.log"
grep -q '^demo done$' "$root/demo.log"
echo "the demo ran against the installed programs"
echo "$deb"
