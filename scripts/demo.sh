#!/usr/bin/env bash
# The main job, as a user meets it: Tessaron is installed and has been started
# once; the user starts the freshly built helper from a download folder; the
# helper moves itself into Tessaron's container, says so in an alert (answered
# here), starts Tessaron and quits; Tessaron starts the installed helper, the
# two shake hands, and the pointer follows Tessaron's pattern on the display.
#
# Everything runs in a private mount namespace (scripts/sandbox.sh): the
# host's /Applications and HOME are never touched. Without a DISPLAY the demo
# starts a private Xvfb and stops it at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --demo

out=build/release
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" -j2 --target tessaron-helper tessaron pointer_watch >/dev/null
echo "demo: built $out/Tessaron Helper.app and $out/Tessaron.app"

box=$(mktemp -d /var/tmp/tessaron-demo-XXXXXX) # outside /tmp, which the sandbox binds in
shots=$PWD/$out/demo
rm -rf "$shots"
mkdir -p "$box/Applications" "$box/home/Downloads" "$shots"
cp -a "$out/Tessaron.app" "$box/Applications/"
cp -a "$out/Tessaron Helper.app" "$box/home/Downloads/"

# Everything started in the sandbox inherits this mark, so it can be found
# and stopped if the demo ends early.
export TESSARON_DEMO_BOX=$box
stop_sandboxed() {
    for environ in /proc/[0-9]*/environ; do
        if grep -qzx "TESSARON_DEMO_BOX=$box" "$environ" 2>/dev/null; then
            pid=${environ#/proc/}; kill "${pid%/environ}" 2>/dev/null || true
        fi
    done
}
xvfb_pid="" watch_pid=""
# Every step runs whatever the one before it did: a process already gone
# must not stop the rest of the cleanup.
cleanup() {
    set +e
    if [ -n "$watch_pid" ]; then kill "$watch_pid" 2>/dev/null; fi
    stop_sandboxed
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
    rm -rf "$box"
    return 0
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1280x800x24 3>"$shots/display" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$shots/display" ] && break; sleep 0.05; done
    number=$(head -n1 "$shots/display" 2>/dev/null || true)
    if ! [[ $number =~ ^[0-9]+$ ]]; then
        echo "demo: Xvfb did not start (is the xvfb package installed?)" >&2
        exit 1
    fi
    export DISPLAY=":$number"
    echo "demo: started a private Xvfb on $DISPLAY"
else
    echo "demo: using the display $DISPLAY"
fi

in_box() { scripts/sandbox.sh "$box" "$@"; }
shot() { xwd -root -silent | convert xwd:- "$1"; }
wait_for() { # seconds, command...
    local limit=$1; shift
    for _ in $(seq $((limit * 20))); do "$@" && return 0; sleep 0.05; done
    return 1
}

# Tessaron has been started once: its container and the group folder exist.
in_box /Applications/Tessaron.app/Contents/MacOS/tessaron -c exit >/dev/null
support="$box/home/Library/Containers/pro.tessaron/Data/Library/Application Support"
echo "demo: Tessaron's container is ready"

# What Tessaron does once the helper starts it: start the installed helper,
# draw a circle and a diagonal, come back to the centre, and close the link.
pattern="rate 4000; circle 640 400 300 1200; line 140 100 1140 700 600; move 640 400; close; wait 3000; exit"
printf '%s\n' --launch-helper -c "$pattern" >"$support/launch-arguments"

"$out/bench/pointer_watch" "$shots/trail.txt" >"$shots/watch.txt" &
watch_pid=$!
wait_for 5 grep -q watching "$shots/watch.txt"

echo "demo: starting the helper from ~/Downloads"
in_box "/home/user/Downloads/Tessaron Helper.app/Contents/MacOS/tessaron-helper" >"$shots/session.log" 2>&1 &
first=$!
alert=""
find_alert() { alert=$(xdotool search --onlyvisible --name "^Tessaron Helper v" 2>/dev/null | head -n1); [ -n "$alert" ]; }
wait_for 15 find_alert || { echo "demo: the install alert never appeared" >&2; exit 1; }
sleep 0.3
shot "$shots/install-alert.png"
echo "demo: the alert says the helper was installed; answering it"
xdotool windowfocus "$alert"
sleep 0.2
xdotool key Return
status=0
wait "$first" || status=$?
[ "$status" -eq 0 ] || { echo "demo: the first helper ended with status $status" >&2; exit 1; }
[ -x "$support/Tessaron Helper.app/Contents/MacOS/tessaron-helper" ] || { echo "demo: not installed" >&2; exit 1; }
[ ! -e "$box/home/Downloads/Tessaron Helper.app" ] || { echo "demo: the download is still there" >&2; exit 1; }
echo "demo: installed into ${support#$box/home/} ; the helper quit with status 0"

wait_for 10 grep -q handshake-ok "$shots/session.log" || { echo "demo: no link came up" >&2; cat "$shots/session.log" >&2; exit 1; }
echo "demo: Tessaron started the installed helper; the handshake is done"
# Tessaron closes the link when done; the helper quits a second later.
wait_for 60 grep -q '^helper-exited 0' "$shots/session.log" || { echo "demo: the helper did not quit in order" >&2; exit 1; }

kill "$watch_pid" 2>/dev/null || true; wait "$watch_pid" 2>/dev/null || true
watch_pid=""
sent=$(awk '/^sent [0-9]+ moves/ {n += $2} END {print n + 0}' "$shots/session.log")
motions=$(awk '/^motions/ {print $2}' "$shots/watch.txt")
read -r _ px py < <(grep '^pointer' "$shots/watch.txt")

# The trail the pointer took, drawn over the final screen.
shot "$shots/final.png"
points=$(awk 'NR % 4 == 1 {printf "%s,%s ", $1, $2}' "$shots/trail.txt")
convert "$shots/final.png" -fill none -stroke '#e04040' -strokewidth 3 -draw "polyline $points" "$shots/pattern.png"

echo "demo: Tessaron sent $sent moves; the display saw $motions pointer motions"
echo "demo: the pointer ends at ($px, $py), XQueryPointer; expected (640, 400)"
echo "demo: screenshots in $out/demo: install-alert.png (the installation alert), pattern.png (the pointer's trail)"
[ "$px" = 640 ] && [ "$py" = 400 ] && [ "$sent" -gt 0 ] && [ "$motions" -gt 0 ]
