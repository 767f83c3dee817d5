#!/usr/bin/env bash
# Installs the built kiv into a temporary prefix and checks that the installed program runs and
# names its version, beside its documents and, when the build made one, its manual page.
# Usage: install_test.sh <cmake> <build-dir> <version> [with-man|without-man]
set -euo pipefail
cmake="$1" build="$2" version="$3" man="${4:-with-man}"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
for doc in README.md LICENSE THIRD_PARTY_NOTICES.md copyright changelog.gz; do
  test -f "$prefix/share/doc/kiv/$doc" || { echo "$doc not installed"; exit 1; }
done
if [ "$man" = with-man ]; then
  page="$prefix/share/man/man1/kiv.1.gz"
  gzip -dc "$page" 2>/dev/null | grep -q '^\.TH KIV "1"' || { echo "no manual page kiv(1) at $page"; exit 1; }
fi
answer=$("$prefix/bin/kiv" --version)
[ "$answer" = "kiv $version" ] || { echo "installed kiv --version printed '$answer', not 'kiv $version'"; exit 1; }
echo "ok: $answer from $prefix/bin/kiv"
