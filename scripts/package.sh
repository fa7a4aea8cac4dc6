#!/usr/bin/env bash
# Builds the Debian package: the programs in Release with Debian's hardening flags, in a build
# folder of their own (build-package/, no tests), then CPack writes
# build-package/pointrelay_VERSION_ARCH.deb and this prints its path.
# POINTRELAY_PACKAGE_DIR overrides the folder; POINTRELAY_BUILD_LOCK=FILE serialises the build
# with other builds on the machine (flock); POINTRELAY_SKIP_SETUP=1 installs nothing first.
# In the Debian 13 lab: scripts/lab.sh run env POINTRELAY_SKIP_SETUP=1
#   POINTRELAY_PACKAGE_DIR=/home/lab/package /src/scripts/package.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${POINTRELAY_PACKAGE_DIR:-$root/build-package}
# The Debian 13 lab (scripts/lab.sh) brings its own build dependencies.
[[ ${POINTRELAY_SKIP_SETUP:-0} == 1 ]] || "$root/scripts/setup.sh"

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { echo "$(dpkg-buildflags --get "$1") $(dpkg-buildflags --get CPPFLAGS)"; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOINTRELAY_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_FLAGS="$(flags CFLAGS)" -DCMAKE_CXX_FLAGS="$(flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
if [[ -n ${POINTRELAY_BUILD_LOCK:-} ]]; then
    flock "$POINTRELAY_BUILD_LOCK" cmake --build "$build" -j2
else
    cmake --build "$build" -j2
fi
rm -f "$build"/pointrelay_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/pointrelay_*.deb
