#!/usr/bin/env bash
# Runs a cross-compiled Windows test program under Wine, in the build's private prefix. The
# prefix is made on first use (a few seconds); a wineserver that lingers 30 s after its last
# client keeps later starts quick and then ends by itself. Usage: wine-run.sh <program.exe> [args]
set -euo pipefail
build_dir="$(cd "$(dirname "$0")" && pwd)"
export WINEPREFIX="${NIRA7_WINEPREFIX:-$build_dir/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

# Made and started under a lock, with the output of everything Wine starts for the session
# (the server, its services) going nowhere: a pipe they held open would keep ctest waiting,
# and the lock they must not inherit.
(
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
    fi
    "$wineserver" -p30 </dev/null >/dev/null 2>&1 9>&- || true
    "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$build_dir/wineprefix.lock"
exec "$wine" "$@"
