#!/usr/bin/env bash
# Events arriving while the operator types into another program: the analyser, started with
# Ctrl+1 (the keyboard then on Stop), is raised and asks for attention at each event, but takes
# no key from the other program. Every key typed reaches that program, nothing typed reaches the
# analyser (a space would press Stop), and every message is answered. Then Esc twice, the slip
# that empties the log, and Ctrl+Z: the log is whole again when saved.
# Usage: focus_x11_check.sh <nira7-analyser> <nira7-receiver-sim>. Exits 77 (skipped) without
# Xvfb, xdotool, xev or openbox.
set -euo pipefail

analyser=$1
sim=$2
# shellcheck source=../support/x_session.sh
. "$(dirname "$0")/../support/x_session.sh"
require_tools Xvfb xdotool xev xprop openbox

make_work
xvfb_pid=
app_pid=
sim_pid=
other_pid=
wm_pid=
cleanup() {
    for pid in "$app_pid" "$other_pid" "$sim_pid" "$wm_pid" "$xvfb_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

start_xvfb
# A window manager, as at a site: it turns a window's call for attention into its state.
HOME="$work" openbox --sm-disable >/dev/null 2>&1 &
wm_pid=$!
wait_for 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' 100 ||
    { echo "FAILED: the window manager did not start"; exit 1; }
export NIRA7_REGISTRY="$work/registry.reg"

# Eight events a second apart once the analyser listens.
{
    echo "wait-open"
    for i in 1 2 3 4 5 6 7 8; do
        echo "event 1$i A5 0F C3 00 9D F6 89 A3"
        echo "expect-ack"
        echo "wait 1000"
    done
    echo "wait 100000"
} >"$work/events.txt"
"$sim" --expect-acks --stats-every 100 --script "$work/events.txt" >"$work/sim.out" 2>&1 &
sim_pid=$!
wait_for '[ -s "$work/sim.out" ]' || { echo "FAILED: the simulator did not start"; exit 1; }
port=$(head -n 1 "$work/sim.out")

cd "$work"
NIRA7_FILE_ANSWER="$work/saved.txt" QT_QPA_PLATFORM=xcb "$analyser" --port "$port" \
    >"$work/app.log" 2>&1 &
app_pid=$!
focus_window "^NIRA-7: " || { echo "FAILED: no window"; cat "$work/app.log"; exit 1; }
analyser_window=$window
xdotool key ctrl+1

# Another program, with the keyboard.
xev -name other-program >"$work/xev.out" 2>&1 &
other_pid=$!
focus_window "other-program" || { echo "FAILED: the other program has no window"; exit 1; }
other_window=$window

# A note typed over the next seconds, spaces and all, while the events come.
typed="a note about zone 7"
for _ in 1 2 3; do
    xdotool type --delay 150 "$typed "
done
wait_for "grep -qx 'acks: 8' '$work/sim.out'" 150 ||
    { echo "FAILED: not every event was answered"; tail -n 12 "$work/sim.out"; exit 1; }
[ "$(xdotool getwindowfocus)" = "$other_window" ] ||
    { echo "FAILED: the keyboard left the other program"; visible_windows; exit 1; }
# The receiver ends here (the analyser is told, as it should be): each event had its one "<".
kill -TERM "$sim_pid"
status=0
wait "$sim_pid" || status=$?
sim_pid=
presses=$(grep -c "^KeyPress event" "$work/xev.out" || true)
expected=$((3 * ${#typed} + 3))
[ "$presses" -ge "$expected" ] ||
    { echo "FAILED: the other program got $presses of $expected keys"; exit 1; }
[ "$status" -eq 0 ] || { echo "FAILED: not every message was answered (simulator status $status)"; exit 1; }
# It asked for attention instead (the urgency hint).
xprop -id "$analyser_window" _NET_WM_STATE | grep -q _NET_WM_STATE_DEMANDS_ATTENTION ||
    { echo "FAILED: it did not ask for attention: $(xprop -id "$analyser_window" _NET_WM_STATE)"; exit 1; }
echo "focus: the other program kept the keyboard ($presses keys), every event answered, the analyser asked for attention"

# The receiver gone (its box told it), Stop; then the common slip: Esc twice. Ctrl+Z brings the
# log back, and Save keeps every line.
wait_for 'xdotool search --onlyvisible --name "^NIRA-7 UART" >/dev/null 2>&1' 100 ||
    { echo "FAILED: the loss was not told"; visible_windows; exit 1; }
focus_window "^NIRA-7 UART" || { echo "FAILED: the loss box takes no keys"; exit 1; }
xdotool key Return
wait_for '! xdotool search --onlyvisible --name "^NIRA-7 UART" >/dev/null 2>&1' 50 ||
    { echo "FAILED: the loss box stayed"; exit 1; }
focus_window "^NIRA-7: " || { echo "FAILED: the window takes no keys"; exit 1; }
xdotool key ctrl+0
sleep 0.3
xdotool key Escape Escape
sleep 0.3
xdotool key ctrl+z
sleep 0.3
xdotool key ctrl+s
wait_for '[ -s "$work/saved.txt" ]' 50 || { echo "FAILED: nothing saved after Esc and Ctrl+Z"; exit 1; }
lines=$(grep -c -- "-->" "$work/saved.txt" || true)
[ "$lines" -eq 8 ] || { echo "FAILED: $lines of 8 lines saved after Esc and Ctrl+Z"; cat "$work/saved.txt"; exit 1; }
journalled=$(cat "$XDG_STATE_HOME"/nira7/journal/nira7-*.txt 2>/dev/null | grep -c -- "-->" || true)
[ "$journalled" -eq 8 ] || { echo "FAILED: the capture journal has $journalled of 8 lines"; exit 1; }
echo "undo: Esc twice and Ctrl+Z, the log saved whole ($lines lines); the journal has them too"
