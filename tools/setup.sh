#!/usr/bin/env bash
# Installs the Debian packages kiv needs (apt-get runs only when one is missing) and the viewer page's npm packages
# (npm runs only when viewer/package-lock.json changed), then configures and builds.
# Usage: tools/setup.sh [build-dir [extra cmake arguments...]]; the default build dir is build/.
# KIV_WITH_BROWSER=1 also installs Debian's chromium, for the test that opens the viewer page.
set -euo pipefail

# libsuitesparse-dev serves only the opt-in build with CHOLMOD (-DKIV_WITH_CHOLMOD=ON); Eigen factorises otherwise.
packages=(g++ make cmake libgtest-dev libbenchmark-dev
          libpng-dev libjpeg62-turbo-dev libfreeimage-dev libfreeimageplus-dev libtiff-dev libcxxopts-dev
          libeigen3-dev libmetis-dev libopenblas-serial-dev libopenblas-pthread-dev libassimp-dev rapidjson-dev libastcenc-dev libsuitesparse-dev
          clang libclang-rt-14-dev
          time strace
          help2man groff-base)
# help2man writes the manual page kiv.1 from kiv --help; groff-base renders it for the package test.
# Node.js and npm bundle the viewer's script; a machine that has them from elsewhere keeps its own.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
[ "${KIV_WITH_BROWSER:-0}" = 1 ] && packages+=(chromium)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

root=$(cd "$(dirname "$0")/.." && pwd)
# three.js, esbuild and playwright-core at the versions the lock file pins.
viewer="$root/viewer"
if ! cmp -s "$viewer/package-lock.json" "$viewer/node_modules/.kiv-installed-lock.json"; then
  (cd "$viewer" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$viewer/package-lock.json" "$viewer/node_modules/.kiv-installed-lock.json"
fi

build="${1:-$root/build}"
shift || true
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
