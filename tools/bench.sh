#!/usr/bin/env bash
# Builds Tarnwick and its PTT benchmark with the linux preset and runs the
# benchmark: latency against a minimal relay and a 10 ms poller, losses,
# CPU per change, a heavy data stream, the COM road against a minimal line
# relay and 60 s of idle (three to four minutes in all). Options go to
# ptt_bench, e.g. --quick (a few hundred changes, no idle phase), --busy
# (one port while every core is busy, then with the other ports streaming
# too) or --png docs/latency.png. The latency picture needs gnuplot
# (Debian: gnuplot-nox); without it the run says so and goes on.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset linux >/dev/null
nice cmake --build --preset linux -j 2 --target ptt_bench >/dev/null

png=()
if [[ " $* " != *" --png "* && " $* " != *" --quick "* && " $* " != *" --busy "* ]]; then
  png=(--png build/linux/bench/latency.png)
fi
exec build/linux/bench/ptt_bench "${png[@]}" "$@"
