#!/usr/bin/env bash
# The demo: builds hivemend (Release, into build/), builds the sample installation
# (sample/), and repairs it twice, as the product's restore tool would start it:
#
#   hivemend /SrcDrives %C% /DstDrives %E% /SrcSig %1A2B3C4D%       normal mode
#   hivemend /SrcDrives %E% /DstDrives %E% /SrcSig %1A2B3C4D%       rescue-transfer mode
#
# For each run it shows the diagnostic log, the summary block and every value the run
# rewrote, before and after. Run as root (hive mounts need the backup and restore
# privileges, which only an administrator holds); before building it installs the
# Debian packages the build needs that are missing (scripts/install-deps.sh), and says
# so. It builds hivemend-repair too, for the README's next commands. Leaves nothing
# mounted and removes its scratch folder. HIVEMEND_BUILD_DIR names another build folder
# than build/; HIVEMEND_BIN_DIR runs installed programs from that folder instead of
# building them.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${HIVEMEND_BUILD_DIR:-$repo/build}
if [[ $(id -u) != 0 ]]; then
  echo "scripts/demo.sh: run as root: mounting hives needs the privileges of an administrator" >&2
  exit 2
fi

if [[ -n ${HIVEMEND_BIN_DIR:-} ]]; then
  bin=$HIVEMEND_BIN_DIR
  echo "== using the programs in $bin"
else
  bin=$build/bin
  "$repo/scripts/install-deps.sh"
  echo "== building hivemend, hivetool and hivemend-repair (Release, $build)"
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
  cmake --build "$build" -j2 --target hivemend hivetool hivemend-repair hivemend_components > /dev/null
fi

work=$(mktemp -d)
cleanup() {
  local volume
  for volume in "$work"/*/volume; do
    if mountpoint -q "$volume" 2>/dev/null; then umount "$volume" || umount -l "$volume"; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

hivetool=$bin/hivetool

# The hives of the installation, by the name the demo shows them under.
hive_files() {
  local volume=$1
  echo "SOFTWARE $volume/Windows/System32/config/SOFTWARE"
  echo "SYSTEM $volume/Windows/System32/config/SYSTEM"
  echo "alice $volume/Users/alice/ntuser.dat"
  echo "bob $volume/Users/bob/ntuser.dat"
}

# demo_run TITLE CDTRANSFER SRC DST LETTERS...: a fresh sample and prefix, one run.
demo_run() {
  local title=$1 cdtransfer=$2 src=$3 dst=$4
  shift 4
  local dir=$work/$cdtransfer
  echo
  echo "================================================================================"
  echo "== $title"
  echo "================================================================================"
  "$repo/sample/build.sh" "$dir" "$hivetool"
  local volume=$dir/volume prefix=$dir/prefix
  mkdir -p "$prefix/dosdevices"
  ln -s / "$prefix/dosdevices/z:"
  local letter
  for letter in "$@"; do
    ln -s "$volume" "$prefix/dosdevices/$letter:"
    echo "drive ${letter^^}: is the sample volume"
  done
  sed "s/\"CDTransfer\"=\"NO\"/\"CDTransfer\"=\"$cdtransfer\"/" "$repo/sample/prefix/system.reg" > "$prefix/system.reg"
  echo "product setting CDTransfer = \"$cdtransfer\""

  mkdir -p "$dir/before"
  local name file
  while read -r name file; do cp -p "$file" "$dir/before/$name"; done < <(hive_files "$volume")

  echo
  echo "\$ hivemend /SrcDrives %$src% /DstDrives %$dst% /SrcSig %1A2B3C4D%"
  local code=0
  HIVEMEND_PREFIX=$prefix "$bin/hivemend" /SrcDrives "%$src%" /DstDrives "%$dst%" /SrcSig %1A2B3C4D% || code=$?
  case $code in
    2) echo "exit code: 2 (hivemend made its run: the repair is done)" ;;
    0) echo "exit code: 0 (a run on a Tablet PC, or none: another instance runs or a switch is missing)" ;;
    1) echo "exit code: 1 (hivemend handed the start to another program and made no run)" ;;
    *) echo "exit code: $code (hivemend ended abnormally)" ;;
  esac

  echo
  echo "-- diagnostic log (prefix logs/hivemend.log)"
  cat "$prefix/logs/hivemend.log"
  echo
  echo "-- summary block (prefix logs/hivemend-report.txt, UTF-16LE)"
  iconv -f UTF-16LE -t UTF-8 "$prefix/logs/hivemend-report.txt" | tr -d '\r'
  echo
  echo "-- values rewritten (- before, + after)"
  while read -r name file; do
    echo "hive $name:"
    "$hivetool" diff "$dir/before/$name" "$file" --prefix "HKEY_LOCAL_MACHINE\\$name" || true
  done < <(hive_files "$volume")
}

demo_run "normal mode: paths looked up on C:, the restored volume; hives on E:" NO C E c e
demo_run "rescue-transfer mode: the source system's C: is E: here; paths keep C:" YES E E e
echo
echo "demo done"
