'use strict';
// Values stamped with their poll's time, Uncertain while a member's polls fail, the health
// figures in OPC UA and Prometheus, and the gateway without the plug-in's extension; against
// the simulator's own record of every exchange.

const http = require('node:http');
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const {
    AddressSpace, AttributeIds, ClientMonitoredItem, ClientSubscription, DataType, DataValue, ReadValueId, StatusCodes,
    TimestampsToReturn, generateAddressSpace, nodesets,
} = require('node-opcua');
const { readInOneBatch } = require('../lib/gateway');
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
    const reads = [];
    let reading = false;
    let readLoop = null;
    try {
        await s.until(() => seen.value.at(-1)?.dv.statusCode === StatusCodes.Good, 10000, 'a good Counter0');
        const from = polls().length;
        // Reads beside the subscription: each is answered from the plug-in at once, so its
        // server time tells exactly which polls had ended.
        reading = true;
        readLoop = (async () => {
            while (reading) {
                reads.push((await readBoth(['ADR07.Counters.Counter0']))[0]);
                await new Promise((r) => setTimeout(r, 20));
            }
        })();
        await sim.change({ members: { 7: { faults: { silence: 1 } } } });
        await s.until(() => seen.value.some((n) => n.dv.statusCode === StatusCodes.BadNoCommunication), 30000, 'Bad at last');
        const failedSince = (all) => all.slice(from).filter((p) => p.address === 7 && p.silent);
        // A failed poll has surely ended when the next request goes out on the bus.
        await s.until(() => {
            const all = polls();
            const tenth = failedSince(all)[9];
            const next = tenth && all[all.indexOf(tenth) + 1];
            return next && reads.some((dv) => dv.serverTimestamp.getTime() >= next.first);
        }, 10000, 'a Read after the tenth failed poll');
        reading = false;
        await readLoop;
        const all = polls();
        const failed = failedSince(all);
        const endOf = (p) => all[all.indexOf(p) + 1].first;
        const readAt = (n) => n.dv.serverTimestamp.getTime();
        const readFrom = (t) => seen.value.filter((n) => readAt(n) >= t).map((n) => n.dv.statusCode.name);
        const first = (code) => seen.value.find((n) => n.dv.statusCode === code);
        const uncertain = first(StatusCodes.UncertainLastUsableValue);
        const bad = first(StatusCodes.BadNoCommunication);
        // A Read: Good before the first failed poll, Uncertain once it ended, Bad once the tenth
        // ended.
        const between = (lo, hi) => reads.filter((dv) => dv.serverTimestamp.getTime() >= lo && dv.serverTimestamp.getTime() < hi)
            .map((dv) => dv.statusCode.name);
        const expect = (lo, hi, name) => {
            const names = between(lo, hi);
            // Runs of one status, as "Good x75, UncertainLastUsableValue x3".
            const runs = names.reduce((r, n) => (r.at(-1)?.[0] === n ? r.at(-1)[1]++ : r.push([n, 1]), r), []);
            assert.ok(names.length > 0 && names.every((n) => n === name),
                `Reads from ${lo} to ${hi}, ${name} expected: ${runs.map(([n, c]) => `${n} x${c}`).join(', ')}`);
        };
        expect(0, failed[0].first, 'Good');
        expect(endOf(failed[0]), failed[9].last, 'UncertainLastUsableValue');
        expect(endOf(failed[9]), Infinity, 'BadNoCommunication');
        // The subscription: Uncertain not before the first failed poll, nothing Good once it
        // ended (a server behind the bus on a loaded machine may tell it later).
        assert.ok(readAt(uncertain) >= failed[0].last, 'Uncertain not before the first failed poll');
        assert.ok(!readFrom(endOf(failed[0])).includes('Good'), 'nothing Good after the first failed poll');
        // The value of the last good poll...
        const lastGood = seen.value.slice(0, seen.value.indexOf(uncertain)).findLast((n) => n.dv.statusCode === StatusCodes.Good);
        assert.equal(uncertain.dv.value.value, lastGood.dv.value.value);
        // ...and its time. An unchanged value is not notified again, so that time comes from the
        // simulator's record: after the poll's last request (a whole ms, rounded down), before
        // the next request on the bus.
        const source = uncertain.dv.sourceTimestamp.getTime();
        const i = all.findLastIndex((p) => p.address === 7 && !p.silent && p.first < failed[0].first);
        assert.ok(all[i].last <= source + 1 && all[i + 1].first >= source,
            `source time ${source} within the last good poll ${all[i].last} .. ${all[i + 1].first}`);
        // Bad from the tenth on, nothing Uncertain once it ended.
        assert.ok(readAt(bad) >= failed[9].last, 'Bad not before the tenth failed poll');
        assert.ok(!readFrom(endOf(failed[9])).includes('UncertainLastUsableValue'), 'nothing Uncertain after the tenth failed poll');
        // The error counter followed the failed polls up to 10; a server behind the bus tells
        // the newest count, so one may be left out, never told out of order.
        const counts = seen.errors.map((n) => n.dv.value.value);
        const rising = counts.slice(counts.indexOf(0) + 1, counts.indexOf(10) + 1);
        assert.ok(rising.at(-1) === 10 && rising.length >= 5 && rising.every((c, k) => k === 0 || c > rising[k - 1]),
            `error counts ${counts.join(' ')}`);
        // The member's figures as the simulator counts its failed polls since the silence.
        await s.until(async () => {
            const [state, consecutive] = await ua.session.read([value('ADR07.State', 2), value('ADR07.ConsecutiveFailures', 2)]);
            const count = polls().slice(from).filter((p) => p.address === 7 && p.silent).length;
            return state.value.value === 'Bad' && consecutive.value.value === count;
        }, 10000, 'ConsecutiveFailures equals the failed polls');
    } finally {
        reading = false;
        await readLoop;
        await sim.change({ members: { 7: { faults: { silence: 0 } } } });
        await s.until(() => seen.value.at(-1)?.dv.statusCode === StatusCodes.Good, 20000, 'Good again');
        await subscription.terminate();
    }
    const [state, errors] = await ua.session.read([value('ADR07.State', 2), value('ADR07.ErrorCounter', 2)]);
    assert.deepEqual([state.value.value, errors.value.value], ['Good', 0]);
});

test('a Read that brings a new status or value tells the monitored items, as a poll does', async () => {
    // In process, over a real address space: which read first sees a change (a client's Read or
    // the one after a poll) is a race on the machine, so the Read's side is driven here alone.
    const addressSpace = AddressSpace.create();
    try {
        await generateAddressSpace(addressSpace, [nodesets.standard]);
        const ns = addressSpace.registerNamespace('urn:test:reads');
        const node = ns.addVariable({
            organizedBy: addressSpace.rootFolder.objects, nodeId: 's=ADR07.Counters.Counter0', browseName: 'Counter0',
            dataType: 'Double', value: { dataType: DataType.Double, value: 1 },
        });
        const told = [];
        node.on('value_changed', (dv) => told.push(`${dv.statusCode.name} ${dv.value.value}`));
        // The plug-in's side: each read batch answers what `answer` holds.
        let answer = { statusCode: StatusCodes.Good, value: 1 };
        const reads = { readNow: (batch) => batch.map(() => new DataValue({ statusCode: answer.statusCode, value: { dataType: DataType.Double, value: answer.value } })) };
        const engine = { refreshValues: (nodes, maxAge, callback) => callback(null, []) };
        readInOneBatch(engine, ns.index, new Map([['ADR07.Counters.Counter0', { node, dataType: DataType.Double }]]), reads);
        const read = () => new Promise((resolve) => engine.refreshValues([new ReadValueId({ nodeId: node.nodeId, attributeId: AttributeIds.Value })], 0, resolve));
        await read();
        answer = { statusCode: StatusCodes.UncertainLastUsableValue, value: 1 };
        await read();
        await read();
        answer = { statusCode: StatusCodes.Good, value: 2 };
        await read();
        assert.deepEqual(told, ['UncertainLastUsableValue 1', 'Good 2']);
    } finally {
        addressSpace.dispose();
    }
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
