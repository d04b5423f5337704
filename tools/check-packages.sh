#!/usr/bin/env bash
# Checks the packages that tools/package.sh left in build/packages:
#
#   bash tools/check-packages.sh
#
# Windows ZIP: holds exactly tarnwick.exe, qvnsim.exe and the three texts,
# and both programs pass tools/check-windows-exe.sh (imports, version
# resource); README.txt is plain text with CRLF line endings, without the
# manual's sections that need the sources.
# Debian package: lintian finds no error (E:) in it, and shows what else it
# finds; installed into this machine with dpkg, `tarnwick` run once on its
# usage path (it must print the usage text byte for byte and exit 0),
# `qvnsim` found, the documents and both manual pages in place (the pages
# without a warning from man, the changelog of this version); then removed
# with dpkg -r and checked gone. This replaces, then removes, any tarnwick
# package already installed. Needs root (or sudo) for dpkg.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=build/packages/tarnwick-$version-win64.zip
deb=build/packages/tarnwick_${version}_$(dpkg --print-architecture).deb

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# The ZIP's manual: every line ended by CR LF, no Markdown left, and nothing
# of the sections that need the sources. Once README.md has its section
# "From source", the rest names no file of the sources or of a build either.
check_readme_txt() {
  local text=$1
  local lines crlf
  lines=$(tr -cd '\n' <"$text" | wc -c)
  crlf=$(grep -c $'\r$' "$text" || true)
  if [ "$lines" -lt 100 ] || [ "$crlf" -ne "$lines" ] || [ -n "$(tail -c 1 "$text" | tr -d '\n')" ]; then
    fail "README.txt: $crlf of $lines lines end with CR LF, or the text is cut short"
  fi
  if grep -nE '^(#|\|)|`|\]\(' "$text"; then
    fail "README.txt: Markdown left in the lines above"
  fi
  if grep -q '^## From source' README.md; then
    if grep -n -E '^From source|tools/|docs/|tests/|bench/|build/|modemsim|\.md\b' "$text"; then
      fail "README.txt: the lines above are about the sources, which the ZIP lacks"
    fi
  else
    echo "   (README.md has no section \"## From source\" yet: its developer parts stay in README.txt)"
  fi
  echo "   README.txt: $lines lines, each ended by CR LF, no Markdown"
}

fail() {
  echo "$1" >&2
  exit 1
}

work=$(mktemp -d)
installed=no
cleanup() {
  if [ "$installed" = yes ]; then
    as_root dpkg -r tarnwick >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== $zip"
folder=tarnwick-$version-win64
listing=$(unzip -Z1 "$zip" | sort)
expected=$(printf '%s\n' "$folder/CHANGELOG.txt" "$folder/LICENSE.txt" "$folder/README.txt" \
  "$folder/qvnsim.exe" "$folder/tarnwick.exe" | sort)
if [ "$listing" != "$expected" ]; then
  echo "unexpected contents:" >&2
  echo "$listing" >&2
  exit 1
fi
unzip -q "$zip" -d "$work/zip"
bash tools/check-windows-exe.sh --version "$version" "$work/zip/$folder/tarnwick.exe" \
  "$work/zip/$folder/qvnsim.exe"
check_readme_txt "$work/zip/$folder/README.txt"

echo "== $deb"
echo "-- lintian"
lintian --pedantic --display-info "$deb" 2>&1 | grep -v 'running with root privileges' |
  tee "$work/lintian.out" | sed 's/^/   | /'
if grep -q '^E:' "$work/lintian.out"; then
  fail "lintian finds errors in the package"
fi
echo "   no error (E:) tag"
as_root dpkg -i "$deb"
installed=yes
dpkg -s tarnwick | grep -E '^(Status|Version):'
[ "$(dpkg-query -W -f '${Version}' tarnwick)" = "$version" ]

usage=$'Missing paramters - you need COM port and IP Address and rigctl port of QVN, eg \r\n'
usage+=$'  Tarnwick com10 192.168.1.64:4532\r\n\r\nPress any key to exit\r\n'
echo "-- tarnwick </dev/null (the usage path)"
set +e
tarnwick </dev/null >"$work/usage.out" 2>"$work/usage.err"
code=$?
set -e
tr -d '\r' <"$work/usage.out" | sed 's/^/   | /'
echo "   exit status $code"
printf '%s' "$usage" >"$work/usage.expected"
if [ "$code" -ne 0 ] || ! cmp -s "$work/usage.out" "$work/usage.expected" ||
  [ -s "$work/usage.err" ]; then
  echo "tarnwick's usage path is not as expected" >&2
  exit 1
fi
[ "$(command -v tarnwick)" = /usr/bin/tarnwick ]
[ "$(command -v qvnsim)" = /usr/bin/qvnsim ]
for doc in README.md CHANGELOG.md copyright changelog.gz; do
  [ -s "/usr/share/doc/tarnwick/$doc" ]
done
zcat /usr/share/doc/tarnwick/changelog.gz >"$work/changelog"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
  fail "the Debian changelog's newest entry is not $version"
for page in tarnwick qvnsim; do
  [ "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz" ] || fail "man $page: not found"
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
    "/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done
echo "   /usr/bin/tarnwick, /usr/bin/qvnsim, /usr/share/doc/tarnwick/ and both manual pages are in place"

as_root dpkg -r tarnwick
installed=no
if dpkg-query -W -f '${Status}' tarnwick 2>/dev/null | grep -q 'ok installed' ||
  [ -e /usr/bin/tarnwick ] || [ -e /usr/bin/qvnsim ] || [ -e /usr/share/doc/tarnwick ] ||
  [ -e /usr/share/man/man1/tarnwick.1.gz ] || [ -e /usr/share/man/man1/qvnsim.1.gz ]; then
  echo "dpkg -r left tarnwick behind" >&2
  exit 1
fi
echo "   removed: no tarnwick files left"
echo "== packages: all checks passed"
