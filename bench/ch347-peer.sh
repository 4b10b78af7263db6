#!/usr/bin/env bash
# The CH347 beside flashrom 1.8 (its ch347_spi driver, a black-box peer) in one run: our read
# and verify of the 8 MiB W25Q64FV at 15, 30 and 60 MHz on the highspeed host, flashrom's -r and
# -v of the same chip on the same emulated CH347 under umockdev, the cost of reading twice and
# the automatic clock on wires that fail above 15 MHz; then whether each target is met. Prints
# Markdown; takes about two minutes. VARNOCK_FLASHROM18 names the peer binary.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${VARNOCK_BENCH_BUILD:-$root/build-bench}"
peer="${VARNOCK_FLASHROM18:-$root/../shared/peers/flashrom-1.8.0-rc1}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNOCK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_jobs bench_flashrom >/dev/null

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
"$build/bench/jobs/bench_jobs" --host highspeed --chip 8 >"$scratch/ours" 2>/dev/null || true
for clock in 15 30 60; do
    for job in read verify; do
        umockdev-wrapper "$build/bench/flashrom/bench_flashrom" --ch347 "$peer" --clock "$clock" \
            8 "$job" >>"$scratch/peer" 2>>"$scratch/peer-errors" || true
    done
done

# Column 13 of our rows and 12 of flashrom's are modelled seconds; 15 and 17 are the bound and
# our CPU % without the emulator.
awk -F'|' -v peerfile="$scratch/peer" '
    function trim(s) { gsub(/^ +| +$/, "", s); return s }
    BEGIN {
        while ((getline line < peerfile) > 0) {
            split(line, f, "|")
            clock = trim(f[3]); sub(/ MHz.*/, "", clock); sub(/CH347 /, "", clock)
            peer[clock, trim(f[4])] = trim(f[12])
        }
    }
    trim($3) ~ /^CH347/ {
        clock = trim($3); sub(/CH347 /, "", clock); sub(/ MHz/, "", clock)
        job = trim($5)
        ours[clock, job] = trim($13); bound[clock, job] = trim($15); cpu[clock, job] = trim($19)
    }
    END {
        print "| job | clock | ours s | bound s | ours / bound | flashrom 1.8 s | ours / flashrom | CPU % (flasher) |"
        print "|---|---:|---:|---:|---:|---:|---:|---:|"
        split("15 30 60", clocks, " ")
        for (c = 1; c <= 3; ++c) for (j = 1; j <= 2; ++j) {
            clock = clocks[c]; job = j == 1 ? "read" : "verify"
            r = ours[clock, job] / bound[clock, job]; q = ours[clock, job] / peer[clock, job]
            printf "| %s | %s MHz | %.3f | %.3f | %.3f | %.3f | %.3f | %s |\n", job, clock, ours[clock, job], bound[clock, job], r, peer[clock, job], q, cpu[clock, job]
            ratio[clock, job] = r; versus[clock, job] = q
        }
        for (c = 1; c <= 3; ++c) {
            clock = clocks[c]
            printf "| read twice | %s MHz | %.3f | | %.3f x one read | | | %s |\n", clock, ours[clock, "read twice"], ours[clock, "read twice"] / ours[clock, "read"], cpu[clock, "read twice"]
        }
        auto = "read, auto clock, wires failing above 15 MHz"
        printf "| %s | settles on 15 MHz | %.3f | | %.3f x the read at 15 MHz | | | %s |\n", auto, ours["15", auto], ours["15", auto] / ours["15", "read"], cpu["15", auto]
        print ""
        for (j = 1; j <= 2; ++j) {
            job = j == 1 ? "read" : "verify"
            printf "- Target, %s at 30 MHz at most 1.05 x its bound: %.3f x: %s\n", job, ratio["30", job], ratio["30", job] <= 1.05 ? "met" : "NOT met"
            printf "- Target, %s at 60 MHz at most 1.10 x its bound: %.3f x: %s\n", job, ratio["60", job], ratio["60", job] <= 1.10 ? "met" : "NOT met"
            for (c = 1; c <= 3; ++c)
                printf "- Target, %s at %s MHz not behind flashrom 1.8: %.3f: %s\n", job, clocks[c], versus[clocks[c], job], versus[clocks[c], job] <= 1.00 ? "met" : "NOT met"
        }
        for (c = 1; c <= 3; ++c) {
            t = ours[clocks[c], "read twice"] / ours[clocks[c], "read"]
            printf "- Target, read twice at %s MHz at most 2.02 x one read: %.3f x: %s\n", clocks[c], t, t <= 2.02 ? "met" : "NOT met"
            printf "- Target, CPU of the flasher under 5 %% on the read at %s MHz: %s %%: %s\n", clocks[c], cpu[clocks[c], "read"], cpu[clocks[c], "read"] < 5 ? "met" : "NOT met"
        }
    }
' "$scratch/ours"
if [ -s "$scratch/peer-errors" ]; then
    echo
    sed 's/^/- flashrom: /' "$scratch/peer-errors"
fi
