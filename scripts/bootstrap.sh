#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the analyser need.
#   --ci       adds what only CI uses: clang and its runtime for the fuzzer, clang-format and
#              clang-tidy, and the package checks (lintian, desktop-file-validate, appstreamcli,
#              systemd-analyze)
#   --windows  adds the MinGW-w64 cross compiler, GoogleTest's sources and Wine, for building the
#              Windows program and running its tests; NSIS for its installer
# The base set has an X server, xdotool, xev (x11-utils) and a window manager (openbox): tests
# drive the window through real input, and type into another program while it listens; and an
# MQTT broker (mosquitto) with openssl: the listener's publishing is tested against a real broker,
# over TLS with certificates made by the test; strace shows a test what reaches the disk.
# Idempotent: packages already present are left alone, and apt is not touched at all then.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config dpkg-dev file
    libgtest-dev libgmock-dev
    qt6-base-dev qt6-svg-dev libcanberra-dev fonts-dejavu-core fonts-dejavu-extra xdg-utils
    xvfb xdotool x11-utils openbox
    libmosquitto-dev mosquitto openssl strace
)
for flag in "$@"; do
    case "$flag" in
        --ci) packages+=(clang libclang-rt-14-dev clang-format clang-tidy lintian desktop-file-utils
                         appstream systemd adduser) ;;
        --windows) packages+=(g++-mingw-w64-x86-64-posix googletest wine64 nsis) ;;
        *) echo "bootstrap: unknown option $flag (use --ci or --windows)" >&2; exit 2 ;;
    esac
done

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
