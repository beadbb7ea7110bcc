#!/usr/bin/env bash
# A receiver pulled while the window listens, then plugged back in, through real keys on an X
# server: Ctrl+1 listens; the loss is told in a box; with the box still up, the receiver that
# comes back under the chosen name is answered without Stop and Start, and the box closes itself;
# a second loss is told again, that box closed with Return; the receiver comes back once more
# under a new name that its by-id link leads to, and is answered; Ctrl+0 stops. Each receiver must get exactly its one "<".
# Usage: resume_x11_check.sh <nira7-analyser> <nira7-receiver-sim>. Exits 77 (skipped) without
# Xvfb or xdotool.
set -euo pipefail

analyser=$1
sim=$2
# shellcheck source=../support/x_session.sh
. "$(dirname "$0")/../support/x_session.sh"
require_tools Xvfb xdotool

make_work
xvfb_pid=
app_pid=
sim_pids=()
cleanup() {
    for pid in "${sim_pids[@]}" "$app_pid" "$xvfb_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

start_xvfb

export NIRA7_REGISTRY="$work/registry.reg" NIRA7_SERIAL_BY_ID="$work/by-id"
mkdir "$work/by-id"
name="$work/ttyUSB0"
identity="$work/by-id/usb-Maker_Receiver_0042-if00-port0"

# Starts a simulated receiver playing $1, telling its figures as it goes (its output in
# $work/$1.out); sets sim_path and sim_pid.
start_receiver() {
    "$sim" --no-register --expect-acks --stats-every 100 --script "$work/$1.txt" \
        >"$work/$1.out" 2>&1 &
    sim_pid=$!
    sim_pids+=("$sim_pid")
    wait_for "[ -s '$work/$1.out' ]" || { echo "FAILED: receiver $1 did not start"; exit 1; }
    sim_path=$(head -n 1 "$work/$1.out")
}
answered() {
    wait_for "grep -qx 'acks: 1' '$work/$1.out'" 150 || {
        echo "FAILED: receiver $1 was not answered ($2)"
        cat "$work/app.log"
        visible_windows
        head -n 1 "$work/$1.out"
        tail -n 12 "$work/$1.out"
        exit 1
    }
}
# Pulls receiver $1: it ends, and must have had exactly its one "<".
pull() {
    kill -TERM "$2"
    wait "$2" || { echo "FAILED: receiver $1: wrong acknowledgements"; cat "$work/$1.out"; exit 1; }
}
repoint() { ln -sfn "$2" "$1"; }
windows() { xdotool search --onlyvisible --name "" 2>/dev/null | wc -l; }

printf 'wait-open\ntest 01 FE\nexpect-ack\nwait 100000\n' >"$work/first.txt"
printf 'wait-open\ntest 02 FD\nexpect-ack\nwait 100000\n' >"$work/second.txt"
printf 'wait-open\ntest 03 FC\nexpect-ack\nwait 100000\n' >"$work/third.txt"

start_receiver first
first_pid=$sim_pid
repoint "$name" "$sim_path"
repoint "$identity" "$sim_path"
# The chosen name is in the Port list as an adapter's would be.
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"adapter"="%s"\r\n' \
    "$name" >"$NIRA7_REGISTRY"

cd "$work"
QT_QPA_PLATFORM=xcb "$analyser" --port "$name" >"$work/app.log" 2>&1 &
app_pid=$!
focus_window "^NIRA-7: " || { echo "FAILED: no window"; cat "$work/app.log"; exit 1; }
before=$(windows)
xdotool key ctrl+1
answered first "listening"

# Pulled: a box tells it.
pull first "$first_pid"
wait_for '[ "$(windows)" -gt "$before" ]' || { echo "FAILED: no box told the loss"; exit 1; }

# Back under its name while the box is still up: answered without Stop and Start.
start_receiver second
second_pid=$sim_pid
repoint "$name" "$sim_path"
repoint "$identity" "$sim_path"
answered second "back under its name, the box up"
wait_for '[ "$(windows)" -le "$before" ]' ||
    { echo "FAILED: the box did not close itself when the receiver was back"; exit 1; }

# Pulled again; the name goes for good and the receiver comes back as another device.
rm -f "$name"
pull second "$second_pid"
wait_for '[ "$(windows)" -gt "$before" ]' || { echo "FAILED: no box told the second loss"; exit 1; }
xdotool key Return
start_receiver third
third_pid=$sim_pid
repoint "$identity" "$sim_path"
answered third "back under its identity"

focus_window "^NIRA-7: " || { echo "FAILED: the window is gone"; exit 1; }
xdotool key ctrl+0
sleep 0.3
pull third "$third_pid"
kill -TERM "$app_pid"
wait "$app_pid" 2>/dev/null || true
app_pid=
echo "resume: answered after a loss under its name (its box up) and under its by-id identity"
