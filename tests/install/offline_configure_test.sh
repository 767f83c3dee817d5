#!/usr/bin/env bash
# Configures a copy of the sources that has no viewer npm packages, with -DKIV_WITH_VIEWER=OFF and no node or npm
# on the PATH, as a machine without the network would; then checks that the same copy configured with the viewer
# fails with a message naming the option. Usage: offline_configure_test.sh <cmake> <source-dir>
set -euo pipefail
cmake="$1" source="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The tracked sources only: no viewer/node_modules, no build folders.
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$source" && git ls-files -z | xargs -0 tar -cf - 2>/dev/null) | (mkdir -p "$work/src" && tar -xf - -C "$work/src")
else
  (cd "$source" && tar -cf - --exclude=./viewer/node_modules --exclude='./build*' .) | (mkdir -p "$work/src" && tar -xf - -C "$work/src")
fi
test ! -e "$work/src/viewer/node_modules" || { echo "the copy holds the viewer's npm packages"; exit 1; }
# A PATH with cmake's own folder and the system's, but no node or npm.
bin="$work/bin"
mkdir -p "$bin"
for tool in "$cmake" $(command -v c++ g++ gcc cc make ld as ar ranlib pkg-config 2>/dev/null); do
  ln -sf "$(readlink -f "$tool")" "$bin/$(basename "$tool")"
done
if ! PATH="$bin" "$cmake" -S "$work/src" -B "$work/off" -DKIV_WITH_VIEWER=OFF -DKIV_TESTS=OFF -DKIV_BENCH=OFF \
    >"$work/off.log" 2>&1; then
  cat "$work/off.log"; echo "configuring without the viewer failed"; exit 1
fi
if PATH="$bin" "$cmake" -S "$work/src" -B "$work/on" -DKIV_TESTS=OFF -DKIV_BENCH=OFF >"$work/on.log" 2>&1; then
  echo "configuring with the viewer but without its packages succeeded"; exit 1
fi
grep -q "KIV_WITH_VIEWER=OFF" "$work/on.log" || { cat "$work/on.log"; echo "the failure does not name the option"; exit 1; }
echo "ok: configures without the viewer's packages, and says how when they are missing"
