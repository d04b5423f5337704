#!/usr/bin/env bash
# Sets up a Debian machine and runs every test: the native build, the
# Windows build under Wine, and the unit tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

jobs=$(nproc)
run_preset() {
  local preset=$1
  echo "== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" "${@:2}"
}

run_preset linux
run_preset windows
run_preset linux-tsan -L unit
