#!/usr/bin/env bash
# Demo: the simulator plays the sample devices on a pseudo-terminal; the service tool scans and
# tests the bus and writes the plug-in's fenlodrv.ini; the plug-in, loaded by the reference
# host, reads and writes live values.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup-deps.sh
kvx_install_deps

echo "== building"
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" >/dev/null
bin=build/dev

work=$(mktemp -d)
sim_out="$work/sim.log"
cleanup() {
    if [ -n "${sim_pid:-}" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

"$bin/sim/kxbus-sim" --scenario samples/scenarios/demo.json --log >"$sim_out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q '^pty ' "$sim_out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^pty //p' "$sim_out" | head -1)
[ -n "$port" ] || { echo "the simulator did not start:"; cat "$sim_out"; exit 1; }
echo "== simulator: members 3, 7 and 12 on $port"

# The service engineer's working directory: device descriptions and the tool's settings.
cp samples/devices/*.cfg samples/LINKSPY.INI "$work/"
tool() { "$bin/scantool/cli/linkspy-cli" -C "$work" "$@"; }

echo "== linkspy-cli port set: choose the bus port"
tool port set "$port"
echo "== linkspy-cli scan"
tool scan | grep -v -e '-----' || true
echo "== linkspy-cli test --cycles 10"
tool test --cycles 10 | grep -v -e '-----' || true
echo "== linkspy-cli generate: the plug-in's fenlodrv.ini"
tool generate >/dev/null
tr -d '\r' <"$work/fenlodrv.ini"

echo "== fenlo-host browse: the namespace the plug-in gives its host (first lines)"
export KORVEX_OPC_INSTDIR="$work"
"$bin/host/fenlo-host" browse | head -12

echo "== fenlo-host session: live values, a write and its read-back"
"$bin/host/fenlo-host" session <<'CMDS'
wait ADR03.DEVICE_ID good 5000
wait ADR12.DEVICE_ID good 5000
read ADR03.DEVICE_ID ADR03.Process.ActualTemp ADR03.Process.Setpoint ADR03.Parameters.RampTime ADR07.DEVICE_ID ADR12.DEVICE_ID
write ADR03.Process.Setpoint=72.5
sleep 1500
read ADR03.Process.Setpoint
quit
CMDS

echo "== the simulator's view of the last exchanges"
grep 'ADR 03' "$sim_out" | tail -3
