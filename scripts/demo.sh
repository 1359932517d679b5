#!/usr/bin/env bash
# The main job: builds the helper bundle and runs it on a display. Without a
# DISPLAY it starts a private Xvfb of its own and stops it again at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j2 --target tessaron-helper
helper="build/release/Tessaron Helper.app/Contents/MacOS/tessaron-helper"

work=$(mktemp -d)
xvfb_pid=""
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
    Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1280x800x24 3>"$work/display" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
    export DISPLAY=":$(head -n1 "$work/display")"
    echo "demo: started a private Xvfb on $DISPLAY (pid $xvfb_pid)"
else
    echo "demo: using the display $DISPLAY"
fi

echo "demo: bundle $(dirname "$(dirname "$(dirname "$helper")")")"
"$helper" &
pid=$!
sleep 1
if kill -0 "$pid" 2>/dev/null; then
    echo "demo: the helper is running (pid $pid); asking it to quit with SIGTERM"
else
    wait "$pid" || true
    echo "demo: the helper ended early" >&2
    exit 1
fi
start=$(date +%s%N)
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
echo "demo: the helper quit in order with status $status after $(( ($(date +%s%N) - start) / 1000000 )) ms"
[ "$status" -eq 0 ]
