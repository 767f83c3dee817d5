#!/usr/bin/env bash
# Builds the Debian package of the built kiv with CPack into a temporary folder and checks that it is named for its
# version and declares the runtime packages kiv needs. Usage: package_test.sh <cpack> <build-dir> <version>
set -euo pipefail
cpack="$1" build="$2" version="$3"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
package="$out/kiv_${version}_amd64.deb"
test -f "$package" || { echo "no $package"; ls "$out"; exit 1; }
depends=$(dpkg-deb -f "$package" Depends)
for needed in libpng16-16 libjpeg62-turbo libfreeimage3 libfreeimageplus3 libgomp1 libstdc++6; do
  case ", $depends" in
    *", $needed "*|*", $needed,"*|*", $needed") ;;
    *) echo "the package does not declare $needed: Depends: $depends"; exit 1 ;;
  esac
done
contents=$(dpkg-deb -c "$package")
grep -q '\./usr/bin/kiv$' <<<"$contents" || { echo "the package holds no usr/bin/kiv"; exit 1; }
echo "ok: $(basename "$package"), Depends: $depends"
