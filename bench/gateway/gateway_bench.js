'use strict';
// Gateway benchmark.
//  1. Values per second of Reads of 100 variables each through fenlo-opcua (plug-in on the
//     simulator without wire timing), divided by the same figure of the same node-opcua server
//     serving 100 plain in-memory variables; same client, same run, rounds alternating between
//     the two servers. Target >= 0.9.
//  2. Latency from a value change in the simulator to a subscription's notification, against
//     the poll cycle from its pauses: WAIT + 32 x 10 ms + per member 50 ms + 20 ms per block
//     (exchanges answered at once). Target: every latency within one cycle plus the sampling
//     and publishing intervals (the change may land just after its member was polled).
// Usage: node gateway_bench.js [ROUNDS]   (default 6; 1 for a smoke run: figures only)

const { spawn } = require('node:child_process');
const { once } = require('node:events');
const path = require('node:path');
const s = require('../../gateway/test/support');
const { createRequire } = require('node:module');

const gatewayRequire = createRequire(path.join(__dirname, '..', '..', 'gateway', 'package.json'));
const {
    AttributeIds, ClientMonitoredItem, ClientSubscription, StatusCodes, TimestampsToReturn,
} = gatewayRequire('node-opcua');

const ROUNDS = Number(process.argv[2] ?? 6);
const READS_PER_ROUND = 200;
const VARIABLES = 100;
const WAIT_MS = 100;
const SAMPLING_MS = 100;
const PUBLISHING_MS = 100;
const RATIO_TARGET = 0.9;

// Members and their fetch blocks, for the cycle formula.
const MEMBERS = { 3: 2, 7: 2, 12: 4, 4: 2, 5: 2, 8: 2 };
const cfgOf = { 3: 'tc200.cfg', 4: 'tc200.cfg', 5: 'tc200.cfg', 7: 'dio16.cfg', 8: 'dio16.cfg', 12: 'fd7.cfg' };

async function startPlain(port) {
    const child = spawn(process.execPath, [path.join(__dirname, 'plain_server.js'), String(port), path.join(require('node:os').tmpdir(), 'kvx-gateway-test-pki')], { stdio: ['ignore', 'pipe', 'inherit'] });
    const out = new s.Lines(child.stdout);
    const line = await out.wait(/listening on/, 60000);
    return { child, endpoint: /listening on (\S+)/.exec(line)[1], stop: async () => { child.kill('SIGTERM'); await once(child, 'exit'); } };
}

async function readRate(session, nodes) {
    const start = process.hrtime.bigint();
    for (let i = 0; i < READS_PER_ROUND; i++) {
        const results = await session.read(nodes);
        if (results.some((r) => r.statusCode !== StatusCodes.Good)) throw new Error('a read was not Good');
    }
    const seconds = Number(process.hrtime.bigint() - start) / 1e9;
    return (READS_PER_ROUND * nodes.length) / seconds;
}

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

async function main() {
    const members = Object.fromEntries(Object.keys(MEMBERS).map((a) => [a, path.join(s.SAMPLES, 'devices', cfgOf[a])]));
    const extraMembers = Object.fromEntries(Object.entries(members).filter(([a]) => !(a in s.SAMPLE_MEMBERS)));
    const sim = await s.startSim({ extraMembers });
    const instDir = s.makeInstallation(sim.pty, members);
    const gateway = await s.startGateway(instDir);
    const plain = await startPlain(await new Promise((r) => {
        const srv = require('node:net').createServer().listen(0, '127.0.0.1', () => { const { port } = srv.address(); srv.close(() => r(port)); });
    }));
    const ua = await s.connect(gateway.endpoint);
    const ref = await s.connect(plain.endpoint);
    let failed = false;
    try {
        const browse = await s.hostBrowse(instDir);
        const gwNodes = browse.filter((e) => e.kind === 'tag').slice(0, VARIABLES)
            .map((e) => ({ nodeId: `ns=1;s=${e.path}`, attributeId: AttributeIds.Value }));
        const plainNodes = Array.from({ length: VARIABLES }, (_, i) => ({ nodeId: `ns=1;s=Plain.${String(i).padStart(3, '0')}`, attributeId: AttributeIds.Value }));
        await s.until(async () => (await ua.session.read(gwNodes)).every((r) => r.statusCode === StatusCodes.Good), 60000, 'every member answers');

        const gw = [];
        const pl = [];
        await readRate(ua.session, gwNodes); // warm-up of both
        await readRate(ref.session, plainNodes);
        for (let r = 0; r < ROUNDS; r++) {
            gw.push(await readRate(ua.session, gwNodes));
            pl.push(await readRate(ref.session, plainNodes));
        }
        const ratio = median(gw) / median(pl);
        console.log(`reads of ${VARIABLES} variables, ${ROUNDS} rounds of ${READS_PER_ROUND} Reads each`);
        console.log(`  gateway: median ${median(gw).toFixed(0)} values/s (min ${Math.min(...gw).toFixed(0)}, max ${Math.max(...gw).toFixed(0)})`);
        console.log(`  plain:   median ${median(pl).toFixed(0)} values/s (min ${Math.min(...pl).toFixed(0)}, max ${Math.max(...pl).toFixed(0)})`);
        console.log(`  ratio gateway / plain: ${ratio.toFixed(3)} (target >= ${RATIO_TARGET})`);
        if (ROUNDS > 1 && ratio < RATIO_TARGET) failed = true;

        // Latency of a change in the device to a notification.
        const cycleMs = WAIT_MS + 32 * 10 + Object.values(MEMBERS).reduce((sum, blocks) => sum + 50 + 20 * blocks, 0);
        const boundMs = cycleMs + SAMPLING_MS + PUBLISHING_MS;
        const subscription = ClientSubscription.create(ua.session, {
            requestedPublishingInterval: PUBLISHING_MS, requestedMaxKeepAliveCount: 20, requestedLifetimeCount: 100, publishingEnabled: true,
        });
        const item = ClientMonitoredItem.create(subscription, { nodeId: 'ns=1;s=ADR03.Process.ActualTemp', attributeId: AttributeIds.Value },
            { samplingInterval: SAMPLING_MS, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
        let waiting = null;
        item.on('changed', (dv) => {
            if (waiting && Math.abs(dv.value.value - waiting.value) < 1e-3) waiting.resolve(Date.now());
        });
        const latencies = [];
        const changes = Math.max(3, ROUNDS * 2);
        for (let i = 0; i < changes; i++) {
            const raw = 300 + i;
            const notified = new Promise((resolve) => { waiting = { value: raw / 10, resolve }; });
            // Changes at varying points of the cycle.
            await new Promise((r) => setTimeout(r, 150 + Math.random() * cycleMs));
            const t0 = Date.now();
            await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: raw }] } } });
            const t1 = await Promise.race([notified, new Promise((r) => setTimeout(() => r(null), 10 * boundMs))]);
            if (t1 === null) throw new Error(`no notification of the change to ${raw / 10}`);
            latencies.push(t1 - t0);
        }
        await subscription.terminate();
        console.log(`change in the device -> notification, ${changes} changes (sampling ${SAMPLING_MS} ms, publishing ${PUBLISHING_MS} ms)`);
        console.log(`  median ${median(latencies)} ms, max ${Math.max(...latencies)} ms`);
        console.log(`  poll cycle from its pauses: ${cycleMs} ms; ratio median / cycle ${(median(latencies) / cycleMs).toFixed(2)}`);
        console.log(`  target: max <= cycle + sampling + publishing = ${boundMs} ms`);
        if (ROUNDS > 1 && Math.max(...latencies) > boundMs) failed = true;
    } finally {
        await ua.close();
        await ref.close();
        await s.dispose();
        await plain.stop();
        await gateway.stop();
        await sim.stop();
    }
    if (failed) {
        console.log('TARGET MISSED');
        process.exit(1);
    }
}

main().catch((e) => {
    console.error(e.stack || e);
    process.exit(2);
});
