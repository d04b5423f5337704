#!/usr/bin/env bash
# Checks the packages that tools/package.sh left in build/packages:
#
#   bash tools/check-packages.sh
#
# Windows ZIP: holds exactly tarnwick.exe, qvnsim.exe and the three texts,
# and both programs pass tools/check-windows-exe.sh (imports, version
# resource); README.txt is plain text with CRLF line endings, without the
# manual's sections that need the sources.
# Debian package: lintian finds no error (E:) or warning (W:) in it, and
# shows what else it finds; installed into this machine with dpkg,
# `tarnwick` run once on its usage path (it must print the usage text byte
# for byte and exit 0), `qvnsim` found, the documents and both manual pages
# in place (the pages without a warning from man, the changelog of this
# version); the service: the system user tarnwick in dialout,
# tarnwick@.service, which `systemd-analyze verify` takes without a word
# and whose start limit can be reached (StartLimitBurst times RestartSec
# below StartLimitIntervalSec), and the conffile /etc/tarnwick/example.conf, whose TARNWICK_ARGS, read as
# systemd reads it and with this check's own virtual port and loopback
# rigctld for the pairs, make with the unit's ExecStart= a command line that
# is run as the unit's User= (qvnsim too): banner, PTT keyed, and released
# on SIGTERM. Then removed with dpkg -r (the conffile stays), purged with
# dpkg -P, and checked gone; the user stays, as Debian leaves system users.
# This replaces, then purges, any tarnwick package already installed. Needs
# root (or sudo) for dpkg, and root for the service's run as its user.
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
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ "$installed" = yes ]; then
    as_root dpkg -P tarnwick >/dev/null 2>&1 || true
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
if grep -q '^[EW]:' "$work/lintian.out"; then
  fail "lintian finds errors or warnings in the package"
fi
echo "   no error (E:) or warning (W:) tag"
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

echo "-- the service: tarnwick@.service, /etc/tarnwick/example.conf, the user tarnwick"
unit=/usr/lib/systemd/system/tarnwick@.service
conf=/etc/tarnwick/example.conf
if [ ! -s "$unit" ] || [ ! -s "$conf" ]; then fail "the unit or the example settings are missing"; fi
dpkg-query -W -f '${Conffiles}\n' tarnwick | grep -q "^ $conf " || fail "$conf is no conffile"
id -nG tarnwick | grep -qw dialout || fail "no user tarnwick in the group dialout"
cp "$unit" "$work/tarnwick@ci.service"
systemd-analyze verify "$work/tarnwick@ci.service" >"$work/verify.out" 2>&1 || true
if [ -s "$work/verify.out" ]; then
  cat "$work/verify.out" >&2
  fail "systemd-analyze verify finds the above in tarnwick@ci.service"
fi
echo "   systemd-analyze verify tarnwick@ci.service: nothing to say"
# systemd-analyze does not weigh the start limit: starts RestartSec apart
# reach StartLimitBurst only if they all fit in StartLimitIntervalSec.
in_section() { sed -n "/^\[$1\]/,/^\[/s/^$2=//p" "$unit"; }
burst=$(in_section Unit StartLimitBurst) && interval=$(in_section Unit StartLimitIntervalSec)
restart=$(in_section Service RestartSec)
if ! [ "${burst:-0}" -gt 0 ] 2>/dev/null || ! [ $((burst * restart)) -lt "${interval:-0}" ]; then
  fail "start limit never reached: StartLimitBurst=$burst x RestartSec=$restart, StartLimitIntervalSec=$interval"
fi
echo "   start limit: $burst starts $restart s apart fit in StartLimitIntervalSec=$interval"
# TARNWICK_ARGS as systemd reads the file (comment lines skipped, the last
# assignment, quotes around the value taken off) and splits $TARNWICK_ARGS
# (at whitespace); its options kept, its pairs replaced by this check's own.
args=$(sed -n 's/^[[:space:]]*TARNWICK_ARGS=//p' "$conf" | tail -n 1)
args=${args#[\"\']} && args=${args%[\"\']}
read -r -a words <<<"$args"
options=() && others=0
for word in "${words[@]}"; do
  case $word in --*) options+=("$word") ;; *) others=$((others + 1)) ;; esac
done
if [ "$others" -lt 2 ] || [ $((others % 2)) -ne 0 ]; then fail "$conf: no pairs in TARNWICK_ARGS=$args"; fi
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "${exec_start% \$TARNWICK_ARGS}" != "$exec_start" ] || fail "ExecStart= does not end with \$TARNWICK_ARGS"
read -r -a command <<<"${exec_start% \$TARNWICK_ARGS}"
user=$(sed -n 's/^User=//p' "$unit")
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
name=ci$$
command+=("${options[@]}" "$name" "127.0.0.1:$port")
as_user=(setpriv --reuid="$user" --regid="$user" --init-groups)
rig() { rigctl -m 2 -r "127.0.0.1:$port" t 2>/dev/null; }
keyed() { [ "$(rig)" = "$1" ]; }
wait_for() { # SECONDS CONDITION...
  local end=$((SECONDS + $1))
  until "${@:2}"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}
rigctld -m 1 -P RIG -T 127.0.0.1 -t "$port" >/dev/null 2>&1 &
pids+=($!)
mkfifo "$work/keys"
"${as_user[@]}" qvnsim "$name" <"$work/keys" >"$work/qvnsim.out" 2>&1 &
pids+=($!)
exec 3>"$work/keys"
wait_for 10 rig >/dev/null || fail "rigctld did not start"
wait_for 10 grep -qsx ready "$work/qvnsim.out" || fail "qvnsim did not start"
echo "   as $user: ${command[*]}"
"${as_user[@]}" "${command[@]}" </dev/null >"$work/service.out" 2>&1 &
service=$!
pids+=("$service")
banner() { grep -qs "^Tarnwick running" "$work/service.out"; }
wait_for 10 banner || { cat "$work/service.out" >&2; fail "no banner"; }
grep -q "^Connected to HAMLIB socket Addr 127.0.0.1:$port" "$work/service.out" || fail "not connected"
echo on >&3
wait_for 5 keyed 1 || fail "PTT on did not key the rig"
kill -TERM "$service"
set +e
wait "$service"
code=$?
set -e
tr -d '\r' <"$work/service.out" | sed 's/^/   | /'
[ "$code" -eq $((128 + 15)) ] || fail "ended with status $code after SIGTERM"
keyed 0 || fail "the rig is still keyed after SIGTERM"
echo quit >&3
exec 3>&-
echo "   banner, PTT keyed and released on SIGTERM"

as_root dpkg -r tarnwick
if dpkg-query -W -f '${Status}' tarnwick 2>/dev/null | grep -q 'ok installed' ||
  [ -e /usr/bin/tarnwick ] || [ -e /usr/bin/qvnsim ] || [ -e /usr/share/doc/tarnwick ] ||
  [ -e /usr/share/man/man1/tarnwick.1.gz ] || [ -e /usr/share/man/man1/qvnsim.1.gz ] ||
  [ -e "$unit" ] || [ ! -e "$conf" ]; then
  echo "dpkg -r left tarnwick behind, or took its conffile" >&2
  exit 1
fi
as_root dpkg -P tarnwick
installed=no
if dpkg-query -W tarnwick >/dev/null 2>&1 || [ -e /etc/tarnwick ]; then
  fail "dpkg -P left tarnwick or /etc/tarnwick behind"
fi
getent passwd tarnwick >/dev/null || fail "dpkg -P removed the user tarnwick"
echo "   removed and purged: no tarnwick files left; the user tarnwick stays"
echo "== packages: all checks passed"
