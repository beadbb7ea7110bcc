#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine, builds into build/ and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
scripts/configure.sh
cmake --build build --parallel
ctest --test-dir build --output-on-failure --parallel 2 --timeout 300
