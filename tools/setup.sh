#!/usr/bin/env bash
# Installs the Debian packages kiv needs (apt-get runs only when one is missing), then configures and
# builds. Usage: tools/setup.sh [build-dir [extra cmake arguments...]]; the default build dir is build/.
set -euo pipefail

packages=(g++ make cmake libgtest-dev libbenchmark-dev
          libpng-dev libjpeg62-turbo-dev libfreeimage-dev libfreeimageplus-dev libcxxopts-dev
          libsuitesparse-dev libmetis-dev libopenblas-pthread-dev libassimp-dev
          clang libclang-rt-14-dev
          time)

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
build="${1:-$root/build}"
shift || true
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
