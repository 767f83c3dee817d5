#!/usr/bin/env bash
# Sets up and builds kiv, runs every test (the viewer page's in chromium among them), then runs the suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer and fuzzes the OBJ reader and the texture
# decoders for half a minute each (KIV_FUZZ_SECONDS sets another length).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# The viewer page's test runs in a real browser: installed here, and a missing one fails rather than skips.
export KIV_WITH_BROWSER=1 KIV_REQUIRE_BROWSER=1
bash "$root/tools/setup.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure -j "$(nproc)")

# The real-model runs (label "slow") take minutes even without instrumentation, so they are not built
# here; the sanitizers see the same code paths on the small inputs of the fast tier. This build optimises less
# (-O1, which the sanitizers are made for, compiles in about half the time of -O3) and keeps the assertions.
bash "$root/tools/setup.sh" "$root/build-sanitize" -DKIV_SANITIZE=address,undefined -DKIV_BENCH=OFF -DKIV_SLOW_TESTS=OFF \
  -DCMAKE_CXX_FLAGS_RELEASE=-O1 -DCMAKE_C_FLAGS_RELEASE=-O1
(cd "$root/build-sanitize" && ctest --output-on-failure -j "$(nproc)" -L fast)

if [ -x "$root/tools/fuzz.sh" ]; then
  bash "$root/tools/fuzz.sh" "${KIV_FUZZ_SECONDS:-30}"
fi
