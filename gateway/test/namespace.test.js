'use strict';
// The namespace and reads: what an OPC UA client browses and reads is what fenlo-host sees.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const {
    AttributeIds, BrowseDirection, DataType, NodeClass, StatusCodes, resolveNodeId,
} = require('node-opcua');
const s = require('./support');

// The sample devices and copies of them at more addresses: more than 200 variables.
const members = {
    ...s.SAMPLE_MEMBERS,
    4: s.SAMPLE_MEMBERS[3], 5: s.SAMPLE_MEMBERS[3], 6: s.SAMPLE_MEMBERS[3],
    8: s.SAMPLE_MEMBERS[7], 13: s.SAMPLE_MEMBERS[12], 14: s.SAMPLE_MEMBERS[12],
};
const extraMembers = Object.fromEntries(
    Object.entries(members).filter(([a]) => !(a in s.SAMPLE_MEMBERS)));

const VT_DATA_TYPE = {
    2: DataType.Int16, 3: DataType.Int32, 4: DataType.Float, 5: DataType.Double,
    8: DataType.String, 11: DataType.Boolean, 17: DataType.Byte, 18: DataType.UInt16, 19: DataType.UInt32,
};

let sim;
let instDir;
let browse;
let expected; // fenlo-host read of the sample members' items
let gateway;
let ua;

before(async () => {
    sim = await s.startSim({ extraMembers });
    instDir = s.makeInstallation(sim.pty, members);
    browse = await s.hostBrowse(instDir);
    // fenlo-host polls with its own copy of the plug-in: done before the gateway polls the bus.
    expected = await s.hostRead(instDir, sampleItems());
    gateway = await s.startGateway(instDir, ['--trace-batches']);
    ua = await s.connect(gateway.endpoint);
});

after(() => s.tearDown(() => ua?.close(), () => gateway?.stop(), () => sim?.stop()));

const tags = () => browse.filter((e) => e.kind === 'tag');
const sampleItems = () => tags().filter((t) => /^ADR(03|07|12)\./.test(t.path)).map((t) => t.path);
const nodeId = (p) => `ns=1;s=${p}`;

async function browseAll(session, start) {
    const found = []; // {path, nodeClass, referenceType, parent}
    const queue = [start];
    while (queue.length) {
        const parent = queue.shift();
        const result = await session.browse({
            nodeId: parent, browseDirection: BrowseDirection.Forward, includeSubtypes: true,
            resultMask: 63,
        });
        for (const r of result.references) {
            if (r.nodeId.namespace !== 1) continue;
            found.push({
                path: r.nodeId.value, nodeClass: r.nodeClass,
                referenceType: r.referenceTypeId.toString(), parent: parent.toString(),
            });
            queue.push(r.nodeId);
        }
    }
    return found;
}

test('the tree holds every branch and item of fenlo-host browse, in its order, with its types and rights', async () => {
    const found = await browseAll(ua.session, resolveNodeId('ObjectsFolder'));
    const byPath = new Map(found.map((f) => [f.path, f]));
    assert.equal(found.length, browse.length, 'one node per namespace callback');
    for (const e of browse) {
        const f = byPath.get(e.path);
        assert.ok(f, `${e.path} is browsable`);
        assert.equal(f.nodeClass, e.kind === 'node' ? NodeClass.Object : NodeClass.Variable, e.path);
    }
    // Branches and items in the build's order within each folder.
    const order = (list) => list.map((e) => e.path).filter((p) => !/_(start|end|unit|format|factor|name)$/.test(p));
    const foundFolders = found.filter((f) => f.nodeClass === NodeClass.Object).map((f) => f.path);
    const hostFolders = browse.filter((e) => e.kind === 'node').map((e) => e.path);
    assert.deepEqual([...foundFolders].sort(), [...hostFolders].sort());
    const parentOf = (p) => (p.includes('.') ? p.slice(0, p.lastIndexOf('.')) : null);
    for (const folder of [null, ...hostFolders]) {
        const parent = folder === null ? resolveNodeId('ObjectsFolder').toString() : nodeId(folder);
        assert.deepEqual(
            found.filter((f) => f.parent === parent && f.nodeClass === NodeClass.Object).map((f) => f.path),
            hostFolders.filter((h) => parentOf(h) === folder), `folders under ${folder ?? 'Objects'}`);
    }
    const foundInFolder = (folder) => order(found.filter((f) => f.parent === nodeId(folder) && f.nodeClass === NodeClass.Variable));
    const hostInFolder = (folder) => order(tags().filter((t) => t.path.slice(0, t.path.lastIndexOf('.')) === folder));
    for (const folder of foundFolders) assert.deepEqual(foundInFolder(folder), hostInFolder(folder), folder);

    // Scaling properties hang on their tag by HasProperty, with their own types and rights.
    const props = tags().filter((t) => /_(start|end|unit|format|factor|name)$/.test(t.path));
    assert.ok(props.length >= 10, 'the samples have scaled tags');
    for (const p of props) {
        const owner = p.path.replace(/_(start|end|unit|format|factor|name)$/, '');
        assert.equal(byPath.get(p.path).parent, nodeId(owner), `${p.path} belongs to ${owner}`);
        assert.equal(byPath.get(p.path).referenceType, 'ns=0;i=46', `${p.path} by HasProperty`);
    }

    const attributes = [];
    for (const t of tags()) {
        for (const attributeId of [AttributeIds.DataType, AttributeIds.AccessLevel, AttributeIds.UserAccessLevel]) {
            attributes.push({ nodeId: nodeId(t.path), attributeId });
        }
    }
    const values = await ua.session.read(attributes);
    tags().forEach((t, i) => {
        const [dataType, accessLevel, userAccessLevel] = values.slice(3 * i, 3 * i + 3).map((v) => v.value.value);
        assert.equal(dataType.value, VT_DATA_TYPE[t.vt], `${t.path} data type for VT ${t.vt}`);
        assert.equal(accessLevel & 3, t.access & 3, `${t.path} access level`);
        assert.equal(userAccessLevel & 3, t.access & 3, `${t.path} user access level`);
    });
});

test('every sample item reads Good with the value that fenlo-host reads and a fresh source time', async () => {
    const sample = sampleItems();
    const toRead = sample.map((p) => ({ nodeId: nodeId(p), attributeId: AttributeIds.Value }));
    // Every member must have been polled once; a loaded machine may need a few cycles.
    await s.until(async () => {
        const rs = await ua.session.read(toRead);
        return rs.every((r) => r.statusCode === StatusCodes.Good);
    }, 30000, 'every sample member answers the gateway');
    const before = Date.now();
    const results = await ua.session.read(toRead);
    results.forEach((r, i) => {
        const p = sample[i];
        const want = expected.get(p);
        assert.equal(r.statusCode.name, 'Good', p);
        const got = r.value.value;
        if (typeof want.value === 'number' && r.value.dataType === DataType.Float) {
            assert.equal(got, Math.fround(want.value), p);
        } else if (r.value.dataType === DataType.Boolean) {
            assert.equal(got, want.value !== 0, p);
        } else {
            assert.equal(got, want.value, p);
        }
        // The plug-in's time of the read, not the server's.
        const t = r.sourceTimestamp.getTime();
        assert.ok(t >= before - 2000 && t <= Date.now() + 1000, `${p} source time ${r.sourceTimestamp.toISOString()}`);
    });
});

test('one Read of 200 variables is one read batch of the plug-in', async () => {
    const paths = tags().map((t) => t.path);
    assert.ok(paths.length >= 200, `${paths.length} variables`);
    const from = gateway.err.lines.length;
    const results = await ua.session.read(paths.slice(0, 200).map((p) => ({ nodeId: nodeId(p), attributeId: AttributeIds.Value })));
    assert.equal(results.length, 200);
    // The trace line arrives on standard error, which may lag behind the answer.
    await gateway.err.wait(/read batch of 200 records(?! after a poll)/, 5000, from);
    // A line of an earlier Read may still arrive before it; none may follow it. The batches
    // that bring each poll's values into the variables are not the Read's.
    const batches = gateway.err.lines.slice(from).filter((l) => /read batch of/.test(l) && !/after a poll/.test(l))
        .map((l) => /read batch of (\d+)/.exec(l)[1]);
    assert.deepEqual(batches.slice(batches.indexOf('200')), ['200']);
});

test('a Read batches each of its variables once, leaves the server\'s own nodes to it and honours maxAge', async () => {
    const paths = tags().map((t) => t.path).slice(0, 3);
    const valueOf = (p) => ({ nodeId: nodeId(p), attributeId: AttributeIds.Value });
    const batchesFrom = (from) => gateway.err.lines.slice(from)
        .filter((l) => /read batch of/.test(l) && !/after a poll/.test(l)).map((l) => /read batch of (\d+)/.exec(l)[1]);
    let from = gateway.err.lines.length;
    const mixed = await ua.session.read([...paths.map(valueOf), valueOf(paths[0]), { nodeId: 'ns=0;i=2258', attributeId: AttributeIds.Value }]);
    assert.deepEqual(mixed.map((r) => r.statusCode.name), ['Good', 'Good', 'Good', 'Good', 'Good']);
    assert.deepEqual(mixed[3].value, mixed[0].value, 'the same variable twice reads the same');
    assert.ok(mixed[4].value.value instanceof Date, 'the server\'s current time');
    await gateway.err.wait(/read batch of 3 records(?! after a poll)/, 5000, from);
    assert.deepEqual(batchesFrom(from), ['3']);

    // Values of the last Read are young enough for a maxAge of a minute: no batch. A Read
    // without maxAge after it marks where the trace stands.
    from = gateway.err.lines.length;
    const cached = await ua.session.read(paths.map(valueOf), 60000);
    assert.deepEqual(cached.map((r) => r.statusCode.name), ['Good', 'Good', 'Good']);
    await ua.session.read(valueOf(paths[1]));
    await gateway.err.wait(/read batch of 1 records(?! after a poll)/, 5000, from);
    assert.deepEqual(batchesFrom(from), ['1']);
});

test('an unknown item is not there, and every line on standard error carries a time stamp', async () => {
    const r = await ua.session.read({ nodeId: nodeId('ADR03.Process.NoSuchTag'), attributeId: AttributeIds.Value });
    assert.equal(r.statusCode, StatusCodes.BadNodeIdUnknown);
    assert.ok(gateway.err.lines.length > 3);
    for (const line of gateway.err.lines) assert.match(line, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z /);
    assert.match(gateway.err.lines.join('\n'), /Korvex OPC Server V:/);
    assert.match(gateway.err.lines.join('\n'), new RegExp(`namespace: ${browse.filter((e) => e.kind === 'node').length} folders, ${tags().length} variables`));
});
