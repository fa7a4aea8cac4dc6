#!/usr/bin/env bash
# Runs a command in a network namespace of its own with only loopback, up, where the system
# allows one (root); elsewhere as it is. Its ports are then its own: no test running at the same
# time can take one between the check that it is free and its use.
# Usage: in_private_network.sh CMD [ARG...]   (sets POINTRELAY_NETNS for the command)
set -euo pipefail
if unshare -n true 2>/dev/null; then
    POINTRELAY_NETNS=1 exec unshare -n -- bash -c 'ip link set lo up && exec "$@"' - "$@"
fi
POINTRELAY_NETNS=0 exec "$@"
