#!/usr/bin/env bash
# clang-tidy with the project's configuration on the program's sources (the Windows-only files
# need the Windows headers and are left to the MinGW build's warnings). Needs a configured
# build/ (its compile_commands.json). Every finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/compile_commands.json ] || { echo "tidy: configure build/ first (scripts/test.sh)" >&2; exit 2; }
files=$(git ls-files 'src/*.cpp' 'app/*.cpp' 'tools/*.cpp' | grep -v '/win32_')
status=0
# Two at a time: a file with the Qt headers takes a few seconds. The build's flags are GCC's; clang
# does not know some of them (-Wno-restrict), which -Werror would make an error.
echo "$files" | xargs -P 2 -n 4 clang-tidy -p build --quiet --extra-arg=-Wno-unknown-warning-option \
    2>/dev/null >build/tidy.log || status=$?
if [ "$status" -ne 0 ] || grep -q 'error:' build/tidy.log; then
    grep -E 'error:|warning:' -A3 build/tidy.log
    echo "tidy: findings above"
    exit 1
fi
echo "tidy: $(echo "$files" | wc -l) files, no findings"
