#!/usr/bin/env bash
# Builds and starts the flasher: the demo build on the emulated programmer by
# default (at a real programmer's pace; --fast as fast as the machine allows),
# or the build for a real CH341A with --usb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"

target=varnock-spi-flasher-demo
options=()
case "${1:-}" in
    --usb) target=varnock-spi-flasher ;;
    --fast) options=(--fast) ;;
esac

build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "$target"
exec "$build/app/$target" "${options[@]}"
