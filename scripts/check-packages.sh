#!/usr/bin/env bash
# Checks the two Debian packages scripts/package.sh built (as root, on a Debian machine): lintian,
# the desktop files, the service unit (systemd's own checks and its security score), then both
# installed, run, removed and purged with nothing left behind.
set -euo pipefail
cd "$(dirname "$0")/.."

listen_deb=$(ls build-deb/nira7-listen_*.deb)
analyser_deb=$(ls build-deb/nira7-analyser_*.deb)
units=(packaging/listen/nira7-listen@.service packaging/listen/nira7-listen-mqtt@.service)

desktop-file-validate packaging/org.example.Nira7Analyser.desktop
appstreamcli validate --no-net packaging/org.example.Nira7Analyser.metainfo.xml
for deb in "$listen_deb" "$analyser_deb"; do
    # Errors fail the run; warnings are shown.
    lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1 | grep -v 'root privileges' || true
    lintian --fail-on error "$deb" >/dev/null 2>&1
done

# What the menu entry and the metainfo name is in the package that ships them, and each program
# has its manual page beside it: a new split of the packages cannot lose a file silently.
shipped() { dpkg-deb -c "$1" | awk '{ print $6 }' | sed 's|^\./|/|'; }
listen_files=$(shipped "$listen_deb")
analyser_files=$(shipped "$analyser_deb")
need() {  # package-name file-list path why
    grep -qxF "$3" <<<"$2" || { echo "FAILED: $1 does not ship $3 ($4)"; exit 1; }
}
desktop=packaging/org.example.Nira7Analyser.desktop
metainfo=packaging/org.example.Nira7Analyser.metainfo.xml
need nira7-analyser "$analyser_files" "/usr/share/applications/$(basename "$desktop")" "the menu entry"
need nira7-analyser "$analyser_files" "/usr/share/metainfo/$(basename "$metainfo")" "the metainfo"
icon=$(sed -n 's/^Icon=//p' "$desktop")
need nira7-analyser "$analyser_files" "/usr/share/icons/hicolor/scalable/apps/$icon.svg" "$desktop"
for size in $(sed -n 's/^set(NIRA_ICON_SIZES \(.*\))$/\1/p' tools/icons/CMakeLists.txt); do
    need nira7-analyser "$analyser_files" "/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png" \
        "$desktop"
done
for program in $(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop") \
               $(sed -n 's|.*<binary>\(.*\)</binary>.*|\1|p' "$metainfo"); do
    need nira7-analyser "$analyser_files" "/usr/bin/$program" "$desktop or $metainfo"
done
for package in nira7-listen nira7-analyser; do
    files=$listen_files
    [ "$package" = nira7-analyser ] && files=$analyser_files
    for program in $(grep '^/usr/bin/.' <<<"$files"); do
        need "$package" "$files" "/usr/share/man/man1/$(basename "$program").1.gz" "the page of $program"
    done
done
need nira7-listen "$listen_files" /usr/bin/nira7-listen "the listener"

# The listener's package stands alone: nothing of Qt or the desktop.
if dpkg-deb -f "$listen_deb" Depends | grep -Eq 'qt|canberra|libx|libgl'; then
    echo "FAILED: nira7-listen depends on more than it runs: $(dpkg-deb -f "$listen_deb" Depends)"
    exit 1
fi

# Each unit's exposure (0 safe .. 10 exposed) must stay at 2.0 or below.
for unit in "${units[@]}"; do
    score=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1 |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    echo "service unit exposure of $(basename "$unit"): $score"
    awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 2.0) }' ||
        { echo "FAILED: the exposure of $unit is ${score:-unknown}, above 2.0"; exit 1; }
done

apt-get install -y -q "./$listen_deb" >/dev/null
dpkg -L nira7-listen | grep -E 'bin/|\.service|logrotate|man1'
/usr/bin/nira7-listen --version
getent passwd nira7 >/dev/null || { echo "FAILED: no user nira7"; exit 1; }
systemd-analyze verify --man=no /lib/systemd/system/nira7-listen@.service \
    /lib/systemd/system/nira7-listen-mqtt@.service
[ "$(stat -c %a /etc/nira7-listen/mqtt.env)" = 600 ] ||
    { echo "FAILED: /etc/nira7-listen/mqtt.env (it holds the broker's password) is not 0600"; exit 1; }
# Enabled as an operator would (no systemd running here: the link as systemctl makes it).
mkdir -p /etc/systemd/system/multi-user.target.wants
ln -sf /lib/systemd/system/nira7-listen@.service \
    /etc/systemd/system/multi-user.target.wants/nira7-listen@ttyUSB0.service
ln -sf /lib/systemd/system/nira7-listen-mqtt@.service \
    /etc/systemd/system/multi-user.target.wants/nira7-listen-mqtt@ttyUSB1.service
mkdir -p /var/log/nira7 && touch /var/log/nira7/ttyUSB0.log
mkdir -p /var/lib/nira7/mqtt-spool && touch /var/lib/nira7/mqtt-spool/lock

apt-get install -y -q "./$analyser_deb" >/dev/null
dpkg -L nira7-analyser | grep -E 'bin/|\.desktop|icons/.*/apps|metainfo|man1'
/usr/bin/nira7-analyser --version
/usr/bin/nira7-receiver-sim --help | head -n 3

apt-get remove -y -q nira7-analyser nira7-listen >/dev/null
[ -e /usr/bin/nira7-listen ] && { echo "FAILED: nira7-listen left after remove"; exit 1; }
# Removed, not purged: the operator's logs and settings stay.
[ -e /var/log/nira7/ttyUSB0.log ] || { echo "FAILED: remove deleted the logs"; exit 1; }
[ -e /var/lib/nira7/mqtt-spool ] || { echo "FAILED: remove deleted the spool"; exit 1; }
dpkg --purge nira7-listen >/dev/null
left=$(ls -d /etc/systemd/system/*.wants/nira7-listen* /var/log/nira7 /var/lib/nira7 \
    /etc/logrotate.d/nira7-listen /etc/nira7-listen 2>/dev/null || true)
if [ -n "$left" ] || dpkg -L nira7-listen >/dev/null 2>&1 || dpkg -L nira7-analyser >/dev/null 2>&1; then
    echo "FAILED: left after purge: $left"
    exit 1
fi
echo "packages: checked, installed, removed and purged with nothing left"
