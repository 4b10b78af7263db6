#!/usr/bin/env bash
# Installs the Debian 12 packages the flasher needs to build, run and test.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config qtbase5-dev qtbase5-dev-tools
          libusb-1.0-0-dev clang libclang-rt-14-dev xvfb xauth umockdev libumockdev-dev
          dpkg-dev file lintian appstream)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
