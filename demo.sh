#!/usr/bin/env bash
# Demo: the simulator plays the sample devices on a pseudo-terminal; the service tool scans the
# bus; the plug-in, loaded by the reference host, reads live values.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup-deps.sh
kvx_install_deps

cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" >/dev/null
bin=build/dev

work=$(mktemp -d)
sim_out="$work/sim.out"
cleanup() {
    [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$bin/sim/kxbus-sim" --scenario samples/scenarios/demo.json --log >"$sim_out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q '^pty ' "$sim_out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^pty //p' "$sim_out" | head -1)
[ -n "$port" ] || { echo "simulator did not start:"; cat "$sim_out"; exit 1; }
echo "== simulator on $port"

echo "== the service tool scans the bus"
cp samples/devices/*.cfg "$work/"
"$bin/scantool/cli/linkspy-cli" -C "$work" --port "$port" scan
echo "== the service tool writes the plug-in's fenlodrv.ini"
"$bin/scantool/cli/linkspy-cli" -C "$work" --port "$port" generate --com "$port"
cat "$work/fenlodrv.ini" | tr -d '\r'

echo "== the plug-in, loaded by the reference host, browses and reads live values"
export KORVEX_OPC_INSTDIR="$work"
"$bin/host/fenlo-host" browse | head -20
"$bin/host/fenlo-host" session <<'CMDS'
wait ADR03.DEVICE_ID good 5000
read ADR03.DEVICE_ID
quit
CMDS
echo "== simulator log (last exchanges)"
tail -5 "$sim_out"
