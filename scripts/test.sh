#!/usr/bin/env bash
# Builds and runs every test: a warnings-as-errors build, a build under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the threaded parts
# under ThreadSanitizer; then compiles everything with clang, and checks that
# the pure libraries reach no Qt, X11, xcb or Wayland header.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=2
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
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
(cd build/release && ctest -j"$jobs" --timeout 300 --output-on-failure)

echo "== sanitizer build =="
configure build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSARON_SANITIZE=address -DTESSARON_BENCH=OFF
(cd build/asan && ctest -j"$jobs" --timeout 300 --output-on-failure)

# Qt itself is not built for ThreadSanitizer, so only the code whose threads
# are ours runs here: the launcher and the application object's signal and
# cross-thread paths, not the whole helper with Qt's D-Bus and xcb threads.
echo "== thread sanitizer build =="
configure build/tsan -DCMAKE_BUILD_TYPE=Debug -DTESSARON_SANITIZE=thread -DTESSARON_BENCH=OFF
(cd build/tsan && ctest -j"$jobs" --timeout 300 --output-on-failure -L threaded -E "^HelperBinary")

echo "== clang build =="
CXX=clang++ configure build/clang -DCMAKE_BUILD_TYPE=Debug -DTESSARON_TESTS=ON
