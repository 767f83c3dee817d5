#!/usr/bin/env bash
# Builds the Debian package of the built kiv with CPack into a temporary folder and checks what a shipped package
# needs: its name and version, the runtime packages it declares, a real maintainer, the machine-readable copyright
# file, the compressed changelog of this version and, when the build made one, the manual page with its options
# list. Where lintian is installed, the package must have no lintian error.
# Usage: package_test.sh <cpack> <build-dir> <version> [with-man|without-man]
set -euo pipefail
cpack="$1" build="$2" version="$3" man="${4:-with-man}"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "$*"; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
package="$out/kiv_${version}_amd64.deb"
test -f "$package" || { echo "no $package"; ls "$out"; exit 1; }
depends=$(dpkg-deb -f "$package" Depends)
for needed in libpng16-16 libjpeg62-turbo libfreeimage3 libfreeimageplus3 libgomp1 libstdc++6; do
  case ", $depends" in
    *", $needed "*|*", $needed,"*|*", $needed") ;;
    *) fail "the package does not declare $needed: Depends: $depends" ;;
  esac
done
contents=$(dpkg-deb -c "$package")
grep -q '\./usr/bin/kiv$' <<<"$contents" || fail "the package holds no usr/bin/kiv"

# A maintainer one can write to: "Name <address>", not the placeholder of earlier builds.
maintainer=$(dpkg-deb -f "$package" Maintainer)
[[ "$maintainer" =~ ^[^\<]+\ \<[^@\>]+@[^@\>]+\>$ ]] || fail "Maintainer is not 'Name <address>': '$maintainer'"
case "$maintainer" in
  *localhost*|"kiv developers "*) fail "Maintainer is still the placeholder: '$maintainer'" ;;
esac

tree="$out/tree"
dpkg-deb -x "$package" "$tree"
doc="$tree/usr/share/doc/kiv"

# The copyright file in Debian's machine-readable format: the format line first, a Files stanza for kiv's own
# files, and for every licence a Files stanza names (also in "A and B" or "A or B") a paragraph with its text.
copyright="$doc/copyright"
test -f "$copyright" || fail "the package holds no usr/share/doc/kiv/copyright"
read -r first <"$copyright"
[ "$first" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
  fail "copyright does not start with the machine-readable format line: '$first'"
grep -qx 'Files: \*' "$copyright" || fail "copyright has no 'Files: *' stanza for kiv's own files"
unmatched=$(awk '
  /^$/ { files = 0; pending = ""; next }
  /^ / { if (pending != "") given[pending] = 1; pending = ""; next }
  { pending = "" }
  /^Files:/ { files = 1 }
  /^License:/ {
    pending = $0; sub(/^License: */, "", pending)
    if (files) { n = split(pending, names, / +(and|or) +/); for (i = 1; i <= n; i++) used[names[i]] = 1 }
  }
  END { for (name in used) if (!(name in given)) print name }' "$copyright")
[ -z "$unmatched" ] || fail "copyright names licences without a paragraph of their text: $unmatched"

# The changelog, gzip-compressed, its first entry this version's.
changelog="$doc/changelog.gz"
test -f "$changelog" || fail "the package holds no usr/share/doc/kiv/changelog.gz"
entry=$(gzip -dc "$changelog") || fail "changelog.gz does not decompress"
head -n1 <<<"$entry" | grep -Eq "^kiv \($version\) [a-z-]+; urgency=[a-z]+$" ||
  fail "the changelog does not start with an entry for kiv ($version): '$(head -n1 <<<"$entry")'"
grep -Eq '^ -- [^<]+ <[^>]+>  [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} [+-][0-9]{4}$' <<<"$entry" ||
  fail "the changelog entry has no ' -- maintainer  date' line"

# The manual page, as man shows it: an OPTIONS section whose entries start with the option, --format among them.
page="$tree/usr/share/man/man1/kiv.1.gz"
if [ "$man" = with-man ]; then
  test -f "$page" || fail "the package holds no usr/share/man/man1/kiv.1.gz"
  if command -v man >/dev/null; then
    shown=$(LC_ALL=C MANWIDTH=80 man -l "$page" 2>&1) || fail "man -l $page failed: $shown"
  else
    shown=$(gzip -dc "$page" | LC_ALL=C groff -man -Tascii -P-cbou 2>&1) || fail "groff cannot render $page: $shown"
  fi
  awk '/^OPTIONS$/ { options = 1 } options && /^ +--format( |$)/ { found = 1 } END { exit !found }' <<<"$shown" ||
    fail "the manual page shows no --format entry under OPTIONS:"$'\n'"$shown"
else
  echo "note: the build has no manual page (help2man was not found)"
fi

# lintian, where installed (it is not among the packages tools/setup.sh installs): no errors; warnings are shown.
if command -v lintian >/dev/null; then
  findings=$(lintian --pedantic "$package" 2>&1 | grep -v 'running with root privileges' || true)
  [ -z "$findings" ] || echo "$findings"
  ! grep -q '^E: ' <<<"$findings" || fail "lintian reports errors"
fi
echo "ok: $(basename "$package"), Maintainer: $maintainer, Depends: $depends"
