#!/usr/bin/env bash
# Installs every Debian package that building, testing and running the analyser needs.
# Idempotent: packages already present are left alone, and apt is not touched at all then.
# --windows adds the MinGW-w64 cross compiler, GoogleTest's sources and Wine, for building the
# Windows backends and running their tests.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format clang-tidy
    qt6-base-dev libcanberra-dev fonts-dejavu-core fonts-dejavu-extra xdg-utils
)
if [ "${1:-}" = "--windows" ]; then
    packages+=(g++-mingw-w64-x86-64-posix googletest wine64)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "bootstrap: all packages present"
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    as_root=(sudo)
elif command -v sudo >/dev/null 2>&1 && [ -t 0 ]; then
    as_root=(sudo)
else
    echo "bootstrap: these packages are missing: ${missing[*]}" >&2
    echo "bootstrap: installing them needs root; run this script as root or with sudo." >&2
    exit 1
fi

echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
