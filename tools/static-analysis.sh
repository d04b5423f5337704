#!/usr/bin/env bash
# Static analysis of Tarnwick's own code, failing on any finding:
#   clang-tidy (checks in .clang-tidy) on app/ core/ link/ ptt/ platform/
#   testbed/ tools/ bench/;
#   cppcheck (tools/cppcheck-suppressions.txt) on those and on tests/.
# Both read the compile commands of the native build (build/linux), which is
# configured first if it is not there yet.
#
# clang-tidy sees only the files of the native (Linux) build: the
# *_win32.cpp files need the Windows headers, which the native clang-tidy
# does not have.
# cppcheck needs no system headers and checks them as well, for Windows.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/linux
jobs=${JOBS:-$(nproc)}
if [ ! -f "$build/compile_commands.json" ]; then
  cmake --preset linux >/dev/null
fi

own_sources() {  # the project's own .cpp files of the native build
  grep -o '"file": *"[^"]*"' "$build/compile_commands.json" | sed 's/.*"\([^"]*\)"$/\1/' |
    grep -E "/(app|core|link|ptt|platform|testbed|tools|bench)/[^/]+\.cpp$" | sort -u
}

failed=0

echo "== clang-tidy"
# One process per file: clang-tidy 14's analyzer, given several files in one
# run, carries va_list state from one file into the next and then reports
# Print's started va_list as uninitialised.
# Its count of warnings generated (in system headers, not shown) is noise.
if ! own_sources | xargs -P "$jobs" -n 1 clang-tidy -p "$build" --quiet 2>&1 |
    { grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' || true; }; then
  echo "clang-tidy: findings above"
  failed=1
fi

echo "== cppcheck"
# shellcheck disable=SC2054  # the commas belong to --enable's value
common=(--enable=warning,style,performance,portability --inconclusive --std=c++17
        --inline-suppr --suppressions-list=tools/cppcheck-suppressions.txt
        --error-exitcode=1 --quiet -j "$jobs"
        --template='{file}:{line}:{column}: {severity}: {message} [{id}]')
if ! cppcheck "${common[@]}" --project="$build/compile_commands.json" --library=posix \
    --library=googletest --file-filter='app/*' --file-filter='core/*' --file-filter='link/*' \
    --file-filter='ptt/*' --file-filter='platform/*' --file-filter='testbed/*' \
    --file-filter='tools/*' --file-filter='bench/*' --file-filter='tests/*'; then
  failed=1
fi
# The Windows platform layer and testbed, and the fuzz harnesses (built only
# with clang).
if ! cppcheck "${common[@]}" --platform=win64 --library=windows -D_WIN32 -I . \
    platform/*_win32.cpp testbed/*_win32.cpp; then
  failed=1
fi
if ! cppcheck "${common[@]}" --library=posix -I . tests/fuzz/*.cpp; then
  failed=1
fi

if [ "$failed" -ne 0 ]; then
  echo "static analysis: findings (see above)"
  exit 1
fi
echo "static analysis: clean"
