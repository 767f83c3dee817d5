#!/usr/bin/env bash
# Installs the built kiv into a temporary prefix and checks that the installed program runs and
# names its version. Usage: install_test.sh <cmake> <build-dir> <version>
set -euo pipefail
cmake="$1" build="$2" version="$3"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
for doc in README.md LICENSE THIRD_PARTY_NOTICES.md; do
  test -f "$prefix/share/doc/kiv/$doc" || { echo "$doc not installed"; exit 1; }
done
answer=$("$prefix/bin/kiv" --version)
[ "$answer" = "kiv $version" ] || { echo "installed kiv --version printed '$answer', not 'kiv $version'"; exit 1; }
echo "ok: $answer from $prefix/bin/kiv"
