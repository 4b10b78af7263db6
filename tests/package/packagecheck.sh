#!/usr/bin/env bash
# Builds the Debian package from a configured build folder with CPack and
# checks what a user installs: its files, its control fields, its postinst with
# and without udev, and lintian's verdict.
# Usage: packagecheck.sh BUILD_DIR SCRATCH_DIR. Exits 77 (skipped) when the
# Debian tools are missing.
set -euo pipefail
build="$1"
scratch="$2"
fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
    command -v "$tool" >/dev/null || { echo "$tool not found: run scripts/install-deps.sh"; exit 77; }
done

rm -rf "$scratch"
mkdir -p "$scratch"
deb="$(cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" |
    sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p')"
arch="$(dpkg --print-architecture)"
[ "$(basename "$deb")" = "varnock-spi-flasher_1.0.2_${arch}.deb" ] || fail "package is '$deb'"

# Every file, and nothing else: the demo build stays out.
files="$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort)"
expected="$(sort <<LIST
-rw-r--r-- root/root ./usr/lib/udev/rules.d/70-varnock-ch341a.rules
-rw-r--r-- root/root ./usr/share/applications/varnock-spi-flasher.desktop
-rw-r--r-- root/root ./usr/share/doc/varnock-spi-flasher/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/varnock-spi-flasher/chip-list.md
-rw-r--r-- root/root ./usr/share/doc/varnock-spi-flasher/copyright
-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/varnock-spi-flasher.svg
-rw-r--r-- root/root ./usr/share/man/man1/varnock-spi-flasher.1.gz
-rwxr-xr-x root/root ./usr/bin/varnock-spi-flasher
LIST
)"
[ "$files" = "$expected" ] || fail "files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$files"))"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = varnock-spi-flasher ] || fail "Package: $(field Package)"
[ "$(field Version)" = 1.0.2 ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = electronics ] || fail "Section: $(field Section)"
[ "$(field Priority)" = optional ] || fail "Priority: $(field Priority)"
[ "$(field Homepage)" = https://www.varnock.com/ ] || fail "Homepage: $(field Homepage)"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
description="$(field Description)"
[ "$(head -n 1 <<<"$description")" = "SPI NOR flash programmer for the CH341A USB bridge" ] ||
    fail "Description: $description"
[ "$(wc -l <<<"$description")" -gt 2 ] || fail "Description has no long text"
# dpkg-shlibdeps read the program's libraries: versioned, not written by hand.
depends="$(field Depends)"
for package in libc6 libqt5core5a libqt5widgets5 libusb-1.0-0; do
    [[ "$depends" =~ (^|,\ )$package\ \(\>=\ [0-9] ]] || fail "Depends lacks $package: $depends"
done

# postinst: reloads the rules when udev runs; where it does not (a chroot, a
# container) it calls nothing and succeeds. A failing udevadm fails nothing.
dpkg-deb -e "$deb" "$scratch/control"
postinst="$scratch/control/postinst"
[ -x "$postinst" ] || fail "postinst is not executable"
mkdir -p "$scratch/bin"
cat >"$scratch/bin/udevadm" <<'FAKE'
#!/bin/sh
echo "$*" >>"$UDEVADM_CALLS"
exit 1
FAKE
chmod +x "$scratch/bin/udevadm"
export UDEVADM_CALLS="$scratch/udevadm.calls" PATH="$scratch/bin:$PATH"
# A private /run: with or without the udev control socket.
run_postinst() {
    local socket="$1"
    : >"$UDEVADM_CALLS"
    unshare --mount sh -ec "mount -t tmpfs tmpfs /run
        if [ $socket = yes ]; then mkdir /run/udev
            python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"/run/udev/control\")'
        fi
        '$postinst' configure"
}
if unshare --mount true 2>/dev/null; then
    run_postinst no || fail "postinst fails without udev"
    [ ! -s "$UDEVADM_CALLS" ] || fail "postinst called udevadm without udev: $(cat "$UDEVADM_CALLS")"
    run_postinst yes || fail "postinst fails when udevadm fails"
    [ "$(head -n 1 "$UDEVADM_CALLS")" = "control --reload-rules" ] &&
        grep -q '^trigger .*--attr-match=idVendor=1a86' "$UDEVADM_CALLS" ||
        fail "postinst did not reload and trigger: $(cat "$UDEVADM_CALLS")"
else
    echo "no mount namespace: postinst checked on this machine's udev only"
    "$postinst" configure || fail "postinst fails"
fi

# Lintian: no errors (it exits non-zero on one). Warnings are printed for the reader.
if ! report="$(lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1)" ||
    grep -q '^E: ' <<<"$report"; then
    echo "$report"
    fail "lintian reports errors"
fi
grep -v 'root privileges' <<<"$report" || true
echo "package $(basename "$deb") checked"
