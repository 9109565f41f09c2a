'use strict';
// What the edge-node tests run besides the gateway: a real mosquitto on a free loopback port,
// a Sparkplug B subscriber, and the gateway as a pure edge node.

const fs = require('node:fs');
const path = require('node:path');
const mqtt = require('mqtt');
const spb = require('./sparkplug-b');
const s = require('./support');

// mosquitto on `port` (a free one when not given); restartable on the same port.
async function startBroker(port) {
    port ??= await s.freePort();
    const dir = s.tempDir('mosquitto');
    const conf = path.join(dir, 'mosquitto.conf');
    fs.writeFileSync(conf, `listener ${port} 127.0.0.1\nallow_anonymous true\npersistence false\n`);
    const program = fs.existsSync('/usr/sbin/mosquitto') ? '/usr/sbin/mosquitto' : 'mosquitto';
    const child = s.spawnTracked(program, ['-c', conf], { stdio: ['ignore', 'pipe', 'pipe'] });
    const err = new s.Lines(child.stderr);
    await s.startedOrKilled(child, Promise.race([
        err.wait(/Opening ipv4 listen socket on port|running/, 10000),
        s.exited(child).then((code) => {
            throw new Error(`mosquitto ended with ${code}:\n${err.lines.join('\n')}`);
        }),
    ]));
    return {
        port, url: `mqtt://127.0.0.1:${port}`, child,
        async stop() {
            child.kill('SIGTERM');
            await s.exited(child);
        },
    };
}

// A Sparkplug host application that records every message below spBv1.0 (with the QoS it was
// published with, at most its subscription's 1), its metrics named through the aliases of the
// node's births; `options` go to the MQTT client (a will).
async function subscribe(url, topic = 'spBv1.0/#', options = {}) {
    const client = mqtt.connect(url, { reconnectPeriod: 200, ...options });
    const messages = [];
    const waiters = [];
    const aliases = new Map(); // 'group/node' -> Map alias -> {name, datatype}
    client.on('message', (t, raw, packet) => {
        const [, group, type, node, device] = t.split('/');
        let m;
        if (group === 'STATE') {
            m = { topic: t, type: 'STATE', host: type, state: JSON.parse(raw.toString()), at: Date.now() };
        } else {
            const key = `${group}/${node}`;
            if (type === 'NBIRTH') aliases.set(key, new Map());
            const payload = spb.decodePayload(raw, aliases.get(key));
            if (type === 'NBIRTH' || type === 'DBIRTH') {
                for (const x of payload.metrics) if (x.alias !== undefined) aliases.get(key)?.set(x.alias, { name: x.name, datatype: x.datatype });
            }
            m = { topic: t, group, type, node, device, payload, qos: packet.qos, at: Date.now() };
        }
        messages.push(m);
        for (const w of [...waiters]) {
            if (w.match(m)) {
                waiters.splice(waiters.indexOf(w), 1);
                clearTimeout(w.timer);
                w.resolve(m);
            }
        }
    });
    await new Promise((resolve, reject) => {
        client.once('connect', resolve);
        client.once('error', reject);
    });
    await client.subscribeAsync(topic, { qos: 1 });
    return {
        client, messages,
        // The first message from index `from` on that matches.
        wait(match, timeoutMs = 30000, from = 0) {
            const found = messages.slice(from).find(match);
            if (found) return Promise.resolve(found);
            return new Promise((resolve, reject) => {
                const w = { match, resolve };
                w.timer = setTimeout(() => {
                    waiters.splice(waiters.indexOf(w), 1);
                    reject(new Error(`no such message within ${timeoutMs} ms; last: ${messages.slice(-5).map((x) => x.topic).join(', ')}`));
                }, timeoutMs);
                waiters.push(w);
            });
        },
        command(topicText, metrics) {
            client.publish(topicText, spb.encodePayload({ timestamp: Date.now(), metrics }));
        },
        close() {
            return client.endAsync(true);
        },
    };
}

// fenlo-opcua for `instDir` with `args` (a state folder of its own unless they name one);
// resolves once its edge node is connected.
async function startEdgeNode(instDir, args) {
    const state = args.includes('--state') ? [] : ['--state', s.tempDir('gw-state')];
    const child = s.spawnTracked(s.programs.gateway, ['--pki', path.join(require('node:os').tmpdir(), 'kvx-gateway-test-pki'), ...state, ...args], {
        stdio: ['ignore', 'pipe', 'pipe'],
        env: { ...process.env, KORVEX_OPC_INSTDIR: instDir },
    });
    const err = new s.Lines(child.stderr);
    await s.startedOrKilled(child, Promise.race([
        err.wait(/MQTT .*connected as edge node/, 60000),
        s.exited(child).then((code) => {
            throw new Error(`fenlo-opcua ended with ${code}:\n${err.lines.join('\n')}`);
        }),
    ]));
    const endpoint = /listening on (\S+)/.exec(err.lines.find((l) => /listening on/.test(l)) ?? '')?.[1];
    return {
        child, err, endpoint,
        async stop(signal = 'SIGTERM') {
            child.kill(signal);
            return s.exited(child);
        },
    };
}

const num = (v) => (v !== null && typeof v === 'object' && 'low' in v ? Number(v.low) + Number(v.high) * 2 ** 32 : v);
const metricsOf = (m) => new Map((m.payload.metrics ?? []).map((x) => [x.name, x]));

module.exports = { freePort: s.freePort, startBroker, subscribe, startEdgeNode, num, metricsOf };
