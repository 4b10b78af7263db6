#!/usr/bin/env bash
# Builds the chip list fuzzer with clang in build-fuzz/ and runs it for a bounded time.
# Usage: fuzz/run.sh [seconds]   (default 60). Exits non-zero when the fuzzer finds anything.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"

cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNOCK_BUILD_FUZZ=ON -DVARNOCK_BUILD_TESTS=OFF -DVARNOCK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target chiplist_fuzz

# Work on a copy, so new inputs never land in the committed seed corpus.
corpus="$(mktemp -d)"
trap 'rm -rf "$corpus"' EXIT
cp "$root"/fuzz/corpus/* "$corpus"/
mkdir -p "$build/findings"

log="$build/chiplist_fuzz.log"
status=0
"$build/fuzz/chiplist_fuzz" "$corpus" -dict="$root/fuzz/chiplist.dict" \
    -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/findings/" >"$log" 2>&1 || status=$?

grep -E '^(Done|stat::number_of_executed_units)' "$log" || true
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "chiplist_fuzz found a problem (exit $status); inputs in $build/findings/" >&2
    exit "$status"
fi
echo "chiplist_fuzz: no findings in ${seconds} s"
