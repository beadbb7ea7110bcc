#!/usr/bin/env bash
# The Windows installer on a fresh Wine prefix, once for everyone (/AllUsers) and once for the
# current user alone (/CurrentUser): a silent install (/S), the program, its Start-menu entry and
# its uninstall entry where that mode puts them and nowhere else, the installed program showing
# its window with its caption on an X server, and a silent uninstall taking it all away again.
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

# Wine names the profile after the account.
user_dir=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n 1)
machine_uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\NIRA-7 UART Analyser'
user_uninstall='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\NIRA-7 UART Analyser'
has_key() {
    "$wine" reg query "$1" /v UninstallString </dev/null >/dev/null 2>&1
}
has_copy() {
    [ -f "$1/bin/nira7-analyser.exe" ] && has_key "$2"
}

# check_mode SWITCH FOLDER START_MENU UNINSTALL_KEY OTHER_FOLDER OTHER_START_MENU OTHER_KEY
check_mode() {
    local switch=$1 installed=$2 start_menu=$3 key=$4 other=$5 other_menu=$6 other_key=$7
    echo "== silent install $switch"
    "$wine" "$installer" /S "$switch" </dev/null >/dev/null 2>&1
    "$wineserver" -w
    for file in bin/nira7-analyser.exe bin/nira7-listen.exe bin/Qt6Widgets.dll \
        bin/libstdc++-6.dll bin/platforms/qwindows.dll bin/styles/qwindowsvistastyle.dll \
        Uninstall.exe license.txt; do
        [ -f "$installed/$file" ] || fail "$switch: $file was not installed in ${installed#"$WINEPREFIX/"}"
    done
    [ ! -e "$other" ] || fail "$switch: installed into ${other#"$WINEPREFIX/"} as well"
    shortcut=$(find "$start_menu" -name 'NIRA-7 UART Analyser.lnk' 2>/dev/null | head -n 1)
    [ -n "$shortcut" ] || fail "$switch: no Start-menu entry under ${start_menu#"$WINEPREFIX/"}"
    [ -z "$(find "$other_menu" -name 'NIRA-7 UART Analyser.lnk' 2>/dev/null)" ] ||
        fail "$switch: a Start-menu entry under ${other_menu#"$WINEPREFIX/"} as well"
    has_key "$key" || fail "$switch: no uninstall entry under $key"
    ! has_key "$other_key" || fail "$switch: an uninstall entry under $other_key as well"
    echo "installed in ${installed#"$WINEPREFIX/drive_c/"}, with the Start-menu entry ${shortcut#"$WINEPREFIX/drive_c/"}"

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
    # No switch: the uninstaller finds the mode from where its uninstall entry is.
    "$wine" "$installed/Uninstall.exe" /S </dev/null >/dev/null 2>&1
    # The uninstaller runs on from a copy of itself: wait for its work, not for it.
    wait_for '[ ! -e "$installed/bin/nira7-analyser.exe" ] && [ ! -e "$shortcut" ]' 600 ||
        fail "$switch: the uninstaller left the program or its entry"
    "$wineserver" -w
    [ ! -e "$installed/bin" ] || fail "$switch: the uninstaller left files: $(find "$installed" | head)"
    ! has_key "$key" || fail "$switch: the uninstaller left its entry under $key"
    echo "$switch: installed, started and uninstalled"
}

machine_dir="$WINEPREFIX/drive_c/Program Files/NIRA-7 UART Analyser"
machine_menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu"
user_prog_dir="$user_dir/AppData/Local/Programs/NIRA-7 UART Analyser"
user_menu="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu"
check_mode /AllUsers "$machine_dir" "$machine_menu" "$machine_uninstall" \
    "$user_prog_dir" "$user_menu" "$user_uninstall"
check_mode /CurrentUser "$user_prog_dir" "$user_menu" "$user_uninstall" \
    "$machine_dir" "$machine_menu" "$machine_uninstall"

echo "== both at once: each install and uninstall touches only its own copy"
"$wine" "$installer" /S /CurrentUser </dev/null >/dev/null 2>&1
"$wineserver" -w
"$wine" "$installer" /S /AllUsers </dev/null >/dev/null 2>&1
"$wineserver" -w
# A new version for the user replaces the user's copy, not the machine's.
"$wine" "$installer" /S /CurrentUser </dev/null >/dev/null 2>&1
"$wineserver" -w
has_copy "$machine_dir" "$machine_uninstall" ||
    fail "installing for the user again took away the copy for everyone"
has_copy "$user_prog_dir" "$user_uninstall" ||
    fail "installing for the user again left no copy for the user"
"$wine" "$machine_dir/Uninstall.exe" /S </dev/null >/dev/null 2>&1
wait_for '[ ! -e "$machine_dir/bin/nira7-analyser.exe" ]' 600 || fail "the machine's copy stayed"
"$wineserver" -w
has_copy "$user_prog_dir" "$user_uninstall" ||
    fail "uninstalling the copy for everyone took the user's"
"$wine" "$user_prog_dir/Uninstall.exe" /S </dev/null >/dev/null 2>&1
wait_for '[ ! -e "$user_prog_dir/bin/nira7-analyser.exe" ]' 600 || fail "the user's copy stayed"
"$wineserver" -w
if has_key "$user_uninstall" || has_key "$machine_uninstall"; then
    fail "an uninstall entry stayed"
fi
echo "installer: installed, started and uninstalled for everyone and for the current user"
