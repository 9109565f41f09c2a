'use strict';
// The gateway as a Sparkplug B edge node: the node is born with its own metrics, every bus
// member is a device (ADR03) whose metrics are its tags, values go out as DDATA when they change,
// DCMD writes go through the gateway's write queue. Births name every metric with an alias,
// data and commands go by the alias. The sessions with the MQTT servers are
// sparkplug-session.js's.

const fs = require('node:fs');
const { readSettingsFile } = require('./driver-ini');
const abi = require('./abi');
const { encodePayload, decodeCommand, commandValue, TYPE } = require('./spb');
const { SparkplugHealth } = require('./sparkplug-health');
const { SparkplugSession, NAMESPACE } = require('./sparkplug-session');

const REBIRTH = 'Node Control/Rebirth';
// How often the process image is compared with what was published, when the plug-in cannot
// tell when it polled (without its extension).
const SCAN_MS = 100;
// Bytes the socket may hold unsent before a scan is skipped: changes then go out with the next
// scan that finds the socket drained, latest value first, instead of queueing without bound.
const MAX_UNSENT_BYTES = 1 << 20;
// Metrics one DCMD may carry: a larger one is refused whole.
const MAX_DCMD_METRICS = 100;
// The write queue's turn of all DCMD writes.
const DCMD_WRITER = 'mqtt';

const METRIC_TYPES = new Map([
    [abi.VT_I2, 'Int16'],
    [abi.VT_I4, 'Int32'],
    [abi.VT_R4, 'Float'],
    [abi.VT_R8, 'Double'],
    [abi.VT_BSTR, 'String'],
    [abi.VT_BOOL, 'Boolean'],
    [abi.VT_UI1, 'UInt8'],
    [abi.VT_UI2, 'UInt16'],
    [abi.VT_UI4, 'UInt32'],
]);

// The bus port as the plug-in's settings name it, when they are found by KORVEX_OPC_INSTDIR.
function busPort(env = process.env) {
    const dir = env.KORVEX_OPC_INSTDIR;
    if (!dir) return '';
    try {
        const ini = readSettingsFile(`${dir}/fenlodrv.ini`);
        return /^\s*COM\s*=\s*(.*?)\s*$/im.exec(ini)?.[1] ?? '';
    } catch {
        return '';
    }
}

const isBad = (quality) => (quality & 0xc0) === 0;

// Every metric of the node and of its devices has an alias of its own for the whole run, given
// when a birth first names it; Node Control/Rebirth has none (Sparkplug 3.0).
class Aliases {
    constructor() {
        this.byKey = new Map(); // 'ADR03\0Process.Setpoint' ('' for the node) -> alias
        this.entries = new Map(); // alias -> {device, name, item}
    }

    give(device, name, item = null) {
        const key = `${device}\0${name}`;
        let alias = this.byKey.get(key);
        if (alias === undefined) {
            alias = this.byKey.size + 1;
            this.byKey.set(key, alias);
            this.entries.set(alias, { device, name, item });
        }
        return alias;
    }

    of(device, name) {
        return this.byKey.get(`${device}\0${name}`);
    }

    entry(alias) {
        return this.entries.get(alias);
    }
}

// Sparkplug values as the plug-in's types hold them: decoded 64-bit numbers arrive as Long.
function valueForItem(item, value) {
    if (value === null || value === undefined) return undefined;
    if (typeof value === 'object' && typeof value.toNumber === 'function') value = value.toNumber();
    switch (item.vt) {
        case abi.VT_BSTR: return typeof value === 'string' ? value : undefined;
        case abi.VT_BOOL: return typeof value === 'boolean' ? value : undefined;
        default: return typeof value === 'number' ? value : undefined;
    }
}

class EdgeNode {
    // items: the gateway's {path -> item}; writes: its write queue; checkWrite(item, value): a
    // status whose name is 'Good' when the value fits the item; extension: the gateway's use of
    // the plug-in's extension, or null.
    constructor({ plugin, items, writes, checkWrite, options, log, version, extension = null }) {
        this.plugin = plugin;
        this.writes = writes;
        this.checkWrite = checkWrite;
        this.options = options;
        this.log = log;
        this.version = version;
        this.group = options.group;
        this.edgeNode = options.edgeNode;
        this.nodeTopic = (type) => `${NAMESPACE}/${this.group}/${type}/${this.edgeNode}`;
        this.deviceTopic = (type, device) => `${this.nodeTopic(type)}/${device}`;

        // Devices: one per bus member, its tags in namespace order.
        this.devices = new Map(); // 'ADR03' -> {name, items: [item], alive}
        this.allItems = [];
        for (const item of items.values()) {
            const dot = item.path.indexOf('.');
            if (dot <= 0) continue;
            const name = item.path.slice(0, dot);
            if (!this.devices.has(name)) this.devices.set(name, { name, items: [], alive: false });
            item.metricName = item.path.slice(dot + 1);
            item.device = name;
            this.devices.get(name).items.push(item);
            this.allItems.push(item);
        }
        this.byPath = items;
        this.extension = extension;
        this.health = extension ? new SparkplugHealth(extension.ext) : null;
        this.current = new Map(); // path -> the last read result
        this.published = new Map(); // path -> value last published (birth or data)
        this.aliases = new Aliases();
        this.seq = 0;
        this.born = false; // the births of the current session went out
        this.timer = null;
        this.stats = { messages: 0, scans: 0, skippedScans: 0 };
        const connectOptions = {};
        if (options.mqttUser) {
            connectOptions.username = options.mqttUser;
            connectOptions.password = options.mqttPassword;
        }
        if (options.mqttCa) connectOptions.ca = fs.readFileSync(options.mqttCa);
        this.session = new SparkplugSession({
            servers: options.mqtt, primaryHost: options.primaryHost ?? null, name: `${this.group}/${this.edgeNode}`,
            nodeTopic: this.nodeTopic, connectOptions, state: options.state, log,
        });
        this.session.on('live', () => this.birth());
        this.session.on('dead', () => {
            this.born = false;
        });
        this.session.on('command', (topic, payload) => this.onMessage(topic, payload));
    }

    get bdSeq() {
        return this.session.bdSeq;
    }

    nextSeq() {
        const s = this.seq;
        this.seq = (this.seq + 1) % 256;
        return s;
    }

    start() {
        this.session.start();
        // With the extension each member's values go out right after its poll; else by scanning.
        if (this.extension) this.extension.watcher.on('poll', (e) => this.onPoll(e));
        else this.timer = setInterval(() => this.scan(), SCAN_MS);
    }

    // After a poll: once per full pass the bus figures that changed (NDATA), then the polled
    // members as a scan.
    onPoll({ members, bus }) {
        if (!this.born) return;
        if (bus && bus.cycles !== this.busCycles) {
            this.busCycles = bus.cycles;
            const changed = this.health.nodeChanges(bus);
            if (changed.length) this.publishData(this.nodeTopic('NDATA'), '', changed);
        }
        const statuses = new Map();
        for (const m of members) statuses.set(`ADR${String(m.address).padStart(2, '0')}`, m);
        this.scan([...statuses.keys()].map((name) => this.devices.get(name)).filter(Boolean), statuses);
    }

    // Every metric carries a time stamp: its source time, else the message's.
    publish(topic, payload) {
        for (const m of payload.metrics ?? []) m.timestamp ??= payload.timestamp;
        if (this.session.publish(topic, encodePayload(payload))) this.stats.messages++;
    }

    // A birth: every metric by name and alias (`device` '' for the node's own).
    publishBirth(topic, device, metrics, itemOf = () => null) {
        for (const m of metrics) {
            if (m.name !== REBIRTH) m.alias = this.aliases.give(device, m.name, itemOf(m));
        }
        this.publish(topic, { timestamp: Date.now(), seq: this.nextSeq(), metrics });
    }

    // Data: metrics by their alias alone, without the data type that the birth gave.
    publishData(topic, device, metrics) {
        for (const m of metrics) {
            const alias = this.aliases.of(device, m.name);
            if (alias === undefined) continue; // not in the birth: a host could not tell what it is
            m.alias = alias;
            m.name = undefined;
            m.typeless = true;
        }
        this.publish(topic, { timestamp: Date.now(), seq: this.nextSeq(), metrics });
    }

    // Reads every tag in one batch: [{item, result}].
    readAll() {
        const results = this.plugin.read(this.allItems);
        return this.allItems.map((item, i) => ({ item, result: results[i] }));
    }

    metric(item, result, withProperties) {
        const type = METRIC_TYPES.get(item.vt) ?? 'Unknown';
        const m = { name: item.metricName, type };
        if (result.sourceMs !== null) m.timestamp = result.sourceMs;
        if (isBad(result.quality) || result.value === null) m.isNull = true;
        else m.value = result.value;
        if (withProperties) {
            const props = {
                Readable: { type: 'Boolean', value: Boolean(item.access & abi.ACCESS_READ) },
                Writable: { type: 'Boolean', value: Boolean(item.access & abi.ACCESS_WRITE) && !this.options.readOnly },
            };
            for (const [suffix, path] of Object.entries(item.propertyPaths ?? {})) {
                const p = this.byPath.get(path);
                const r = this.current.get(path);
                if (p && r && !isBad(r.quality) && r.value !== null) {
                    props[suffix] = { type: METRIC_TYPES.get(p.vt), value: r.value };
                }
            }
            m.properties = props;
        }
        return m;
    }

    // The births of the session, with the values of this moment: NBIRTH, then a DBIRTH for
    // every member that has good values.
    birth() {
        if (!this.session.live) return;
        const rows = this.readAll();
        this.current = new Map(rows.map(({ item, result }) => [item.path, result]));
        this.seq = 0;
        this.published.clear();
        this.born = true;
        this.publishBirth(this.nodeTopic('NBIRTH'), '', [
            { name: 'bdSeq', type: 'UInt64', value: this.bdSeq },
            { name: REBIRTH, type: 'Boolean', value: false },
            { name: 'Properties/Gateway Version', type: 'String', value: this.version },
            { name: 'Properties/Bus Port', type: 'String', value: busPort() },
            ...(this.health?.nodeBirth() ?? []),
        ]);
        for (const device of this.devices.values()) {
            device.alive = false;
            this.deviceState(device, this.current);
        }
    }

    // DBIRTH when a member has good values, DDEATH when all its values turned bad. Scaling
    // properties come from the scaling table, not from the member: they do not count.
    deviceState(device, current) {
        const polled = device.items.filter((item) => !item.property);
        const alive = (polled.length ? polled : device.items).some((item) => !isBad(current.get(item.path).quality));
        if (alive === device.alive) return false;
        device.alive = alive;
        if (alive) {
            this.publishBirth(this.deviceTopic('DBIRTH', device.name), device.name, [
                ...device.items.map((item) => this.metric(item, current.get(item.path), true)),
                ...(this.health?.deviceBirth(device.name) ?? []),
            ], (m) => this.byPath.get(`${device.name}.${m.name}`) ?? null);
            for (const item of device.items) this.published.set(item.path, current.get(item.path).value);
        } else {
            this.publish(this.deviceTopic('DDEATH', device.name), { timestamp: Date.now(), seq: this.nextSeq() });
        }
        return true;
    }

    // One read batch of `devices` (all of them by default), then the changes since the last
    // publication; `statuses` (device name -> member status) when a poll brought them.
    scan(devices = [...this.devices.values()], statuses = null) {
        this.stats.scans++;
        let rows;
        try {
            const items = devices.length === this.devices.size ? this.allItems : devices.flatMap((d) => d.items);
            const results = this.plugin.read(items);
            rows = items.map((item, i) => ({ item, result: results[i] }));
        } catch (e) {
            this.log(`read for MQTT failed: ${e.message}`);
            return;
        }
        if (!this.born) return;
        if (this.session.unsentBytes() > MAX_UNSENT_BYTES) {
            this.stats.skippedScans++;
            return;
        }
        const current = this.current;
        for (const { item, result } of rows) current.set(item.path, result);
        for (const device of devices) {
            if (this.deviceState(device, current) || !device.alive) continue;
            const metrics = [];
            for (const item of device.items) {
                const r = current.get(item.path);
                if (isBad(r.quality) || r.value === null) continue;
                if (Object.is(this.published.get(item.path), r.value)) continue;
                this.published.set(item.path, r.value);
                metrics.push(this.metric(item, r, false));
            }
            if (this.health) metrics.push(...this.health.deviceChanges(device.name, statuses?.get(device.name)));
            if (metrics.length) this.publishData(this.deviceTopic('DDATA', device.name), device.name, metrics);
        }
    }

    onMessage(topic, payload) {
        let metrics;
        try {
            metrics = decodeCommand(payload);
        } catch (e) {
            this.log(`MQTT ${topic}: not a Sparkplug B payload (${e.message})`);
            return;
        }
        const levels = topic.split('/');
        if (levels[2] === 'NCMD') {
            for (const m of metrics) {
                if (m.name === REBIRTH && commandValue(m, TYPE.Boolean) === true) {
                    this.log('MQTT: rebirth asked for');
                    this.birth();
                }
            }
            return;
        }
        if (levels[2] === 'DCMD' && levels.length === 5) this.deviceCommand(levels[4], metrics);
    }

    // From now on DCMDs are refused: the gateway is stopping.
    stopCommands() {
        this.commandsStopped = true;
    }

    // The tag a DCMD metric names, by name or by alias (both: they must agree): {item, what}, or
    // {error, what}.
    commandTarget(device, m) {
        const byName = m.name === undefined ? undefined : this.byPath.get(`${device}.${m.name}`);
        const entry = m.alias === undefined ? undefined : this.aliases.entry(m.alias);
        if (m.name !== undefined) {
            const what = `DCMD ${device} ${m.name}`;
            if (!byName || !byName.metricName) return { error: 'no such metric', what };
            if (m.alias !== undefined && entry?.item !== byName) return { error: `alias ${m.alias} is not this metric's`, what };
            return { item: byName, what };
        }
        if (m.alias === undefined) return { error: 'a metric with neither name nor alias', what: `DCMD ${device}` };
        if (!entry || entry.device !== device) return { error: 'no metric of this device has that alias', what: `DCMD ${device} alias ${m.alias}` };
        const what = `DCMD ${device} ${entry.name} (alias ${m.alias})`;
        return entry.item ? { item: entry.item, what } : { error: 'not a tag (a figure cannot be written)', what };
    }

    deviceCommand(device, metrics) {
        if (this.commandsStopped) {
            this.log(`DCMD ${device}: refused, the gateway is stopping`);
            return;
        }
        // Commands belong to a session the host saw born (with a primary host: while it is
        // online); between sessions nothing is written.
        if (!this.born) {
            this.log(`DCMD ${device}: refused, the node is not born on this server`);
            return;
        }
        if (metrics.length > MAX_DCMD_METRICS) {
            this.log(`DCMD ${device}: refused, ${metrics.length} metrics (at most ${MAX_DCMD_METRICS} a message)`);
            return;
        }
        for (const m of metrics) {
            const { item, error, what } = this.commandTarget(device, m);
            if (error) {
                this.log(`${what}: refused, ${error}`);
                continue;
            }
            if (this.options.readOnly) {
                this.log(`${what}: refused, the gateway is read-only`);
                continue;
            }
            if (!(item.access & abi.ACCESS_WRITE)) {
                this.log(`${what}: refused, the tag is read-only`);
                continue;
            }
            const given = commandValue(m, TYPE[METRIC_TYPES.get(item.vt)]);
            const value = valueForItem(item, given);
            const status = value === undefined ? null : this.checkWrite(item, value);
            if (!status || status.name !== 'Good') {
                this.log(`${what}: refused, ${JSON.stringify(given)} does not fit the tag (${status ? status.name : 'wrong type'})`);
                continue;
            }
            this.writes.push(item, value, (err, result) => {
                if (result && result.name !== 'Good') this.log(`${what}: ${result.name}`);
            }, DCMD_WRITER);
        }
    }

    // A clean end: the node's death, then the connection closed.
    async stop() {
        this.stopping = true;
        clearInterval(this.timer);
        await this.session.stop();
    }
}

module.exports = { EdgeNode, METRIC_TYPES, MAX_DCMD_METRICS, busPort };
