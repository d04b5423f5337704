#!/usr/bin/env bash
# Sets up a Debian machine and runs every test: the native build, the
# Windows build under Wine, the sanitizer builds, static analysis and fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

jobs=$(nproc)
# The end-to-end and fault suites spend most of their time waiting for
# retry periods and servers (under a tenth of the processors' time), so three
# run beside each other per processor; CTest starts the longest first.
build_preset() {
  echo "== $1"
  cmake --preset "$1"
  cmake --build --preset "$1" -j "$jobs"
}
run_preset() {
  build_preset "$1"
  ctest --preset "$1" -j $((jobs * 3)) "${@:2}"
}

# Under Wine every program of a run goes through one wineserver: its suites
# missed their deadlines with more than one per processor. That server also
# crashed now and then ("wineserver crashed" in its log), taking every
# Windows program of the moment with it; only then are the tests that
# failed run once more, with a new server. Any other failure stands.
run_windows_preset() {
  local log=build/windows/wineserver.log
  build_preset windows
  if ctest --preset windows -j "$jobs"; then
    return 0
  fi
  if ! grep -q "wineserver crashed" "$log" 2>/dev/null; then
    return 1
  fi
  mv "$log" "$log.crashed"
  echo "== windows: the wineserver crashed (see $log.crashed); the failed tests once more"
  ctest --preset windows -j "$jobs" --rerun-failed
}

run_preset linux
# The PTT benchmark, briefly: it still runs, Tarnwick loses nothing, and
# every toggle of a COM port's CTS leaves its state at the server.
echo "== benchmark (quick)"
build/linux/bench/ptt_bench --quick
run_windows_preset

# The Windows ZIP and the Debian package: built, the exes' imports and
# version resource checked, the .deb installed, run once and removed.
echo "== packages"
JOBS=$jobs bash tools/package.sh all
bash tools/check-packages.sh

# The unit tests, the fault suites and the sanitize-labelled end-to-end
# suites under ThreadSanitizer and under AddressSanitizer with UBSan (any
# report fails; limits on resident memory are not checked there). Under two
# minutes each on 2 cores, most of it the fault suites' waiting.
run_preset linux-tsan -L 'unit|sanitize'
run_preset linux-asan -L 'unit|sanitize'

# clang-tidy and cppcheck on the native build's sources, then each libFuzzer
# harness for a minute from its seed corpus.
echo "== static analysis"
JOBS=$jobs bash tools/static-analysis.sh
run_preset linux-fuzz
