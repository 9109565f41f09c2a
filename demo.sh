#!/usr/bin/env bash
# Demo: the simulator plays the sample devices on a pseudo-terminal, with values that move; the
# service tool scans and tests the bus and writes the plug-in's fenlodrv.ini; the plug-in, loaded
# by the reference host, reads and writes live values; then the OPC UA gateway serves them on
# 127.0.0.1:4840 and the project's OPC UA client shows them until Ctrl-C.
# Usage: ./demo.sh [--once]   (--once: one table, a write and its read-back, then stop)
set -euo pipefail
once=()
[ "${1:-}" = "--once" ] && once=(--once)
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
    for pid in ${gateway_pid:-} ${mover_pid:-}; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    exec 3>&- 2>/dev/null || true
    if [ -n "${sim_pid:-}" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The simulator takes scenario changes on its standard input: the demo moves values through it.
mkfifo "$work/sim.in"
"$bin/sim/kxbus-sim" --scenario samples/scenarios/demo.json --log --changes \
    <"$work/sim.in" >"$sim_out" 2>&1 &
sim_pid=$!
exec 3>"$work/sim.in"
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

# The devices' values move: temperature, drive speed and a pulse counter, once a second.
(
    temps=(235 241 248 252 249 243 236 229 224 228)
    for ((i = 0; ; i++)); do
        t=${temps[i % ${#temps[@]}]}
        printf '{"members": {"3": {"memory": [{"offset": 20, "type": "int", "value": %d}]}, "7": {"memory": [{"offset": 128, "type": "ulong", "value": %d}]}, "12": {"memory": [{"offset": 20, "type": "int", "value": %d}]}}}\n' \
            "$t" $((482113 + 25 * i)) $((1440 + (i % 5) * 5)) >&3 || exit 0
        sleep 1
    done
) &
mover_pid=$!

echo "== fenlo-opcua: the OPC UA gateway on 127.0.0.1:4840"
gateway_log="$work/gateway.log"
"$bin/gateway/fenlo-opcua" --host 127.0.0.1 --port 4840 --pki "$work/pki" 2>"$gateway_log" &
gateway_pid=$!
for _ in $(seq 300); do
    grep -q 'listening on' "$gateway_log" 2>/dev/null && break
    kill -0 "$gateway_pid" 2>/dev/null || break
    sleep 0.2
done
cat "$gateway_log"
grep -q 'listening on' "$gateway_log" || { echo "the gateway did not start"; exit 1; }

echo "== fenlo-ua-client: browse, live values, a setpoint written and read back (Ctrl-C ends)"
node gateway/tools/fenlo-ua-client.js opc.tcp://127.0.0.1:4840 --write ADR03.Process.Setpoint=68.5 \
    "${once[@]}" || true
echo "== stopping"
kill -TERM "$gateway_pid"
wait "$gateway_pid" || true
gateway_pid=
tail -2 "$gateway_log"
