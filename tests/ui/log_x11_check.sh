#!/usr/bin/env bash
# The log through real input on an X server: a long log opened in the file dialog, the wheel
# scrolled, a word double-clicked and copied, a line typed and the word pasted at the end, the log
# saved in the file dialog; the saved file must be the opened one plus that line. Then Ctrl+A, a
# key and Ctrl+Z: saved again, the log is whole. Then the X selection, with a TAB.
# Usage: log_x11_check.sh <nira7-analyser>. Exits 77 (skipped) without Xvfb or xdotool.
set -euo pipefail

analyser=$1
# shellcheck source=../support/x_session.sh
. "$(dirname "$0")/../support/x_session.sh"
require_tools Xvfb xdotool

make_work
xvfb_pid=
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

start_xvfb

# 200,000 receiver lines, each starting with a word of its own.
awk 'BEGIN { for (i = 0; i < 200000; i++)
    printf "L%06d 10.12.2026 02:31:49 --> ST: 11, ID: 123456, DT: 01, D1: B0, XXXX: FDA0, CS: FB\r\n", i }' \
    >"$work/big.txt"

cd "$work"
NIRA7_REGISTRY="$work/registry.reg" QT_QPA_PLATFORM=xcb "$analyser" >"$work/app.log" 2>&1 &
app_pid=$!
focus_window "^NIRA-7: " || { echo "FAILED: no window"; cat "$work/app.log"; exit 1; }
eval "$(xdotool getwindowgeometry --shell "$window")"  # X, Y
# The log's first row, a little in from its left edge (the window has no frame here).
row_x=$((X + 8 + 8 + 14))
row_y=$((Y + 144 + 16 + 4 + 8))

dialog_then() {
    local keys=$1 file=$2
    local before
    before=$(xdotool search --onlyvisible --name "" 2>/dev/null | wc -l)
    xdotool key "$keys"
    wait_for '[ "$(xdotool search --onlyvisible --name "" 2>/dev/null | wc -l)" -gt "$before" ]' ||
        { echo "FAILED: no file dialog for $keys"; exit 1; }
    sleep 0.5
    xdotool type --delay 10 "$file"
    xdotool key Return
}

dialog_then ctrl+o "$work/big.txt"
sleep 2
# Ten notches of the wheel down, then the word at the start of the top row.
xdotool mousemove "$row_x" "$row_y"
for _ in $(seq 10); do
    xdotool click 5
done
sleep 0.3
xdotool click --repeat 2 --delay 80 1
sleep 0.2
xdotool key ctrl+c ctrl+End
xdotool type --delay 10 "typed "
xdotool key ctrl+v
sleep 0.3
dialog_then ctrl+s "$work/saved.txt"
wait_for '[ -s "$work/saved.txt" ]' || { echo "FAILED: nothing saved"; cat "$work/app.log"; exit 1; }
sleep 0.5

last=$(tail -c 40 "$work/saved.txt" | tr '\r' '\n' | tail -n 1)
if ! [[ $last =~ ^typed\ L[0-9]{6}$ ]] || [ "$last" = "typed L000000" ]; then
    echo "FAILED: the typed line is \"$last\" (a word from a scrolled-to line expected)"
    exit 1
fi
if ! cmp -s <(head -c "$(stat -c %s "$work/big.txt")" "$work/saved.txt") "$work/big.txt" ||
    [ "$(stat -c %s "$work/saved.txt")" -ne $(($(stat -c %s "$work/big.txt") + ${#last})) ]; then
    echo "FAILED: the saved file is not the opened one plus \"$last\""
    exit 1
fi

# Ctrl+A and a key leave one letter; Ctrl+Z brings the whole log back.
xdotool key ctrl+a
xdotool type x
sleep 0.3
xdotool key ctrl+z
sleep 0.3
dialog_then ctrl+s "$work/undone.txt"
wait_for '[ -s "$work/undone.txt" ] && [ "$(stat -c %s "$work/undone.txt")" -ge "$(stat -c %s "$work/saved.txt")" ]' ||
    { echo "FAILED: the log saved after Ctrl+A, a key and Ctrl+Z is not whole"; exit 1; }
sleep 0.5
cmp -s "$work/undone.txt" "$work/saved.txt" ||
    { echo "FAILED: Ctrl+Z did not bring the log back as it was"; exit 1; }
# The X selection: a triple click takes a line with a TAB, a middle click below the text pastes
# it; Shift+End on the first line takes it again, a middle click pastes that. The TABs are bytes.
printf 'A\tB\r\n' >"$work/tabs.txt"
dialog_then ctrl+o "$work/tabs.txt"
sleep 1
xdotool mousemove "$row_x" "$row_y" click --repeat 3 --delay 80 1
sleep 0.3
xdotool mousemove "$row_x" $((row_y + 200)) click 2
sleep 0.3
xdotool key ctrl+Home shift+End
xdotool mousemove "$row_x" $((row_y + 200)) click 2
sleep 0.3
dialog_then ctrl+s "$work/tabs-saved.txt"
wait_for '[ -s "$work/tabs-saved.txt" ]' || { echo "FAILED: the tabs were not saved"; exit 1; }
sleep 0.5
cmp -s "$work/tabs-saved.txt" <(printf 'A\tB\r\nA\tB\r\nA\tB') || {
    echo "FAILED: the lines pasted from the X selection are not the line with its TAB:"
    od -c "$work/tabs-saved.txt" | head -n 5
    exit 1
}
echo "log through real input: opened, scrolled, \"${last#typed }\" copied and pasted, saved whole; Ctrl+A, a key and Ctrl+Z: whole again; a line with a TAB taken by a triple click and by Shift+End, pasted with the middle button, saved as bytes"
