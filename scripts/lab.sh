#!/usr/bin/env bash
# The Debian 13 desktop lab: a trixie root built with mmdebstrap from the host's own Debian
# mirror, holding today's desktops (mutter 48, kwin 6.3, sway 1.10, libei, the portals) and
# the project's build dependencies.
#
#   scripts/lab.sh check              exit 0 when the lab can run here; otherwise one line
#                                     on standard error saying why, exit 77
#   scripts/lab.sh build              build the root, or reuse the cached one
#   scripts/lab.sh run CMD [ARG...]   run CMD in the lab as the unprivileged user "lab", in a
#                                     D-Bus session, with XDG_RUNTIME_DIR=/run/user/1000
#   scripts/lab.sh root CMD [ARG...]  run CMD in the lab as root
#
# The root lives in build-lab/root and is rebuilt only when the package list below (or this
# script) changes.
# The project is bound read-only at /src; build-lab/home is the lab user's home, so builds
# made there survive between runs. Everything mounted is unmounted when the script ends, also
# after a failure or Ctrl-C. POINTRELAY_LAB_DIR moves build-lab/.
set -euo pipefail

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
lab=${POINTRELAY_LAB_DIR:-$root_dir/build-lab}
chroot_dir=$lab/root
suite=trixie

PACKAGES=(
    dbus dbus-user-session dbus-x11 procps iproute2 python3 python3-gi gir1.2-atspi-2.0 at-spi2-core
    mutter xdg-desktop-portal xdg-desktop-portal-gnome
    libei1 libeis1 liboeffis1 libei-dev libeis-dev liboeffis-dev
    kwin-wayland xdg-desktop-portal-kde qt6-wayland kwin-common plasma-workspace pipewire wireplumber
    sway wayland-utils wev
    build-essential cmake ninja-build pkg-config dpkg-dev file
    libssl-dev libavahi-compat-libdnssd-dev libgtest-dev libgmock-dev libbenchmark-dev
    libx11-dev libxtst-dev libxkbcommon-dev libwayland-dev wayland-protocols libsystemd-dev
    qt6-base-dev qt6-svg-dev qt6-websockets-dev qt6-tools-dev qt6-l10n-tools
    qtkeychain-qt6-dev libqrencode-dev
)

say() { echo "lab: $*" >&2; }

# The host's Debian mirror, as apt is configured to use it.
mirror() {
    local url=""
    if [[ -r /etc/apt/sources.list.d/debian.sources ]]; then
        url=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
    elif [[ -r /etc/apt/sources.list ]]; then
        url=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list)
    fi
    echo "${url:-http://deb.debian.org/debian}"
}

# Says why the lab cannot run on this machine, or nothing.
why_not() {
    if ((EUID != 0)); then
        echo "needs root for chroot and mount"
        return
    fi
    if ! command -v chroot >/dev/null || ! command -v mount >/dev/null; then
        echo "chroot or mount is missing"
        return
    fi
    local probe
    probe=$(mktemp -d)
    if ! mount -t tmpfs lab-probe "$probe" 2>/dev/null; then
        rmdir "$probe"
        echo "this machine refuses mount"
        return
    fi
    umount "$probe"
    rmdir "$probe"
    if [[ ! -f $(stamp_file) ]] && ! curl -fsS --max-time 10 -o /dev/null \
        "$(mirror)/dists/$suite/Release" 2>/dev/null; then
        echo "the Debian mirror $(mirror) cannot be reached"
    fi
}

stamp_file() { echo "$lab/root.packages"; }

# What the root is built from: the package list and this script (its hooks).
package_list() { printf '%s\n' "${PACKAGES[@]}" | sort; sha256sum <"${BASH_SOURCE[0]}"; }

build_root() {
    if [[ -f $(stamp_file) ]] && [[ $(cat "$(stamp_file)") == "$(package_list)" ]]; then
        return 0
    fi
    command -v mmdebstrap >/dev/null || {
        say "installing mmdebstrap"
        apt-get install -y --no-install-recommends mmdebstrap >/dev/null 2>&1 ||
            { apt-get update >/dev/null && apt-get install -y --no-install-recommends mmdebstrap >/dev/null; }
    }
    say "building the Debian 13 root in $chroot_dir (a few minutes, once)"
    rm -rf "$chroot_dir" "$(stamp_file)"
    mkdir -p "$lab"
    local include
    include=$(IFS=,; echo "${PACKAGES[*]}")
    # KWin finds the programs it may offer its fake input to through the application menu.
    local menu='<Menu><Name>Applications</Name><DefaultAppDirs/><Include><All/></Include></Menu>'
    # Package scripts must not start services; a user and a runtime folder like a login gives.
    mmdebstrap --quiet --variant=apt --include="$include" \
        --aptopt='APT::Install-Recommends "false"' \
        --customize-hook='printf "#!/bin/sh\nexit 101\n" > "$1/usr/sbin/policy-rc.d"; chmod 755 "$1/usr/sbin/policy-rc.d"' \
        --customize-hook='chroot "$1" useradd --uid 1000 --home-dir /home/lab --shell /bin/bash lab' \
        --customize-hook='mkdir -p "$1/src" "$1/etc/xdg/menus"' \
        --customize-hook="printf '%s\n' '$menu' > \"\$1/etc/xdg/menus/applications.menu\"" \
        "$suite" "$chroot_dir" "$(mirror)" >&2
    package_list >"$(stamp_file)"
}

# One command at a time: they share the root and its mounts.
lock_lab() {
    mkdir -p "$lab"
    exec 9>"$lab/lock"
    flock 9
}

mounted=()
unmount_all() {
    local i process
    # What a command left running in the lab (a test killed at its time-out) goes with it.
    for process in /proc/[0-9]*; do
        [[ $(readlink "$process/root" 2>/dev/null) == "$chroot_dir" ]] &&
            kill -KILL "${process#/proc/}" 2>/dev/null
    done
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[i]}" 2>/dev/null || true
    done
    mounted=()
}

mount_lab() {
    trap unmount_all EXIT
    trap 'unmount_all; exit 130' INT TERM
    local home=$lab/home
    mkdir -p "$home"
    chown 1000:1000 "$home"
    mount -t proc proc "$chroot_dir/proc" && mounted+=("$chroot_dir/proc")
    mount --rbind /sys "$chroot_dir/sys" && mount --make-rslave "$chroot_dir/sys" &&
        mounted+=("$chroot_dir/sys")
    mount --bind /dev "$chroot_dir/dev" && mounted+=("$chroot_dir/dev")
    mount --bind /dev/pts "$chroot_dir/dev/pts" && mounted+=("$chroot_dir/dev/pts")
    mount -t tmpfs -o mode=1777 tmpfs "$chroot_dir/dev/shm" && mounted+=("$chroot_dir/dev/shm")
    mount -t tmpfs -o mode=1777 tmpfs "$chroot_dir/tmp" && mounted+=("$chroot_dir/tmp")
    mkdir -p "$chroot_dir/run/user"
    mount -t tmpfs -o mode=755 tmpfs "$chroot_dir/run/user" && mounted+=("$chroot_dir/run/user")
    install -d -m 0700 -o 1000 -g 1000 "$chroot_dir/run/user/1000"
    install -d -m 1777 "$chroot_dir/tmp/.X11-unix"
    mount --bind "$root_dir" "$chroot_dir/src" && mount -o remount,bind,ro "$chroot_dir/src" &&
        mounted+=("$chroot_dir/src")
    mount --bind "$home" "$chroot_dir/home/lab" 2>/dev/null ||
        { mkdir -p "$chroot_dir/home/lab" && mount --bind "$home" "$chroot_dir/home/lab"; }
    mounted+=("$chroot_dir/home/lab")
    cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf" 2>/dev/null || true
}

run_as_lab() {
    chroot --userspec=1000:1000 "$chroot_dir" env -i HOME=/home/lab USER=lab LOGNAME=lab \
        PATH=/usr/local/bin:/usr/bin:/bin XDG_RUNTIME_DIR=/run/user/1000 LANG=C.UTF-8 \
        ${POINTRELAY_LAB_ENV:-} dbus-run-session -- "$@"
}

command=${1:-}
shift || true
case $command in
check)
    reason=$(why_not)
    if [[ -n $reason ]]; then
        say "skipped: $reason"
        exit 77
    fi
    ;;
build)
    lock_lab
    build_root
    ;;
run | root)
    (($# > 0)) || { say "usage: scripts/lab.sh $command CMD [ARG...]"; exit 2; }
    lock_lab
    build_root
    mount_lab
    status=0
    if [[ $command == run ]]; then
        run_as_lab "$@" || status=$?
    else
        chroot "$chroot_dir" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
            "$@" || status=$?
    fi
    unmount_all
    exit "$status"
    ;;
*)
    sed -n '2,16s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
    exit 2
    ;;
esac
