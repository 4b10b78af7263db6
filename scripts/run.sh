#!/usr/bin/env bash
# Builds and starts the flasher: the demo build on the emulated programmer by
# default (at a real programmer's pace; --fast as fast as the machine allows),
# or the build for a real CH341A or CH347 with --usb. Other arguments go to the program
# (scripts/run.sh --fast --chip SST25VF016B).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"

target=varnock-spi-flasher-demo
if [ "${1:-}" = --usb ]; then
    target=varnock-spi-flasher
    shift
fi

build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "$target"
exec "$build/app/$target" "$@"
