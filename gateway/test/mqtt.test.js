'use strict';
// The gateway as a Sparkplug B edge node on a real mosquitto: births, data, deaths, rebirth,
// writes from MQTT, a broker that goes away, and two gateways in one broker.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const s = require('./support');
const b = require('./broker');
const { valueField } = require('./sparkplug-b');

const members = { ...s.SAMPLE_MEMBERS, 20: path.join(s.FIXTURES, 'types.cfg') };

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
    sim = await s.startSim({ extraMembers: { 20: members[20] }, log: true });
    instDir = s.makeInstallation(sim.pty, members);
    node = await b.startEdgeNode(instDir, ['--port', String(await b.freePort()), '--mqtt', broker.url,
        '--group', GROUP, '--edge-node', 'line1']);
});

after(() => s.tearDown(() => node?.stop(), () => sim?.stop(), () => sub?.close(), () => broker?.stop()));

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
    assert.equal(nbirth.qos, 0);
    assert.ok(nbirth.payload.metrics.every((m) => m.timestamp > 0), 'every metric has a time stamp');
    const nm = b.metricsOf(nbirth);
    assert.equal(b.num(nm.get('bdSeq').value), 0);
    assert.equal(nm.get('Node Control/Rebirth').value, false);
    assert.match(nm.get('Properties/Gateway Version').value, /^\d+\.\d+\.\d+$/);
    assert.equal(nm.get('Properties/Bus Port').value, sim.pty);
    // The bus's figures from the plug-in's extension: a poll cycle measured on the bus.
    assert.equal(nm.get('Bus/Port').value, sim.pty);
    assert.equal(nm.get('Bus/Polling').value, true);
    // 0 until the first full pass; then sent (NDATA) as it changes.
    const cycle = await sub.wait((m) => isType('NDATA')(m) && b.metricsOf(m).get('Bus/Poll Cycle')?.value > 0, 20000);
    assert.ok(b.metricsOf(cycle).get('Bus/Poll Cycle').value < 10000);
    const browse = await s.hostBrowse(instDir);
    const TYPES = { 2: 'Int16', 3: 'Int32', 4: 'Float', 5: 'Double', 8: 'String', 11: 'Boolean', 17: 'UInt8', 18: 'UInt16', 19: 'UInt32' };
    for (const device of ['ADR03', 'ADR07', 'ADR12']) {
        const dbirth = await sub.wait(isType('DBIRTH', device));
        const metrics = b.metricsOf(dbirth);
        const tags = browse.filter((e) => e.kind === 'tag' && e.path.startsWith(`${device}.`));
        assert.ok(tags.length > 0);
        const health = [...metrics.keys()].filter((k) => k.startsWith('Diagnostics/'));
        assert.deepEqual([...metrics.keys()].filter((k) => !health.includes(k)).sort(),
            tags.map((t) => t.path.slice(device.length + 1)).sort(), device);
        assert.equal(metrics.get('Diagnostics/State').value, 'Good', device);
        assert.equal(metrics.get('Diagnostics/Error Counter').value, 0, device);
        assert.ok(b.num(metrics.get('Diagnostics/Polls Accepted').value) >= 1, device);
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
    // Sent right after the poll that brought it, stamped with that poll's time.
    assert.equal(b.num(temp.timestamp), b.num(b.metricsOf(ddata).get('Diagnostics/Last Good Poll').value));
    assert.ok(ddata.at - b.num(temp.timestamp) < 1000, `${ddata.at - b.num(temp.timestamp)} ms after the poll`);
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
    // What the plug-in says became of a write is logged as the OPC UA answer would be.
    sub.command(topic('DCMD', 'ADR20'), [{ name: 'Values.Delay', type: 'Float', value: 99999 }]);
    await node.err.wait(/DCMD ADR20 Values\.Delay: BadOutOfRange/, 10000);
});

test('births give every metric an alias of its own; DDATA and DCMD go by alias, a wrong alias is refused', async () => {
    const nbirth = sub.messages.findLast(isType('NBIRTH'));
    const session = sub.messages.slice(sub.messages.indexOf(nbirth));
    const dbirth = (device) => session.find(isType('DBIRTH', device));
    const births = [nbirth, ...['ADR03', 'ADR07', 'ADR12', 'ADR20'].map(dbirth)];
    const metrics = births.flatMap((m) => m.payload.metrics);
    assert.equal(b.metricsOf(nbirth).get('Node Control/Rebirth').alias, undefined, 'Rebirth has no alias');
    const aliases = metrics.filter((m) => m.name !== 'Node Control/Rebirth').map((m) => m.alias);
    assert.ok(aliases.every(Number.isInteger), 'every other metric has one');
    assert.equal(new Set(aliases).size, aliases.length, 'unique across the node and its devices');

    const alias = (name, device = 'ADR03') => b.metricsOf(dbirth(device)).get(name).alias;
    const from = sub.messages.length;
    sub.command(topic('DCMD', 'ADR03'), [{ alias: alias('Process.Setpoint'), type: 'Float', typed: false, value: 64.5 }]);
    const ddata = await sub.wait((m) => isType('DDATA', 'ADR03')(m) && b.metricsOf(m).has('Process.Setpoint'), 15000, from);
    const setpoint = b.metricsOf(ddata).get('Process.Setpoint');
    assert.ok(Math.abs(setpoint.value - 64.5) < 1e-3);
    assert.equal(ddata.qos, 0);
    assert.equal(setpoint.named, false, 'DDATA by alias, without the name');
    assert.equal(setpoint.typed, false, 'and without the data type');

    sub.command(topic('DCMD', 'ADR07'), [{ alias: alias('Process.Setpoint'), type: 'Float', value: 1 }]);
    sub.command(topic('DCMD', 'ADR03'), [{ alias: 99999, type: 'Float', value: 1 }]);
    sub.command(topic('DCMD', 'ADR03'), [{ alias: alias('Diagnostics/Error Counter'), type: 'Int32', value: 1 }]);
    sub.command(topic('DCMD', 'ADR03'), [{ name: 'Process.Setpoint', alias: alias('Process.ActualTemp'), type: 'Float', value: 1 }]);
    await node.err.wait(new RegExp(`DCMD ADR07 alias ${alias('Process.Setpoint')}: refused, no metric of this device has that alias`), 10000);
    await node.err.wait(/DCMD ADR03 alias 99999: refused, no metric of this device has that alias/, 10000);
    await node.err.wait(/DCMD ADR03 Diagnostics\/Error Counter \(alias \d+\): refused, not a tag/, 10000);
    await node.err.wait(/DCMD ADR03 Process\.Setpoint: refused, alias \d+ is not this metric's/, 10000);
    const read = await s.hostRead(instDir, ['ADR03.Process.Setpoint']);
    assert.ok(Math.abs(read.get('ADR03.Process.Setpoint').value - 64.5) < 1e-3, 'nothing of the refused ones written');
});

test('every value is in the field its type has; 32-bit unsigned DCMDs come in either field', async () => {
    const nbirth = await sub.wait(isType('NBIRTH'));
    const dbirth = await sub.wait(isType('DBIRTH', 'ADR20'));
    for (const m of [...nbirth.payload.metrics, ...dbirth.payload.metrics]) {
        if (m.value === null) continue;
        assert.deepEqual(m.fields, [valueField(m.datatype).name], `${m.name} (${m.type})`);
        for (const [key, p] of Object.entries(m.properties ?? {})) {
            if (p.value !== null) assert.equal(p.field, valueField(p.datatype).name, `${m.name} ${key}`);
        }
    }
    assert.equal(b.metricsOf(dbirth).get('Values.Ulong').type, 'UInt32');
    assert.equal(b.metricsOf(nbirth).get('bdSeq').field, 'long_value');

    const written = (name, want, from) => sub.wait((m) => isType('DDATA', 'ADR20')(m) && b.metricsOf(m).get(name)?.value === want, 15000, from);
    const cases = [
        { name: 'Values.Ulong', type: 'UInt32', value: 4000000000 },
        { name: 'Values.Ulong', type: 'UInt32', value: 3000000001, field: 'long_value' }, // older hosts
        { name: 'Values.Int', type: 'Int16', value: -1234 },
        { name: 'Values.Long', type: 'Int32', value: -2000000000 },
        { name: 'Values.Char', type: 'UInt8', value: 201 },
    ];
    for (const c of cases) {
        const from = sub.messages.length;
        sub.command(topic('DCMD', 'ADR20'), [c]);
        const ddata = await written(c.name, c.value, from);
        assert.equal(b.metricsOf(ddata).get(c.name).field, valueField(b.metricsOf(ddata).get(c.name).datatype).name);
    }
});

test('a DCMD with more metrics than allowed is refused whole, nothing of it written', async () => {
    const from = sim.out.lines.length;
    const metrics = Array.from({ length: 101 }, () => ({ name: 'Values.Uint', type: 'UInt16', value: 777 }));
    sub.command(topic('DCMD', 'ADR20'), metrics);
    await node.err.wait(/DCMD ADR20: refused, 101 metrics \(at most 100 a message\)/, 10000);
    // One that fits goes out after it: the refused one sent nothing before.
    sub.command(topic('DCMD', 'ADR20'), metrics.slice(0, 100));
    await s.until(() => sim.out.lines.slice(from).some((l) => l.startsWith('ADR 20 WRITE')), 15000, 'the 100 writes go out');
    await s.until(() => sim.out.lines.slice(from).filter((l) => l.startsWith('ADR 20 WRITE')).length >= 100, 30000, 'all of them');
    await new Promise((r) => setTimeout(r, 500));
    assert.equal(sim.out.lines.slice(from).filter((l) => l.startsWith('ADR 20 WRITE')).length, 100);
});

test('bdSeq goes on from the last run kept in the state folder; a damaged file is named and started over', async () => {
    const state = s.tempDir('gw-state');
    const births = [];
    const run = async () => {
        const from = sub.messages.length;
        const n = await b.startEdgeNode(instDir, ['--no-opcua', '--mqtt', broker.url, '--group', GROUP, '--edge-node', 'line3', '--state', state]);
        const nbirth = await sub.wait((m) => m.node === 'line3' && m.type === 'NBIRTH', 30000, from);
        births.push(b.num(b.metricsOf(nbirth).get('bdSeq').value));
        await n.stop();
        return n;
    };
    await run();
    await run();
    assert.deepEqual(births, [0, 1]);
    const file = path.join(state, 'sparkplug-bdseq');
    assert.equal(fs.readFileSync(file, 'utf8'), '1\n');
    fs.writeFileSync(file, 'garbage\n');
    const damaged = await run();
    assert.equal(births[2], 0);
    assert.ok(damaged.err.lines.some((l) => l.includes(`${file}:1: "garbage" is no bdSeq 0..255; starting at 0`)));
    assert.equal(fs.readFileSync(file, 'utf8'), '0\n');
});

// The last state told of `device` in a birth or in data.
function toldState(device) {
    const told = sub.messages.filter((m) => isType('DBIRTH', device)(m) || isType('DDATA', device)(m))
        .map((m) => b.metricsOf(m).get('Diagnostics/State')?.value).filter(Boolean);
    return told.at(-1);
}

test('a silent member dies (DDEATH) and is born again when it answers; NCMD rebirth', async () => {
    // The edge nodes of the test before took turns with this one on the port, so some of its
    // polls found the port taken: the member must be told Good again before its silence.
    await s.until(() => toldState('ADR07') === 'Good', 15000, 'ADR07 told Good');
    const from = sub.messages.length;
    await sim.change({ members: { 7: { faults: { silence: 1 } } } });
    const ddeath = await sub.wait(isType('DDEATH', 'ADR07'), 30000, from);
    assert.ok(!sub.messages.slice(from).some(isType('DDEATH', 'ADR03')), 'other members live on');
    // Until then each failed poll is told by exception: its error counter, the state once. A
    // good poll told before the silence took hold (error count 0) starts the count again.
    const told = sub.messages.slice(from, sub.messages.indexOf(ddeath)).filter(isType('DDATA', 'ADR07')).map(b.metricsOf);
    const dying = told.slice(told.findLastIndex((m) => m.get('Diagnostics/Error Counter')?.value === 0) + 1);
    const counters = dying.map((m) => m.get('Diagnostics/Error Counter')?.value).filter((v) => v !== undefined);
    // A gateway behind the bus on a loaded machine tells the newest count, so one may be left
    // out, never told out of order.
    assert.ok(counters.at(-1) === 9 && counters.length >= 5 && counters.every((c, k) => k === 0 || c > counters[k - 1]),
        `error counts ${counters.join(' ')}`);
    assert.deepEqual(dying.map((m) => m.get('Diagnostics/State')?.value).filter(Boolean), ['Uncertain']);
    assert.ok(dying.every((m) => !m.has('Counters.Counter0')), 'unchanged values are not sent again');
    const failed = sub.messages.slice(from).filter(isType('NDATA')).map((m) => b.metricsOf(m).get('Bus/Failed Exchanges')).filter(Boolean);
    assert.ok(failed.length >= 5 && failed.every((m, i) => i === 0 || b.num(m.value) > b.num(failed[i - 1].value)), 'Bus/Failed Exchanges grows');
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

test('without the plug-in\'s extension the edge node scans as before: no figures, values stamped when read', async () => {
    const plain = await b.startEdgeNode(instDir, ['--no-opcua', '--no-extension', '--mqtt', broker.url, '--group', GROUP, '--edge-node', 'plain']);
    try {
        const mine = (type, device) => (m) => m.node === 'plain' && m.type === type && (device === undefined || m.device === device);
        const nbirth = await sub.wait(mine('NBIRTH'));
        assert.ok(![...b.metricsOf(nbirth).keys()].some((k) => k.startsWith('Bus/')));
        const dbirth = await sub.wait(mine('DBIRTH', 'ADR03'));
        assert.ok(![...b.metricsOf(dbirth).keys()].some((k) => k.startsWith('Diagnostics/')));
        const from = sub.messages.length;
        await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: 277 }] } } });
        const ddata = await sub.wait((m) => mine('DDATA', 'ADR03')(m) && Math.abs((b.metricsOf(m).get('Process.ActualTemp')?.value ?? 0) - 27.7) < 1e-3, 15000, from);
        // The read record's time: the scan that found the change, not the poll before it.
        const stamp = b.num(b.metricsOf(ddata).get('Process.ActualTemp').timestamp);
        assert.ok(Math.abs(stamp - b.num(ddata.payload.timestamp)) < 50, `${stamp} vs ${b.num(ddata.payload.timestamp)}`);
        assert.ok(!sub.messages.slice(from).some((m) => m.node === 'plain' && m.type === 'NDATA'));
    } finally {
        await plain.stop();
    }
});

test('the broker stopped and restarted: OPC UA keeps serving, the births come again', async () => {
    const ua = await s.connect(node.endpoint);
    let restarted = false;
    try {
        await broker.stop();
        await node.err.wait(/connection lost/, 15000);
        await s.readGood(ua.session, 'ns=1;s=ADR03.Process.Setpoint');
        // Changes while the broker is away are not queued: the births carry the latest value.
        await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: 250 }] } } });
        await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: 251 }] } } });
        await new Promise((resolve) => setTimeout(resolve, 1500));
        const from = sub.messages.length;
        broker = await b.startBroker(broker.port);
        restarted = true;
        const nbirth = await sub.wait(isType('NBIRTH'), 60000, from);
        assert.equal(b.num(b.metricsOf(nbirth).get('bdSeq').value), 1, 'a new session has the next bdSeq');
        const dbirth = await sub.wait(isType('DBIRTH', 'ADR03'), 15000, from);
        assert.ok(Math.abs(b.metricsOf(dbirth).get('Process.ActualTemp').value - 25.1) < 1e-3);
        assert.ok(!sub.messages.slice(from).some((m) => isType('DDATA', 'ADR03')(m) && Math.abs((b.metricsOf(m).get('Process.ActualTemp')?.value ?? 0) - 25.0) < 1e-3),
            'no stale value after the reconnect');
    } finally {
        await ua.close();
        // The tests after this one need the broker, also when this one failed.
        if (!restarted) broker = await b.startBroker(broker.port);
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
        [['--primary-host', 'scada'], /--primary-host needs --mqtt URL/],
        [['--mqtt', broker.url, '--primary-host', 'a+b'], /--primary-host a\+b: an identifier without/],
        [['--mqtt', broker.url, '--mqtt', broker.url], /--mqtt: the same server is given twice/],
        [['--mqtt', broker.url, '--mqtt', 'tcp://x'], /--mqtt tcp:\/\/x: a URL/],
    ];
    for (const [args, message] of cases) {
        const r = await s.run(s.programs.gateway, args, { KORVEX_OPC_INSTDIR: dir });
        assert.equal(r.code, 2, `${args.join(' ')}: ${r.stderr}`);
        assert.match(r.stderr, message, args.join(' '));
    }
});
