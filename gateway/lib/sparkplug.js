'use strict';
// The gateway as a Sparkplug B edge node: the node is born with its own metrics, every bus
// member is a device (ADR03) whose metrics are its tags, values go out as DDATA when they change,
// DCMD writes go through the gateway's write queue.

const fs = require('node:fs');
const mqtt = require('mqtt');
const sparkplug = require('sparkplug-payload').get('spBv1.0');
const abi = require('./abi');

const NAMESPACE = 'spBv1.0';
const REBIRTH = 'Node Control/Rebirth';
const SCAN_MS = 100; // how often the process image is compared with what was published
const RECONNECT_MIN_MS = 1000;
const RECONNECT_MAX_MS = 30000;
// Bytes the socket may hold unsent before a scan is skipped: changes then go out with the next
// scan that finds the socket drained, latest value first, instead of queueing without bound.
const MAX_UNSENT_BYTES = 1 << 20;

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
function busPort() {
    const dir = process.env.KORVEX_OPC_INSTDIR;
    if (!dir) return '';
    try {
        const ini = fs.readFileSync(`${dir}/fenlodrv.ini`, 'latin1');
        return /^\s*COM\s*=\s*(.*?)\s*$/im.exec(ini)?.[1] ?? '';
    } catch {
        return '';
    }
}

const isBad = (quality) => (quality & 0xc0) === 0;

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
    // status whose name is 'Good' when the value fits the item.
    constructor({ plugin, items, writes, checkWrite, options, log, version }) {
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
        this.published = new Map(); // path -> value last published (birth or data)
        this.lastSource = new Map(); // path -> source time of the last read
        this.cycleMs = null; // poll cycle measured from the source times of each member
        this.bdSeq = 0;
        this.seq = 0;
        this.client = null;
        this.timer = null;
        this.reconnectMs = RECONNECT_MIN_MS;
        this.stats = { messages: 0, scans: 0, skippedScans: 0 };
    }

    nextSeq() {
        const s = this.seq;
        this.seq = (this.seq + 1) % 256;
        return s;
    }

    deathPayload() {
        return sparkplug.encodePayload({
            timestamp: Date.now(),
            metrics: [{ name: 'bdSeq', type: 'UInt64', value: this.bdSeq }],
        });
    }

    start() {
        const o = this.options;
        const connectOptions = {
            clean: true,
            reconnectPeriod: RECONNECT_MIN_MS,
            connectTimeout: 10000,
            keepalive: 10,
            // Nothing is queued while the broker is gone: the births after the reconnect carry
            // the values of that moment.
            queueQoSZero: false,
            will: { topic: this.nodeTopic('NDEATH'), payload: this.deathPayload(), qos: 1, retain: false },
        };
        if (o.mqttUser) {
            connectOptions.username = o.mqttUser;
            connectOptions.password = o.mqttPassword;
        }
        if (o.mqttCa) connectOptions.ca = fs.readFileSync(o.mqttCa);
        this.client = mqtt.connect(o.mqtt, connectOptions);
        this.client.on('connect', () => this.onConnect());
        this.client.on('close', () => this.onClose());
        this.client.on('error', (e) => this.log(`MQTT ${o.mqtt}: ${e.message}`));
        this.client.on('message', (topic, payload) => this.onMessage(topic, payload));
        this.timer = setInterval(() => this.scan(), SCAN_MS);
    }

    onConnect() {
        this.connected = true;
        this.reconnectMs = RECONNECT_MIN_MS;
        this.client.options.reconnectPeriod = RECONNECT_MIN_MS;
        this.log(`MQTT ${this.options.mqtt}: connected as edge node ${this.group}/${this.edgeNode} (bdSeq ${this.bdSeq})`);
        this.client.subscribe([this.nodeTopic('NCMD'), `${this.nodeTopic('DCMD')}/+`], { qos: 1 });
        this.birth();
    }

    onClose() {
        if (this.connected) this.log(`MQTT ${this.options.mqtt}: connection lost; reconnecting`);
        const wasConnected = this.connected;
        this.connected = false;
        if (this.stopping) return;
        // The broker sends the will of the lost session with the old bdSeq; the next session
        // has a new one, and tries come less often while the broker stays away.
        if (wasConnected) {
            this.bdSeq = (this.bdSeq + 1) % 256;
            this.client.options.will.payload = this.deathPayload();
        } else {
            this.reconnectMs = Math.min(this.reconnectMs * 2, RECONNECT_MAX_MS);
        }
        this.client.options.reconnectPeriod = this.reconnectMs;
    }

    publish(topic, payload) {
        this.stats.messages++;
        this.client.publish(topic, sparkplug.encodePayload(payload), { qos: 0 });
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

    birth() {
        if (!this.connected) return;
        const rows = this.readAll();
        this.current = new Map(rows.map(({ item, result }) => [item.path, result]));
        this.seq = 0;
        this.published.clear();
        this.publish(this.nodeTopic('NBIRTH'), {
            timestamp: Date.now(),
            seq: this.nextSeq(),
            metrics: [
                { name: 'bdSeq', type: 'UInt64', value: this.bdSeq },
                { name: REBIRTH, type: 'Boolean', value: false },
                { name: 'Properties/Gateway Version', type: 'String', value: this.version },
                { name: 'Properties/Bus Port', type: 'String', value: busPort() },
                { name: 'Properties/Poll Cycle', type: 'Double', value: this.cycleMs ?? 0 },
            ],
        });
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
            this.publish(this.deviceTopic('DBIRTH', device.name), {
                timestamp: Date.now(),
                seq: this.nextSeq(),
                metrics: device.items.map((item) => this.metric(item, current.get(item.path), true)),
            });
            for (const item of device.items) this.published.set(item.path, current.get(item.path).value);
        } else {
            this.publish(this.deviceTopic('DDEATH', device.name), { timestamp: Date.now(), seq: this.nextSeq() });
        }
        return true;
    }

    // One read batch, then the changes since the last publication.
    scan() {
        this.stats.scans++;
        let rows;
        try {
            rows = this.readAll();
        } catch (e) {
            this.log(`read for MQTT failed: ${e.message}`);
            return;
        }
        this.measureCycle(rows);
        if (!this.connected) return;
        const stream = this.client.stream;
        if (stream && stream.writableLength > MAX_UNSENT_BYTES) {
            this.stats.skippedScans++;
            return;
        }
        const current = new Map(rows.map(({ item, result }) => [item.path, result]));
        this.current = current;
        for (const device of this.devices.values()) {
            if (this.deviceState(device, current) || !device.alive) continue;
            const metrics = [];
            for (const item of device.items) {
                const r = current.get(item.path);
                if (isBad(r.quality) || r.value === null) continue;
                if (Object.is(this.published.get(item.path), r.value)) continue;
                this.published.set(item.path, r.value);
                metrics.push(this.metric(item, r, false));
            }
            if (metrics.length) {
                this.publish(this.deviceTopic('DDATA', device.name), { timestamp: Date.now(), seq: this.nextSeq(), metrics });
            }
        }
    }

    // The poll cycle: how often a member's source time moves on, averaged over the members.
    measureCycle(rows) {
        const now = Date.now();
        this.cycleSeen ??= new Map(); // device -> time its source time last moved
        for (const device of this.devices.values()) {
            const item = device.items[0];
            const r = rows.find((row) => row.item === item)?.result;
            if (!r || r.sourceMs === null) continue;
            const before = this.lastSource.get(item.path);
            this.lastSource.set(item.path, r.sourceMs);
            if (before === undefined || before === r.sourceMs) continue;
            const seen = this.cycleSeen.get(device.name);
            this.cycleSeen.set(device.name, now);
            if (seen === undefined) continue;
            const sample = now - seen;
            this.cycleMs = this.cycleMs === null ? sample : this.cycleMs * 0.9 + sample * 0.1;
        }
    }

    onMessage(topic, payload) {
        let message;
        try {
            message = sparkplug.decodePayload(payload);
        } catch (e) {
            this.log(`MQTT ${topic}: not a Sparkplug B payload (${e.message})`);
            return;
        }
        const levels = topic.split('/');
        if (levels[2] === 'NCMD') {
            for (const m of message.metrics ?? []) {
                if (m.name === REBIRTH && m.value === true) {
                    this.log('MQTT: rebirth asked for');
                    this.birth();
                }
            }
            return;
        }
        if (levels[2] === 'DCMD' && levels.length === 5) this.deviceCommand(levels[4], message.metrics ?? []);
    }

    deviceCommand(device, metrics) {
        for (const m of metrics) {
            const what = `DCMD ${device} ${m.name}`;
            const item = this.byPath.get(`${device}.${m.name}`);
            if (!item) {
                this.log(`${what}: refused, no such metric`);
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
            const value = valueForItem(item, m.value);
            const status = value === undefined ? null : this.checkWrite(item, value);
            if (!status || status.name !== 'Good') {
                this.log(`${what}: refused, ${JSON.stringify(m.value)} does not fit the tag (${status ? status.name : 'wrong type'})`);
                continue;
            }
            this.writes.push(item, value, (err, result) => {
                if (result && result.name !== 'Good') this.log(`${what}: ${result.name}`);
            });
        }
    }

    // A clean end: the node's death, then the connection closed.
    async stop() {
        this.stopping = true;
        clearInterval(this.timer);
        if (!this.client) return;
        if (this.connected) {
            await new Promise((resolve) => {
                this.client.publish(this.nodeTopic('NDEATH'), this.deathPayload(), { qos: 1 }, () => resolve());
                setTimeout(resolve, 2000);
            });
        }
        await new Promise((resolve) => this.client.end(false, {}, () => resolve()));
    }
}

module.exports = { EdgeNode, METRIC_TYPES };
