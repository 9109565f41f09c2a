#!/usr/bin/env bash
# The edge node on a broker cluster: two RabbitMQ nodes with the MQTT plugin clustered on
# loopback ports, four gateways on four simulated buses spread over both nodes (each naming
# both with --mqtt), a host application on the second node; the first node is stopped and its
# gateways move to the second (scripts/broker-cluster.js tells what it saw). Needs the Debian
# package rabbitmq-server (installed here when missing, as root) and a built tree.
# Usage: scripts/broker-cluster.sh [BUILD_DIR]   (default build/dev)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(readlink -f "${1:-build/dev}")"
[ -x "$build/gateway/fenlo-opcua" ] || { echo "no gateway launcher in $build" >&2; exit 1; }
if [ ! -x /usr/lib/rabbitmq/bin/rabbitmq-server ]; then
    [ "$(id -u)" -eq 0 ] || { echo "rabbitmq-server is not installed (apt-get install rabbitmq-server)" >&2; exit 1; }
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q rabbitmq-server >/dev/null
fi
rmq=/usr/lib/rabbitmq/bin

work="$(mktemp -d /tmp/kvx-broker-cluster.XXXXXX)"
pids=()
cleanup() {
    for node in a b; do
        [ -f "$work/$node/env" ] && (set -a && . "$work/$node/env" && "$rmq/rabbitmqctl" -q stop >/dev/null 2>&1) || true
    done
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    # The port mapper started for this run, on its own port.
    [ -n "${epmd_port:-}" ] && epmd -port "$epmd_port" -kill >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { node -e 's=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})'; }

# Both nodes share the Erlang cookie (in the HOME both run with) and a port mapper on loopback.
export HOME="$work/home"
mkdir -p "$HOME"
head -c 24 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' > "$HOME/.erlang.cookie"
chmod 400 "$HOME/.erlang.cookie"
export ERL_EPMD_ADDRESS=127.0.0.1
epmd_port="$(free_port)"
export ERL_EPMD_PORT="$epmd_port"
epmd -daemon -port "$epmd_port" -address 127.0.0.1

declare -A mqtt_port
for node in a b; do
    dir="$work/$node"
    mkdir -p "$dir"
    mqtt_port[$node]="$(free_port)"
    cat > "$dir/rabbitmq.conf" <<EOF
listeners.tcp.default = 127.0.0.1:$(free_port)
mqtt.listeners.tcp.default = 127.0.0.1:${mqtt_port[$node]}
mqtt.allow_anonymous = true
# Without it the plugin hands "spBv1.0/..." back as "spBv1/0/..." (its dots are AMQP separators).
mqtt.sparkplug = true
log.console = false
log.file.level = warning
EOF
    echo '[rabbitmq_mqtt].' > "$dir/enabled_plugins"
    cat > "$dir/env" <<EOF
RABBITMQ_NODENAME=kvx$node@localhost
RABBITMQ_CONFIG_FILE=$dir/rabbitmq.conf
RABBITMQ_ENABLED_PLUGINS_FILE=$dir/enabled_plugins
RABBITMQ_MNESIA_BASE=$dir/mnesia
RABBITMQ_LOG_BASE=$dir/log
RABBITMQ_PID_FILE=$dir/pid
RABBITMQ_DIST_PORT=$(free_port)
HOME=$HOME
ERL_EPMD_ADDRESS=127.0.0.1
ERL_EPMD_PORT=$epmd_port
EOF
    (set -a && . "$dir/env" && exec "$rmq/rabbitmq-server" > "$dir/out.log" 2>&1) &
    pids+=($!)
done
# A node answers once it has written its pid file; then it is waited for until it has started.
for node in a b; do
    (set -a && . "$work/$node/env" && "$rmq/rabbitmqctl" -q wait --timeout 120 "$RABBITMQ_PID_FILE" >/dev/null) ||
        { echo "RabbitMQ node $node did not start:" >&2; cat "$work/$node/out.log" "$work/$node/log/"*.log >&2; exit 1; }
done
# The second node joins the first.
(set -a && . "$work/b/env" && "$rmq/rabbitmqctl" -q stop_app && "$rmq/rabbitmqctl" -q join_cluster kvxa@localhost &&
    "$rmq/rabbitmqctl" -q start_app && "$rmq/rabbitmqctl" -q await_startup)
echo "cluster: $(set -a && . "$work/a/env" && "$rmq/rabbitmqctl" -q eval 'rabbit_nodes:all_running().')" 

# The run; it stops the first node through this command.
stop_a="set -a && . '$work/a/env' && '$rmq/rabbitmqctl' -q stop_app"
FENLO_OPCUA="$build/gateway/fenlo-opcua" KXBUS_SIM="$build/sim/kxbus-sim" FENLO_HOST="$build/host/fenlo-host" \
    node scripts/broker-cluster.js "mqtt://127.0.0.1:${mqtt_port[a]}" "mqtt://127.0.0.1:${mqtt_port[b]}" "$stop_a"
