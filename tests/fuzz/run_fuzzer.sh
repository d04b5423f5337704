#!/usr/bin/env bash
# Runs one libFuzzer harness for a given time from its seed corpus.
#
#   run_fuzzer.sh FUZZER SEED_DIR SECONDS [ARTIFACT_DIR]
#
# The seeds are copied to a scratch folder first, so the corpus the fuzzer
# grows never lands in the source tree. An input that fails is written to
# ARTIFACT_DIR (default: the current folder) and the run fails; it can be
# replayed with `FUZZER FILE`. Set FUZZ_KEEP_CORPUS to a folder to keep the
# grown corpus there (for instance to merge new seeds with -merge=1).
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 FUZZER SEED_DIR SECONDS [ARTIFACT_DIR]" >&2
  exit 2
fi
fuzzer=$1
seeds=$2
seconds=$3
artifacts=${4:-$PWD}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$artifacts"
cp -R "$seeds"/. "$work/corpus/"
echo "$(basename "$fuzzer"): $(find "$work/corpus" -type f | wc -l) seeds, ${seconds} s"

# -max_len lets the command-line fuzzer grow arguments well past the limits.
status=0
"$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$work/corpus" || status=$?

echo "$(basename "$fuzzer"): corpus grew to $(find "$work/corpus" -type f | wc -l) inputs"
if [ -n "${FUZZ_KEEP_CORPUS:-}" ]; then
  mkdir -p "$FUZZ_KEEP_CORPUS"
  cp -R "$work/corpus"/. "$FUZZ_KEEP_CORPUS/"
fi
exit "$status"
