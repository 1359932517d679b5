#!/usr/bin/env bash
# Runs a command in a private mount namespace, so that the literal places the
# helper uses ("/Applications", HOME) are the sandbox's own and the host's are
# never touched. Needs no root: a user namespace maps us to root inside.
#
#   scripts/sandbox.sh BOX command [args...]
#
# BOX is a folder outside /tmp (which is bound in); it gets Applications/ and
# home/ (the command's HOME), and command.pid: the command's process id, for
# signals (the sandbox's own process does not pass them on). /usr and /etc are bound in read-only from the
# host, /tmp as it is, so the X socket stays reachable.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 BOX command [args...]" >&2; exit 2; }
box=$(realpath "$1")
shift
case "$box/" in /tmp/*) echo "sandbox.sh: $box must lie outside /tmp" >&2; exit 2 ;; esac
mkdir -p "$box/Applications" "$box/home" "$box/root"
chmod 700 "$box/home"

exec unshare --user --map-root-user --mount --fork bash -c '
set -euo pipefail
box=$1; shift
root=$box/root
mount -t tmpfs -o mode=755 sandbox "$root"
for d in usr bin sbin lib lib32 lib64 libx32 etc proc dev sys tmp run/user; do
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
cd "$root"
echo $$ >"$box/command.pid"
exec chroot "$root" /usr/bin/env HOME=/home/user XDG_RUNTIME_DIR=/home/user/.runtime \
    ${DISPLAY:+DISPLAY=$DISPLAY} PATH=/usr/local/bin:/usr/bin:/bin "$@"
' sandbox "$box" "$@"
