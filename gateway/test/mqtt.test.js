'use strict';
// The gateway as a Sparkplug B edge node on a real mosquitto: births, data, deaths, rebirth,
// writes from MQTT, a broker that goes away, and two gateways in one broker.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { AttributeIds, StatusCodes } = require('node-opcua');
const s = require('./support');
const b = require('./broker');

let broker;
let sim;
let instDir;
let node;
let sub;
const GROUP = 'plant';
const topic = (type, device) => `spBv1.0/${GROUP}/${type}/line1${device ? `/${device}` : ''}`;
const isType = (type, device) => (m) => m.node === 'line1' && m.type === type && (device === undefined || m.device === device);

before(async () => {
    broker = await b.startBroker();
    sub = await b.subscribe(broker.url);
    sim = await s.startSim();
    instDir = s.makeInstallation(sim.pty, s.SAMPLE_MEMBERS);
    node = await b.startEdgeNode(instDir, ['--port', String(await b.freePort()), '--mqtt', broker.url,
        '--group', GROUP, '--edge-node', 'line1']);
});

after(async () => {
    await node?.stop();
    await sim?.stop();
    await sub?.close();
    await broker?.stop();
    await s.dispose();
});

// Messages of one session of the node are numbered 0..255 from its NBIRTH on, without a gap.
function checkSequence(from) {
    const mine = sub.messages.slice(from).filter((m) => m.node === 'line1' && m.type !== 'NDEATH' && m.type !== 'NCMD' && m.type !== 'DCMD');
    for (let i = 1; i < mine.length; i++) {
        const want = mine[i].type === 'NBIRTH' ? 0 : (b.num(mine[i - 1].payload.seq) + 1) % 256;
        assert.equal(b.num(mine[i].payload.seq), want, `${mine[i].topic} after ${mine[i - 1].topic}`);
    }
}

test('the node is born, then every sample member with every tag as a metric', async () => {
    const nbirth = await sub.wait(isType('NBIRTH'));
    assert.equal(nbirth.topic, topic('NBIRTH'));
    assert.equal(b.num(nbirth.payload.seq), 0);
    const nm = b.metricsOf(nbirth);
    assert.equal(b.num(nm.get('bdSeq').value), 0);
    assert.equal(nm.get('Node Control/Rebirth').value, false);
    assert.match(nm.get('Properties/Gateway Version').value, /^\d+\.\d+\.\d+$/);
    assert.equal(nm.get('Properties/Bus Port').value, sim.pty);
    const browse = await s.hostBrowse(instDir);
    const TYPES = { 2: 'Int16', 3: 'Int32', 4: 'Float', 5: 'Double', 8: 'String', 11: 'Boolean', 17: 'UInt8', 18: 'UInt16', 19: 'UInt32' };
    for (const device of ['ADR03', 'ADR07', 'ADR12']) {
        const dbirth = await sub.wait(isType('DBIRTH', device));
        const metrics = b.metricsOf(dbirth);
        const tags = browse.filter((e) => e.kind === 'tag' && e.path.startsWith(`${device}.`));
        assert.ok(tags.length > 0);
        assert.deepEqual([...metrics.keys()].sort(), tags.map((t) => t.path.slice(device.length + 1)).sort(), device);
        for (const t of tags) {
            const m = metrics.get(t.path.slice(device.length + 1));
            assert.equal(m.type, TYPES[t.vt], t.path);
            assert.equal(m.properties.Writable.value, Boolean(t.access & 2), t.path);
        }
    }
    const dbirth = await sub.wait(isType('DBIRTH', 'ADR03'));
    const temp = b.metricsOf(dbirth).get('Process.ActualTemp');
    assert.ok(Math.abs(temp.value - 23.5) < 1e-3);
    assert.ok(b.num(temp.timestamp) > Date.now() - 60000);
    // The scaling values of a scaled tag are its properties.
    const output = b.metricsOf(dbirth).get('Process.Output');
    for (const p of ['start', 'end', 'unit']) assert.ok(p in output.properties, `Output has ${p}`);
    checkSequence(0);
});

test('DDATA carries a changed value with its source time, and nothing for unchanged tags', async () => {
    await sub.wait(isType('DBIRTH', 'ADR03'));
    const from = sub.messages.length;
    const before = Date.now();
    await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: 312 }] } } });
    const ddata = await sub.wait((m) => isType('DDATA', 'ADR03')(m) && b.metricsOf(m).has('Process.ActualTemp'), 15000, from);
    const temp = b.metricsOf(ddata).get('Process.ActualTemp');
    assert.ok(Math.abs(temp.value - 31.2) < 1e-3);
    assert.ok(b.num(temp.timestamp) >= before - 1000 && b.num(temp.timestamp) <= Date.now());
    assert.ok(!b.metricsOf(ddata).has('Process.Setpoint'), 'an unchanged tag is left out');
    // Nothing changes in the next two seconds: the temperature is not sent again.
    const quiet = sub.messages.length;
    await new Promise((r) => setTimeout(r, 2000));
    assert.ok(!sub.messages.slice(quiet).some((m) => isType('DDATA', 'ADR03')(m) && b.metricsOf(m).has('Process.ActualTemp')));
    checkSequence(0);
});

test('DCMD writes a setpoint through the write queue; read-only tags are refused', async () => {
    const from = sub.messages.length;
    sub.command(topic('DCMD', 'ADR03'), [{ name: 'Process.Setpoint', type: 'Float', value: 72.5 }]);
    const ddata = await sub.wait((m) => isType('DDATA', 'ADR03')(m) && b.metricsOf(m).has('Process.Setpoint'), 15000, from);
    assert.ok(Math.abs(b.metricsOf(ddata).get('Process.Setpoint').value - 72.5) < 1e-3);
    // The member holds it: the plug-in reads it back from the bus.
    const read = await s.hostRead(instDir, ['ADR03.Process.Setpoint']);
    assert.ok(Math.abs(read.get('ADR03.Process.Setpoint').value - 72.5) < 1e-3);

    sub.command(topic('DCMD', 'ADR03'), [{ name: 'Process.ActualTemp', type: 'Float', value: 1 }]);
    sub.command(topic('DCMD', 'ADR03'), [{ name: 'Process.Setpoint', type: 'String', value: 'hot' }]);
    sub.command(topic('DCMD', 'ADR03'), [{ name: 'No.Such', type: 'Float', value: 1 }]);
    await node.err.wait(/DCMD ADR03 Process\.ActualTemp: refused, the tag is read-only/, 10000);
    await node.err.wait(/DCMD ADR03 Process\.Setpoint: refused, "hot" does not fit/, 10000);
    await node.err.wait(/DCMD ADR03 No\.Such: refused, no such metric/, 10000);
});

test('a silent member dies (DDEATH) and is born again when it answers; NCMD rebirth', async () => {
    const from = sub.messages.length;
    await sim.change({ members: { 7: { faults: { silence: 1 } } } });
    await sub.wait(isType('DDEATH', 'ADR07'), 30000, from);
    assert.ok(!sub.messages.slice(from).some(isType('DDEATH', 'ADR03')), 'other members live on');
    const back = sub.messages.length;
    await sim.change({ members: { 7: { faults: { silence: 0 } } } });
    const dbirth = await sub.wait(isType('DBIRTH', 'ADR07'), 30000, back);
    assert.ok(b.metricsOf(dbirth).size > 0);
    checkSequence(0);

    const rebirth = sub.messages.length;
    sub.command(topic('NCMD'), [{ name: 'Node Control/Rebirth', type: 'Boolean', value: true }]);
    const nbirth = await sub.wait(isType('NBIRTH'), 10000, rebirth);
    assert.equal(b.num(nbirth.payload.seq), 0);
    assert.equal(b.num(b.metricsOf(nbirth).get('bdSeq').value), 0, 'same session, same bdSeq');
    for (const device of ['ADR03', 'ADR07', 'ADR12']) await sub.wait(isType('DBIRTH', device), 10000, rebirth);
    checkSequence(0);
});

test('the broker stopped and restarted: OPC UA keeps serving, the births come again', async () => {
    const ua = await s.connect(node.endpoint);
    try {
        await broker.stop();
        await node.err.wait(/connection lost/, 15000);
        const r = await ua.session.read({ nodeId: 'ns=1;s=ADR03.Process.Setpoint', attributeId: AttributeIds.Value });
        assert.equal(r.statusCode, StatusCodes.Good);
        // Changes while the broker is away are not queued: the births carry the latest value.
        await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: 250 }] } } });
        await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: 251 }] } } });
        await new Promise((resolve) => setTimeout(resolve, 1500));
        const from = sub.messages.length;
        broker = await b.startBroker(broker.port);
        const nbirth = await sub.wait(isType('NBIRTH'), 60000, from);
        assert.equal(b.num(b.metricsOf(nbirth).get('bdSeq').value), 1, 'a new session has the next bdSeq');
        const dbirth = await sub.wait(isType('DBIRTH', 'ADR03'), 15000, from);
        assert.ok(Math.abs(b.metricsOf(dbirth).get('Process.ActualTemp').value - 25.1) < 1e-3);
        assert.ok(!sub.messages.slice(from).some((m) => isType('DDATA', 'ADR03')(m) && Math.abs((b.metricsOf(m).get('Process.ActualTemp')?.value ?? 0) - 25.0) < 1e-3),
            'no stale value after the reconnect');
    } finally {
        await ua.close();
    }
});

test('two gateways on two buses in one broker, and the will (NDEATH) of a killed gateway', async () => {
    const sim2 = await s.startSim({ extraMembers: { 5: s.SAMPLE_MEMBERS[3] } });
    const inst2 = s.makeInstallation(sim2.pty, { 5: s.SAMPLE_MEMBERS[3] });
    const from = sub.messages.length;
    const node2 = await b.startEdgeNode(inst2, ['--no-opcua', '--mqtt', broker.url, '--group', GROUP, '--edge-node', 'line2']);
    try {
        assert.equal(node2.endpoint, undefined, 'no OPC UA service');
        await sub.wait((m) => m.node === 'line2' && m.type === 'DBIRTH' && m.device === 'ADR05', 30000, from);
        await sim2.change({ members: { 5: { memory: [{ offset: 24, type: 'int', value: 199 }] } } });
        await sub.wait((m) => m.node === 'line2' && m.type === 'DDATA' && m.device === 'ADR05' && b.metricsOf(m).has('Process.Setpoint'), 15000, from);
        const line2 = sub.messages.slice(from).filter((m) => m.node === 'line2');
        assert.ok(line2.every((m) => !m.device || m.device === 'ADR05'), 'only its own member');
        assert.ok(!sub.messages.slice(from).some((m) => m.node === 'line1' && m.device === 'ADR05'));

        const nbirth = [...sub.messages].reverse().find(isType('NBIRTH'));
        const death = sub.messages.length;
        await node.stop('SIGKILL');
        node = null;
        const ndeath = await sub.wait(isType('NDEATH'), 30000, death);
        assert.equal(b.num(b.metricsOf(ndeath).get('bdSeq').value), b.num(b.metricsOf(nbirth).get('bdSeq').value));
        assert.ok(!sub.messages.slice(death).some((m) => m.node === 'line2' && m.type === 'NDEATH'), 'the other node lives on');
    } finally {
        await node2.stop();
        await sim2.stop();
    }
    // A clean stop sends the death itself.
    await sub.wait((m) => m.node === 'line2' && m.type === 'NDEATH', 10000, from);
});

test('bad edge-node options end with a message naming the option and exit code 2', async () => {
    const dir = s.tempDir('gw-mqtt-opt');
    const cases = [
        [['--mqtt', 'http://broker'], /--mqtt http:\/\/broker: a URL mqtt:\/\/HOST/],
        [['--mqtt', 'nonsense'], /--mqtt nonsense: a URL/],
        [['--group', 'g'], /--group needs --mqtt URL/],
        [['--no-opcua'], /--no-opcua needs --mqtt URL/],
        [['--mqtt', broker.url, '--edge-node', 'a/b'], /--edge-node a\/b: an identifier without/],
        [['--mqtt', broker.url, '--group', '#'], /--group #: an identifier without/],
        [['--mqtt', broker.url, '--mqtt-ca', '/etc/hostname'], /--mqtt-ca: only for an mqtts:\/\/ broker/],
        [['--mqtt', broker.url.replace('mqtt:', 'mqtts:'), '--mqtt-ca', `${dir}/missing.pem`], /--mqtt-ca: cannot read .*missing\.pem: ENOENT/],
        [['--mqtt', broker.url, '--mqtt-password-file', '/etc/hostname'], /--mqtt-password-file needs --mqtt-user/],
    ];
    for (const [args, message] of cases) {
        const r = await s.run(s.programs.gateway, args, { KORVEX_OPC_INSTDIR: dir });
        assert.equal(r.code, 2, `${args.join(' ')}: ${r.stderr}`);
        assert.match(r.stderr, message, args.join(' '));
    }
});
