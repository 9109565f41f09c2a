#!/usr/bin/env bash
# The Windows window of linkspy under Wine on a virtual X display (Xvfb), in a Wine virtual
# desktop that draws the windows' frames, against the Linux simulator on Wine's COM5.
# Usage: window_test.sh KXBUS_SIM WINDOW_TEST_EXE SAMPLES_DIR [SCREENSHOT_DIR]
# With SCREENSHOT_DIR, the pictures the test takes are kept there as PNG files.
set -euo pipefail
sim="$1" exe="$2" samples="$3" shots="${4:-}"
source "$(dirname "$0")/com5_common.sh"
command -v xvfb-run >/dev/null || fail "xvfb-run (Debian package xvfb) is missing"
kvx_com5_start "$sim" "$samples"
mkdir -p "$work/shots"
shot_args=()
[ -n "$shots" ] && shot_args=("$(windows_path "$work/shots")")

# A desktop of its own per run (one named before may belong to a display that is gone).
# Wine's desktop program ends with the test but does not hand on its status: the test's
# result file tells it.
status=0
xvfb-run -a -s "-screen 0 1024x768x24" \
    wine explorer "/desktop=linkspy-$$,1024x768" "$exe" \
        "--gtest_output=xml:$(windows_path "$work/result.xml")" \
        "$(windows_path "$samples")" "${shot_args[@]}" </dev/null 2>"$work/wine.err" || status=$?
[ -f "$work/result.xml" ] || fail "the test wrote no result (status $status): $(tail -5 "$work/wine.err")"
tr -d '\r' <"$work/result.xml" | grep -E '<testcase|<failure' | sed 's/^ *//' | cut -c1-300
summary="$(grep -m1 '<testsuites ' "$work/result.xml")"
tests="$(sed -n 's/.* tests="\([0-9]*\)".*/\1/p' <<<"$summary")"
failures="$(sed -n 's/.* failures="\([0-9]*\)".*/\1/p' <<<"$summary")"
errors="$(sed -n 's/.* errors="\([0-9]*\)".*/\1/p' <<<"$summary")"
[ "${tests:-0}" -gt 0 ] || fail "no test ran"
[ "$failures" = 0 ] && [ "$errors" = 0 ] || fail "$failures failed, $errors errors of $tests"

if [ -n "$shots" ]; then
    mkdir -p "$shots"
    for bmp in "$work"/shots/*.bmp; do
        [ -f "$bmp" ] || fail "no screenshot was taken"
        convert "$bmp" "$shots/$(basename "$bmp" .bmp).png"
    done
fi
echo "$tests passed, 0 failed: the window on the simulated bus through COM5"
