#!/usr/bin/env bash
# Configure and build Pointrelay into build/ (Ninja, RelWithDebInfo).
# Extra CMake arguments: POINTRELAY_CMAKE_ARGS="-DPOINTRELAY_WERROR=ON ..."
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh

read -r -a extra_args <<<"${POINTRELAY_CMAKE_ARGS:-}"

# Configuring is cheap and picks up CMakeLists.txt changes; always do it.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra_args[@]}"
cmake --build build -j2
