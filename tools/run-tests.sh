#!/usr/bin/env bash
# Sets up and builds kiv, then runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh"
cd "$root/build"
ctest --output-on-failure -j "$(nproc)"
