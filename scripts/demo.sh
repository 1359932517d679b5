#!/usr/bin/env bash
# The main job, as a user meets it: Tessaron is installed and has been started
# once; the user starts the freshly built helper from a download folder; the
# helper moves itself into Tessaron's container, says so in an alert (answered
# here), starts Tessaron and quits; Tessaron starts the installed helper, the
# two shake hands, and the pointer follows Tessaron's pattern on the display.
#
#   scripts/demo.sh [--wayland]
#
# Everything runs in a private mount namespace (scripts/sandbox.sh): the
# host's /Applications and HOME are never touched. Without a DISPLAY the demo
# starts a private Xvfb and stops it at the end. With --wayland it plays on a
# private headless sway instead, stopped at the end; sway refuses root, so as
# root sway and every client of it, the sandbox too, run as nobody (65534).
set -euo pipefail
cd "$(dirname "$0")/.."
wayland=false
case "${1:-}" in
    --wayland) wayland=true ;;
    "") ;;
    *) echo "usage: $0 [--wayland]" >&2; exit 2 ;;
esac
scripts/install-deps.sh --demo

out=build/release
watcher=pointer_watch
if $wayland; then watcher=wayland-pointer-recorder; fi
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" -j2 --target tessaron-helper tessaron "$watcher" >/dev/null
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
xvfb_pid="" watch_pid="" sway_pid="" sway_dir=""
# Every step runs whatever the one before it did: a process already gone
# must not stop the rest of the cleanup.
cleanup() {
    set +e
    if [ -n "$watch_pid" ]; then kill "$watch_pid" 2>/dev/null; fi
    stop_sandboxed
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
    if [ -n "$sway_pid" ]; then kill "$sway_pid" 2>/dev/null; wait "$sway_pid" 2>/dev/null; fi
    rm -rf "$box" ${sway_dir:+"$sway_dir"}
    return 0
}
trap cleanup EXIT
wait_for() { # seconds, command...
    local limit=$1; shift
    for _ in $(seq $((limit * 20))); do "$@" && return 0; sleep 0.05; done
    return 1
}

# What differs between the two: the display, how a screenshot is taken, how
# the alert is found and answered, and who watches the pointer. The watcher
# leaves $shots/trail.txt ("X Y" a motion) and sets motions, px and py.
as_user=()
if $wayland; then
    [ "$(id -u)" -ne 0 ] || as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    recorder=$out/tools/wayland-pointer-recorder
    if [ ${#as_user[@]} -gt 0 ] && ! "${as_user[@]}" test -x "$recorder" -a -r scripts/sandbox.sh; then
        echo "demo: sway refuses root, so its clients run as uid 65534, which cannot run $recorder" \
            "or read scripts/sandbox.sh here: use a checkout that user can read" >&2
        exit 1
    fi
    start_display() {
        sway_dir=$(mktemp -d /tmp/tessaron-sway-XXXXXX)
        mkdir -m 700 "$sway_dir/run" "$sway_dir/client-run"
        printf '%s\n' "xwayland disable" "swaynag_command -" \
            "output HEADLESS-1 resolution 1280x800 position 0 0 scale 1" >"$sway_dir/config"
        [ ${#as_user[@]} -eq 0 ] || chown -R 65534:65534 "$sway_dir"
        # Nothing of our environment reaches it; stopped by this pid.
        (cd "$sway_dir" && exec "${as_user[@]}" env -i WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
            WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=1 HOME="$sway_dir" XDG_RUNTIME_DIR="$sway_dir/run" \
            PATH=/usr/bin:/bin sway -c config) >"$sway_dir/log" 2>&1 &
        sway_pid=$!
        local uid
        uid=$("${as_user[@]}" id -u)
        export SWAYSOCK=$sway_dir/run/sway-ipc.$uid.$sway_pid.sock
        export WAYLAND_DISPLAY=$sway_dir/run/wayland-1 XDG_RUNTIME_DIR=$sway_dir/client-run
        unset DISPLAY
        if ! wait_for 10 output_ready; then
            echo "demo: sway did not start (is the sway package installed?)" >&2
            cat "$sway_dir/log" >&2
            exit 1
        fi
        echo "demo: started a private headless sway at $WAYLAND_DISPLAY as uid $uid"
    }
    sway_msg() { "${as_user[@]}" swaymsg "$@"; }
    output_ready() { sway_msg -t get_outputs 2>/dev/null | grep -q '"height": 800'; }
    shot() { "${as_user[@]}" grim - >"$1"; }
    find_alert() { alert=$(sway_msg -t get_tree | grep -o '"name": "Tessaron Helper v[^"]*"' | head -n1); [ -n "$alert" ]; }
    # Closing the alert answers it as well as its button does.
    answer_alert() { sway_msg '[title="^Tessaron Helper v"] kill' >/dev/null; }
    # A full-screen client: started once the alert's screenshot is taken.
    start_watch() {
        "${as_user[@]}" "$recorder" >"$shots/recorder.txt" &
        watch_pid=$!
        wait_for 10 grep -q '^ready' "$shots/recorder.txt" || { echo "demo: the recorder did not start" >&2; exit 1; }
    }
    stop_watch() {
        kill "$watch_pid" 2>/dev/null || true; wait "$watch_pid" 2>/dev/null || true
        watch_pid=""
        awk '$1 == "motion" {print $2, $3}' "$shots/recorder.txt" >"$shots/trail.txt"
        motions=$(wc -l <"$shots/trail.txt")
        read -r _ px py < <(grep -E '^(enter|motion) ' "$shots/recorder.txt" | tail -n1)
        seen_by="the recorder (a Wayland client) saw" read_back="the recorder's last event"
    }
else
    start_display() {
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
    }
    shot() { xwd -root -silent | convert xwd:- "$1"; }
    find_alert() { alert=$(xdotool search --onlyvisible --name "^Tessaron Helper v" 2>/dev/null | head -n1); [ -n "$alert" ]; }
    answer_alert() {
        xdotool windowfocus "$alert"
        sleep 0.2
        xdotool key Return
    }
    start_watch() {
        "$out/bench/pointer_watch" "$shots/trail.txt" >"$shots/watch.txt" &
        watch_pid=$!
        wait_for 5 grep -q watching "$shots/watch.txt"
    }
    stop_watch() {
        kill "$watch_pid" 2>/dev/null || true; wait "$watch_pid" 2>/dev/null || true
        watch_pid=""
        motions=$(awk '/^motions/ {print $2}' "$shots/watch.txt")
        read -r _ px py < <(grep '^pointer' "$shots/watch.txt")
        seen_by="the display saw" read_back="XQueryPointer"
    }
fi
start_display

# The sandbox belongs to whoever runs in it.
hand_box() { [ ${#as_user[@]} -eq 0 ] || chown -R 65534:65534 "$box"; }
in_box() { "${as_user[@]}" scripts/sandbox.sh "$box" "$@"; }
hand_box

# Tessaron has been started once: its container and the group folder exist.
in_box /Applications/Tessaron.app/Contents/MacOS/tessaron -c exit >/dev/null
support="$box/home/Library/Containers/pro.tessaron/Data/Library/Application Support"
echo "demo: Tessaron's container is ready"

# What Tessaron does once the helper starts it: start the installed helper,
# draw a circle and a diagonal, come back to the centre, and close the link.
pattern="rate 4000; circle 640 400 300 1200; line 140 100 1140 700 600; move 640 400; close; wait 3000; exit"
printf '%s\n' --launch-helper -c "$pattern" >"$support/launch-arguments"
hand_box

echo "demo: starting the helper from ~/Downloads"
in_box "/home/user/Downloads/Tessaron Helper.app/Contents/MacOS/tessaron-helper" >"$shots/session.log" 2>&1 &
first=$!
alert=""
wait_for 15 find_alert || { echo "demo: the install alert never appeared" >&2; exit 1; }
sleep 0.3
shot "$shots/install-alert.png"
start_watch
echo "demo: the alert says the helper was installed; answering it"
answer_alert
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

stop_watch
sent=$(awk '/^sent [0-9]+ moves/ {n += $2} END {print n + 0}' "$shots/session.log")

# The trail the pointer took, drawn over the final screen.
shot "$shots/final.png"
points=$(awk 'NR % 4 == 1 {printf "%s,%s ", $1, $2}' "$shots/trail.txt")
convert "$shots/final.png" -fill none -stroke '#e04040' -strokewidth 3 -draw "polyline $points" "$shots/pattern.png"

echo "demo: Tessaron sent $sent moves; $seen_by $motions pointer motions"
echo "demo: the pointer ends at ($px, $py), $read_back; expected (640, 400)"
echo "demo: screenshots in $out/demo: install-alert.png (the installation alert), pattern.png (the pointer's trail)"
[ "$px" = 640 ] && [ "$py" = 400 ] && [ "$sent" -gt 0 ] && [ "$motions" -gt 0 ]
