'use strict';
// The edge node with a Sparkplug 3.0 primary host application and two MQTT servers (two real
// mosquittos): births only while the host is online, NDEATH and a disconnect when it goes
// offline, a stale offline STATE ignored, and a move to the other server when one is lost.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const mqtt = require('mqtt');
const s = require('./support');
const b = require('./broker');

const HOST = 'scada';
const STATE_TOPIC = `spBv1.0/STATE/${HOST}`;
const mine = (type, device) => (m) => m.node === 'line1' && m.type === type && (device === undefined || m.device === device);
const bdSeqOf = (m) => b.num(b.metricsOf(m).get('bdSeq').value);

let brokers;
let observers; // one plain subscriber per server, there from the start
let sim;
let node;
let hosts = [];

// The primary host application on one server as Sparkplug 3.0 has it: its will is the offline
// STATE (QoS 1, retained) stamped with the time of its connection, and once it has subscribed it
// publishes the online STATE with the same time stamp, also retained.
async function startHost(url) {
    const timestamp = Date.now();
    const will = { topic: STATE_TOPIC, payload: JSON.stringify({ online: false, timestamp }), qos: 1, retain: true };
    const host = await b.subscribe(url, 'spBv1.0/#', { will, reconnectPeriod: 0 });
    await host.client.publishAsync(STATE_TOPIC, JSON.stringify({ online: true, timestamp }), { qos: 1, retain: true });
    host.timestamp = timestamp;
    // A clean end: the offline STATE with the current time, then the connection closed.
    host.offline = async () => {
        await host.client.publishAsync(STATE_TOPIC, JSON.stringify({ online: false, timestamp: Date.now() }), { qos: 1, retain: true });
        await host.close();
    };
    return host;
}

async function startHosts() {
    hosts = await Promise.all(brokers.map((broker) => startHost(broker.url)));
}

// The node's first NBIRTH from the marks `from` on, and the server (index) it came to.
function bornAt(from) {
    return Promise.any(observers.map((o, i) => o.wait(mine('NBIRTH'), 90000, from[i]).then((m) => ({ i, m }))));
}

// The node's latest NBIRTH, and where.
function lastBirth() {
    const births = observers.map((o, i) => ({ i, m: o.messages.findLast(mine('NBIRTH')) })).filter((x) => x.m);
    assert.ok(births.length, 'the node was born');
    return births.reduce((x, y) => (y.m.at > x.m.at ? y : x));
}

const marks = () => observers.map((o) => o.messages.length);

before(async () => {
    brokers = [await b.startBroker(), await b.startBroker()];
    observers = await Promise.all(brokers.map((broker) => b.subscribe(broker.url)));
    sim = await s.startSim();
    const instDir = s.makeInstallation(sim.pty, s.SAMPLE_MEMBERS);
    node = await b.startEdgeNode(instDir, ['--no-opcua', '--mqtt', brokers[0].url, '--mqtt', brokers[1].url,
        '--primary-host', HOST, '--group', 'site', '--edge-node', 'line1']);
});

after(() => s.tearDown(
    () => node?.stop(),
    () => sim?.stop(),
    () => Promise.all([...hosts, ...(observers ?? [])].map((c) => c.close().catch(() => {}))),
    () => Promise.all((brokers ?? []).map((broker) => broker.stop().catch(() => {}))),
));

test('no birth before the primary host is online, no write either; then NBIRTH and every DBIRTH', async () => {
    const waiting = await node.err.wait(/waiting for primary host scada to be online/, 60000);
    // The node stays on that server for a while: a command there finds it unborn.
    const cmd = await b.subscribe(/MQTT (\S+): waiting/.exec(waiting)[1]);
    cmd.command('spBv1.0/site/DCMD/line1/ADR03', [{ name: 'Process.Setpoint', type: 'Float', value: 11 }]);
    await node.err.wait(/DCMD ADR03: refused, the node is not born on this server/, 20000);
    await cmd.close();
    // Another host's online STATE is not this one's.
    for (const broker of brokers) {
        const other = await mqtt.connectAsync(broker.url);
        await other.publishAsync('spBv1.0/STATE/historian', JSON.stringify({ online: true, timestamp: Date.now() }), { qos: 1, retain: true });
        await other.endAsync();
    }
    await startHosts();
    const { i, m: nbirth } = await bornAt([0, 0]);
    for (const o of observers) {
        const online = o.messages.findIndex((x) => x.type === 'STATE' && x.host === HOST && x.state.online);
        const first = o.messages.findIndex(mine('NBIRTH'));
        assert.ok(online >= 0 && (first === -1 || first > online), 'NBIRTH only after the online STATE');
    }
    assert.equal(b.num(nbirth.payload.seq), 0);
    for (const device of ['ADR03', 'ADR07', 'ADR12']) await observers[i].wait(mine('DBIRTH', device), 30000);
});

test('the host goes offline: NDEATH and a disconnect; back online: births with the values of then', async () => {
    const { i, m: nbirth } = lastBirth();
    const from = marks();
    const logFrom = node.err.lines.length;
    await Promise.all(hosts.map((h) => h.offline()));
    const ndeath = await observers[i].wait(mine('NDEATH'), 30000, from[i]);
    assert.equal(bdSeqOf(ndeath), bdSeqOf(nbirth), 'the death of the session that was born');
    await node.err.wait(/primary host scada went offline; NDEATH and disconnecting/, 30000, logFrom);
    // A next session, on either server, finds the host offline there.
    const left = node.err.lines.findIndex((l, n) => n >= logFrom && /went offline/.test(l));
    await node.err.wait(/connected as edge node/, 60000, left);
    await node.err.wait(/primary host scada is offline/, 60000, left);
    await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: 263 }] } } });
    // The DISCONNECT came after the node's own NDEATH: the server dropped the will.
    assert.equal(observers[i].messages.slice(from[i]).filter(mine('NDEATH')).length, 1);
    assert.ok(observers.every((o, n) => !o.messages.slice(from[n]).some(mine('NBIRTH'))), 'no birth while the host is offline');

    const back = marks();
    await startHosts();
    const reborn = await bornAt(back);
    assert.ok(bdSeqOf(reborn.m) !== bdSeqOf(nbirth), 'a new session, a new bdSeq');
    const dbirth = await observers[reborn.i].wait(mine('DBIRTH', 'ADR03'), 30000, back[reborn.i]);
    assert.ok(Math.abs(b.metricsOf(dbirth).get('Process.ActualTemp').value - 26.3) < 1e-3);
});

test('an offline STATE older than the online one is ignored: the node stays born', async () => {
    const { i } = lastBirth();
    const from = marks();
    const logFrom = node.err.lines.length;
    // As a late, replayed message of an earlier run of the host.
    const late = await mqtt.connectAsync(brokers[i].url);
    await late.publishAsync(STATE_TOPIC, JSON.stringify({ online: false, timestamp: hosts[i].timestamp - 1000 }), { qos: 1 });
    await late.endAsync();
    await node.err.wait(/offline STATE of scada ignored: its time stamp \d+ is older than \d+/, 30000, logFrom);
    await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: 271 }] } } });
    await observers[i].wait((m) => mine('DDATA', 'ADR03')(m) && Math.abs((b.metricsOf(m).get('Process.ActualTemp')?.value ?? 0) - 27.1) < 1e-3, 30000, from[i]);
    assert.ok(!observers[i].messages.slice(from[i]).some(mine('NDEATH')));
});

test('the host offline on this server but online on the other: the node moves there and is born', async () => {
    const { i, m: before } = lastBirth();
    const other = 1 - i;
    const from = marks();
    await hosts[i].offline();
    await observers[i].wait(mine('NDEATH'), 30000, from[i]);
    const nbirth = await observers[other].wait(mine('NBIRTH'), 60000, from[other]);
    assert.equal(bdSeqOf(nbirth), (bdSeqOf(before) + 1) % 256);
    hosts[i] = await startHost(brokers[i].url);
});

test('the server is killed: the node moves to the other and is born there whole, bdSeq kept', async () => {
    const { i, m: before } = lastBirth();
    const other = 1 - i;
    const from = observers[other].messages.length;
    await brokers[i].stop();
    const nbirth = await observers[other].wait(mine('NBIRTH'), 90000, from);
    assert.equal(bdSeqOf(nbirth), (bdSeqOf(before) + 1) % 256, 'the session after the lost one has the next bdSeq');
    await sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value: 282 }] } } });
    const ddata = await observers[other].wait((m) => mine('DDATA', 'ADR03')(m) && b.metricsOf(m).get('Process.ActualTemp')?.value > 28.1, 30000, from);
    // A complete session: NBIRTH, every DBIRTH, then data, numbered from 0 without a gap.
    const session = observers[other].messages.slice(observers[other].messages.indexOf(nbirth), observers[other].messages.indexOf(ddata) + 1).filter((m) => m.node === 'line1');
    const births = session.filter(mine('DBIRTH')).map((m) => m.device);
    assert.deepEqual(births.sort(), ['ADR03', 'ADR07', 'ADR12']);
    const firstData = session.findIndex((m) => m.type === 'DDATA' || m.type === 'NDATA');
    assert.ok(session.slice(firstData).every((m) => m.type !== 'DBIRTH'), 'every DBIRTH before the first data');
    session.forEach((m, n) => assert.equal(b.num(m.payload.seq), n, m.topic));
    // The data goes by alias alone; the host names it from the births.
    const temp = b.metricsOf(ddata).get('Process.ActualTemp');
    assert.equal(temp.named, false);
    assert.equal(temp.typed, false);
    assert.ok(Math.abs(temp.value - 28.2) < 1e-3);

    // The will registered with this session carries its bdSeq.
    const death = observers[other].messages.length;
    await node.stop('SIGKILL');
    node = null;
    const will = await observers[other].wait(mine('NDEATH'), 60000, death);
    assert.equal(bdSeqOf(will), bdSeqOf(nbirth));
    assert.equal(will.qos, 1);
});
