#!/usr/bin/env bash
# The cost of textures whose sides are not powers of two against the next power of two up: a real model's texture
# resampled to each size of a pair (resize_texture), every filter run on both, and a Markdown table of the filter's own
# seconds (from the "Times:" report), the wall seconds, the peak memory (maximum resident set, from GNU time) and the
# ratios of the pair (filter seconds, peak memory). Each figure is the median of KIV_SIZE_RUNS runs (default 3): a
# first run of a few milliseconds can take five times its usual time.
#
# usage: bench/sizes.sh [filter ...]          (default: kivbi kivtri kivbox box lanczos3)
# environment:
#   KIV_SIZE_PAIRS   pairs "WxH:WxH" (default "211x211:256x256 768x768:1024x1024 1000x600:1024x1024 3000x3000:4096x4096")
#   KIV_SIZE_MODEL   the model folder with model.obj and texture.png (default ../shared/models/milk_truck)
#   KIV_SIZE_RUNS    runs per filter and size (default 3)
#   KIV_BUILD        the build folder (default build/); kiv and resize_texture are built there
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KIV_BUILD:-$root/build}"
pairs="${KIV_SIZE_PAIRS-211x211:256x256 768x768:1024x1024 1000x600:1024x1024 3000x3000:4096x4096}"
model_dir="${KIV_SIZE_MODEL:-$root/../shared/models/milk_truck}"
runs="${KIV_SIZE_RUNS:-3}"
if [ $# -gt 0 ]; then filters=("$@"); else filters=(kivbi kivtri kivbox box lanczos3); fi
if [ ! -x /usr/bin/time ]; then
  echo "bench/sizes.sh needs GNU time (Debian package 'time'; tools/setup.sh installs it)" >&2
  exit 1
fi
[ -f "$model_dir/model.obj" ] && [ -f "$model_dir/texture.png" ] || { echo "no model.obj and texture.png in $model_dir" >&2; exit 1; }
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target kiv resize_texture -j "$(nproc)" >/dev/null
work="$build/bench-sizes"
mkdir -p "$work/inputs"
scratch="$work/scratch"

# once <size> <filter>: prints "filter-seconds wall-seconds peak-MB" of one run.
once() {
  local texture="$work/inputs/$(basename "$model_dir")-$1.png"
  [ -f "$texture" ] || "$build/resize_texture" "$model_dir/texture.png" "$texture" "${1%x*}" "${1#*x}" >/dev/null
  rm -rf "$scratch" && mkdir -p "$scratch"
  (cd "$scratch" && /usr/bin/time -f "%e %M" -o "$work/time.txt" "$build/kiv" "$model_dir/model.obj" "$texture" "$2" \
    >"$work/output.txt" 2>&1) || { echo "- - -"; return; }
  local seconds wall peak
  seconds=$(awk -F'\t' -v f="$2" 'report && $2 == f { print $1; exit } /^Times:$/ { report = 1 }' "$work/output.txt")
  read -r wall peak < <(tail -n 1 "$work/time.txt")
  echo "$seconds $wall $(awk -v kb="$peak" 'BEGIN { printf "%.0f", kb / 1024 }')"
}

# run <size> <filter>: the median of each figure over the runs.
run() {
  local results=() k
  for ((k = 0; k < runs; ++k)); do results+=("$(once "$1" "$2")"); done
  for column in 1 2 3; do
    printf "%s\n" "${results[@]}" | awk -v c=$column '{ print $c }' | sort -g | awk '{ v[NR] = $1 } END { printf "%s ", v[int((NR + 1) / 2)] }'
  done
  echo
}

echo "| filter | size | filter s | wall s | peak MB | next power of two | filter s | wall s | peak MB | time ratio | memory ratio |"
echo "|---|---|---:|---:|---:|---|---:|---:|---:|---:|---:|"
for pair in $pairs; do
  size=${pair%%:*} power=${pair##*:}
  for filter in "${filters[@]}"; do
    read -r s1 w1 m1 _ < <(run "$size" "$filter")
    read -r s2 w2 m2 _ < <(run "$power" "$filter")
    ratios=$(awk -v a="$s1" -v b="$s2" -v c="$m1" -v d="$m2" \
      'BEGIN { if (b > 0 && d > 0) printf "%.2f | %.2f", a / b, c / d; else printf "- | -" }')
    echo "| $filter | $size | $s1 | $w1 | $m1 | $power | $s2 | $w2 | $m2 | $ratios |"
  done
done
rm -rf "$scratch"
