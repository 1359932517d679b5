#!/usr/bin/env bash
# How often the helper wakes while connected and idle, beside an empty Qt
# Widgets program on the same private Xvfb: context switches of every thread
# of each process (voluntary + involuntary, /proc/PID/task/*/status), per
# second, over a quiet window.
#
#   bench/idle_wakeups.sh [BUILD_DIR [SECONDS]]     (defaults: build, 30)
#
# Needs the targets tessaron-helper, tessaron and empty_qt_app built in
# BUILD_DIR, and no root: all runs in a user and mount namespace where /tmp
# and /var/lib/xkb are folders of the bench's own temporary folder (Xvfb
# writes its socket and keymaps there), with a network of its own (so Xvfb's
# abstract socket is private too). Tessaron runs in the sandbox of
# scripts/sandbox.sh, starts the installed helper, and keeps the link open
# and idle.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
    here=$(cd "$(dirname "$0")/.." && pwd)
    build=$(realpath "${1:-$here/build}")
    seconds=${2:-30}
    case $seconds in '' | *[!0-9]* | 0) echo "usage: $0 [BUILD_DIR [SECONDS]]" >&2; exit 2 ;; esac
    for f in "$build/Tessaron.app/Contents/MacOS/tessaron" \
        "$build/Tessaron Helper.app/Contents/MacOS/tessaron-helper" "$build/bench/empty_qt_app"; do
        [ -x "$f" ] && continue
        echo "idle_wakeups: $f is missing; build it first:" >&2
        echo "  cmake --build $build -j2 --target tessaron-helper tessaron empty_qt_app" >&2
        exit 2
    done
    # Outside /tmp: the sandbox binds /tmp in, and refuses a box beneath it.
    tmp=$(mktemp -d /var/tmp/tessaron-idle-XXXXXX)
    trap 'rm -rf "$tmp"' EXIT
    status=0
    unshare --user --map-root-user --mount --net bash "$0" --inside "$here" "$build" "$seconds" "$tmp" || status=$?
    exit "$status"
fi

here=$2 build=$3 seconds=$4 tmp=$5
# Xvfb writes its compiled keymaps to /var/lib/xkb when it may, else to /tmp.
for d in /tmp /var/lib/xkb; do
    [ -d "$d" ] || continue
    mkdir -p "$tmp/private$d"
    mount --bind "$tmp/private$d" "$d"
done

xvfb_pid="" main_pid="" helper_pid="" empty_pid=""
box=$tmp/box
stop() { # pid: ends it and waits for it
    [ -n "$1" ] || return 0
    kill "$1" 2>/dev/null || return 0
    for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.05; done
    kill -KILL "$1" 2>/dev/null || true
}
cleanup() {
    stop "$empty_pid"
    stop "$helper_pid"
    # The sandbox's own process does not pass signals on: Tessaron by its id.
    [ -s "$box/command.pid" ] && stop "$(cat "$box/command.pid")"
    stop "$main_pid"
    stop "$xvfb_pid"
    wait 2>/dev/null || true
}
trap cleanup EXIT
wait_for() { # seconds, command...
    local limit=$1; shift
    for _ in $(seq $((limit * 20))); do "$@" && return 0; sleep 0.05; done
    return 1
}

Xvfb -displayfd 1 -nolisten tcp -noreset >"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb_pid=$!
wait_for 10 test -s "$tmp/display" || { echo "idle_wakeups: Xvfb did not start" >&2; cat "$tmp/xvfb.log" >&2; exit 1; }
DISPLAY=":$(head -n1 "$tmp/display")"
export DISPLAY
# The same surroundings for both programs: no session bus, Qt's own choice of platform.
unset QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER

# Tessaron installed and started once; the helper installed in its container.
support="$box/home/Library/Containers/pro.tessaron/Data/Library/Application Support"
mkdir -p "$box/Applications" "$support"
cp -R --preserve=mode,timestamps "$build/Tessaron.app" "$box/Applications/"
cp -R --preserve=mode,timestamps "$build/Tessaron Helper.app" "$support/"
# No script and stdin at its end: after the handshake and Features it only
# keeps the link open.
"$here/scripts/sandbox.sh" "$box" /Applications/Tessaron.app/Contents/MacOS/tessaron --launch-helper \
    </dev/null >"$tmp/session.log" 2>&1 &
main_pid=$!
answered() { grep -q '^features 3$' "$tmp/session.log"; }
wait_for 20 answered || { echo "idle_wakeups: the helper never answered Features" >&2; cat "$tmp/session.log" >&2; exit 1; }
# Tessaron names the helper by its id in the sandbox's PID namespace; the
# host's id is the first of the helper's NSpid line.
inner=$(awk '/^helper-launched / {print $2; exit}' "$tmp/session.log")
for status in /proc/[0-9]*/status; do
    read -r name < <(awk '/^Name:/ {print $2}' "$status" 2>/dev/null) || continue
    [ "$name" = tessaron-helper ] || continue
    awk -v inner="$inner" '/^NSpid:/ && $NF == inner {found = 1} END {exit !found}' "$status" 2>/dev/null || continue
    helper_pid=$(awk '/^NSpid:/ {print $2}' "$status")
done
[ -n "$helper_pid" ] || { echo "idle_wakeups: no helper with id $inner in the sandbox" >&2; exit 1; }

mkdir -p "$tmp/empty-home/.runtime"
chmod 700 "$tmp/empty-home/.runtime"
HOME=$tmp/empty-home XDG_RUNTIME_DIR=$tmp/empty-home/.runtime "$build/bench/empty_qt_app" </dev/null >"$tmp/empty.log" 2>&1 &
empty_pid=$!

# Past start-up: the helper's first permission checks and the answers.
sleep 3

snapshot() { # pid: "tid switches name" per thread
    local t n
    for t in /proc/"$1"/task/*; do
        n=$(awk '/^(non)?voluntary_ctxt_switches:/ {s += $2} END {print s}' "$t/status" 2>/dev/null) || continue
        [ -n "$n" ] && printf '%s %s %s\n' "${t##*/}" "$n" "$(tr ' ' _ <"$t/comm" 2>/dev/null)"
    done
    return 0
}
for p in "$helper_pid" "$empty_pid"; do
    kill -0 "$p" 2>/dev/null || { echo "idle_wakeups: process $p ended before the window" >&2; cat "$tmp/session.log" "$tmp/empty.log" >&2; exit 1; }
done
snapshot "$helper_pid" >"$tmp/helper.0"
snapshot "$empty_pid" >"$tmp/empty.0"
sleep "$seconds"
snapshot "$helper_pid" >"$tmp/helper.1"
snapshot "$empty_pid" >"$tmp/empty.1"

for p in "$helper_pid" "$empty_pid"; do
    kill -0 "$p" 2>/dev/null || { echo "idle_wakeups: process $p ended within the window" >&2; cat "$tmp/session.log" >&2; exit 1; }
done
if grep -q '^disconnected' "$tmp/session.log"; then
    echo "idle_wakeups: the link went down within the window" >&2; cat "$tmp/session.log" >&2; exit 1
fi

report() { # label, before, after
    # A thread new in the window counts from zero; one gone is left out.
    awk -v label="$1" -v seconds="$seconds" '
        NR == FNR { before[$1] = $2; next }
        { d = $2 - before[$1]; total += d; line[++n] = sprintf("    %-16s tid %-8s %6d  %6.2f/s", $3, $1, d, d / seconds) }
        END {
            printf "%-28s %6.2f wake-ups/s  (%d switches in %d s, %d threads)\n", label, total / seconds, total, seconds, n
            for (i = 1; i <= n; ++i) print line[i]
        }' "$2" "$3"
}
echo "idle_wakeups: connected and idle, ${seconds} s on a private Xvfb ($DISPLAY)"
report "helper (pid $helper_pid)" "$tmp/helper.0" "$tmp/helper.1"
report "empty Qt Widgets program" "$tmp/empty.0" "$tmp/empty.1"
