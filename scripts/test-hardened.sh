#!/usr/bin/env bash
# Builds and runs the hardened test suites, each in a build folder of its own (clang, Debug at
# -O1, no tray application):
#   asan  build-asan: ASan+UBSan with the libFuzzer targets. Runs every fuzz target for
#         POINTRELAY_FUZZ_SECONDS (20) seconds (CTest label "fuzz"), then the daemon, input,
#         client and model suites. Without clang's fuzzer runtime the fuzz targets are left out.
#   tsan  build-tsan: TSan. Runs the concurrency-heavy tests: sessions, counters, the log, the
#         statistics reporter, the pending-handshake and replay guards, the daemon with many
#         sessions and stop signals, and the X11 adapter shared by concurrent sessions.
# Usage: scripts/test-hardened.sh [asan] [tsan]      (both when none is named)
# POINTRELAY_BUILD_LOCK=FILE serialises the builds with other builds on the machine (flock).
# Exit status: non-zero when any build or suite failed; every named part runs regardless.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
scripts/setup.sh

parts=("$@")
((${#parts[@]})) || parts=(asan tsan)

# Reports are fatal and name their source lines; leaks are checked in every process.
# Leak suppressions cover third-party libraries only (each entry with its reason in the file).
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export LSAN_OPTIONS=suppressions=$root/scripts/sanitizers/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

status=0
timings=()

seconds_since() { echo $((SECONDS - $1)); }

# cmake --build, serialised with other builds on this machine when a lock file is named.
build() {
    if [[ -n ${POINTRELAY_BUILD_LOCK:-} ]]; then
        flock "$POINTRELAY_BUILD_LOCK" cmake --build "$@"
    else
        cmake --build "$@"
    fi
}

configure() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
        -DPOINTRELAY_WITH_UI=OFF "$@" >/dev/null
}

# Runs ctest and records its time; a failure is remembered, not fatal.
run_ctest() {
    local name=$1
    shift
    local start=$SECONDS
    echo "== hardened: $name"
    ctest --output-on-failure "$@" || status=1
    timings+=("$name: $(seconds_since "$start") s")
}

fuzzer_runtime_present() {
    local probe
    probe=$(mktemp -d)
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        >"$probe/probe.cpp"
    local rc=0
    clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1 || rc=1
    rm -rf "$probe"
    return $rc
}

run_asan() {
    local fuzz=OFF
    if fuzzer_runtime_present; then
        fuzz=ON
    else
        echo "hardened: clang's fuzzer runtime is missing; the fuzz targets are skipped" >&2
    fi
    local start=$SECONDS
    if ! configure build-asan -DPOINTRELAY_SANITIZE=address,undefined -DPOINTRELAY_FUZZ=$fuzz ||
        ! build build-asan -j2; then
        status=1
        return
    fi
    timings+=("build-asan build: $(seconds_since "$start") s")
    if [[ $fuzz == ON ]]; then
        run_ctest "fuzz targets (ASan+UBSan)" --test-dir build-asan -L fuzz -j2
    fi
    # The load tests measure the daemon under load; they run in the ordinary build only.
    run_ctest "ASan+UBSan suites" --test-dir build-asan -LE "fuzz|load" -j2
}

run_tsan() {
    local start=$SECONDS
    if ! configure build-tsan -DPOINTRELAY_SANITIZE=thread ||
        ! build build-tsan -j2 --target core_tests daemon_tests x11_tests; then
        status=1
        return
    fi
    timings+=("build-tsan build: $(seconds_since "$start") s")
    # No Qt code runs under TSan: Qt is not instrumented, so its own locking is invisible, and
    # QProcess's way of starting a child breaks the TSan runtime (clang 14 stops on an internal
    # check, GCC 12 then reports races on data read and written under one mutex). So: every
    # test of core_tests and daemon_tests, the X11 adapter with the daemon on X11, and DNS-SD.
    local suites
    suites=$(for binary in build-tsan/tests/core_tests build-tsan/tests/daemon_tests; do
        "$binary" --gtest_list_tests | sed -n 's/^\([A-Za-z0-9_/]*\)\.$/\1/p'
    done | paste -sd '|')
    local tests="^($suites)\\.|^(x11_event_sink|dnssd_advertisement)\$"
    run_ctest "TSan suites" --test-dir build-tsan -R "$tests" -j2
}

for part in "${parts[@]}"; do
    case $part in
    asan) run_asan ;;
    tsan) run_tsan ;;
    *)
        echo "usage: $0 [asan] [tsan]" >&2
        exit 2
        ;;
    esac
done

echo "== hardened: times"
printf '   %s\n' "${timings[@]}"
exit $status
