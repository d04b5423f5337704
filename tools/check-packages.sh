#!/usr/bin/env bash
# Checks the packages that tools/package.sh left in build/packages:
#
#   bash tools/check-packages.sh
#
# Windows ZIP: holds exactly tarnwick.exe, qvnsim.exe and the three texts,
# and both programs pass tools/check-windows-exe.sh (imports, version
# resource).
# Debian package: installed into this machine with dpkg, `tarnwick` run once
# on its usage path (it must print the usage text byte for byte and exit 0),
# `qvnsim` found, the documents in place; then removed with dpkg -r and
# checked gone. This replaces, then removes, any tarnwick package already
# installed. Needs root (or sudo) for dpkg.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=build/packages/tarnwick-$version-win64.zip
deb=build/packages/tarnwick_${version}_$(dpkg --print-architecture).deb

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
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

echo "== $deb"
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
for doc in README.md CHANGELOG.md copyright; do
  [ -s "/usr/share/doc/tarnwick/$doc" ]
done
echo "   /usr/bin/tarnwick, /usr/bin/qvnsim and /usr/share/doc/tarnwick/ are in place"

as_root dpkg -r tarnwick
installed=no
if dpkg-query -W -f '${Status}' tarnwick 2>/dev/null | grep -q 'ok installed' ||
  [ -e /usr/bin/tarnwick ] || [ -e /usr/bin/qvnsim ] || [ -e /usr/share/doc/tarnwick ]; then
  echo "dpkg -r left tarnwick behind" >&2
  exit 1
fi
echo "   removed: no tarnwick files left"
echo "== packages: all checks passed"
