#!/usr/bin/env bash
# Sets up a Debian machine and runs every test: the native build, the
# Windows build under Wine, the sanitizer builds, static analysis and fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

jobs=$(nproc)
# The end-to-end and fault suites spend most of their time waiting for
# retry periods and servers (under a tenth of the processors' time), so three
# run beside each other per processor; CTest starts the longest first. Under
# Wine every program of a run goes through one wineserver, and its suites
# missed their deadlines when more than one per processor ran.
run_preset() {
  local preset=$1 test_jobs=$((jobs * 3))
  if [ "$preset" = windows ]; then
    test_jobs=$jobs
  fi
  echo "== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$test_jobs" "${@:2}"
}

run_preset linux
# The PTT benchmark, briefly: it still runs, Tarnwick loses nothing, and
# every toggle of a COM port's CTS leaves its state at the server.
echo "== benchmark (quick)"
build/linux/bench/ptt_bench --quick
run_preset windows

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
