#!/bin/sh
# Runs a command as the unprivileged user "nobody", so that file permissions
# bite even when the tests run as root. Exits 77 when that cannot be done.
# Usage: run-unprivileged.sh COMMAND [ARGS...]
if [ "$(id -u)" -ne 0 ]; then
    echo "run-unprivileged.sh: not root, cannot switch users" >&2
    exit 77
fi
if command -v setpriv >/dev/null 2>&1; then
    exec setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@"
fi
if command -v runuser >/dev/null 2>&1; then
    exec runuser -u nobody -- "$@"
fi
echo "run-unprivileged.sh: neither setpriv nor runuser is available" >&2
exit 77
