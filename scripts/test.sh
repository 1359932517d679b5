#!/usr/bin/env bash
# Builds and runs every test: a warnings-as-errors build, a build under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the threaded parts
# under ThreadSanitizer; then compiles everything with clang and runs each
# fuzz target for a bounded time, and checks that the pure libraries reach
# no Qt, X11, xcb or Wayland header.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=2
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"

configure() {
    local dir=$1; shift
    cmake -S . -B "$dir" -DTESSARON_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

echo "== release build =="
configure build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
scripts/check-pure-deps.sh build/release
# The faults the tests try are recorded and make docs/RELIABILITY.md.
trials=$PWD/build/release/trials
rm -rf "$trials" && mkdir -p "$trials"
(cd build/release && TESSARON_TRIALS=$trials ctest -j"$jobs" --timeout 300 --output-on-failure)
scripts/reliability-report.sh "$trials" >build/release/RELIABILITY.md
if ! diff -u docs/RELIABILITY.md build/release/RELIABILITY.md; then
    # Some trials need root (a peer of another user); without it they skip.
    if [ "$(id -u)" -eq 0 ]; then
        echo "docs/RELIABILITY.md differs from this run: copy build/release/RELIABILITY.md over it" >&2
        exit 1
    fi
    echo "note: not root, so docs/RELIABILITY.md was not checked against this run" >&2
fi

echo "== sanitizer build =="
configure build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSARON_SANITIZE=address -DTESSARON_BENCH=OFF
(cd build/asan && ctest -j"$jobs" --timeout 300 --output-on-failure)

# Qt itself is not built for ThreadSanitizer, so only the code whose threads
# are ours runs here: the launcher and the application object's signal and
# cross-thread paths, not the whole helper with Qt's D-Bus and xcb threads.
echo "== thread sanitizer build =="
configure build/tsan -DCMAKE_BUILD_TYPE=Debug -DTESSARON_SANITIZE=thread -DTESSARON_BENCH=OFF
(cd build/tsan && ctest -j"$jobs" --timeout 300 --output-on-failure -L threaded -E "^HelperBinary")

# Everything compiles with clang too; the fuzz targets are built here and
# each runs for a bounded time from its seeds. A finding fails the run and
# leaves its input in build/clang/fuzz-findings, to become a seed.
echo "== clang build and fuzzing =="
CC=clang CXX=clang++ configure build/clang -DCMAKE_BUILD_TYPE=Debug -DTESSARON_TESTS=ON -DTESSARON_FUZZ=ON
fuzz_seconds=${TESSARON_FUZZ_SECONDS:-20}
findings=build/clang/fuzz-findings
mkdir -p "$findings"
for target in protocol_layer service url_event info_plist; do
    work=$(mktemp -d)
    if ! build/clang/fuzz/${target}_fuzz -max_total_time="$fuzz_seconds" -print_final_stats=1 \
        -artifact_prefix="$findings/$target-" "$work" "fuzz/corpus/$target" >"$findings/$target.log" 2>&1; then
        tail -n 40 "$findings/$target.log"
        rm -rf "$work"
        echo "fuzzing $target found a fault: $findings" >&2
        exit 1
    fi
    rm -rf "$work"
    echo "fuzz $target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$findings/$target.log" | grep -o '[0-9]*$') runs," \
        "$(grep -o 'cov: [0-9]*' "$findings/$target.log" | tail -n1) edges in ${fuzz_seconds}s"
done
