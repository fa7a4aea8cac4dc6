#!/usr/bin/env bash
# The Debian package as a person gets it: built by scripts/package.sh, checked by lintian (no
# errors), installed with apt-get, its programs, man pages, desktop file and metadata checked
# in place, then removed, leaving nothing of it in /usr. Installs on this machine: root only.
# Usage: package_test.sh
source "$(dirname "$0")/lib.sh"
root=$(cd "$(dirname "$0")/../.." && pwd)
((EUID == 0)) || skip "installing a package needs root"
need apt-get dpkg lintian zbarimg desktop-file-validate appstreamcli man

deb=$("$root/scripts/package.sh" | tail -n 1)
[[ -f $deb ]] || fail "no package was written"
lintian --fail-on error "$deb" >"$T/lintian.txt" 2>&1 || { cat "$T/lintian.txt" >&2; fail "lintian reports errors"; }
dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|' | grep -v '/$' >"$T/files"

AFTER='dpkg -s pointrelay >/dev/null 2>&1 && apt-get purge -y pointrelay >/dev/null 2>&1'
apt-get install -y --no-install-recommends "$deb" >"$T/apt.txt" 2>&1 || { cat "$T/apt.txt" >&2; fail "apt-get install"; }
[[ $(pointrelay --version) == "pointrelay $(dpkg-query -W -f='${Version}' pointrelay)" ]] ||
    fail "pointrelay --version says: $(pointrelay --version)"
PointrelayServer --version | grep -q '^PointrelayServer [0-9]' || fail "PointrelayServer --version"
for page in pointrelay pointrelayd PointrelayServer; do man -w "$page" >/dev/null || fail "no man page for $page"; done
desktop-file-validate /usr/share/applications/pointrelay-server.desktop || fail "desktop file"
desktop-file-validate /usr/share/applications/pointrelayd.desktop || fail "daemon desktop file"
grep -qx 'Exec=/usr/bin/pointrelayd' /usr/share/applications/pointrelayd.desktop || fail "daemon Exec"
appstreamcli validate --no-net /usr/share/metainfo/org.pointrelay.PointrelayServer.metainfo.xml >/dev/null ||
    fail "metainfo"

# The installed programs with a private home: a code that decodes to the stored key, and the
# tray application launched (offscreen, no tray) and running until stopped.
export HOME=$T/home XDG_CONFIG_HOME=$T/home/.config XDG_STATE_HOME=$T/home/.state
unset DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME"
pointrelay pair --png "$T/code.png" >/dev/null || fail "pointrelay pair"
[[ $(zbarimg --raw -q "$T/code.png") =~ \"psk\":\"[0-9a-f]{64}\" ]] || fail "the code has no key"
QT_QPA_PLATFORM=offscreen PointrelayServer >"$T/server.txt" 2>&1 &
PIDS+=($!)
# Launched: its first-run choices are saved; it is still running after that.
wait_for 20 "${PIDS[-1]}" test -s "$XDG_CONFIG_HOME/pointrelay/PointrelayServer.json" &&
    kill -0 "${PIDS[-1]}" || { cat "$T/server.txt" >&2; fail "PointrelayServer did not launch"; }
stop_child "${PIDS[-1]}" || true # ended by TERM, as asked

apt-get purge -y pointrelay >/dev/null 2>&1 || fail "apt-get purge"
while read -r file; do [[ ! -e $file ]] || fail "$file is left after removal"; done <"$T/files"
echo "PASS: $(basename "$deb"): lintian, install, --version, man, desktop file, pair, tray, removal"
