#!/usr/bin/env bash
# Builds the job and GUI benchmarks (RelWithDebInfo), runs them and rewrites
# the machine line and both tables in bench/RESULTS.md. Takes about three
# minutes. With --flashrom it then installs flashrom and runs it beside ours
# (bench/flashrom/run.sh), which takes far longer.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${VARNOCK_BENCH_BUILD:-$root/build-bench}"
results="$here/RESULTS.md"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNOCK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_jobs bench_gui

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
printf -- '- Machine: %s cores, %s, %s\n- Date: %s\n' "$(nproc)" "$cpu" "$(uname -sr)" \
    "$(date -u '+%Y-%m-%d %H:%M UTC')" >"$scratch/machine"

echo "bench_jobs ..."
"$build/bench/jobs/bench_jobs" | tee "$scratch/jobs"
echo "bench_gui ..."
gui_status=0
"$build/bench/gui/bench_gui" | tee "$scratch/gui" || gui_status=$?

# Replaces what lies between <!-- name:begin --> and <!-- name:end -->.
splice() {
    local name="$1" file="$2"
    awk -v begin="<!-- $name:begin -->" -v end="<!-- $name:end -->" -v file="$file" '
        $0 == begin { print; while ((getline line < file) > 0) print line; skipping = 1; next }
        $0 == end { skipping = 0 }
        !skipping { print }
    ' "$results" >"$scratch/results" && cp "$scratch/results" "$results"
}
splice machine "$scratch/machine"
splice jobs "$scratch/jobs"
splice gui "$scratch/gui"
echo "updated $results"
if [ "${1:-}" = "--flashrom" ]; then
    "$here/flashrom/run.sh" || gui_status=$?
fi
exit "$gui_status"
