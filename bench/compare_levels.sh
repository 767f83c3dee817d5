#!/usr/bin/env bash
# Runs two builds of kiv on the same inputs and compares what they write, file by file and byte by byte (PNG files
# without their sRGB chunk): every filter on the bundled sample and on the real models (PNG, KTX2 and DDS, with --report), and the least-squares filters with
# --solver direct. A change that must keep results (a refactoring, a change made for speed) is checked with it
# against the build before the change. Prints each file that differs or is missing, then the log lines that differ
# (times left out), and exits 1 when a level file differs.
#
#   bench/compare_levels.sh <kiv-before> <kiv-after>
#
#   KIV_MODELS_DIR  the real models' folder (default ../shared/models beside the repository; skipped if missing)
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: bench/compare_levels.sh <kiv-before> <kiv-after>"; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
models="${KIV_MODELS_DIR:-$root/../shared/models}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
every="kivtri kivtric kivbi kivbic kivbox lanczos3 tent box boxig rainbow"

# run <kiv> <folder> <model> <texture> <arguments ...>: one run, its output kept as log.txt beside the files.
run() {
  local kiv=$1 folder=$2; shift 2
  mkdir -p "$folder"
  (cd "$folder" && "$kiv" "$@" --threads 2 > log.txt 2>&1; echo "status $?" >> log.txt)
}

for side in before after; do
  kiv=$1; [ $side = after ] && kiv=$2
  kiv=$(realpath "$kiv")
  out="$work/$side"
  run "$kiv" "$out/sample" "$root/data/sample.obj" "$root/data/sample.png" $every --format png,ktx2,dds --report
  run "$kiv" "$out/sample-direct" "$root/data/sample.obj" "$root/data/sample.png" kivbi kivtri kivbic kivtric --solver direct
  for model in duck milk_truck; do
    [ -f "$models/$model/model.obj" ] || continue
    run "$kiv" "$out/$model" "$models/$model/model.obj" "$models/$model/texture.png" $every --format png,ktx2,dds --report
    run "$kiv" "$out/$model-direct" "$models/$model/model.obj" "$models/$model/texture.png" kivbi kivtri --solver direct
  done
done

# same <file-before> <file-after>: byte for byte, except that PNG files are compared without their sRGB chunk (which
# marks colour levels and says nothing about their pixels).
same() {
  case "$1" in
    *.png) python3 - "$1" "$2" <<'PY'
import struct, sys
def chunks(path):
    data = open(path, 'rb').read()
    at, kept = 8, [data[:8]]
    while at < len(data):
        length, kind = struct.unpack('>I4s', data[at:at + 8])
        if kind != b'sRGB':
            kept.append(data[at:at + 12 + length])
        at += 12 + length
    return b''.join(kept)
sys.exit(0 if chunks(sys.argv[1]) == chunks(sys.argv[2]) else 1)
PY
    ;;
    *) cmp -s "$1" "$2" ;;
  esac
}

differs=0
for file in $(cd "$work/before" && find . -type f ! -name log.txt | sort); do
  if [ ! -f "$work/after/$file" ]; then echo "missing after: $file"; differs=1
  elif ! same "$work/before/$file" "$work/after/$file"; then echo "differs: $file"; differs=1; fi
done
for file in $(cd "$work/after" && find . -type f ! -name log.txt | sort); do
  [ -f "$work/before/$file" ] || { echo "only after: $file"; differs=1; }
done
# The logs without the lines that carry times.
for log in $(cd "$work/before" && find . -name log.txt | sort); do
  diff <(grep -Pv 'seconds|^time|^[0-9.]+\t|^Using' "$work/before/$log") \
       <(grep -Pv 'seconds|^time|^[0-9.]+\t|^Using' "$work/after/$log") | sed "s|^|$log: |" || true
done
[ $differs = 0 ] && echo "every level file is byte-identical"
exit $differs
