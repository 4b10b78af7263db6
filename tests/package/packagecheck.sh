#!/usr/bin/env bash
# Builds the Debian package from a configured build folder with CPack and
# checks what a user installs: its files, its control fields, its AppStream
# metadata, its postinst and postrm with and without udev, and lintian's verdict.
# Usage: packagecheck.sh BUILD_DIR SCRATCH_DIR. Exits 77 (skipped) when the
# Debian tools are missing.
set -euo pipefail
build="$1"
scratch="$2"
fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in cpack dpkg-deb dpkg-shlibdeps lintian appstreamcli; do
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
-rw-r--r-- root/root ./usr/share/metainfo/com.varnock.spi_flasher.metainfo.xml
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
[ "$(head -n 1 <<<"$description")" = \
    "SPI NOR flash programmer for the CH341A and CH347 USB bridges" ] ||
    fail "Description: $description"
grep -q 'CH347T or CH347F' <<<"$description" || fail "Description names no CH347: $description"
[ "$(wc -l <<<"$description")" -gt 2 ] || fail "Description has no long text"
# dpkg-shlibdeps read the program's libraries: versioned, not written by hand.
depends="$(field Depends)"
for package in libc6 libqt5core5a libqt5widgets5 libusb-1.0-0; do
    [[ "$depends" =~ (^|,\ )$package\ \(\>=\ [0-9] ]] || fail "Depends lacks $package: $depends"
done

# AppStream: valid without the network, pedantic notes included, naming the
# desktop entry and each programmer the udev rule lets the user open.
dpkg-deb -x "$deb" "$scratch/root"
metainfo="$scratch/root/usr/share/metainfo/com.varnock.spi_flasher.metainfo.xml"
entry="$scratch/root/usr/share/applications/varnock-spi-flasher.desktop"
validation="$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1)" ||
    fail "appstreamcli validate: $validation"
[ "$(tail -n 1 <<<"$validation")" = "✔ Validation was successful." ] ||
    fail "appstreamcli validate: $validation"
grep -q '<launchable type="desktop-id">varnock-spi-flasher.desktop</launchable>' "$metainfo" ||
    fail "metainfo names no desktop entry"
grep -q '^Comment=.* CH341A or CH347 ' "$entry" || fail "desktop entry: $(grep ^Comment "$entry")"
rule_ids="$(sed -n 's/.*ATTRS{idProduct}=="\([0-9a-f]*\)".*/\1/p' \
    "$scratch/root/usr/lib/udev/rules.d/70-varnock-ch341a.rules" | sort)"
modalias_ids="$(sed -n 's|.*<modalias>usb:v1A86p\([0-9A-F]*\)d\*</modalias>.*|\1|p' "$metainfo" |
    tr 'A-F' 'a-f' | sort)"
[ -n "$rule_ids" ] && [ "$rule_ids" = "$modalias_ids" ] ||
    fail "modaliases ($modalias_ids) differ from the udev rule's ids ($rule_ids)"
grep -q '<release version="1.0.2" ' "$metainfo" || fail "metainfo has no release 1.0.2"

# postinst and postrm: reload the rules when udev runs; where it does not (a
# chroot, a container) they call nothing and succeed. A failing udevadm fails
# nothing.
dpkg-deb -e "$deb" "$scratch/control"
postinst="$scratch/control/postinst"
postrm="$scratch/control/postrm"
[ -x "$postinst" ] || fail "postinst is not executable"
[ -x "$postrm" ] || fail "postrm is not executable"
mkdir -p "$scratch/bin"
cat >"$scratch/bin/udevadm" <<'FAKE'
#!/bin/sh
echo "$*" >>"$UDEVADM_CALLS"
exit 1
FAKE
chmod +x "$scratch/bin/udevadm"
export UDEVADM_CALLS="$scratch/udevadm.calls" PATH="$scratch/bin:$PATH"
# A private /run: with or without the udev control socket.
# run_script SCRIPT ARGUMENT SOCKET: SOCKET yes or no.
run_script() {
    local script="$1" argument="$2" socket="$3"
    : >"$UDEVADM_CALLS"
    unshare --mount sh -ec "mount -t tmpfs tmpfs /run
        if [ $socket = yes ]; then mkdir /run/udev
            python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"/run/udev/control\")'
        fi
        '$script' $argument"
}
if unshare --mount true 2>/dev/null; then
    for step in "$postinst configure" "$postrm remove" "$postrm purge"; do
        read -r script argument <<<"$step"
        name="$(basename "$script") $argument"
        run_script "$script" "$argument" no || fail "$name fails without udev"
        [ ! -s "$UDEVADM_CALLS" ] || fail "$name called udevadm without udev: $(cat "$UDEVADM_CALLS")"
        run_script "$script" "$argument" yes || fail "$name fails when udevadm fails"
        [ "$(head -n 1 "$UDEVADM_CALLS")" = "control --reload-rules" ] &&
            grep -q '^trigger .*--attr-match=idVendor=1a86' "$UDEVADM_CALLS" ||
            fail "$name did not reload and trigger: $(cat "$UDEVADM_CALLS")"
    done
    # An upgrade keeps the rule: nothing to reload.
    run_script "$postrm" upgrade yes || fail "postrm upgrade fails"
    [ ! -s "$UDEVADM_CALLS" ] || fail "postrm upgrade called udevadm: $(cat "$UDEVADM_CALLS")"
else
    echo "no mount namespace: postinst and postrm checked on this machine's udev only"
    "$postinst" configure || fail "postinst fails"
    "$postrm" remove || fail "postrm fails"
fi

# Lintian: clean, no error and no warning (it exits non-zero on either).
# Informational tags are printed for the reader.
if ! report="$(lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1)" ||
    grep -q '^[EW]: ' <<<"$report"; then
    echo "$report"
    fail "lintian reports errors or warnings"
fi
grep -v 'root privileges' <<<"$report" || true
echo "package $(basename "$deb") checked"
