#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine, builds, and starts the analyser beside the
# receiver simulator (a virtual receiver on a pseudo-terminal), with the simulator's port chosen.
# Closing the analyser ends the simulator too.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "run: no desktop display here (DISPLAY and WAYLAND_DISPLAY are empty); run this from a" >&2
    echo "run: desktop session, or under xvfb-run to try it headless." >&2
    exit 1
fi

scripts/bootstrap.sh
scripts/configure.sh
cmake --build build --target nira7-analyser nira7-receiver-sim

sim_output=$(mktemp)
build/nira7-receiver-sim --demo >"$sim_output" &
sim_pid=$!
cleanup() {
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    rm -f "$sim_output"
}
trap cleanup EXIT INT TERM

# The simulator prints its port first.
for _ in $(seq 50); do
    [ -s "$sim_output" ] && break
    sleep 0.1
done
port=$(head -n 1 "$sim_output")
if [ -z "$port" ]; then
    echo "run: the receiver simulator did not start" >&2
    exit 1
fi
echo "run: the simulated receiver is on $port, chosen in the Port list: press Start (Ctrl+1)."
build/nira7-analyser --port "$port"
