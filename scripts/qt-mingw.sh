#!/usr/bin/env bash
# Unpacks Qt for Windows (MinGW-w64 build of the same Qt version as Debian's) into
# build-qt-mingw/qt6-mingw, where the mingw-gui preset looks for it. The archive is made once by
# its own build script and handed out beside the project; it is unpacked, never rebuilt here.
#   NIRA_QT_MINGW_ARCHIVE  the archive (default: qt6-mingw-6.4.2.tar.xz in the shared folder
#                          beside the clone, ../shared)
# Exit status 3: no archive, so no Windows program can be built here.
set -euo pipefail
cd "$(dirname "$0")/.."
archive="${NIRA_QT_MINGW_ARCHIVE:-../shared/qt6-mingw-6.4.2.tar.xz}"
target=build-qt-mingw
if [ -f "$target/qt6-mingw/lib/cmake/Qt6/Qt6Config.cmake" ] && [ "$target/.unpacked" -nt "$archive" ]; then
    exit 0
fi
if [ ! -f "$archive" ]; then
    echo "qt-mingw: no Qt for Windows at $archive; set NIRA_QT_MINGW_ARCHIVE to the archive" >&2
    exit 3
fi
rm -rf "$target"
mkdir -p "$target"
tar -xJf "$archive" -C "$target"
touch "$target/.unpacked"
echo "qt-mingw: unpacked into $target/qt6-mingw"
