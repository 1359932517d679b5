#!/usr/bin/env bash
# Builds and runs every test twice: a warnings-as-errors build, and a build
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=2
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run() {
    local dir=$1; shift
    cmake -S . -B "$dir" -DTESSARON_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest -j"$jobs" --timeout 300 --output-on-failure)
}

echo "== release build =="
run build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build =="
run build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSARON_SANITIZE=ON -DTESSARON_BENCH=OFF
