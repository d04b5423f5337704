#!/usr/bin/env bash
# Tarnwick at work with nothing but this machine: a local rigctld dummy rig,
# qvnsim offering the virtual port "demo", and Tarnwick between them. PTT is
# keyed and released a few times, and rigctld's own PTT state is shown after
# each change.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--no-install" ]; then
  bash tools/install-deps.sh
fi
# A build of its own, so that the test build's settings are left alone.
build=build/demo
cmake --preset linux -B "$build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target tarnwick qvnsim >/dev/null

rig_port=${TARNWICK_DEMO_PORT:-4532}
port_name=demo$$
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

rig_ptt() { rigctl -m 2 -r "127.0.0.1:$rig_port" t 2>/dev/null || echo "?"; }

wait_for() {  # wait_for FILE TEXT
  for _ in $(seq 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "timed out waiting for '$2' in $1" >&2
  cat "$1" >&2
  return 1
}

echo "== rigctld dummy rig on 127.0.0.1:$rig_port"
rigctld -m 1 -P RIG -T 127.0.0.1 -t "$rig_port" &
pids+=($!)
for _ in $(seq 50); do rigctl -m 2 -r "127.0.0.1:$rig_port" t >/dev/null 2>&1 && break; sleep 0.1; done

echo "== qvnsim offers the virtual port $port_name (/tmp/QVN$port_name)"
mkfifo "$work/commands"
"$build/tools/qvnsim" "$port_name" < "$work/commands" > "$work/qvnsim.out" &
pids+=($!)
exec 3> "$work/commands"
wait_for "$work/qvnsim.out" ready

echo "== tarnwick $port_name 127.0.0.1:$rig_port"
"$build/tarnwick" "$port_name" "127.0.0.1:$rig_port" > "$work/tarnwick.out" &
pids+=($!)
wait_for "$work/qvnsim.out" connected
wait_for "$work/tarnwick.out" "Connected to HAMLIB"
wait_for "$work/tarnwick.out" "Tarnwick running"
tr -d '\r' < "$work/tarnwick.out" | sed 's/^/   tarnwick: /'

echo "== PTT through the virtual port; rigctld's PTT state after each change"
for state in on off on off; do
  echo "$state" >&3
  sleep 0.3
  echo "   PTT $state -> rigctld reports PTT $(rig_ptt)"
done
echo "quit" >&3
exec 3>&-
echo "== done"
