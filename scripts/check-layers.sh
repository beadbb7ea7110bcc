#!/usr/bin/env bash
# The layers' arrows, checked from the includes: app -> ui -> capture -> serial/receiver ->
# platform; tools and benchmarks use the libraries; tests sit beside their layer. Qt stays in
# ui/, app/ and the tests of those; nothing outside tests/ reaches into tests/ by path.
# Prints each wrong-way include and exits 1 if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

# What each place may include, by first path component of a quoted include.
allowed() {
    case "$1" in
        src/receiver) echo "receiver" ;;
        src/platform) echo "platform" ;;
        src/serial) echo "serial platform" ;;
        src/capture) echo "capture serial receiver platform" ;;
        src/ui) echo "ui capture serial receiver platform" ;;
        app/listen) echo "capture serial receiver platform" ;;
        app) echo "ui capture serial receiver platform" ;;
        tools/receiver-sim) echo "serial receiver platform" ;;
        tools/icons) echo "ui" ;;
        bench) echo "ui capture serial receiver platform" ;;
        fuzz) echo "receiver" ;;
        tests/receiver) echo "receiver" ;;
        tests/platform) echo "platform" ;;
        tests/serial|tests/win32) echo "serial settings ui/settings receiver platform" ;;
        tests/sim) echo "serial receiver platform" ;;
        tests/listen|tests/capture) echo "capture serial receiver platform" ;;
        tests/ui) echo "ui capture serial receiver platform" ;;
        tests/support) echo "serial receiver platform" ;;
        tests/icons) echo "ui" ;;
        *) echo "" ;;
    esac
}
qt_allowed() {
    case "$1" in
        src/ui|app|tools/icons|bench|tests/ui|tests/icons|tests/listen) return 0 ;;
        *) return 1 ;;
    esac
}

status=0
while IFS= read -r file; do
    dir=$(dirname "$file")
    place=$dir
    case "$dir" in
        src/*) place=$(echo "$dir" | cut -d/ -f1-2) ;;
        app/listen*) place=app/listen ;;
        app*) place=app ;;
        tools/*) place=$(echo "$dir" | cut -d/ -f1-2) ;;
        tests/*) place=$(echo "$dir" | cut -d/ -f1-2) ;;
        bench*) place=bench ;;
        fuzz*) place=fuzz ;;
    esac
    ok=$(allowed "$place")
    while IFS= read -r include; do
        [ -z "$include" ] && continue
        target=${include#\#include }
        case "$target" in
            \<Q*|\<q*)
                if ! qt_allowed "$place"; then
                    echo "$file: $target: no Qt in $place"
                    status=1
                fi ;;
            \"../*)
                if [ "${place%%/*}" != tests ]; then
                    echo "$file: $target: only tests reach other folders by path"
                    status=1
                fi ;;
            \"*/*)
                layer=${target#\"}
                layer=${layer%%/*}
                if [ "$layer" = ui ] && [ "$place" != src/ui ] && ! qt_allowed "$place"; then
                    # ui/settings is the one Qt-free unit beside the windows
                    case "$target" in \"ui/settings.hpp\") ;; *)
                        echo "$file: $target: $place may not use ui"; status=1 ;; esac
                    continue
                fi
                if ! grep -qw -- "$layer" <<<"$ok" && [ "$target" != '"ui/settings.hpp"' ]; then
                    echo "$file: $target: $place may not include $layer/"
                    status=1
                fi ;;
        esac
    done < <(grep -E '^\s*#\s*include' "$file" | sed -E 's/^\s*#\s*include\s*/#include /')
done < <(git ls-files 'src/*' 'app/*' 'tools/*' 'bench/*' 'fuzz/*' 'tests/*' | grep -E '\.(cpp|hpp|h|c)$')

if [ $status -eq 0 ]; then
    echo "layers: every include goes the right way"
fi
exit $status
