#!/bin/sh
# Runs a command with a full disk at hand: a 64 KiB tmpfs mounted in a private
# mount namespace, named by VARNOCK_TINY_DISK. The mount lives only as long as
# the namespace, so nothing is left behind. Exits 77 when the system refuses.
# Usage: run-on-tiny-disk.sh COMMAND [ARGS...]
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null 2>&1; then
    echo "run-on-tiny-disk.sh: needs root and unshare for a private tmpfs" >&2
    exit 77
fi
mountpoint="$(mktemp -d "${TMPDIR:-/tmp}/varnock-tiny-disk.XXXXXX")" || exit 77
status=0
unshare --mount --propagation private -- sh -c '
    mount -t tmpfs -o size=64k,mode=0755 varnock-tiny-disk "$1" || exit 77
    dir="$1"
    shift
    VARNOCK_TINY_DISK="$dir" "$@"
' tiny-disk "$mountpoint" "$@" || status=$?
rmdir "$mountpoint"
if [ "$status" -eq 77 ]; then
    echo "run-on-tiny-disk.sh: could not mount a tmpfs (no CAP_SYS_ADMIN?)" >&2
fi
exit "$status"
