# Sourced by the Wine tests that run the Windows programs on the simulated bus: checks the
# Wine prefix, starts the Linux simulator with the sample scenario and makes Wine's COM5 its
# pseudo-terminal (the symbolic link dosdevices/com5). Sets `work` (a fresh folder, removed at
# the end) and `sim_pid`; `fail TEXT` ends the test. Skips (77) when no prefix is named.
kvx_com5_start() {
    local sim="$1" samples="$2"
    if [ -z "${WINEPREFIX:-}" ] || ! command -v wine >/dev/null; then
        echo "no Wine prefix named in WINEPREFIX: skipped"
        exit 77
    fi
    # The registry files appear only when the wineserver saves them; the boot makes drive_c.
    [ -d "$WINEPREFIX/drive_c/windows" ] || fail "$WINEPREFIX is not a booted Wine prefix"
    [ -x "$sim" ] || fail "no simulator program: $sim"
    work="$(mktemp -d)"
    trap kvx_com5_cleanup EXIT
    "$sim" --scenario "$samples/scenarios/demo.json" >"$work/sim.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do grep -q '^pty ' "$work/sim.log" 2>/dev/null && break; sleep 0.1; done
    local pty
    pty="$(sed -n 's/^pty //p' "$work/sim.log" | head -1)"
    [ -n "$pty" ] || fail "the simulator did not start: $(cat "$work/sim.log")"
    ln -sfn "$pty" "$WINEPREFIX/dosdevices/com5"
}

# Further clean-up of a test, run before the common one.
kvx_com5_extra_cleanup() { :; }

kvx_com5_cleanup() {
    kvx_com5_extra_cleanup
    [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null || true
    rm -f "$WINEPREFIX/dosdevices/com5"
    rm -rf "$work"
}

fail() { echo "FAIL: $*"; exit 1; }

# A Linux path as Wine names it (drive Z: is the root).
windows_path() { local p="${1//\//\\}"; echo "Z:$p"; }
