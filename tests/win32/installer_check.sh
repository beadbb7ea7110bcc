#!/usr/bin/env bash
# The Windows installer on a fresh Wine prefix: a silent install (/S), the program and its
# Start-menu entry in place, the installed program showing its window with its caption on an X
# server, and a silent uninstall taking it all away again.
# Usage: installer_check.sh <installer.exe>
set -euo pipefail
installer=$(realpath "$1")

work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
xvfb_pid=
program_pid=
cleanup() {
    "$wineserver" -k 2>/dev/null || true
    [ -z "$program_pid" ] || wait "$program_pid" 2>/dev/null || true
    [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    exit 1
}
# shellcheck source=wine_session.sh
. "$(dirname "$0")/wine_session.sh"

start_xvfb

"$wine" wineboot -i </dev/null >/dev/null 2>&1
"$wineserver" -w

installed="$WINEPREFIX/drive_c/Program Files/NIRA-7 UART Analyser"
echo "== silent install"
"$wine" "$installer" /S </dev/null >/dev/null 2>&1
"$wineserver" -w
for file in bin/nira7-analyser.exe bin/nira7-listen.exe bin/Qt6Widgets.dll bin/libstdc++-6.dll \
    bin/platforms/qwindows.dll bin/styles/qwindowsvistastyle.dll Uninstall.exe license.txt; do
    [ -f "$installed/$file" ] || fail "$file was not installed"
done
shortcut=$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'NIRA-7 UART Analyser.lnk' | head -n 1)
[ -n "$shortcut" ] || fail "no Start-menu entry"
echo "installed, with the Start-menu entry ${shortcut#"$WINEPREFIX/drive_c/"}"

echo "== the installed program tells its version on the output it was given"
version=$(timeout 60 "$wine" "$installed/bin/nira7-analyser.exe" --version </dev/null 2>/dev/null | tr -d '\r')
[ "$version" = "nira7-analyser 0.3" ] || fail "--version gave '$version'"
echo "$version"

echo "== the installed program starts"
"$wine" "$installed/bin/nira7-analyser.exe" </dev/null >"$work/program.out" 2>&1 &
program_pid=$!
wait_for '[ -n "$(xdotool search --onlyvisible --name "^NIRA-7: " 2>/dev/null)" ]' 600 ||
    fail "the installed program showed no window"
caption=$(xdotool getwindowname "$(xdotool search --onlyvisible --name '^NIRA-7: ' | head -n 1)")
echo "window: $caption"
[ "$caption" = "NIRA-7: PowerCode CodeSecure Analyse (v.0.3)" ] || fail "unexpected caption"
"$wine" taskkill /im nira7-analyser.exe >/dev/null 2>&1 || true
wait_for '! kill -0 "$program_pid" 2>/dev/null' 600 || fail "the program did not close"
program_pid=

echo "== silent uninstall"
"$wine" "$installed/Uninstall.exe" /S </dev/null >/dev/null 2>&1
# The uninstaller runs on from a copy of itself: wait for its work, not for it.
wait_for '[ ! -e "$installed/bin/nira7-analyser.exe" ] && [ ! -e "$shortcut" ]' 600 ||
    fail "the uninstaller left the program or its entry"
"$wineserver" -w
[ ! -e "$installed/bin" ] || fail "the uninstaller left files: $(find "$installed" | head)"
echo "installer: installed, started and uninstalled"
