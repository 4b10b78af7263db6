#!/usr/bin/env bash
# Builds with a sanitizer in its own build folder and runs the tests under it.
# Usage: scripts/sanitize.sh address   AddressSanitizer + UndefinedBehaviorSanitizer, whole suite
#        scripts/sanitize.sh thread    ThreadSanitizer, the worker and main-window tests
# Prints "sanitizer findings: N" last; exits non-zero on any finding or test failure.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
kind="${1:-address}"
supp="$root/scripts/sanitizers"

case "$kind" in
address)
    build="$root/build-asan"
    sanitize="address,undefined"
    ;;
thread)
    build="$root/build-tsan"
    sanitize="thread"
    ;;
*)
    echo "usage: $0 address|thread" >&2
    exit 2
    ;;
esac

# Reports go to files, one per process, so that children started by the tests
# (which may run as another user) are counted as well.
reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
chmod 1777 "$reports"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNOCK_SANITIZE="$sanitize" -DVARNOCK_BUILD_BENCH=OFF >/dev/null || exit 1

export QT_QPA_PLATFORM=offscreen
# Qt Test stops a test function after 5 minutes; under a sanitizer the largest parts' jobs on
# the emulated CH347 take longer than that on a loaded machine.
export QTEST_FUNCTION_TIMEOUT=1800000
status=0
if [ "$kind" = address ]; then
    cmake --build "$build" -j2 || exit 1
    asan="halt_on_error=1:detect_leaks=1"
    ubsan="halt_on_error=1:print_stacktrace=1"
    export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
    ASAN_OPTIONS="$asan:log_path=$reports/asan" UBSAN_OPTIONS="$ubsan:log_path=$reports/ubsan" \
        ctest --test-dir "$build" --output-on-failure -j 2 -E '^usb$' || status=1
    # umockdev-wrapper preloads its own library ahead of the ASan runtime, and
    # that library cannot cope with ASan opening a log file at start-up: this
    # test reports on its output instead, which is counted with the files.
    ASAN_OPTIONS="$asan:verify_asan_link_order=0" UBSAN_OPTIONS="$ubsan" \
        ctest --test-dir "$build" --output-on-failure -R '^usb$' >"$reports/usb.out" 2>&1 ||
        status=1
    cat "$reports/usb.out"
else
    # The programs where the two threads meet; tst_mainwindow when it exists.
    targets=(tst_programmer tst_faults)
    # Read the whole list first: grep -q stops early, and under pipefail the
    # writer's broken pipe would fail the test.
    if cmake --build "$build" --target help | grep '^tst_mainwindow:' >/dev/null; then
        targets+=(tst_mainwindow)
    fi
    cmake --build "$build" -j2 --target "${targets[@]}" || exit 1
    # Qt's own event dispatcher instead of the uninstrumented GLib one.
    export QT_NO_GLIB=1
    export TSAN_OPTIONS="halt_on_error=0:second_deadlock_stack=1:history_size=7:ignore_noninstrumented_modules=1:log_path=$reports/tsan:suppressions=$supp/tsan.supp"
    for target in "${targets[@]}"; do
        program="$(find "$build/tests" -type f -name "$target" -perm -u+x | head -n 1)"
        # Of the fault tests only the window test runs a second thread.
        args=()
        [ "$target" = tst_faults ] && args=(windowSurvivesUnplugOnWorkerThread)
        echo "== $target under ThreadSanitizer"
        if ! "$program" "${args[@]}" >"$reports/$target.out" 2>&1; then
            tail -n 40 "$reports/$target.out"
            status=1
        else
            grep '^Totals' "$reports/$target.out"
        fi
    done
fi

findings=$(cat "$reports"/asan.* "$reports"/ubsan.* "$reports"/tsan.* "$reports"/usb.out 2>/dev/null |
    grep -cE '^(==[0-9]+==ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|.*runtime error:)')
for report in "$reports"/asan.* "$reports"/ubsan.* "$reports"/tsan.*; do
    [ -s "$report" ] && { echo "--- $report"; head -n 60 "$report"; }
done
echo "sanitizer findings: $findings"
[ "$findings" -eq 0 ] || status=1
exit "$status"
