'use strict';
// Values stamped with their poll's time, Uncertain while a member's polls fail, the health
// figures in OPC UA and Prometheus, and the gateway without the plug-in's extension; against
// the simulator's own record of every exchange.

const http = require('node:http');
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const {
    AttributeIds, ClientMonitoredItem, ClientSubscription, DataType, StatusCodes, TimestampsToReturn,
} = require('node-opcua');
const s = require('./support');

let sim;
let instDir;
let gateway;
let ua;
let metricsPort;

before(async () => {
    sim = await s.startSim({ logTime: true });
    instDir = s.makeInstallation(sim.pty, s.SAMPLE_MEMBERS);
    metricsPort = await s.freePort();
    gateway = await s.startGateway(instDir, ['--metrics', String(metricsPort)]);
    ua = await s.connect(gateway.endpoint);
});

after(() => s.tearDown(() => ua?.close(), () => gateway?.stop(), () => sim?.stop()));

const polls = () => s.simPolls(sim.out.lines);

const value = (p, ns = 1) => ({ nodeId: `ns=${ns};s=${p}`, attributeId: AttributeIds.Value });
const readBoth = (paths) => ua.session.read(paths.map((p) => value(p)));
const num = (v) => (Array.isArray(v) ? v[0] * 2 ** 32 + v[1] : v); // UInt64 as [high, low]

test('SourceTimestamp is the time of the poll that brought the value, the same for Reads within one cycle', async (t) => {
    await s.until(async () => (await readBoth(['ADR03.Process.ActualTemp']))[0].statusCode === StatusCodes.Good, 20000, 'ADR03 is polled');
    let checked = 0;
    let sameCycle = 0;
    const distances = [];
    for (let round = 0; round < 6; round++) {
        const [a] = await readBoth(['ADR03.Process.ActualTemp']);
        const [b] = await readBoth(['ADR03.Process.ActualTemp']);
        const source = a.sourceTimestamp.getTime();
        const server = b.serverTimestamp.getTime();
        // Wait until the simulator has recorded the exchange after that poll.
        await s.until(() => polls().some((p) => p.first > source + 1), 10000, 'the next exchange');
        const all = polls();
        // The poll of ADR03 that ends last before the source time (a whole ms, rounded down)...
        const i = all.findLastIndex((p) => p.address === 3 && !p.silent && p.last <= source + 1);
        assert.ok(i >= 0, `a poll of ADR03 before ${a.sourceTimestamp.toISOString()}`);
        // ...and the source time lies between its last request and the next request on the bus.
        assert.ok(all[i + 1].first >= source, `${source} after the next exchange at ${all[i + 1].first}`);
        distances.push(source - all[i].last);
        assert.ok(a.serverTimestamp.getTime() >= source && server >= a.serverTimestamp.getTime());
        checked++;
        // No poll of ADR03 between the two Reads: the same source time.
        if (!all.some((p) => p.address === 3 && p.last > source + 1 && p.first <= server)) {
            assert.equal(b.sourceTimestamp.getTime(), source, 'two Reads within one cycle');
            sameCycle++;
        }
        await new Promise((r) => setTimeout(r, 150));
    }
    assert.ok(sameCycle >= 1, 'at least one pair of Reads within one cycle');
    t.diagnostic(`${checked} values; source time after the poll's last request by ${distances.map((d) => d.toFixed(1)).join(', ')} ms`);
});

test('a silenced member is Uncertain from its first failed poll and Bad from the tenth, its figures following', async () => {
    const subscription = ClientSubscription.create(ua.session, {
        requestedPublishingInterval: 50, requestedMaxKeepAliveCount: 20, requestedLifetimeCount: 200, publishingEnabled: true,
    });
    const seen = { value: [], errors: [] };
    const monitor = (nodeId, list) => ClientMonitoredItem.create(subscription, nodeId,
        { samplingInterval: 0, discardOldest: true, queueSize: 20 }, TimestampsToReturn.Both)
        .on('changed', (dv) => list.push({ dv }));
    monitor(value('ADR07.Counters.Counter0'), seen.value);
    monitor(value('ADR07.ErrorCounter', 2), seen.errors);
    try {
        await s.until(() => seen.value.at(-1)?.dv.statusCode === StatusCodes.Good, 10000, 'a good Counter0');
        const from = polls().length;
        await sim.change({ members: { 7: { faults: { silence: 1 } } } });
        await s.until(() => seen.value.some((n) => n.dv.statusCode === StatusCodes.BadNoCommunication), 30000, 'Bad at last');
        const all = polls();
        const failed = all.slice(from).filter((p) => p.address === 7 && p.silent);
        const first = (code) => seen.value.find((n) => n.dv.statusCode === code);
        const uncertain = first(StatusCodes.UncertainLastUsableValue);
        const bad = first(StatusCodes.BadNoCommunication);
        // Uncertain from the first failed poll (the server read it after that poll, before the
        // next), with the value of the last good one...
        const readAt = (n) => n.dv.serverTimestamp.getTime();
        assert.ok(readAt(uncertain) >= failed[0].last && readAt(uncertain) < failed[1].first, 'Uncertain after the first failed poll');
        const lastGood = seen.value.slice(0, seen.value.indexOf(uncertain)).findLast((n) => n.dv.statusCode === StatusCodes.Good);
        assert.equal(uncertain.dv.value.value, lastGood.dv.value.value);
        // ...and the time of the last good poll. An unchanged value is not notified again, so
        // that time comes from the simulator's record: after the poll's last request (a whole
        // ms, rounded down), before the next request on the bus.
        const source = uncertain.dv.sourceTimestamp.getTime();
        const i = all.findLastIndex((p) => p.address === 7 && !p.silent && p.first < failed[0].first);
        assert.ok(all[i].last <= source + 1 && all[i + 1].first >= source,
            `source time ${source} within the last good poll ${all[i].last} .. ${all[i + 1].first}`);
        // Bad right after the tenth.
        assert.ok(readAt(bad) >= failed[9].last && (failed.length < 11 || readAt(bad) < failed[10].first), 'Bad after the tenth failed poll');
        // The error counter counted every failed poll, in order.
        const counts = seen.errors.map((n) => n.dv.value.value);
        assert.deepEqual(counts.slice(counts.indexOf(1), counts.indexOf(10) + 1), [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]);
        // The member's figures as the simulator counts its failed polls since the silence.
        await s.until(async () => {
            const [state, consecutive] = await ua.session.read([value('ADR07.State', 2), value('ADR07.ConsecutiveFailures', 2)]);
            const count = polls().slice(from).filter((p) => p.address === 7 && p.silent).length;
            return state.value.value === 'Bad' && consecutive.value.value === count;
        }, 10000, 'ConsecutiveFailures equals the failed polls');
    } finally {
        await sim.change({ members: { 7: { faults: { silence: 0 } } } });
        await s.until(() => seen.value.at(-1)?.dv.statusCode === StatusCodes.Good, 20000, 'Good again');
        await subscription.terminate();
    }
    const [state, errors] = await ua.session.read([value('ADR07.State', 2), value('ADR07.ErrorCounter', 2)]);
    assert.deepEqual([state.value.value, errors.value.value], ['Good', 0]);
});

function get(port, pathname) {
    return new Promise((resolve, reject) => {
        http.get({ host: '127.0.0.1', port, path: pathname }, (res) => {
            let body = '';
            res.setEncoding('utf8');
            res.on('data', (c) => {
                body += c;
            });
            res.on('end', () => resolve({ status: res.statusCode, type: res.headers['content-type'], body }));
        }).on('error', reject);
    });
}

// The Prometheus text format, strictly: HELP and TYPE before a family's samples, each family
// once, names and labels by the format's grammar, escaped label values, numbers as Go parses
// them, counters ending in _total. Returns {name -> {type, samples: [{labels, value}]}}.
function parseExposition(text) {
    assert.ok(text.endsWith('\n'), 'the text ends with a line feed');
    const NAME = /^[a-zA-Z_:][a-zA-Z0-9_:]*$/;
    const families = new Map();
    let current = null;
    const lines = text.slice(0, -1).split('\n');
    for (const [n, line] of lines.entries()) {
        const where = `line ${n + 1}: ${line}`;
        if (line === '') continue;
        let m = /^# (HELP|TYPE) (\S+) (.*)$/.exec(line);
        if (m) {
            assert.match(m[2], NAME, where);
            let family = families.get(m[2]);
            if (!family) {
                assert.ok(!current || current.name !== m[2] || !current.samples.length, where);
                family = { name: m[2], type: 'untyped', samples: [], help: null, typed: false };
                families.set(m[2], family);
            }
            assert.equal(family.samples.length, 0, `${where}: HELP/TYPE after the samples`);
            if (m[1] === 'TYPE') {
                assert.ok(!family.typed, `${where}: a second TYPE`);
                assert.ok(['counter', 'gauge', 'histogram', 'summary', 'untyped'].includes(m[3]), where);
                family.type = m[3];
                family.typed = true;
            } else {
                assert.equal(family.help, null, `${where}: a second HELP`);
                assert.doesNotMatch(m[3].replace(/\\[\\n]/g, ''), /\\/, `${where}: a bad escape`);
                family.help = m[3];
            }
            current = family;
            continue;
        }
        assert.ok(!line.startsWith('#') || /^# /.test(line), where);
        if (line.startsWith('#')) continue;
        m = /^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+)( -?\d+)?$/.exec(line);
        assert.ok(m, `${where}: not a sample`);
        const family = families.get(m[1]);
        assert.ok(family && family === current, `${where}: a sample outside its family`);
        const labels = {};
        if (m[3] !== undefined && m[3] !== '') {
            const LABEL = /^([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\["\\n])*)"(,|$)/;
            let rest = m[3];
            while (rest !== '') {
                const l = LABEL.exec(rest);
                assert.ok(l, `${where}: bad labels at ${rest}`);
                assert.ok(!(l[1] in labels), `${where}: label ${l[1]} twice`);
                labels[l[1]] = l[2].replace(/\\(.)/g, (x, c) => (c === 'n' ? '\n' : c));
                rest = rest.slice(l[0].length);
                if (l[3] === ',' && rest === '') break;
            }
        }
        assert.match(m[4], /^([+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?|[+-]?Inf|NaN)$/, `${where}: a bad number`);
        const key = JSON.stringify(labels);
        assert.ok(!family.samples.some((x) => x.key === key), `${where}: the same series twice`);
        family.samples.push({ key, labels, value: Number(m[4].replace(/Inf$/, 'Infinity')) });
    }
    for (const f of families.values()) {
        if (f.type === 'counter') assert.match(f.name, /_total$/, `${f.name}: a counter's name ends in _total`);
    }
    return families;
}

test('the metrics endpoint: the Prometheus text format, loopback only, counters that only grow', async () => {
    assert.ok(gateway.err.lines.some((l) => l.includes(`metrics on http://127.0.0.1:${metricsPort}/metrics`)));
    const first = await get(metricsPort, '/metrics');
    assert.equal(first.status, 200);
    assert.match(first.type, /^text\/plain; version=0\.0\.4/);
    assert.equal((await get(metricsPort, '/')).status, 404);
    const a = parseExposition(first.body);
    const sample = (families, name, labels) => families.get(name)?.samples.find(
        (x) => Object.entries(labels).every(([k, v]) => x.labels[k] === v))?.value;
    assert.equal(sample(a, 'fenlo_member_state', { member: 'ADR03', state: 'Good' }), 1);
    assert.equal(sample(a, 'fenlo_member_state', { member: 'ADR03', state: 'Bad' }), 0);
    assert.deepEqual(a.get('fenlo_member_polls_accepted_total').samples.map((x) => x.labels.member).sort(), ['ADR03', 'ADR07', 'ADR12']);
    assert.equal(a.get('fenlo_bus_exchanges_total').samples[0].labels.port, sim.pty);
    // Two polls later: every counter at least where it was, the polls and exchanges further.
    const accepted = sample(a, 'fenlo_member_polls_accepted_total', { member: 'ADR03' });
    await s.until(async () => {
        const [r] = await ua.session.read([value('ADR03.PollsAccepted', 2)]);
        return num(r.value.value) >= accepted + 2;
    }, 10000, 'two more polls of ADR03');
    const b = parseExposition((await get(metricsPort, '/metrics')).body);
    for (const [name, family] of a) {
        if (family.type !== 'counter') continue;
        for (const x of family.samples) {
            const later = b.get(name).samples.find((y) => y.key === x.key);
            assert.ok(later && later.value >= x.value, `${name}${x.key}: ${x.value} then ${later?.value}`);
        }
    }
    assert.ok(sample(b, 'fenlo_member_polls_accepted_total', { member: 'ADR03' }) >= accepted + 2);
    assert.ok(sample(b, 'fenlo_bus_exchanges_total', {}) > sample(a, 'fenlo_bus_exchanges_total', {}));
    const cycle = sample(b, 'fenlo_bus_mean_cycle_seconds', {});
    assert.ok(cycle > 0 && cycle < 10, `mean cycle ${cycle} s`);
});

test('the diagnostics are a namespace of their own: Bus and one object per configured member', async () => {
    const namespaces = (await ua.session.read({ nodeId: 'ns=0;i=2255', attributeId: AttributeIds.Value })).value.value;
    assert.equal(namespaces[2], 'urn:korvex:fenlo-opcua:diagnostics');
    const folder = await ua.session.browse('ns=2;s=Diagnostics');
    assert.deepEqual(folder.references.map((r) => r.browseName.name), ['Bus', 'ADR03', 'ADR07', 'ADR12']);
    // The cycle is 0 until the first full pass.
    const [port, cycle, lastGood] = await s.until(async () => {
        const r = await ua.session.read([value('Bus.Port', 2), value('Bus.PollCycle', 2), value('ADR03.LastGoodPoll', 2)]);
        return r[1].value.value > 0 && r;
    }, 20000, 'a full pass');
    assert.equal(port.value.value, sim.pty);
    assert.ok(cycle.value.value < 10000, `cycle ${cycle.value.value} ms`);
    assert.ok(Math.abs(lastGood.value.value.getTime() - Date.now()) < 10000);
    // They are the plug-in's figures: a client cannot write them.
    const written = await ua.session.write({ ...value('Bus.Port', 2), value: { value: { dataType: DataType.String, value: 'COM9' } } });
    assert.equal(written, StatusCodes.BadNotWritable);
    assert.equal((await ua.session.read(value('Bus.Port', 2))).value.value, sim.pty);
});

test('without the extension the gateway works as before: read times, sampling, no figures; --metrics is refused', async () => {
    const plain = await s.startGateway(instDir, ['--no-extension']);
    const client = await s.connect(plain.endpoint);
    try {
        assert.ok(plain.err.lines.some((l) => /extension not used/.test(l)));
        const r = await s.until(async () => {
            const [dv] = await client.session.read([value('ADR03.Process.ActualTemp')]);
            return dv.statusCode === StatusCodes.Good && dv;
        }, 20000, 'a good value');
        // The read record's time: the time of the read.
        assert.ok(Math.abs(r.sourceTimestamp.getTime() - r.serverTimestamp.getTime()) < 50);
        const interval = await client.session.read({ nodeId: 'ns=1;s=ADR03.Process.ActualTemp', attributeId: AttributeIds.MinimumSamplingInterval });
        assert.equal(interval.value.value, 100);
        const namespaces = (await client.session.read({ nodeId: 'ns=0;i=2255', attributeId: AttributeIds.Value })).value.value;
        assert.ok(!namespaces.includes('urn:korvex:fenlo-opcua:diagnostics'));
    } finally {
        await client.close();
        await plain.stop();
    }
    const refused = await s.run(s.programs.gateway, ['--no-extension', '--metrics', '9'], { KORVEX_OPC_INSTDIR: instDir });
    assert.equal(refused.code, 2);
    assert.match(refused.stderr, /--metrics needs the plug-in's extension/);
});
