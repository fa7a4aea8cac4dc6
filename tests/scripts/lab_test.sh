#!/usr/bin/env bash
# The Wayland tests on today's desktops: builds the daemon and its test clients inside the
# Debian 13 lab (scripts/lab.sh) with Debian 13's compilers and libraries, then runs the
# CTest tests named by the pattern there (default: the compositor tests) as the lab's user.
# Usage: lab_test.sh [CTEST-REGEX]
# Exit: the tests' status; 77 skip (no root, no mount or chroot, no mirror; one line says why).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
lab=$root/scripts/lab.sh
"$lab" check || exit $?
"$lab" build
pattern=${1:-'^(daemon_on_(sway|mutter|kwin|gnome_portal|kde_portal)|EiClient\.)'}
exec "$lab" run bash -c '
    set -e
    cmake -S /src -B ~/build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOINTRELAY_WERROR=ON >/dev/null
    cmake --build ~/build -j2 --target pointrelayd pointrelay daemon_wayland_tests wayland_witness \
        ei_client_tests >~/build.log 2>&1 || { tail -n 40 ~/build.log; exit 1; }
    ctest --test-dir ~/build --output-on-failure -R "$1"' lab-test "$pattern"
