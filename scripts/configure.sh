#!/usr/bin/env bash
# Configures build/ with Ninja. A build/ that an earlier run configured with another generator is
# configured anew (its cache goes; the sources are never touched). Extra arguments go to cmake.
# Warnings are errors when NIRA_WERROR=ON is in the environment, and always under CI.
set -euo pipefail
cd "$(dirname "$0")/.."

werror=OFF
if [ "${CI:-}" = "true" ] || [ "${NIRA_WERROR:-}" = "ON" ]; then
    werror=ON
fi
if [ -f build/CMakeCache.txt ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' build/CMakeCache.txt; then
    echo "configure: build/ was configured with another generator; configuring it anew"
    rm -rf build/CMakeCache.txt build/CMakeFiles
fi
cmake -S . -B build -G Ninja -DNIRA_WERROR="$werror" "$@" >/dev/null
