#!/usr/bin/env bash
# The analyser's command line without a display: help (Qt's --help-all too) and the version are
# printed and end the program; nothing tries to open a window.
# Usage: command_line_check.sh <nira7-analyser>
set -uo pipefail
analyser=$1
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
for option in --help --help-all -h --version; do
    out=$("$analyser" "$option" 2>&1)
    status=$?
    [ "$status" -eq 0 ] || { echo "FAILED: $option ended with status $status: $out"; exit 1; }
    if [ "$option" = --version ]; then
        grep -q "^nira7-analyser [0-9]" <<<"$out" || { echo "FAILED: $option printed: $out"; exit 1; }
    else
        grep -q -- "--port <NAME>" <<<"$out" || { echo "FAILED: $option printed: $out"; exit 1; }
    fi
done
out=$("$analyser" --no-such-option 2>&1)
[ $? -eq 2 ] && grep -q "no-such-option" <<<"$out" || { echo "FAILED: a bad option: $out"; exit 1; }
echo "command line: help, --help-all and the version printed without a display"
