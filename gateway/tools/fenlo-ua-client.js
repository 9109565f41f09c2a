#!/usr/bin/env node
'use strict';
// A small OPC UA client of the project: browses a fenlo-opcua server, shows its live values as a
// refreshing table (value, status, source time), writes a setpoint and shows it come back.

require('../lib/webcrypto');
const { parseArgs } = require('node:util');
// node-opcua is large: loaded once the options are known to be good (--help and --version
// answer at once).
let AttributeIds, BrowseDirection, ClientMonitoredItem, ClientSubscription, DataType, NodeClass,
    OPCUAClient, StatusCodes, TimestampsToReturn, resolveNodeId;

const USAGE = `Usage: fenlo-ua-client [ENDPOINT] [OPTIONS]

Browses the server (default opc.tcp://127.0.0.1:4840), subscribes to every item and shows them
as a table until Ctrl-C; writes a value and shows it come back.

Options:
  --write ITEM=VALUE   the write to show (default ADR03.Process.Setpoint=72.5; "" for none)
  --match TEXT         only items whose path contains TEXT
  --interval MS        refresh of the table (default 1000)
  --once               one table, the write and its read-back, then exit
  --version            the version of the gateway package it belongs to
  --help`;

const HAS_PROPERTY = 'ns=0;i=46';

function parse(argv) {
    const { values, positionals } = parseArgs({
        args: argv, allowPositionals: true, strict: true,
        options: {
            write: { type: 'string' }, match: { type: 'string' }, interval: { type: 'string' },
            once: { type: 'boolean' }, help: { type: 'boolean' }, version: { type: 'boolean' },
        },
    });
    const interval = Number(values.interval ?? 1000);
    if (!Number.isInteger(interval) || interval < 100) throw new Error(`--interval ${values.interval}: 100 ms or more`);
    return {
        help: values.help, version: values.version, once: Boolean(values.once), interval, match: values.match ?? '',
        endpoint: positionals[0] ?? 'opc.tcp://127.0.0.1:4840',
        write: values.write ?? 'ADR03.Process.Setpoint=72.5',
    };
}

// Every variable of the server's own namespace below Objects, in browse order, without the
// properties of the items.
async function browseItems(session) {
    const items = [];
    const visit = async (nodeId) => {
        const result = await session.browse({
            nodeId, browseDirection: BrowseDirection.Forward, includeSubtypes: true, resultMask: 63,
        });
        for (const r of result.references) {
            if (r.nodeId.namespace !== 1 || r.referenceTypeId.toString() === HAS_PROPERTY) continue;
            if (r.nodeClass === NodeClass.Variable) items.push(r.nodeId.value);
            if (r.nodeClass === NodeClass.Object) await visit(r.nodeId);
        }
    };
    await visit(resolveNodeId('ObjectsFolder'));
    return items;
}

function show(dv) {
    if (!dv) return ['', 'waiting', ''];
    const v = dv.value?.value;
    let text = v === null || v === undefined ? '' : typeof v === 'number' && !Number.isInteger(v) ? String(Math.round(v * 1000) / 1000) : String(v);
    if (text.length > 26) text = `${text.slice(0, 25)}~`;
    const time = dv.sourceTimestamp ? dv.sourceTimestamp.toISOString().replace('T', ' ').slice(0, 23) : '';
    return [text, dv.statusCode.name, time];
}

function table(paths, values, title) {
    const width = Math.max(4, ...paths.map((p) => p.length));
    const row = (a, b, c, d) => `${a.padEnd(width)}  ${b.padEnd(26)}  ${c.padEnd(18)}  ${d}`;
    const lines = [title, row('ITEM', 'VALUE', 'STATUS', 'SOURCE TIME')];
    for (const p of paths) lines.push(row(p, ...show(values.get(p))));
    return `${lines.join('\n')}\n`;
}

// The text typed after ITEM= as a value of the item's data type.
function typedValue(dataType, text) {
    switch (dataType) {
        case DataType.String: return text;
        case DataType.Boolean: return /^(1|true)$/i.test(text);
        default: {
            const n = Number(text);
            if (text.trim() === '' || !Number.isFinite(n)) throw new Error(`"${text}" is not a number`);
            return n;
        }
    }
}

async function main() {
    let options;
    try {
        options = parse(process.argv.slice(2));
    } catch (e) {
        process.stderr.write(`fenlo-ua-client: ${e.message}\n`);
        process.exit(2);
    }
    if (options.help) {
        process.stdout.write(`${USAGE}\n`);
        return;
    }
    if (options.version) {
        process.stdout.write(`fenlo-ua-client ${require('../package.json').version}\n`);
        return;
    }
    const opcua = require('node-opcua');
    ({
        AttributeIds, BrowseDirection, ClientMonitoredItem, ClientSubscription, DataType, NodeClass,
        OPCUAClient, StatusCodes, TimestampsToReturn, resolveNodeId,
    } = opcua);
    // The library's warnings go to standard error, away from the table; NODE-OPCUA-W27 is left
    // out: it concerns RSA PKCS#1 v1.5 of the Basic128Rsa15 policy, which this client never uses.
    opcua.setWarningLogger((context, ...args) => {
        const text = args.map(String).join(' ');
        if (text.includes('NODE-OPCUA-W27') || text.includes('CVE-2023-46809')) return;
        process.stderr.write(`${text}\n`);
    });
    const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 3 } });
    await client.connect(options.endpoint);
    const session = await client.createSession();
    const paths = (await browseItems(session)).filter((p) => p.includes(options.match));
    process.stdout.write(`${options.endpoint}: ${paths.length} items\n`);

    const values = new Map();
    const subscription = ClientSubscription.create(session, {
        requestedPublishingInterval: 250, requestedMaxKeepAliveCount: 20, requestedLifetimeCount: 100,
        publishingEnabled: true,
    });
    for (const p of paths) {
        const item = ClientMonitoredItem.create(subscription, { nodeId: `ns=1;s=${p}`, attributeId: AttributeIds.Value },
            { samplingInterval: 250, discardOldest: true, queueSize: 1 }, TimestampsToReturn.Both);
        item.on('changed', (dv) => values.set(p, dv));
    }

    const terminal = process.stdout.isTTY;
    const draw = (title) => process.stdout.write(`${terminal ? '\x1b[H\x1b[J' : '\n'}${table(paths, values, title)}`);
    const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
    let stop = false;
    process.on('SIGINT', () => { stop = true; });
    process.on('SIGTERM', () => { stop = true; });

    // Until every member answered (or a few seconds passed).
    for (let i = 0; i < 20 && !stop && [...values.values()].filter((dv) => dv.statusCode === StatusCodes.Good).length < paths.length; i++) {
        await sleep(250);
    }
    draw(`live values (${new Date().toISOString()})`);

    let writeNote = '';
    if (options.write) {
        const eq = options.write.indexOf('=');
        const item = options.write.slice(0, eq);
        const nodeId = `ns=1;s=${item}`;
        const dataType = (await session.read({ nodeId, attributeId: AttributeIds.DataType })).value.value;
        const value = typedValue(dataType.value, options.write.slice(eq + 1));
        const before = Date.now();
        const status = await session.write({ nodeId, attributeId: AttributeIds.Value, value: { value: { dataType: dataType.value, value } } });
        writeNote = `write ${item} = ${value}: ${status.name}`;
        process.stdout.write(`\n${writeNote}\n`);
        if (status === StatusCodes.Good) {
            for (let i = 0; i < 100 && !stop; i++) {
                const dv = values.get(item);
                if (dv && dv.statusCode === StatusCodes.Good && dv.sourceTimestamp.getTime() >= before &&
                    Math.abs(Number(dv.value.value) - Number(value)) < 1e-3) {
                    writeNote += `; read back ${dv.value.value} at ${dv.sourceTimestamp.toISOString()} (${Date.now() - before} ms)`;
                    break;
                }
                await sleep(100);
            }
            process.stdout.write(`${writeNote}\n`);
        }
        if (!options.once) await sleep(2000);
    }
    while (!options.once && !stop) {
        draw(`live values (${new Date().toISOString()})  ${writeNote}`);
        await sleep(options.interval);
    }
    if (options.once) draw(`live values after the write (${new Date().toISOString()})`);
    await subscription.terminate();
    await session.close();
    await client.disconnect();
}

main().catch((e) => {
    process.stderr.write(`fenlo-ua-client: ${e.message}\n`);
    process.exit(1);
});
