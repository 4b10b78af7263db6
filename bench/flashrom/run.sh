#!/usr/bin/env bash
# Runs flashrom (Debian's package, a peer programmer with a CH341A driver)
# against the emulated CH341A under umockdev, on the same bus model as our
# jobs, and rewrites the flashrom section of bench/RESULTS.md. flashrom is
# installed here, for this benchmark only. umockdev answers every USB request
# through a socket, so the runs take long in real time: about 4 minutes per
# 8 MiB read and 11 per 8 MiB write, some 45 in all; VARNOCK_FLASHROM_ROWS
# picks the rows ("MiB job" pairs, comma-separated; MiB is 1, 8 or 32, job is
# read, write or write-verify).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$(dirname "$here")")"
build="${VARNOCK_BENCH_BUILD:-$root/build-bench}"
results="$root/bench/RESULTS.md"
rows="${VARNOCK_FLASHROM_ROWS:-8 read,8 write,8 write-verify,32 read}"

if ! dpkg-query -W -f='${Status}' flashrom 2>/dev/null | grep -q "install ok installed"; then
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq flashrom
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNOCK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_flashrom

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
{
    echo "- flashrom $(dpkg-query -W -f='${Version}' flashrom), $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo
} >"$scratch/table"
header=--header
status=0
IFS=, read -ra selected <<<"$rows"
for row in "${selected[@]}"; do
    echo "flashrom: $row ..."
    # shellcheck disable=SC2086 # "MiB job" splits into two arguments
    umockdev-wrapper "$build/bench/flashrom/bench_flashrom" $header $row | tee -a "$scratch/table" ||
        status=$?
    header=
done

awk -v begin="<!-- flashrom:begin -->" -v end="<!-- flashrom:end -->" -v file="$scratch/table" '
    $0 == begin { print; while ((getline line < file) > 0) print line; skipping = 1; next }
    $0 == end { skipping = 0 }
    !skipping { print }
' "$results" >"$scratch/results" && cp "$scratch/results" "$results"
echo "updated $results"
exit "$status"
