#!/usr/bin/env bash
# Checks Windows executables before they ship:
#
#   bash tools/check-windows-exe.sh [--version X.Y.Z] EXE...
#
# For each EXE: it is a 64-bit console program; it imports only DLLs that
# every Windows installation has (no MinGW runtime DLL such as
# libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll), and neither
# user32.dll nor gdi32.dll, since a console program that loads either gets no
# log-off or shut-down event, and Tarnwick releases PTT on those; it carries a
# version resource whose product name is Tarnwick and whose file and product
# versions are the project's (by default the VERSION in the top
# CMakeLists.txt). Prints what it found and exits 1 if anything is wrong.
# Needs the MinGW-w64 binutils (objdump, windres).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

objdump=x86_64-w64-mingw32-objdump
windres=x86_64-w64-mingw32-windres

# DLLs that come with every Windows installation.
system_dlls=" kernel32.dll msvcrt.dll ws2_32.dll advapi32.dll user32.dll gdi32.dll shell32.dll"
system_dlls+=" ole32.dll ntdll.dll "
# Windows DLLs that would keep the log-off and shut-down events from the
# console control handler.
console_event_blockers=" user32.dll gdi32.dll "

version=
if [ "${1:-}" = "--version" ]; then
  version=$2
  shift 2
fi
if [ -z "$version" ]; then
  version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
fi
if [ $# -eq 0 ] || [ -z "$version" ]; then
  echo "usage: bash tools/check-windows-exe.sh [--version X.Y.Z] EXE..." >&2
  exit 2
fi
IFS=. read -r major minor patch <<<"$version"

status=0
fail() {
  echo "   FAIL: $*"
  status=1
}

for exe in "$@"; do
  echo "== $exe"
  if ! headers=$("$objdump" -p "$exe" 2>&1); then
    fail "objdump cannot read it: $headers"
    continue
  fi

  # 64-bit console program.
  grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a 64-bit Windows executable"
  subsystem=$(awk '$1 == "Subsystem" {print $2}' <<<"$headers")
  if [ "$subsystem" = "00000003" ]; then
    echo "   console program (subsystem 3)"
  else
    fail "subsystem $subsystem, not a console program (3)"
  fi

  # Imports.
  dlls=$(awk '/DLL Name:/ {print $3}' <<<"$headers")
  if [ -z "$dlls" ]; then
    fail "no imported DLL found"
  fi
  for dll in $dlls; do
    lower=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
    if [[ "$console_event_blockers" == *" $lower "* ]]; then
      fail "imports $dll: the console handler would get no log-off or shut-down event"
    elif [[ "$system_dlls" == *" $lower "* ]]; then
      echo "   imports $dll (part of Windows)"
    else
      fail "imports $dll, which Windows does not ship"
    fi
  done

  # The resource directory (data-directory entry 2) must be present.
  resource=$(awk '$1 == "Entry" && $2 == "2" {print $4}' <<<"$headers")
  if [ -n "$resource" ] && [ "$((16#$resource))" -gt 0 ]; then
    echo "   resource directory of $((16#$resource)) bytes"
  else
    fail "no resource directory"
  fi

  # The version resource, read back from the executable.
  if ! rc=$("$windres" -i "$exe" -O rc 2>&1); then
    fail "windres cannot read its resources: $rc"
    continue
  fi
  value() { sed -n "s/^ *VALUE \"$1\", \"\(.*\)\"\r\{0,1\}$/\1/p" <<<"$rc"; }
  fileversion=$(sed -n 's/^ *FILEVERSION \(.*\)$/\1/p' <<<"$rc" | tr -d ' \r')
  productversion=$(sed -n 's/^ *PRODUCTVERSION \(.*\)$/\1/p' <<<"$rc" | tr -d ' \r')
  for field in ProductName FileDescription FileVersion ProductVersion CompanyName \
               LegalCopyright OriginalFilename; do
    echo "   $field: $(value "$field")"
  done
  echo "   FILEVERSION $fileversion, PRODUCTVERSION $productversion"
  [ "$(value ProductName)" = "Tarnwick" ] || fail "ProductName is not Tarnwick"
  [ -n "$(value FileDescription)" ] || fail "no FileDescription"
  [ "$(value FileVersion)" = "$version" ] || fail "FileVersion is not $version"
  [ "$(value ProductVersion)" = "$version" ] || fail "ProductVersion is not $version"
  [ "$(value OriginalFilename)" = "$(basename "$exe")" ] ||
    fail "OriginalFilename is not $(basename "$exe")"
  [ "$fileversion" = "$major,$minor,$patch,0" ] || fail "FILEVERSION is not $major,$minor,$patch,0"
  [ "$productversion" = "$major,$minor,$patch,0" ] ||
    fail "PRODUCTVERSION is not $major,$minor,$patch,0"
done

if [ "$status" -eq 0 ]; then
  echo "== Windows executables: all checks passed"
else
  echo "== Windows executables: checks FAILED"
fi
exit "$status"
