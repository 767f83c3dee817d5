#!/usr/bin/env bash
# Fuzzes the OBJ reader with libFuzzer for the given number of seconds (default 60).
# Longer runs: tools/fuzz.sh 3600. Findings are written to build-fuzz/findings/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds="${1:-60}"
out="$root/build-fuzz"
mkdir -p "$out/corpus" "$out/findings"

clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root/src" \
  "$root/tests/fuzz/obj_reader_fuzz.cpp" "$root/src/mesh/obj_model.cpp" "$root/src/mesh/texel_coverage.cpp" \
  "$root/src/base/array_storage.cpp" \
  -o "$out/obj_reader_fuzz"

# The committed seeds are copied so the run never changes the repository.
cp -n "$root"/tests/fuzz/corpus/* "$out/corpus/" 2>/dev/null || true
"$out/obj_reader_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$out/findings/" -print_final_stats=1 "$out/corpus" 2>&1 | tail -n 15
echo "Fuzzing the OBJ reader for ${seconds}s found nothing."
