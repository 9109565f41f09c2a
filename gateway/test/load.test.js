'use strict';
// Many clients at once, writers that take turns, and a stop with writes still queued.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { AttributeIds, DataType, OPCUAClient, StatusCodes } = require('node-opcua');
const s = require('./support');

const members = { ...s.SAMPLE_MEMBERS, 20: path.join(s.FIXTURES, 'types.cfg') };
const nodeId = (p) => `ns=1;s=${p}`;

let sim;
let instDir;

before(async () => {
    sim = await s.startSim({ extraMembers: { 20: members[20] }, log: true });
    instDir = s.makeInstallation(sim.pty, members);
});

after(() => s.tearDown(() => sim?.stop()));

function rssKiB(pid) {
    return Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
}

const writeOne = (session, p, dataType, value) => session.write({
    nodeId: nodeId(p), attributeId: AttributeIds.Value, value: { value: { dataType, value } },
});

test('50 sessions read everything while writes go on; one connection more is refused and logged', async (t) => {
    const READERS = 50;
    const gateway = await s.startGateway(instDir, ['--max-connections', String(READERS + 1), '--max-sessions', String(READERS + 1)]);
    const clients = [];
    try {
        const browse = await s.hostBrowse(instDir);
        const everything = browse.filter((e) => e.kind === 'tag').map((e) => ({ nodeId: nodeId(e.path), attributeId: AttributeIds.Value }));
        for (let i = 0; i < READERS + 1; i++) clients.push(await s.connect(gateway.endpoint));
        const [writer, ...readers] = clients;

        // One connection beyond the limit: refused, and the log names the client's address.
        const extra = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 0 } });
        await assert.rejects(extra.connect(gateway.endpoint));
        await gateway.err.wait(/connection from 127\.0\.0\.1:\d+ refused: 51 connections are open \(--max-connections\)/, 10000);
        // One session more on an open connection: refused, and logged too.
        await assert.rejects(writer.client.createSession(), /BadTooManySessions/);
        await gateway.err.wait(/session for 127\.0\.0\.1:\d+ refused: 51 sessions are open \(--max-sessions\)/, 10000);

        let writing = true;
        let written = 0;
        const writes = (async () => {
            while (writing) {
                const status = await writeOne(writer.session, 'ADR03.Process.Setpoint', DataType.Float, 60 + (written % 20));
                assert.equal(status, StatusCodes.Good);
                written++;
            }
        })();
        const round = (n) => Promise.all(readers.map(async (ua) => {
            for (let i = 0; i < n; i++) {
                const values = await ua.session.read(everything);
                assert.equal(values.length, everything.length);
                const good = values.filter((v) => v.statusCode === StatusCodes.Good).length;
                assert.ok(good > everything.length / 2, `${good} of ${everything.length} values Good`);
            }
        }));
        await round(5); // warm-up
        const rssBefore = rssKiB(gateway.child.pid);
        await round(30);
        const grown = rssKiB(gateway.child.pid) - rssBefore;
        writing = false;
        await writes;
        assert.ok(written > 0, 'writes went on');
        assert.ok(grown < 32 * 1024, `the gateway grew by ${grown} KiB over ${READERS * 30} reads of ${everything.length} values`);
        // Every session still gets good values.
        await s.readGood(readers[READERS - 1].session, nodeId('ADR03.DEVICE_ID'));
    } finally {
        // SIGTERM with 51 sessions open: no write is queued, so the stop takes no write time.
        const signalled = Date.now();
        assert.equal(await gateway.stop(), 0);
        const took = Date.now() - signalled;
        t.diagnostic(`SIGTERM to exit with ${READERS + 1} sessions: ${took} ms`);
        assert.ok(took < 3000, `the stop took ${took} ms`);
        for (const ua of clients) await ua.client.disconnect().catch(() => {});
    }
});

// The Write frames the simulator received for `address`, in order, from line `from` on.
const framesTo = (address, from) => sim.writesTo(address, from);

// A member that answers each exchange after `ms`: every write to it holds the bus that long.
const slow = (address, ms) => sim.change({ members: { [address]: { faults: { delay: { rate: 1, ms } } } } });
const healthy = (address) => sim.change({ members: { [address]: { faults: { delay: { rate: 0, ms: 0 }, silence: 0 } } } });

test('a writer with many writes lets another writer in after a few exchanges', async () => {
    const gateway = await s.startGateway(instDir);
    const busy = await s.connect(gateway.endpoint);
    const other = await s.connect(gateway.endpoint);
    try {
        await slow(20, 250);
        const from = sim.out.lines.length;
        // Twelve writes to a member that answers slowly...
        const many = busy.session.write(Array.from({ length: 12 }, (_, i) => ({
            nodeId: nodeId('ADR20.Values.Int'), attributeId: AttributeIds.Value,
            value: { value: { dataType: DataType.Int16, value: 100 + i } },
        })));
        await s.until(() => framesTo(20, from).length > 0, 10000, 'the first write is on the bus');
        // ...and one write of another client to a member that answers at once.
        const status = await writeOne(other.session, 'ADR03.Process.Setpoint', DataType.Float, 66);
        assert.equal(status, StatusCodes.Good);
        await sim.sync();
        const lines = sim.out.lines.slice(from);
        const at = lines.findIndex((l) => l.startsWith('ADR 03 WRITE'));
        assert.ok(at >= 0, 'the other write reached its member');
        // It waited only for the busy client's batch on the bus, not for all its writes.
        const waitedFor = lines.slice(0, at).filter((l) => l.startsWith('ADR 20 WRITE')).length;
        assert.ok(waitedFor <= 4, `the other write waited for ${waitedFor} writes of the busy one`);
        const statuses = await many;
        assert.deepEqual(statuses.map((x) => x.name), statuses.map(() => 'Good'));
        await sim.sync();
        assert.equal(framesTo(20, from).length, 12, 'every write of the busy client went out, in its order');
        framesTo(20, from).forEach((l, i) => assert.ok(l.includes(` 00 ${(100 + i).toString(16).toUpperCase()} `), `write ${i}: ${l}`));
    } finally {
        await healthy(20);
        await busy.close();
        await other.close();
        await gateway.stop();
    }
});

test('SIGTERM with writes queued to a slow and to a silent member: each is answered truthfully, then the gateway ends', async (t) => {
    const gateway = await s.startGateway(instDir);
    const first = await s.connect(gateway.endpoint);
    const second = await s.connect(gateway.endpoint);
    try {
        await s.until(async () => (await first.session.read({ nodeId: nodeId('ADR20.DEVICE_ID'), attributeId: AttributeIds.Value }))
            .statusCode === StatusCodes.Good, 30000, 'the test member answers');
        await slow(20, 400);
        await sim.change({ members: { 7: { faults: { silence: 1 } } } });
        const from = sim.out.lines.length;
        const answered = (p) => p.then((status) => status, (e) => e);
        const toSlow = Array.from({ length: 6 }, (_, i) => answered(writeOne(first.session, 'ADR20.Values.Uint', DataType.UInt16, 1000 + i)));
        const toSilent = Array.from({ length: 6 }, (_, i) => answered(writeOne(second.session, 'ADR07.Outputs.OutputMask', DataType.String, `0${i} 00`)));
        await s.until(() => framesTo(20, from).length > 0, 10000, 'the first write is on the bus');
        const signalled = Date.now();
        gateway.child.kill('SIGTERM');
        const slowAnswers = await Promise.all(toSlow);
        const silentAnswers = await Promise.all(toSilent);
        // Every write has its answer; none is lost with the connection.
        for (const st of [...slowAnswers, ...silentAnswers]) assert.ok(!(st instanceof Error), `answered, not ${st.message}`);
        const names = (list) => list.map((x) => x.name);
        // The slow member took what went out; what did not go out is refused as not sent.
        await sim.sync();
        const acknowledged = framesTo(20, from).filter((l) => !l.includes('| silent')).length;
        assert.deepEqual(names(slowAnswers), [...Array(acknowledged).fill('Good'), ...Array(6 - acknowledged).fill('BadServerHalted')]);
        // Nothing the silent member was sent is called Good.
        for (const st of silentAnswers) assert.ok(st === StatusCodes.BadNoCommunication || st === StatusCodes.BadServerHalted, st.name);
        const noCommunication = silentAnswers.filter((st) => st === StatusCodes.BadNoCommunication).length;
        assert.ok(framesTo(7, from).length <= noCommunication);
        assert.equal(await s.exited(gateway.child), 0);
        const took = Date.now() - signalled;
        t.diagnostic(`SIGTERM to exit with writes queued: ${took} ms; slow member ${names(slowAnswers).join(' ')}; silent member ${names(silentAnswers).join(' ')}`);
        // Bounded: about 4 s on an idle machine; on a heavily loaded one (a load of 5 per core
        // made it 29 s) it only has to end, well before a hang would.
        assert.ok(took < 90000, `the stop took ${took} ms`);
        assert.match(gateway.err.lines.join('\n'), /SIGTERM: stopping[\s\S]*stopped/);
    } finally {
        await healthy(20);
        await healthy(7);
        await first.client.disconnect().catch(() => {});
        await second.client.disconnect().catch(() => {});
    }
});
