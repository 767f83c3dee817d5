#!/usr/bin/env bash
# Sets up and builds kiv, then runs it on the bundled sample; the levels land in build/sample-run/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh"
out="$root/build/sample-run"
mkdir -p "$out"
cd "$out"
"$root/build/kiv" "$root/data/sample.obj" "$root/data/sample.png" "$@"
echo "Levels written to $out"
