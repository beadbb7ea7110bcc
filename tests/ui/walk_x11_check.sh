#!/usr/bin/env bash
# A walk test through real input on an X server, by keyboard alone: the site's list of expected
# transmitters given on the command line, Ctrl+1 to listen, Ctrl+T for the transmitters window,
# F5 to start the walk test; the simulator sends events from several of them (one twice within
# 2 s, one twice far apart, one not on the list, one never); F5 stops the test, Ctrl+E exports
# the report. The report's rows must be what was sent, the unheard first, and the keyboard must
# have stayed in the transmitters window all along (the events raise nothing over it).
# Usage: walk_x11_check.sh <nira7-analyser> <nira7-receiver-sim>. Exits 77 (skipped) without
# Xvfb, xdotool or openbox.
set -euo pipefail

analyser=$1
sim=$2
# shellcheck source=../support/x_session.sh
. "$(dirname "$0")/../support/x_session.sh"
require_tools Xvfb xdotool openbox xprop

make_work
xvfb_pid=
app_pid=
sim_pid=
wm_pid=
cleanup() {
    for pid in "$app_pid" "$sim_pid" "$wm_pid" "$xvfb_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

start_xvfb
HOME="$work" openbox --sm-disable >/dev/null 2>&1 &
wm_pid=$!
wait_for 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' 100 ||
    { echo "FAILED: the window manager did not start"; exit 1; }
export NIRA7_REGISTRY="$work/registry.reg"

# The site's list as a spreadsheet writes it: a byte order mark, semicolons, a column of its own;
# one ID as the twelve Smart letters (FDHHHHHHHHHH is 900000).
printf '\xEF\xBB\xBFid;name;zone\r\n111111;Front door;1\r\nFDHHHHHHHHHH;Back door;2\r\n333333;Hall PIR;3\r\n444444;Garage;4\r\n' \
    >"$work/site.csv"

# Once the analyser listens, time to start the walk test, then the walk.
{
    echo "wait-open"
    echo "wait 6000"
    echo "event 01 11 11 11 20 00 12 34 56"
    echo "expect-ack"
    echo "wait 300"
    echo "event 01 90 00 00 20 00 12 34 56"
    echo "expect-ack"
    echo "wait 500"
    echo "event 01 90 00 00 20 00 12 34 56"
    echo "expect-ack"
    echo "wait 300"
    echo "event 01 33 33 33 40 00 12 34 56"
    echo "expect-ack"
    echo "wait 300"
    echo "event 01 55 55 55 20 00 12 34 56"
    echo "expect-ack"
    echo "wait 2500"
    echo "event 01 11 11 11 20 00 12 34 56"
    echo "expect-ack"
    echo "test 42 43"
    echo "expect-ack"
    echo "wait 100000"
} >"$work/walk.txt"
"$sim" --expect-acks --stats-every 100 --script "$work/walk.txt" >"$work/sim.out" 2>&1 &
sim_pid=$!
wait_for '[ -s "$work/sim.out" ]' || { echo "FAILED: the simulator did not start"; exit 1; }
port=$(head -n 1 "$work/sim.out")

cd "$work"
NIRA7_FILE_ANSWER="$work/report.csv" QT_QPA_PLATFORM=xcb "$analyser" --port "$port" \
    --transmitters "$work/site.csv" >"$work/app.log" 2>&1 &
app_pid=$!
focus_window "^NIRA-7: " || { echo "FAILED: no window"; cat "$work/app.log"; exit 1; }
xdotool key ctrl+1
xdotool key ctrl+t
focus_window "^Transmitters" || { echo "FAILED: Ctrl+T showed no transmitters window"; visible_windows; exit 1; }
transmitters=$window
xdotool key F5
# Seven messages answered.
wait_for "grep -qx 'acks: 7' '$work/sim.out'" 300 || {
    echo "FAILED: the simulator's messages were not all answered:"
    tail -n 3 "$work/sim.out"
    exit 1
}
sleep 0.5
[ "$(xdotool getwindowfocus)" = "$transmitters" ] ||
    { echo "FAILED: an event took the keyboard from the transmitters window"; exit 1; }
xdotool key F5
xdotool key ctrl+e
wait_for '[ -s "$work/report.csv" ] && [ -s "$work/report.txt" ]' ||
    { echo "FAILED: no report was exported"; cat "$work/app.log"; exit 1; }

# The times aside (columns 5, 9 and 10), each row is what was sent.
expected='id,smart,name,walk_test,walk_messages,messages,repeats,st,dt,d1,xxxx,cs
444444,DHDHDHDHDHDH,Garage,not heard,0,0,0,,,,,
111111,HDHDHDHDHDHD,Front door,heard,2,2,0,01,20,00,1234,56
900000,FDHHHHHHHHHH,Back door,heard,1,1,1,01,20,00,1234,56
333333,HLHLHLHLHLHL,Hall PIR,heard,1,1,0,01,40,00,1234,56
555555,DDDDDDDDDDDD,,not expected,1,1,0,01,20,00,1234,56'
got=$(tr -d '\r' <"$work/report.csv" | cut -d, -f1-4,6-8,11-15)
if [ "$got" != "$expected" ]; then
    echo "FAILED: the report is not what was sent:"
    diff <(echo "$expected") <(echo "$got") || true
    exit 1
fi
times=$(tr -d '\r' <"$work/report.csv" | sed -n 3p | cut -d, -f5)
[[ $times =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2}$ ]] ||
    { echo "FAILED: the walk test's time \"$times\" is not ISO 8601"; exit 1; }
grep -q "^3 of 4 expected transmitters heard.$" "$work/report.txt" &&
    grep -q "stopped by the operator" "$work/report.txt" || {
    echo "FAILED: the summary does not say what was heard:"
    cat "$work/report.txt"
    exit 1
}
echo "walk test by keyboard: 3 of 4 heard, the repeat and the stranger counted apart, the report's rows are what was sent"
