#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) into build-fuzz/ and runs
# each for SECONDS (default 1800), at most two at a time, under nice.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      targets: hive_open_fuzz hive_edit_fuzz
#                                              recover_fuzz regtext_fuzz ntfs_records_fuzz
#                                              (default: all)
#
# Corpora grow in build-fuzz/corpus/TARGET (kept between runs, out of git); the seeds are
# fuzz/seeds/ and, made at run time into build-fuzz/seeds/TARGET, the real test hives
# (shortened to fit the input size limit) and small NTFS volumes made with mkntfs and
# filled through ntfs-3g (as root; without it the NTFS target starts from nothing).
# Findings land in build-fuzz/findings/TARGET/, logs in build-fuzz/logs/. Environment:
# FUZZ_JOBS (parallel runs, default 2), HIVEMEND_TESTDATA (test data folder, default
# ../shared/testdata beside the repository).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
seconds=${1:-1800}
shift || true
all_targets=(hive_open_fuzz hive_edit_fuzz recover_fuzz regtext_fuzz ntfs_records_fuzz)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")
jobs=${FUZZ_JOBS:-2}
testdata=${HIVEMEND_TESTDATA:-$repo/../shared/testdata}
out=$repo/build-fuzz

cmake -S fuzz -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=None >/dev/null
nice -n 19 cmake --build "$out" -j2 --target "${targets[@]}"

# ---- seeds from the real hives ------------------------------------------------------
mkdir -p "$out/seeds" "$out/logs"
hives=$out/seeds/hives
mkdir -p "$hives"
for f in SYSTEM corrupted_system_hive transactions_NTUSER.DAT transactions_NTUSER.DAT.LOG1 transactions_NTUSER.DAT.LOG2; do
  if [ ! -s "$hives/$f" ] && [ -f "$testdata/hives/$f.xz" ]; then
    xz -dc "$testdata/hives/$f.xz" > "$hives/$f.tmp" && mv "$hives/$f.tmp" "$hives/$f"
  fi
done
python3 - "$hives" "$out/seeds" "$repo/tests/regf/fuzz_regressions" <<'PY'
import os, random, struct, sys
hives, seeds, regressions = sys.argv[1], sys.argv[2], sys.argv[3]

def checksum(block):
    s = 0
    for i in range(0, 508, 4):
        s ^= struct.unpack_from('<I', block, i)[0]
    return 0xFFFFFFFE if s == 0xFFFFFFFF else (1 if s == 0 else s)

def shortened(data, limit):
    """The base block and the whole hive bins that fit in `limit` bytes of hive bins data,
    with the base block's size and checksum made to match."""
    pos = 0
    while 4096 + pos + 12 <= len(data) and data[4096 + pos:4096 + pos + 4] == b'hbin':
        size = struct.unpack_from('<I', data, 4096 + pos + 8)[0]
        if size == 0 or pos + size > limit:
            break
        pos += size
    if pos == 0:
        return None
    out = bytearray(data[:4096 + pos])
    struct.pack_into('<I', out, 40, pos)
    struct.pack_into('<I', out, 508, checksum(out))
    return bytes(out)

def read(name):
    path = os.path.join(hives, name)
    return open(path, 'rb').read() if os.path.exists(path) else None

rng = random.Random(1)
def put(target, name, data):
    os.makedirs(os.path.join(seeds, target), exist_ok=True)
    open(os.path.join(seeds, target, name), 'wb').write(data)

# Small pieces: a walk of a large image costs a large share of a second under the
# sanitizers, and a fuzzer learns more from many small inputs than from a few big ones.
for name, limits in (('SYSTEM', (32768, 98304)), ('corrupted_system_hive', (65536,)),
                     ('transactions_NTUSER.DAT', (65536,))):
    data = read(name)
    if data is None:
        continue
    for limit in limits:
        s = shortened(data, limit)
        if s is None:
            continue
        put('hive_open_fuzz', '%s.%dk' % (name, limit // 1024), s)
        # The edit target takes its edits from the input's last bytes.
        put('hive_edit_fuzz', '%s.%dk' % (name, limit // 1024), s + bytes(rng.randrange(256) for _ in range(48)))

# Past findings seed the targets they broke, so their neighbourhood is searched again.
for name in sorted(os.listdir(regressions)) if os.path.isdir(regressions) else []:
    data = open(os.path.join(regressions, name), 'rb').read()
    if name.endswith('.hive'):
        put('hive_open_fuzz', name, data)
        put('hive_edit_fuzz', name, data + bytes(rng.randrange(256) for _ in range(48)))
    elif name.endswith('.reg'):
        put('regtext_fuzz', name, data)
    elif name.endswith('.recover'):
        put('recover_fuzz', name, data)

primary, log1, log2 = read('transactions_NTUSER.DAT'), read('transactions_NTUSER.DAT.LOG1'), read('transactions_NTUSER.DAT.LOG2')
if primary and log1 and log2:
    # The dirty user hive with the start of its logs: real entries with right hashes,
    # applied until one reaches past the shortened primary.
    head = lambda flags, p, l: bytes([flags]) + struct.pack('<II', len(p), len(l))
    p, l1, l2 = shortened(primary, 65536), log1[:131072], log2[:32768]
    put('recover_fuzz', 'ntuser.two_logs', head(4, p, l1) + p + l1 + l2)
    put('recover_fuzz', 'ntuser.log1', head(0, p, l1[:65536]) + p + l1[:65536])
PY

# ---- seeds for the NTFS reader: the smallest volumes mkntfs makes ------------------
# 2 MB with 512-byte clusters; everything past the last index block (the backup boot
# sector) is cut off, so the reader meets the end of the input where a volume goes on.
ntfs_seeds=$out/seeds/ntfs_records_fuzz
mkdir -p "$ntfs_seeds"
if [ ! -s "$ntfs_seeds/root-index-blocks" ] && [ "$(id -u)" = 0 ] && command -v mkntfs >/dev/null; then
  work=$(mktemp -d)
  make_volume() {  # NAME ENTRIES: a root with ENTRIES files, a short name, a hard link
    local img=$work/$1.img mnt=$work/mnt
    truncate -s 2M "$img" && mkntfs -F -Q -q -s 512 -c 512 "$img" >/dev/null 2>&1 || return 0
    mkdir -p "$mnt" && ntfs-3g "$img" "$mnt" || return 0
    mkdir "$mnt/Sub dir"
    for i in $(seq 1 "$2"); do echo "$i" > "$mnt/file number $i.txt"; done
    echo data > "$mnt/README.TXT"
    setfattr -n system.ntfs_dos_name -v SUBDIR~1 "$mnt/Sub dir" || true
    ln "$mnt/README.TXT" "$mnt/Sub dir/second link.txt" || true
    umount "$mnt"
    python3 -c 'import sys; d = open(sys.argv[1], "rb").read()[:-512]; open(sys.argv[2], "wb").write(d.rstrip(b"\0"))' \
      "$img" "$ntfs_seeds/$1"
  }
  make_volume root-in-record 3
  make_volume root-index-blocks 40
  rm -rf "$work"
fi

# ---- runs ---------------------------------------------------------------------------
max_len_of() {
  case $1 in
    recover_fuzz) echo 300000 ;;
    regtext_fuzz) echo 65536 ;;
    ntfs_records_fuzz) echo 2097152 ;;
    *) echo 200000 ;;
  esac
}
seed_dir_of() {
  case $1 in
    hive_open_fuzz|hive_edit_fuzz) echo "$repo/fuzz/seeds/hive" ;;
    recover_fuzz) echo "$repo/fuzz/seeds/recover" ;;
    regtext_fuzz) echo "$repo/fuzz/seeds/regtext" ;;
    *) echo "$out/seeds/$1" ;;
  esac
}

run_one() {
  local t=$1
  mkdir -p "$out/corpus/$t" "$out/findings/$t" "$out/seeds/$t"
  # The timeout is generous: on a shared machine under nice a run may wait for the CPU
  # for many seconds, and every input here takes well under a second when it runs.
  nice -n 19 "$out/bin/$t" -max_total_time="$seconds" -max_len="$(max_len_of "$t")" \
    -timeout=120 -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$out/findings/$t/" \
    "$out/corpus/$t" "$(seed_dir_of "$t")" "$out/seeds/$t" > "$out/logs/$t.log" 2>&1 || true
}

pids=()
for t in "${targets[@]}"; do
  [ -x "$out/bin/$t" ] || { echo "fuzz.sh: no such target: $t" >&2; exit 2; }
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 5; done
  echo "fuzz.sh: running $t for ${seconds}s"
  run_one "$t" &
  pids+=($!)
done
wait "${pids[@]}"

# ---- summary ------------------------------------------------------------------------
printf '\n%-16s %12s %8s %8s %8s  %s\n' target executions cov ft corpus findings
for t in "${targets[@]}"; do
  log=$out/logs/$t.log
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | awk '{print $2}' || true)
  last=$(grep -E '^#[0-9]+' "$log" | grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' | tail -1 || true)
  read -r _ cov _ ft _ corp <<< "${last:-x ? x ? x ?}"
  findings=$(find "$out/findings/$t" -type f | wc -l)
  printf '%-16s %12s %8s %8s %8s  %s\n' "$t" "${execs:-?}" "$cov" "$ft" "$corp" "$findings"
  find "$out/findings/$t" -type f -printf '    %p\n'
done
