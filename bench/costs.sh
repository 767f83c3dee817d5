#!/usr/bin/env bash
# Runs kiv on the inputs whose cost once grew without bound (overlaid copies of a triangle, a train of identical
# wagons, a texture one texel high, a tight address space for kivtri's dense factorisations) and on the real models
# as a check that ordinary runs keep their cost, one run each, and prints a Markdown table: wall seconds, peak
# memory (GNU time) and exit status. Set against another build's kiv to compare:
#
#   bench/costs.sh                      the kiv of build/ (built first)
#   bench/costs.sh /path/to/other/kiv   another kiv, on the same inputs
#
#   KIV_MODELS_DIR     the real models' folder (default ../shared/models beside the repository; skipped if missing)
#   KIV_COSTS_TIMEOUT  seconds before one run is stopped (default 600)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
cmake --build "$build" --target kiv make_sample make_hard_model -j "$(nproc)" >/dev/null
kiv="${1:-$build/kiv}"
models="${KIV_MODELS_DIR:-$root/../shared/models}"
limit="${KIV_COSTS_TIMEOUT:-600}"
work="$build/bench-costs"
mkdir -p "$work/inputs"
inputs="$work/inputs"

# The inputs, made once: 512 and 64 copies of one triangle, the stacked hard model, a texture of 8193 x 1 texels.
if [ ! -f "$inputs/.made" ]; then
  for copies in 512 64; do
    { printf 'v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0.01 0.01\nvt 0.99 0.01\nvt 0.01 0.99\n'
      for ((k = 0; k < copies; ++k)); do printf 'f 1/1 2/2 3/3\n'; done; } > "$inputs/copies$copies.obj"
  done
  "$build/make_sample" "$inputs" 1024 >/dev/null
  "$build/make_hard_model" "$inputs" stacked 1024 >/dev/null
  { printf 'P6\n8193 1\n255\n'; head -c $((3 * 8193)) /dev/urandom; } > "$inputs/thin.ppm"
  touch "$inputs/.made"
fi

echo "| input | filters | wall s | peak MB | status |"
echo "|---|---|---:|---:|---:|"
run() {  # run <label> <address-space limit in kB, or 0> <kiv arguments...>
  local label=$1 memory=$2
  shift 2
  rm -rf "$work/out"
  local status=0
  ( [ "$memory" -gt 0 ] && ulimit -v "$memory"
    cd "$inputs" && /usr/bin/time -f "%e %M" -o "$work/time" timeout "$limit" "$kiv" -o "$work/out" "$@" >"$work/log" 2>&1 ) ||
    status=$?
  local filters="${*:3}"
  awk -v label="$label" -v filters="$filters" -v status="$status" \
    'END { printf "| %s | %s | %.2f | %.0f | %s |\n", label, filters, $1, $2 / 1024, status }' "$work/time"
}
run "512 copies of one triangle, 1024²" 0 copies512.obj sample.png kivbox
run "64 copies of one triangle, 1024²" 0 copies64.obj sample.png kivbi
run "stacked-1024" 0 stacked.obj stacked.png kivbox kivbi
run "8193 x 1 texture" 0 sample.obj thin.ppm kivbox
run "8193 x 1 texture" 0 sample.obj thin.ppm boxig
run "bundled sample under ulimit -v 200000" 200000 "$root/data/sample.obj" "$root/data/sample.png" kivtri
if [ -d "$models/milk_truck" ]; then
  run "milk_truck" 0 "$models/milk_truck/model.obj" "$models/milk_truck/texture.png" kivbox kivbi
  run "duck" 0 "$models/duck/model.obj" "$models/duck/texture.png" kivbox kivbi kivtri
fi
