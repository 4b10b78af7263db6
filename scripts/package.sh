#!/usr/bin/env bash
# Builds the Debian package of the flasher for a real CH341A (no tests, no
# benchmarks, stripped binary), puts the .deb at the top of the checkout, where
# the README's `sudo apt install ./varnock-spi-flasher_...deb` finds it, and
# prints its path.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"

build="${VARNOCK_PACKAGE_BUILD:-$root/build-package}"
# Debian's hardening: stack protector, fortified functions, read-only relocations
# bound at start-up.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVARNOCK_BUILD_TESTS=OFF -DVARNOCK_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build"
# CPack names what it made: "CPack: - package: <path> generated."
deb="$(cd "$build" && cpack -G DEB | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p')"
[ -f "$deb" ] || { echo "cpack made no package" >&2; exit 1; }
cp "$deb" "$root/"
echo "$root/$(basename "$deb")"
