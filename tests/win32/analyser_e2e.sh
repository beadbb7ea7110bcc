#!/usr/bin/env bash
# The Windows program as an operator meets it, under Wine with Qt's windows platform on an X
# server: COM5 mapped to the simulator's pseudo-terminal, Start by Ctrl+1, the simulator's
# messages acknowledged exactly; the device vanishing while listening, reported once, Stop back to
# idle; the log saved (file dialogs answered by NIRA7_FILE_ANSWER) and compared byte for byte;
# the window closed, its settings found in the registry under HKLM\SOFTWARE\nira7-analyser, and a
# second start listening on the remembered port.
# Usage: analyser_e2e.sh <build dir> <host simulator> <shim source>; exit 77 means skipped.
# NIRA7_E2E_SCREENSHOT=FILE keeps a picture of the screen after the first session.
set -euo pipefail
build=$1
sim=$2
shim_source=$3

skip() {
    echo "skipped: $*"
    exit 77
}
[ -x "$sim" ] || skip "no simulator built for this machine at $sim (build the native tree first)"
command -v Xvfb >/dev/null || skip "no Xvfb (scripts/bootstrap.sh --windows installs it)"
command -v xdotool >/dev/null || skip "no xdotool (scripts/bootstrap.sh --windows installs it)"
compiler=$(command -v cc || command -v gcc || true)
[ -n "$compiler" ] || skip "no C compiler for the modem-line shim"

work=$(mktemp -d)
export WINEPREFIX="$build/wineprefix"
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
sim_pid=
xvfb_pid=
program_pid=
cleanup() {
    "$wineserver" -k 2>/dev/null || true
    [ -z "$program_pid" ] || wait "$program_pid" 2>/dev/null || true
    [ -z "$sim_pid" ] || { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
    [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    exit 1
}

"$compiler" -shared -fPIC -O2 -o "$work/tiocm-shim.so" "$shim_source" -ldl

# shellcheck source=wine_session.sh
. "$(dirname "$0")/wine_session.sh"
start_xvfb

# Waits for the simulator and shows its figures; its status says whether every message got
# exactly one answer.
finish_receiver() {
    local status=0
    wait "$sim_pid" || status=$?
    sim_pid=
    cat "$work/sim.out"
    [ "$status" -eq 0 ] || fail "the simulator's messages were not acknowledged exactly"
}

# The program's top-level windows by caption: the main window, and message boxes, which carry
# the application's title.
main_window() { xdotool search --onlyvisible --name '^NIRA-7: ' 2>/dev/null | head -n 1; }
boxes() { xdotool search --onlyvisible --name '^NIRA-7 UART Analyse$' 2>/dev/null | wc -l; }
keys() {
    xdotool windowfocus --sync "$1"
    sleep 0.3
    xdotool key --clearmodifiers "${@:2}"
}
start_program() {
    NIRA7_FILE_ANSWER="Z:${work//\//\\}\\saved.txt" LD_PRELOAD="$work/tiocm-shim.so" \
        "$build/wine-run.sh" "$build/nira7-analyser.exe" "$@" >"$work/program.out" 2>&1 &
    program_pid=$!
    wait_for '[ -n "$(main_window)" ]' || fail "no window appeared"
    window=$(main_window)
    echo "window: $(xdotool getwindowname "$window")"
}
# Ctrl+1, then a byte from the port's side tells the simulator that the port listens (Wine holds
# no exclusive mark it could see).
listen() {
    keys "$window" ctrl+1
    sleep 1
    printf 'x' >"$pty"
}

echo "== first session: COM5 named on the command line"
start_receiver 500 <<'SCRIPT'
wait-open 60000
test 01 FE
expect-ack 10000
event 10 1B 05 FF 5C 00 12 34 AB
expect-ack 10000
SCRIPT
start_program --port COM5
[ "$(boxes)" -eq 0 ] || fail "a message box at start"
listen
finish_receiver

echo "== the device vanished while listening"
wait_for '[ "$(boxes)" -eq 1 ]' || fail "the lost device was not reported"
sleep 1
[ "$(boxes)" -eq 1 ] || fail "the lost device was reported more than once"
if [ -n "${NIRA7_E2E_SCREENSHOT:-}" ] && command -v import >/dev/null; then
    import -window root "$NIRA7_E2E_SCREENSHOT" || true
fi
keys "$(xdotool search --onlyvisible --name '^NIRA-7 UART Analyse$' | head -n 1)" Return
wait_for '[ "$(boxes)" -eq 0 ]' || fail "the report did not close"
keys "$window" ctrl+0
sleep 0.5
[ "$(boxes)" -eq 0 ] || fail "Stop after the loss showed a message"

echo "== the log saved (Save works only while idle)"
keys "$window" ctrl+s
wait_for '[ -s "$work/saved.txt" ]' || fail "Ctrl+S saved nothing: not idle after Stop?"
sleep 0.5
log=$(tr -d '\r' <"$work/saved.txt" | sed -E 's/^.* --> //')
expected=$(printf 'TEST: 01, CS: FE\nST: 10, ID: 1B05FF, DT: 5C, D1: 00, XXXX: 1234, CS: AB')
crlf=$(grep -c $'\r$' "$work/saved.txt" || true)
if [ "$log" != "$expected" ] || [ "$crlf" != 2 ]; then
    od -c "$work/saved.txt" | head -20
    fail "the saved log is not the two stamped lines, each ended by CR LF"
fi
echo "saved log: 2 lines, CR LF"

echo "== closed: the settings in the registry"
"$build/wine-run.sh" taskkill /im nira7-analyser.exe >/dev/null 2>&1 || true
wait_for '! kill -0 "$program_pid" 2>/dev/null' || fail "the window did not close"
settings=$("$build/wine-run.sh" reg query 'HKLM\SOFTWARE\nira7-analyser' 2>/dev/null | tr -d '\r')
echo "$settings"
grep -q 'cbPort.ItemIndex' <<<"$settings" || fail "no port position stored"
grep -q 'cbBaudRate.ItemIndex' <<<"$settings" || fail "no speed position stored"

echo "== second start: the remembered port, Start works again"
start_receiver 500 <<'SCRIPT'
wait-open 60000
test 02 FD
expect-ack 10000
SCRIPT
start_program
listen
finish_receiver
echo "analyser under Wine: both sessions acknowledged exactly"
