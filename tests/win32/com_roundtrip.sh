#!/usr/bin/env bash
# Round trips through the Win32 backend under Wine: the simulator plays the receiver on a Linux
# pseudo-terminal and Wine maps COM5 to it. First the Windows test program opens COM5, receives a
# test and an event message and acknowledges both; then nira7-listen.exe listens on COM5, answers
# the simulator's messages and writes them to its log file.
# Usage: com_roundtrip.sh <build dir> <host simulator> <shim source>; exit 77 means skipped.
set -euo pipefail
build=$1
sim=$2
shim_source=$3

if [ ! -x "$sim" ]; then
    echo "skipped: no simulator built for this machine at $sim (build the native tree first)"
    exit 77
fi
compiler=$(command -v cc || command -v gcc || true)
if [ -z "$compiler" ]; then
    echo "skipped: no C compiler for the modem-line shim"
    exit 77
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

"$compiler" -shared -fPIC -O2 -o "$work/tiocm-shim.so" "$shim_source" -ldl

export WINEPREFIX="$build/wineprefix"
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

# shellcheck source=wine_session.sh
. "$(dirname "$0")/wine_session.sh"

status=0
start_receiver 2000 <<'SCRIPT'
wait-open 60000
event 00 0A FF 10 20 30 40 50 FF
expect-ack 10000
test 00 FF
expect-ack 10000
SCRIPT
LD_PRELOAD="$work/tiocm-shim.so" NIRA7_TEST_COM=COM5 \
    "$build/wine-run.sh" "$build/win32_tests.exe" --gtest_brief=1 \
    --gtest_filter='ComRoundTrip.*:Win32Ports.*' || status=$?
wait "$sim_pid" || status=$?
sim_pid=
cat "$work/sim.out"

if [ -x "$build/nira7-listen.exe" ]; then
    start_receiver 2000 <<'SCRIPT'
wait-open 60000
test 01 FE
expect-ack 10000
event 10 1B 05 FF 5C 00 12 34 AB
expect-ack 10000
raw 41 42 43 44
wait 500
SCRIPT
    LD_PRELOAD="$work/tiocm-shim.so" \
        "$build/wine-run.sh" "$build/nira7-listen.exe" --port COM5 --log "$work/listen.txt" \
        >"$work/listen.out" 2>"$work/listen.err" &
    listen_pid=$!
    for _ in $(seq 600); do
        grep -q 'listening on COM5' "$work/listen.err" 2>/dev/null && break
        sleep 0.05
    done
    # Wine holds no exclusive mark the simulator could see: a byte from the port says it listens.
    printf 'x' >"$pty"
    wait "$sim_pid" || status=$?
    sim_pid=
    cat "$work/sim.out"
    kill "$listen_pid" 2>/dev/null || true
    wait "$listen_pid" 2>/dev/null || true
    "$wineserver" -k 2>/dev/null || true
    cat "$work/listen.err"
    # The log file as the window saves it: three stamped lines, each ended by CR LF.
    log=$(tr -d '\r' <"$work/listen.txt" | sed -E 's/^.* --> //')
    expected=$(printf 'TEST: 01, CS: FE\nST: 10, ID: 1B05FF, DT: 5C, D1: 00, XXXX: 1234, CS: AB\n???: ABCD')
    crlf=$(grep -c $'\r$' "$work/listen.txt" || true)
    if [ "$log" != "$expected" ] || [ "$crlf" != 3 ]; then
        echo "nira7-listen's log file is not as expected:"
        od -c "$work/listen.txt" | head -20
        status=1
    else
        echo "nira7-listen: 2 messages acknowledged, 3 lines logged with CR LF"
    fi
fi
exit $status
