#!/usr/bin/env bash
# Runs flashrom (Debian's package, a peer programmer with a CH341A driver)
# against the emulated CH341A under umockdev, on the same bus model as our
# jobs, and rewrites the flashrom section of bench/RESULTS.md. flashrom is
# installed here, for this benchmark only. umockdev answers every USB request
# through a socket, so the runs take long in real time: about 4 minutes per
# 8 MiB read and 12 per 8 MiB write with its verify, about an hour in all;
# VARNOCK_FLASHROM_ROWS picks the rows ("host MiB job" triples,
# comma-separated; host is frame or modern, MiB is 1, 4, 8 or 32, job is
# read, write, write-verify, or write-verify-identical, -sector or -block: the
# same -w on a chip that holds the image already, or all of it but one 4 KiB
# sector or 64 KiB block, beside our update job; or region-write-bios, 8 MiB
# only: -l with the layout 00200000:007fffff bios and -i bios -w, the first
# 2 MiB kept, beside our region write). The calibration check of the
# 4 and 8 MiB reads follows the table.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$(dirname "$here")")"
build="${VARNOCK_BENCH_BUILD:-$root/build-bench}"
results="$root/bench/RESULTS.md"
rows="${VARNOCK_FLASHROM_ROWS:-frame 4 read,frame 8 read,frame 8 write-verify,frame 32 read,\
frame 8 write-verify-identical,frame 8 write-verify-sector,frame 8 write-verify-block,\
modern 4 read,modern 8 read,modern 8 write-verify,modern 32 read,\
modern 8 write-verify-identical,modern 8 write-verify-sector,modern 8 write-verify-block,\
frame 8 region-write-bios,modern 8 region-write-bios}"

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
touch "$scratch/checks"
for row in "${selected[@]}"; do
    echo "flashrom: $row ..."
    read -r host mib job <<<"$row"
    # shellcheck disable=SC2086 # an empty header option is no argument
    umockdev-wrapper "$build/bench/flashrom/bench_flashrom" $header --host "$host" "$mib" "$job" \
        2> >(tee -a "$scratch/checks" >&2) | tee -a "$scratch/table" || status=$?
    header=
done
sleep 1 # the stderr copy may still be writing
{
    echo
    cat "$scratch/checks"
} >>"$scratch/table"

awk -v begin="<!-- flashrom:begin -->" -v end="<!-- flashrom:end -->" -v file="$scratch/table" '
    $0 == begin { print; while ((getline line < file) > 0) print line; skipping = 1; next }
    $0 == end { skipping = 0 }
    !skipping { print }
' "$results" >"$scratch/results" && cp "$scratch/results" "$results"
echo "updated $results"
exit "$status"
