#!/usr/bin/env bash
# The serial component's round trip through the Win32 backend under Wine: the simulator plays
# the receiver on a Linux pseudo-terminal, Wine maps COM5 to it, and the Windows test program
# opens COM5, receives a test and an event message and acknowledges both.
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

cat >"$work/session.txt" <<'SCRIPT'
wait-open 60000
event 00 0A FF 10 20 30 40 50 FF
expect-ack 10000
test 00 FF
expect-ack 10000
SCRIPT
"$sim" --no-register --script "$work/session.txt" --expect-acks --linger 2000 >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.05
done
pty=$(head -n 1 "$work/sim.out")
echo "receiver on $pty, mapped to COM5"

export WINEPREFIX="$build/wineprefix"
"$build/wine-run.sh" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$pty" /f >/dev/null
# Wine reads the port mapping when its server starts.
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true

status=0
LD_PRELOAD="$work/tiocm-shim.so" NIRA7_TEST_COM=COM5 \
    "$build/wine-run.sh" "$build/win32_tests.exe" --gtest_brief=1 \
    --gtest_filter='ComRoundTrip.*:Win32Ports.*' || status=$?

wait "$sim_pid" || status=$?
sim_pid=
cat "$work/sim.out"
exit $status
