#!/usr/bin/env node
'use strict';
// Messages per second and CPU per message of the edge node's publish path, for a bus of 32
// members x 200 tags that all change every cycle, into a real mosquitto. The plug-in is stood
// in by a process image in memory (the simulator cannot change 6400 values per cycle), so this
// measures the comparison, encoding and publishing.
// Reference: such a bus needs at least 32 x 200 x 2 data bytes x 11 bits / 19200 baud = 7.33 s
// per poll cycle on the wire; the target is that publishing one cycle costs less than 5 % of
// that in CPU time.
// Also the bytes per DDATA, for all tags changed and for one changed tag a member.
// Usage: mqtt_publish.js [CYCLES]

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const gatewayDir = path.resolve(__dirname, '..', '..', 'gateway');
const { EdgeNode } = require(path.join(gatewayDir, 'lib', 'sparkplug'));
const abi = require(path.join(gatewayDir, 'lib', 'abi'));
const b = require(path.join(gatewayDir, 'test', 'broker'));

const MEMBERS = 32;
const TAGS = 200;
const WIRE_CYCLE_MS = (MEMBERS * TAGS * 2 * 11 * 1000) / 19200;
const CPU_SHARE = 0.05;

async function main() {
    const cycles = Number(process.argv[2] ?? 50);
    const broker = await b.startBroker();
    const sub = await b.subscribe(broker.url);
    const items = new Map();
    for (let m = 0; m < MEMBERS; m++) {
        for (let t = 0; t < TAGS; t++) {
            const p = `ADR${String(m).padStart(2, '0')}.Values.V${t}`;
            items.set(p, { path: p, vt: t % 2 ? abi.VT_R4 : abi.VT_I2, access: abi.ACCESS_READ, handle: items.size, propertyPaths: {} });
        }
    }
    let cycle = 0;
    let onlyFirstTag = false; // then only the first tag of each member changes
    const valueOf = (item) => (onlyFirstTag && item.handle % TAGS ? item.handle : (cycle + item.handle) % 30000);
    const plugin = {
        read: (list) => list.map((item) => ({ vt: item.vt, value: valueOf(item), quality: abi.QUALITY_GOOD, sourceMs: Date.now() })),
    };
    // Payload bytes of the DDATA that arrive.
    let ddataBytes = 0;
    sub.client.on('message', (topic, payload) => {
        if (topic.split('/')[2] === 'DDATA') ddataBytes += payload.length;
    });
    // The edge node keeps its bdSeq in a state folder: a private one, removed at the end.
    const state = fs.mkdtempSync(path.join(os.tmpdir(), 'kvx-mqtt-publish-'));
    const node = new EdgeNode({
        plugin, items, writes: null, checkWrite: null, log: () => {}, version: 'bench',
        options: { mqtt: [broker.url], group: 'bench', edgeNode: 'publish', readOnly: true, state },
    });
    node.start();
    clearInterval(node.timer); // the benchmark drives the scans
    try {
        await sub.wait((m) => m.type === 'DBIRTH' && m.device === 'ADR31', 30000);
        const from = sub.messages.length;
        const before = node.stats.messages;
        let cpuUs = 0; // the scans only: the subscriber in this process decodes on its own time
        const t0 = process.hrtime.bigint();
        for (cycle = 1; cycle <= cycles; cycle++) {
            const cpu0 = process.cpuUsage();
            node.scan();
            const cpu = process.cpuUsage(cpu0);
            cpuUs += cpu.user + cpu.system;
            // Let the socket drain as it would between two poll cycles.
            await new Promise((r) => setImmediate(r));
        }
        const sent = node.stats.messages - before;
        await sub.wait(() => sub.messages.length - from >= sent, 60000);
        const wallMs = Number(process.hrtime.bigint() - t0) / 1e6;
        const cpuMs = cpuUs / 1000;
        const perMessage = cpuMs / sent;
        const perCycle = cpuMs / cycles;
        const received = sub.messages.slice(from);
        const bytesAll = ddataBytes / sent;
        const metrics = received.reduce((n, m) => n + (m.payload.metrics?.length ?? 0), 0);
        if (sent !== cycles * MEMBERS || metrics !== cycles * MEMBERS * TAGS || node.stats.skippedScans) {
            throw new Error(`sent ${sent} DDATA with ${metrics} metrics (${node.stats.skippedScans} scans left out); ` +
                `expected ${cycles * MEMBERS} with ${cycles * MEMBERS * TAGS}`);
        }
        console.log(`${cycles} cycles of ${MEMBERS} x ${TAGS} changed tags: ${sent} DDATA, ${metrics} metrics received`);
        console.log(`${(sent / (wallMs / 1000)).toFixed(0)} messages/s (${(metrics / (wallMs / 1000)).toFixed(0)} metrics/s) end to end`);
        console.log(`CPU ${perMessage.toFixed(2)} ms per message, ${perCycle.toFixed(1)} ms per cycle ` +
            `(target < ${(WIRE_CYCLE_MS * CPU_SHARE).toFixed(0)} ms = ${CPU_SHARE * 100} % of the ${WIRE_CYCLE_MS.toFixed(0)} ms wire cycle)`);
        // One changed tag a member: the size of a typical DDATA.
        onlyFirstTag = true;
        node.scan(); // the other tags change once more, to their fixed values
        const settled = sub.messages.length + MEMBERS;
        await sub.wait(() => sub.messages.length >= settled, 60000);
        const fromOne = sub.messages.length;
        const sentBefore = node.stats.messages;
        ddataBytes = 0;
        for (let i = 0; i < 5; i++, cycle++) node.scan();
        const sentOne = node.stats.messages - sentBefore;
        await sub.wait(() => sub.messages.length - fromOne >= sentOne, 60000);
        console.log(`bytes per DDATA: ${bytesAll.toFixed(0)} with ${TAGS} changed metrics, ` +
            `${(ddataBytes / sentOne).toFixed(1)} with one`);
        process.exitCode = perCycle < WIRE_CYCLE_MS * CPU_SHARE ? 0 : 1;
    } finally {
        await node.stop();
        await sub.close();
        await broker.stop();
        fs.rmSync(state, { recursive: true, force: true });
    }
}

main().catch((e) => {
    console.error(e);
    process.exit(1);
});
