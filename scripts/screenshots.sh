#!/usr/bin/env bash
# Remakes docs/screenshots/*.png: linkspy over the simulated sample devices (main window after
# a scan and a test, the cycles, save-protocol, generate and port dialogs, the progress windows
# of the scan and the test). The windows are shown on a virtual X server (Xvfb, 1366x768) under
# a small window manager (openbox), so that the pictures have the title bars a user sees;
# both are installed from the distribution's packages when missing. Without them the pictures
# are taken offscreen, without frames (KVX_SCREENSHOTS_OFFSCREEN=1 asks for that).
# Builds the dev preset's screenshot program first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-deps.sh
kvx_install_deps
cmake --preset dev >/dev/null
cmake --build --preset dev -j2 --target linkspy_screenshots
program=build/dev/tests/gui/linkspy_screenshots

offscreen() {
    QT_QPA_PLATFORM=offscreen "$program" docs/screenshots
}

if [ "${KVX_SCREENSHOTS_OFFSCREEN:-0}" = 1 ]; then
    offscreen
    exit
fi
have_x() { command -v Xvfb >/dev/null && command -v openbox >/dev/null && command -v xprop >/dev/null; }
if ! have_x; then
    kvx_apt_install --no-install-recommends xvfb openbox x11-utils || true
fi
if ! have_x; then
    echo "screenshots.sh: no Xvfb or openbox here: pictures taken offscreen, without frames" >&2
    offscreen
    exit
fi

work="$(mktemp -d)"
xvfb="" wm=""
cleanup() {
    [ -z "$wm" ] || kill "$wm" 2>/dev/null || true
    [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# Xvfb picks a free display and writes its number once it accepts clients.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
read -r number <"$work/display"
export DISPLAY=":$number"
# openbox with its own configuration only (no desktop session around it).
HOME="$work" XDG_CONFIG_HOME="$work" openbox --sm-disable 2>"$work/openbox.log" &
wm=$!
# The window manager has taken over the screen when the root window names it.
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
    sleep 0.1
done
QT_QPA_PLATFORM=xcb "$program" docs/screenshots
