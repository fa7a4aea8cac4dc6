#!/usr/bin/env bash
# Install the Debian packages needed to build and test Pointrelay.
# Quiet and idempotent: prints nothing when everything is already installed.
set -euo pipefail

# ---- Required Debian packages (extend this list as the project grows) ----
PACKAGES=(
    build-essential cmake ninja-build pkg-config
    libssl-dev libavahi-compat-libdnssd-dev
    avahi-daemon avahi-utils dbus
    libgtest-dev libgmock-dev libbenchmark-dev
    procps iproute2
    xvfb x11-utils xdotool libx11-dev libxtst-dev
    qt6-base-dev libxkbcommon-dev libqrencode-dev zbar-tools fonts-noto-cjk
    qtkeychain-qt6-dev libsecret-1-0 gnome-keyring libsecret-tools lsof
    qt6-svg-dev trayer imagemagick qt6-tools-dev qt6-l10n-tools
    clang libclang-rt-dev llvm
    libwayland-dev wayland-protocols libsystemd-dev sway mutter libglib2.0-bin python3-gi
    qt6-websockets-dev chromium fonts-noto-color-emoji
    lintian desktop-file-utils appstream man-db
)
# ---------------------------------------------------------------------------

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "setup.sh: dpkg-query not found (not Debian?); skipping package check" >&2
    exit 0
fi

missing=()
for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$pkg")
done
# Node.js and npm for the browser page's tests (npm ci in web/): Debian's unless some other
# installation already provides both.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    missing+=(nodejs npm)
fi
# The browser page's npm packages, exactly as web/package-lock.json pins them: its tests need
# them (the C++ build never does). Run again whenever the lock file is newer.
install_web_packages() {
    local web
    web=$(cd "$(dirname "${BASH_SOURCE[0]}")/../web" && pwd)
    if [[ ! -f $web/node_modules/.package-lock.json ||
        $web/package-lock.json -nt $web/node_modules/.package-lock.json ]]; then
        (cd "$web" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund \
            --loglevel=error >&2)
    fi
}

if ((${#missing[@]} == 0)); then
    install_web_packages
    exit 0
fi

if ((EUID == 0)); then
    SUDO=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    SUDO=(sudo -n)
else
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
fi

# Without systemd (containers, CI) package scripts may try to start avahi-daemon
# or dbus through invoke-rc.d; block that unless a policy is already in place.
policy=/usr/sbin/policy-rc.d
if [[ ! -d /run/systemd/system && ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' | "${SUDO[@]}" tee "$policy" >/dev/null
    "${SUDO[@]}" chmod 755 "$policy"
    trap '"${SUDO[@]}" rm -f "$policy"' EXIT
fi

echo "Installing missing packages: ${missing[*]}" >&2
"${SUDO[@]}" apt-get update
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
install_web_packages
