#!/usr/bin/env bash
# Builds the Debian package into build-deb/: a release build installed under /usr, stripped,
# its dependencies worked out from the programs' shared libraries.
set -euo pipefail
cd "$(dirname "$0")/.."

werror=OFF
if [ "${CI:-}" = "true" ]; then
    werror=ON
fi
# Debian's hardening flags, all of them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DNIRA_TESTS=OFF -DNIRA_BENCH=OFF -DNIRA_WERROR="$werror" >/dev/null
cmake --build build-deb --parallel
(cd build-deb && cpack -G DEB)
ls build-deb/*.deb
