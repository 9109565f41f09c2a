'use strict';
// Writes, subscriptions and a member that falls silent, through a real OPC UA client.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const {
    AttributeIds, ClientMonitoredItem, ClientSubscription, DataType, StatusCodes, TimestampsToReturn,
} = require('node-opcua');
const s = require('./support');

const members = { ...s.SAMPLE_MEMBERS, 20: path.join(s.FIXTURES, 'types.cfg') };

let sim;
let gateway;
let ua;

before(async () => {
    sim = await s.startSim({ extraMembers: { 20: members[20] } });
    const instDir = s.makeInstallation(sim.pty, members);
    gateway = await s.startGateway(instDir, ['--trace-batches']);
    ua = await s.connect(gateway.endpoint);
    await s.until(async () => (await read('ADR20.DEVICE_ID')).statusCode === StatusCodes.Good, 30000,
        'the test member answers');
});

after(async () => {
    await ua?.close();
    await gateway?.stop();
    await sim?.stop();
    await s.dispose();
});

const nodeId = (p) => `ns=1;s=${p}`;
const read = (p) => ua.session.read({ nodeId: nodeId(p), attributeId: AttributeIds.Value });
const write = (p, dataType, value) => ua.session.write({
    nodeId: nodeId(p), attributeId: AttributeIds.Value, value: { value: { dataType, value } },
});
const readBack = (p, want, what) => s.until(async () => {
    const r = await read(p);
    return r.statusCode === StatusCodes.Good && (typeof want === 'function' ? want(r.value.value) : r.value.value === want) && r;
}, 15000, what ?? `${p} reads ${want}`);

test('a value of every writable type goes to the member and reads back', async () => {
    const cases = [
        ['ADR20.Values.Char', DataType.Byte, 200],
        ['ADR20.Values.Int', DataType.Int16, -1234],
        ['ADR20.Values.Uint', DataType.UInt16, 65000],
        ['ADR20.Values.Long', DataType.Int32, -2000000000],
        ['ADR20.Values.Ulong', DataType.UInt32, 4000000000],
        ['ADR20.Values.Float', DataType.Float, Math.fround(-12.75)],
        ['ADR20.Values.Text', DataType.String, 'Grüße'],
        ['ADR03.Process.Setpoint', DataType.Float, Math.fround(72.5)],
        ['ADR07.Outputs.OutputMask', DataType.String, '0F F0'],
        ['ADR03.Process.Output_start', DataType.Double, -10.5],
        ['ADR03.Process.Output_unit', DataType.String, 'percent'],
        ['ADR03.Process.Output_format', DataType.Byte, 3],
    ];
    // One Write request: the queue keeps the order and loses nothing.
    const statuses = await ua.session.write(cases.map(([p, dataType, value]) => ({
        nodeId: nodeId(p), attributeId: AttributeIds.Value, value: { value: { dataType, value } },
    })));
    assert.deepEqual(statuses.map((x) => x.name), cases.map(() => 'Good'));
    for (const [p, , value] of cases) await readBack(p, value);
    // The texts went to the plug-in as texts of its allocator and came back the same way.
    const scaled = await write('ADR20.Values.Level', DataType.Float, 50);
    assert.equal(scaled, StatusCodes.Good);
    await readBack('ADR20.Values.Level', (v) => Math.abs(v - 50) < 0.01);
});

test('refused writes: a read-only item, a wrong type, a value out of range, a scaling rule', async () => {
    assert.equal(await write('ADR03.Process.ActualTemp', DataType.Float, 1), StatusCodes.BadNotWritable);
    assert.equal(await write('ADR03.DEVICE_ID', DataType.String, 'x'), StatusCodes.BadNotWritable);
    assert.equal(await write('ADR03.Process.Setpoint', DataType.Double, 70), StatusCodes.BadTypeMismatch);
    assert.equal(await write('ADR03.Process.Setpoint', DataType.String, '70'), StatusCodes.BadTypeMismatch);
    assert.equal(await write('ADR20.Values.Int', DataType.Int32, 5), StatusCodes.BadTypeMismatch);
    assert.equal(await write('ADR03.Process.Setpoint', DataType.Float, Infinity), StatusCodes.BadOutOfRange);
    assert.equal(await write('ADR03.Process.Setpoint', DataType.Float, NaN), StatusCodes.BadOutOfRange);
    // The plug-in keeps a range start below its end and a factor other than 0 without telling
    // its host: the gateway says so.
    const end = (await read('ADR03.Process.Output_end')).value.value;
    assert.equal(await write('ADR03.Process.Output_start', DataType.Double, end + 1), StatusCodes.BadOutOfRange);
    assert.equal(await write('ADR03.Process.Output_end', DataType.Double, -1e6), StatusCodes.BadOutOfRange);
    assert.equal(await write('ADR03.Process.Output_factor', DataType.Double, 0), StatusCodes.BadOutOfRange);
    assert.equal((await read('ADR03.Process.Output_end')).value.value, end);
    assert.notEqual((await read('ADR03.Process.Output_factor')).value.value, 0);
});

async function subscribe(paths) {
    const subscription = ClientSubscription.create(ua.session, {
        requestedPublishingInterval: 100, requestedMaxKeepAliveCount: 20, requestedLifetimeCount: 100,
        publishingEnabled: true,
    });
    const seen = new Map(paths.map((p) => [p, []]));
    for (const p of paths) {
        const item = ClientMonitoredItem.create(subscription,
            { nodeId: nodeId(p), attributeId: AttributeIds.Value },
            { samplingInterval: 100, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
        item.on('changed', (dv) => seen.get(p).push(dv));
    }
    return { subscription, seen };
}

test('a subscription sees a written value and a change in the device', async () => {
    const { subscription, seen } = await subscribe(['ADR20.Values.Uint', 'ADR03.Process.ActualTemp']);
    try {
        const sawValue = (p, want) => s.until(() => seen.get(p).some((dv) => dv.statusCode === StatusCodes.Good && Math.abs(dv.value.value - want) < 1e-3), 15000, `${p} notifies ${want}`);
        assert.equal(await write('ADR20.Values.Uint', DataType.UInt16, 4321), StatusCodes.Good);
        await sawValue('ADR20.Values.Uint', 4321);
        // The temperature (raw 235, divisor 10) moves in the device.
        await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: 312 }] } } });
        await sawValue('ADR03.Process.ActualTemp', 31.2);
        const last = seen.get('ADR03.Process.ActualTemp').at(-1);
        assert.ok(last.sourceTimestamp.getTime() > Date.now() - 10000);
    } finally {
        await subscription.terminate();
    }
});

test('a member that falls silent turns its items Bad, and Good again when it answers', async () => {
    const { subscription, seen } = await subscribe(['ADR07.Counters.Counter0']);
    try {
        await sim.change({ members: { 7: { faults: { silence: 1 } } } });
        const bad = await s.until(async () => {
            const r = await read('ADR07.Counters.PulseRate');
            return r.statusCode === StatusCodes.BadNoCommunication && r;
        }, 30000, 'the silent member reads BadNoCommunication');
        assert.ok(bad.sourceTimestamp);
        // Other members stay Good.
        assert.equal((await read('ADR03.Process.Setpoint')).statusCode, StatusCodes.Good);
        await s.until(() => seen.get('ADR07.Counters.Counter0').some((dv) => dv.statusCode === StatusCodes.BadNoCommunication), 10000, 'the subscription sees Bad');
        await sim.change({ members: { 7: { faults: { silence: 0 } } } });
        await readBack('ADR07.Counters.PulseRate', 25);
        await s.until(() => seen.get('ADR07.Counters.Counter0').at(-1).statusCode === StatusCodes.Good, 10000, 'the subscription sees Good again');
    } finally {
        await subscription.terminate();
    }
});
