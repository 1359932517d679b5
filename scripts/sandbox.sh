#!/usr/bin/env bash
# Runs a command in a private mount namespace, so that the literal places the
# helper uses ("/Applications", HOME) are the sandbox's own and the host's are
# never touched. Needs no root: a user namespace maps us to root inside.
#
#   scripts/sandbox.sh BOX command [args...]
#
# BOX is a folder outside /tmp (which is bound in); it gets Applications/ and
# home/ (the command's HOME), and command.pid: the command's process id as
# the host sees it, for signals (the sandbox's own process does not pass them
# on). /usr and /etc are bound in read-only from the host, /tmp as it is, so
# the X socket stays reachable. DISPLAY, WAYLAND_DISPLAY (as an absolute
# path: the sandbox has a runtime folder of its own) and the session bus
# (DBUS_SESSION_BUS_ADDRESS) pass in.
#
# Everything the command starts lives in a PID namespace of its own. The
# sandbox ends when all of it has ended, with the command's status (128 + N
# for a signal N); killing the sandbox's process kills all of it.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 BOX command [args...]" >&2; exit 2; }
box=$(realpath "$1")
shift
case "$box/" in /tmp/*) echo "sandbox.sh: $box must lie outside /tmp" >&2; exit 2 ;; esac
mkdir -p "$box/Applications" "$box/home" "$box/root"
chmod 700 "$box/home"

exec unshare --user --map-root-user --mount --pid --fork --kill-child bash -c '
set -euo pipefail
box=$1; shift
root=$box/root
mount -t tmpfs -o mode=755 sandbox "$root"
for d in usr bin sbin lib lib32 lib64 libx32 etc dev sys tmp run/user; do
    [ -e "/$d" ] || continue
    if [ -L "/$d" ]; then
        ln -s "$(readlink "/$d")" "$root/$d"
    else
        mkdir -p "$root/$d"
        mount --rbind "/$d" "$root/$d"
        case $d in usr|etc) mount -o remount,bind,ro "$root/$d" ;; esac
    fi
done
mkdir -p "$root/Applications" "$root/home/user"
mount --bind "$box/Applications" "$root/Applications"
mount --bind "$box/home" "$root/home/user"
mkdir -p "$box/home/.runtime"
chmod 700 "$box/home/.runtime"
# The processes of the namespace only.
mkdir -p "$root/proc"
mount -t proc proc "$root/proc"
cd "$root"
# Not exec: this shell is the first process of the namespace, which takes
# no signal it has no handler for, and it waits for every orphan below.
status=0
(
    # /proc here is still that of the host: the id the host knows.
    read -r pid _ </proc/self/stat
    echo "$pid" >"$box/command.pid"
    exec chroot "$root" /usr/bin/env HOME=/home/user XDG_RUNTIME_DIR=/home/user/.runtime \
        ${DISPLAY:+DISPLAY=$DISPLAY} ${WAYLAND_DISPLAY:+WAYLAND_DISPLAY=$WAYLAND_DISPLAY} ${DBUS_SESSION_BUS_ADDRESS:+DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS} PATH=/usr/local/bin:/usr/bin:/bin "$@"
) || status=$?
# What the command started (a main app, a helper) runs on to its own end.
while :; do
    running=0
    for entry in "$root"/proc/[0-9]*; do
        pid=${entry##*/}
        [ "$pid" = 1 ] || [ "$pid" = "$BASHPID" ] && continue
        read -r _ _ state _ <"$entry/stat" 2>/dev/null || continue
        [ "$state" = Z ] || running=1
    done
    [ $running = 0 ] && break
    sleep 0.05
done
exit "$status"
' sandbox "$box" "$@"
