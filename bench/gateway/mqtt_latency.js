#!/usr/bin/env node
'use strict';
// Latency from a value change in the simulator to its DDATA at a subscriber, in poll cycles,
// for a gateway that does not use the plug-in's extension (--no-extension: notify_latency.js
// measures the way with it). A change becomes visible with the member's next poll (at most one
// poll cycle later), and the edge node compares every scan period (100 ms): the target is
// cycle + 100 ms + 50 ms for the broker round trip and load, for every sample.
// Usage: mqtt_latency.js [CHANGES]   (FENLO_OPCUA, KXBUS_SIM, FENLO_HOST as for the tests)

const path = require('node:path');
const gatewayDir = path.resolve(__dirname, '..', '..', 'gateway');
const s = require(path.join(gatewayDir, 'test', 'support'));
const b = require(path.join(gatewayDir, 'test', 'broker'));

const SCAN_MS = 100;
const ALLOWANCE_MS = 50;

async function main() {
    const changes = Number(process.argv[2] ?? 20);
    const broker = await b.startBroker();
    const sim = await s.startSim({ log: true });
    const inst = s.makeInstallation(sim.pty, s.SAMPLE_MEMBERS);
    const sub = await b.subscribe(broker.url);
    const node = await b.startEdgeNode(inst, ['--no-opcua', '--no-extension', '--mqtt', broker.url, '--edge-node', 'bench']);
    try {
        await sub.wait((m) => m.type === 'DBIRTH' && m.device === 'ADR03');
        // The poll cycle, seen on the bus: the time between two requests of the member's first
        // block in the simulator's exchange log (its standard output).
        const polls = new Map(); // request -> times
        sim.child.stdout.on('data', (chunk) => {
            for (const line of chunk.split('\n')) {
                const m = /^ADR 03 READ\s+rx ([0-9A-F ]+?)\s*\|/.exec(line);
                if (!m) continue;
                if (!polls.has(m[1])) polls.set(m[1], []);
                polls.get(m[1]).push(Date.now());
            }
        });
        await new Promise((r) => setTimeout(r, 5000));
        const times = [...polls.values()][0] ?? [];
        const steps = times.slice(1).map((t, i) => t - times[i]).sort((x, y) => x - y);
        if (steps.length < 2) throw new Error('the simulator logged too few polls of ADR03');
        const cycle = steps[Math.floor(steps.length / 2)];
        const latencies = [];
        for (let i = 0; i < changes; i++) {
            const raw = 300 + i;
            const from = sub.messages.length;
            const t0 = Date.now();
            await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: raw } ] } } });
            const m = await sub.wait((x) => x.type === 'DDATA' && x.device === 'ADR03' &&
                Math.abs((b.metricsOf(x).get('Process.ActualTemp')?.value ?? 0) - raw / 10) < 1e-3, 10000, from);
            latencies.push(m.at - t0);
            await new Promise((r) => setTimeout(r, Math.random() * cycle));
        }
        latencies.sort((x, y) => x - y);
        const median = latencies[Math.floor(latencies.length / 2)];
        const max = latencies.at(-1);
        const target = cycle + SCAN_MS + ALLOWANCE_MS;
        console.log(`poll cycle (median of ${steps.length} steps): ${cycle} ms`);
        console.log(`latency of ${changes} changes: median ${median} ms (${(median / cycle).toFixed(2)} cycles), ` +
            `min ${latencies[0]} ms, max ${max} ms (${(max / cycle).toFixed(2)} cycles)`);
        console.log(`target: every sample <= ${target} ms (${(target / cycle).toFixed(2)} cycles)`);
        process.exitCode = max <= target ? 0 : 1;
    } finally {
        await node.stop();
        await sub.close();
        await sim.stop();
        await broker.stop();
        await s.dispose();
    }
}

main().catch((e) => {
    console.error(e);
    process.exit(1);
});
