#!/usr/bin/env bash
# Builds the Windows installer and zip into build-win/: the whole program cross-built with
# MinGW-w64 against Qt for Windows (scripts/qt-mingw.sh unpacks it), in release mode, stripped,
# with Qt's DLLs and plugins and MinGW's runtime beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

werror=OFF
if [ "${CI:-}" = "true" ]; then
    werror=ON
fi
scripts/qt-mingw.sh
cmake --preset mingw-gui -B build-win -DCMAKE_BUILD_TYPE=Release -DNIRA_TESTS=OFF \
    -DNIRA_WERROR="$werror" >/dev/null
cmake --build build-win --parallel
(cd build-win && cpack -G "NSIS;ZIP")
ls build-win/nira7-analyser-*-win64.exe build-win/nira7-analyser-*-win64.zip
