#!/usr/bin/env bash
# Times every filter of kiv on generated model + texture pairs and on the real models, and prints a
# Markdown table: the filter's own seconds (from the "Times:" report), the wall seconds of the whole
# run (reading, filtering, writing) and the peak memory (maximum resident set, from GNU time).
#
# usage: bench/run_bench.sh [filter ...]       (default: box tent lanczos3 boxig kivbox kivbi kivtri kivbic kivtric)
# environment:
#   KIV_BENCH_SIZES    generated texture sizes (default "256 512 1024 2048"; "" for none)
#   KIV_BENCH_MODELS   real models under the models folder (default "milk_truck duck"; "" for none)
#   KIV_BENCH_HARD     kinds of generated hard models (make_hard_model; default none, e.g. "atlas slivers pleated")
#   KIV_BENCH_HARD_SIZES  their texture sizes (default "256 1024 2048")
#   KIV_MODELS_DIR     the models folder (default: ../shared/models beside the repository)
#   KIV_BENCH_TIMEOUT  seconds before one run is stopped (default 1800)
#   KIV_BUILD          the build folder (default build/); kiv and make_sample are built there
# A quick run: KIV_BENCH_SIZES="256 512" KIV_BENCH_MODELS="" bench/run_bench.sh box boxig
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KIV_BUILD:-$root/build}"
sizes="${KIV_BENCH_SIZES-256 512 1024 2048}"
models="${KIV_BENCH_MODELS-milk_truck duck}"
hard="${KIV_BENCH_HARD-}"
hard_sizes="${KIV_BENCH_HARD_SIZES-256 1024 2048}"
models_dir="${KIV_MODELS_DIR:-$root/../shared/models}"
limit="${KIV_BENCH_TIMEOUT:-1800}"
if [ $# -gt 0 ]; then filters=("$@"); else filters=(box tent lanczos3 boxig kivbox kivbi kivtri kivbic kivtric); fi

if [ ! -x /usr/bin/time ]; then
  echo "bench/run_bench.sh needs GNU time (Debian package 'time'; tools/setup.sh installs it)" >&2
  exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target kiv make_sample make_hard_model -j "$(nproc)" >/dev/null

# The inputs: name, model, texture (generated ones are kept under the build folder).
work="$build/bench-run"
inputs=()
for size in $sizes; do
  dir="$work/inputs/sample-$size"
  if [ ! -f "$dir/sample.png" ]; then
    mkdir -p "$dir"
    "$build/make_sample" "$dir" "$size" >/dev/null
  fi
  inputs+=("sample-$size|$dir/sample.obj|$dir/sample.png")
done
for kind in $hard; do
  for size in $hard_sizes; do
    dir="$work/inputs/hard-$size"
    if [ ! -f "$dir/$kind.png" ]; then
      mkdir -p "$dir"
      "$build/make_hard_model" "$dir" "$kind" "$size" >/dev/null
    fi
    inputs+=("$kind-$size|$dir/$kind.obj|$dir/$kind.png")
  done
done
for model in $models; do
  dir="$models_dir/$model"
  if [ -f "$dir/model.obj" ] && [ -f "$dir/texture.png" ]; then
    inputs+=("$model|$dir/model.obj|$dir/texture.png")
  else
    echo "skipping $model: no $dir/model.obj and texture.png" >&2
  fi
done

# Each run gets an empty folder: kiv writes its levels into the working directory.
scratch="$work/scratch"
rm -rf "$scratch"
mkdir -p "$scratch"

echo "| input | texture | filter | filter s | wall s | peak MB | result |"
echo "|---|---|---|---:|---:|---:|---|"
# Each input's filter seconds, for the ratios of the bounded filters to their unconstrained ones at the end.
declare -A seconds_of
for input in "${inputs[@]}"; do
  IFS='|' read -r name model texture <<<"$input"
  for filter in "${filters[@]}"; do
    rm -f "$scratch"/*
    status=0
    (cd "$scratch" && /usr/bin/time -f "%e %M" -o "$work/time.txt" \
      timeout "$limit" "$build/kiv" "$model" "$texture" "$filter" >"$work/output.txt" 2>&1) || status=$?
    # GNU time puts "Command exited with non-zero status N" before its own line when the run failed.
    read -r wall peak_kb < <(tail -n 1 "$work/time.txt") || true
    size=$(sed -n 's/^Image is \([0-9]*x[0-9]*\) with.*/\1/p' "$work/output.txt" | head -n 1)
    # The report line of the filter: seconds, a tab, the name.
    seconds=$(awk -F'\t' -v f="$filter" 'report && $2 == f { print $1; exit } /^Times:$/ { report = 1 }' \
      "$work/output.txt")
    case $status in
      0) result="ok" ;;
      124) result="stopped after ${limit} s" ;;
      *) result="status $status: $(grep -m 1 '^Error:' "$work/output.txt" | cut -c 1-60 || true)" ;;
    esac
    peak_mb=$(awk -v kb="${peak_kb:-0}" 'BEGIN { printf "%.0f", kb / 1024 }')
    # A solve that ended without proving its error bound says so in its log line.
    if [ "$status" = 0 ] && grep -q "not proved" "$work/output.txt"; then result="ok, a bound not proved"; fi
    echo "| $name | ${size:-?} | $filter | ${seconds:--} | ${wall:--} | $peak_mb | $result |"
    seconds_of["$name|$filter"]="${seconds:-}"
  done
done

# The bounded filters against their unconstrained ones, where both ran.
ratios=""
for input in "${inputs[@]}"; do
  IFS='|' read -r name _ _ <<<"$input"
  for pair in kivbic:kivbi kivtric:kivtri; do
    bounded=${pair%%:*} plain=${pair##*:}
    b="${seconds_of[$name|$bounded]:-}" p="${seconds_of[$name|$plain]:-}"
    if [ -n "$b" ] && [ -n "$p" ]; then
      ratios+="| $name | $bounded / $plain | $(awk -v b="$b" -v p="$p" 'BEGIN { printf "%.2f", (p > 0 ? b / p : 0) }') |"$'\n'
    fi
  done
done
if [ -n "$ratios" ]; then
  echo
  echo "| input | filters | ratio of filter seconds |"
  echo "|---|---|---:|"
  printf "%s" "$ratios"
fi
rm -rf "$scratch"
