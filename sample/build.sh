#!/usr/bin/env bash
# Builds the sample installation described in this folder (see README.md):
#
#   sample/build.sh OUT [HIVETOOL]
#
# OUT/volume becomes the restored system volume: an NTFS image (OUT/volume.img) mounted
# there with ntfs-3g when the machine allows it (root, mkntfs, ntfs-3g, FUSE), plain
# folders otherwise. OUT/volume.kind says which ("ntfs" or "folders"). An NTFS volume
# stays mounted for the caller, who unmounts it (umount OUT/volume) when done; if this
# script fails, it unmounts it itself. HIVETOOL defaults to build/bin/hivetool.
# HIVEMEND_SAMPLE_FOLDERS=1 asks for plain folders on any machine.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
if [[ $# -lt 1 || $# -gt 2 ]]; then
  echo "usage: sample/build.sh OUT [HIVETOOL]" >&2
  exit 2
fi
out=$1
hivetool=${2:-$here/../build/bin/hivetool}
if [[ ! -x $hivetool ]]; then
  echo "sample/build.sh: $hivetool: no hivetool (build it first: cmake --build build --target hivetool)" >&2
  exit 2
fi

mkdir -p "$out"
volume=$out/volume
if mountpoint -q "$volume" 2>/dev/null; then
  echo "sample/build.sh: $volume is still mounted; unmount it first" >&2
  exit 2
fi
rm -rf "$volume" "$out/volume.img"
mkdir -p "$volume"

kind=folders
if [[ ${HIVEMEND_SAMPLE_FOLDERS:-} != 1 && $(id -u) == 0 ]] && command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null &&
   [[ -e /dev/fuse ]]; then
  truncate -s 64M "$out/volume.img"
  # streams_interface=xattr keeps named streams apart from the system.ntfs_* attributes.
  # mkntfs warns that an image file has no disk geometry; that does not matter here.
  if mkntfs -F -Q -q "$out/volume.img" 2>/dev/null &&
     ntfs-3g -o streams_interface=xattr "$out/volume.img" "$volume"; then
    kind=ntfs
  else
    echo "sample/build.sh: no NTFS volume on this machine; using plain folders" >&2
    rm -f "$out/volume.img"
  fi
fi
unmount_on_failure() {
  if [[ $kind == ntfs ]] && mountpoint -q "$volume"; then
    umount "$volume" || umount -l "$volume"
  fi
}
trap unmount_on_failure ERR

while IFS=$'\t' read -r type path short; do
  [[ -z $type || $type == \#* ]] && continue
  case $type in
    D) mkdir "$volume/$path" ;;
    F) printf 'sample file %s\n' "$path" > "$volume/$path" ;;
    *) echo "sample/build.sh: layout.txt: bad line: $type $path" >&2; exit 2 ;;
  esac
  if [[ $kind == ntfs && $short != - ]]; then
    setfattr -h -n system.ntfs_dos_name -v "$short" "$volume/$path"
  fi
done < "$here/layout.txt"

config=$volume/Windows/System32/config
"$hivetool" import "$here/hives/SOFTWARE.reg" "$config/SOFTWARE" > /dev/null
"$hivetool" import "$here/hives/SYSTEM.reg" "$config/SYSTEM" > /dev/null
for user in alice bob; do
  "$hivetool" import "$here/hives/$user.reg" "$volume/Users/$user/ntuser.dat" > /dev/null
done

echo "$kind" > "$out/volume.kind"
trap - ERR
echo "sample installation built in $volume ($kind)"
