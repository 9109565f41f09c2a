'use strict';
// The edge node's sessions with its MQTT servers: one server at a time, the next one when it is
// lost (or when the primary host application is not online there), every accepted session with
// a bdSeq of its own, and, with a primary host, births only while that host says it is online.
// Emits 'live' when births may go out, 'dead' when they may not any more, 'command' (topic,
// payload) for NCMD and DCMD.

const { EventEmitter } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const mqtt = require('mqtt');
const { encodePayload } = require('./spb');

const NAMESPACE = 'spBv1.0';
const RECONNECT_MIN_MS = 1000;
const RECONNECT_MAX_MS = 30000;
// How long a server is given to show the primary host online before the next one is tried
// (with one server the edge node waits there).
const HOST_WAIT_MS = 10000;
// How long the node's own death may take to be acknowledged before the connection is closed.
const DEATH_ACK_MS = 2000;
// Bytes of STATE payload read at most: a host's STATE is a small JSON object.
const MAX_STATE_BYTES = 1024;

// The last bdSeq used, kept in the state folder so that the next run takes the next one: a
// late will of an earlier run then never matches the birth of the current one.
class BdSeqStore {
    constructor(dir, log) {
        this.file = path.join(dir, 'sparkplug-bdseq');
        this.log = log;
    }

    // The bdSeq that follows the stored one; 0 when none is stored (or it cannot be read).
    next() {
        let text;
        try {
            text = fs.readFileSync(this.file, 'utf8');
        } catch (e) {
            if (e.code !== 'ENOENT') this.log(`${this.file}: cannot read the last bdSeq (${e.code || e.message}); starting at 0`);
            return 0;
        }
        const line = text.trim();
        if (!/^\d{1,3}$/.test(line) || Number(line) > 255) {
            this.log(`${this.file}:1: ${JSON.stringify(line.slice(0, 20))} is no bdSeq 0..255; starting at 0`);
            return 0;
        }
        return (Number(line) + 1) % 256;
    }

    // Written whole or not at all: a new file, synced, renamed over the old one.
    save(bdSeq) {
        const temp = `${this.file}.${process.pid}.tmp`;
        try {
            fs.mkdirSync(path.dirname(this.file), { recursive: true, mode: 0o700 });
            const fd = fs.openSync(temp, 'w', 0o600);
            try {
                fs.writeSync(fd, `${bdSeq}\n`);
                fs.fsyncSync(fd);
            } finally {
                fs.closeSync(fd);
            }
            fs.renameSync(temp, this.file);
            const dirFd = fs.openSync(path.dirname(this.file), 'r');
            try {
                fs.fsyncSync(dirFd);
            } finally {
                fs.closeSync(dirFd);
            }
        } catch (e) {
            try {
                fs.rmSync(temp, { force: true });
            } catch {
                // nothing more to tidy
            }
            this.log(`${this.file}: cannot keep bdSeq ${bdSeq} (${e.code || e.message}); the next run may repeat it`);
        }
    }
}

// A host's STATE payload as {online, timestamp}; null for anything else (with why in `error`).
function parseState(payload) {
    if (payload.length > MAX_STATE_BYTES) return { error: `${payload.length} bytes` };
    let state;
    try {
        state = JSON.parse(payload.toString('utf8'));
    } catch {
        return { error: 'no JSON' };
    }
    if (state === null || typeof state !== 'object' || typeof state.online !== 'boolean' ||
        !Number.isSafeInteger(state.timestamp) || state.timestamp < 0) {
        return { error: 'no boolean "online" and time stamp "timestamp"' };
    }
    return { online: state.online, timestamp: state.timestamp };
}

class SparkplugSession extends EventEmitter {
    // servers: the MQTT URLs in the order they are tried; primaryHost: the host application's
    // id, or null; name: GROUP/NODE; nodeTopic(type): the node's topic of a message type.
    constructor({ servers, primaryHost, name, nodeTopic, connectOptions, state, log }) {
        super();
        this.name = name;
        this.servers = servers;
        this.primaryHost = primaryHost;
        this.stateTopic = primaryHost === null ? null : `${NAMESPACE}/STATE/${primaryHost}`;
        this.nodeTopic = nodeTopic;
        this.connectOptions = connectOptions;
        this.log = log;
        this.bdSeqStore = new BdSeqStore(state, log);
        this.bdSeq = this.bdSeqStore.next();
        this.bdSeqStore.save(this.bdSeq);
        this.index = 0;
        this.client = null; // the current connection; its state is open()'s
        this.advance = false; // the next session takes the next bdSeq
        this.live = false;
        this.backoffMs = RECONNECT_MIN_MS;
        this.timer = null;
        this.hostTimer = null;
        // Per server, the time stamp of the host's last STATE taken: an older one is stale.
        this.stateTimes = new Map();
        this.stats = { sessions: 0 };
    }

    get url() {
        return this.servers[this.index];
    }

    deathPayload() {
        return encodePayload({ timestamp: Date.now(), metrics: [{ name: 'bdSeq', type: 'UInt64', value: this.bdSeq }] });
    }

    start() {
        this.open();
    }

    // A new connection to the current server. A session that a server accepted registered a
    // will with its bdSeq: the next one takes the next number.
    open() {
        this.timer = null;
        if (this.advance) {
            this.bdSeq = (this.bdSeq + 1) % 256;
            this.bdSeqStore.save(this.bdSeq);
            this.advance = false;
        }
        const url = this.url;
        const client = mqtt.connect(url, {
            ...this.connectOptions,
            clean: true,
            reconnectPeriod: 0, // every new connection is a new session, made here
            connectTimeout: 10000,
            keepalive: 10,
            // Nothing is queued while no server is there: the births of the next session carry
            // the values of that moment.
            queueQoSZero: false,
            will: { topic: this.nodeTopic('NDEATH'), payload: this.deathPayload(), qos: 1, retain: false },
        });
        this.client = client;
        this.accepted = false; // its CONNECT was accepted
        this.subscribed = false;
        this.hostOnline = false;
        this.hostOffline = false; // the host said so on this connection
        this.leaving = null; // why it is being closed
        client.on('connect', () => {
            if (client === this.client) this.onConnect(client, url);
        });
        client.on('close', () => {
            if (client === this.client) this.onClose(client, url);
        });
        client.on('error', (e) => {
            if (client === this.client) this.log(`MQTT ${url}: ${e.message}`);
        });
        client.on('message', (topic, payload) => {
            if (client === this.client) this.onMessage(topic, payload, url);
        });
    }

    async onConnect(client, url) {
        this.accepted = true;
        this.advance = true;
        this.stats.sessions++;
        this.log(`MQTT ${url}: connected as edge node ${this.name} (bdSeq ${this.bdSeq})`);
        try {
            // The host's STATE first: its retained message tells at once whether it is online.
            if (this.stateTopic) await client.subscribeAsync(this.stateTopic, { qos: 1 });
            await client.subscribeAsync([this.nodeTopic('NCMD'), `${this.nodeTopic('DCMD')}/+`], { qos: 1 });
        } catch (e) {
            if (client === this.client && !this.leaving) this.leave(`cannot subscribe (${e.message})`, false);
            return;
        }
        if (client !== this.client || this.leaving) return;
        this.subscribed = true;
        if (!this.stateTopic || this.hostOnline) this.goLive();
        else this.hostNotOnline(url);
    }

    // Subscribed, and the host is not online here (yet): with other servers to try, the next one
    // once it says it is offline, or when it has said nothing for a while; else wait here.
    hostNotOnline(url) {
        if (this.servers.length > 1 && this.hostOffline) {
            this.leave(`primary host ${this.primaryHost} offline at ${url}`, false);
            return;
        }
        this.log(`MQTT ${url}: waiting for primary host ${this.primaryHost} to be online`);
        this.waitForHost(url);
    }

    // With other servers to try, one where the host does not come online is left after a while.
    waitForHost(url) {
        if (this.servers.length < 2 || this.hostTimer) return;
        this.hostTimer = setTimeout(() => {
            this.hostTimer = null;
            if (!this.live && !this.leaving) this.leave(`primary host ${this.primaryHost} not online at ${url}`, false);
        }, HOST_WAIT_MS);
    }

    goLive() {
        clearTimeout(this.hostTimer);
        this.hostTimer = null;
        this.live = true;
        this.emit('live');
    }

    onMessage(topic, payload, url) {
        if (topic !== this.stateTopic) {
            this.emit('command', topic, payload);
            return;
        }
        const state = parseState(payload);
        if (state.error) {
            this.log(`MQTT ${url}: STATE of ${this.primaryHost} ignored: ${state.error}`);
            return;
        }
        // Sparkplug 3.0: a STATE older than the last one taken from this server is stale (a
        // late retained or replayed message), whatever it says.
        const last = this.stateTimes.get(url);
        if (last !== undefined && state.timestamp < last) {
            this.log(`MQTT ${url}: ${state.online ? 'online' : 'offline'} STATE of ${this.primaryHost} ignored: ` +
                `its time stamp ${state.timestamp} is older than ${last}`);
            return;
        }
        this.stateTimes.set(url, state.timestamp);
        this.hostOnline = state.online;
        this.hostOffline = !state.online;
        this.log(`MQTT ${url}: primary host ${this.primaryHost} is ${state.online ? 'online' : 'offline'}`);
        if (this.leaving || !this.subscribed) return; // the subscriptions' end decides
        if (state.online) {
            if (!this.live) this.goLive();
        } else if (this.live) {
            this.leave(`primary host ${this.primaryHost} went offline`, true);
        } else {
            this.hostNotOnline(url);
        }
    }

    // Ends the current session: the node's death first when it was born (then a DISCONNECT,
    // so the server drops the will), and the next server is tried once the connection is closed.
    async leave(why, wasBorn) {
        const client = this.client;
        this.leaving = why;
        this.log(`MQTT ${this.url}: ${why}; ${wasBorn ? 'NDEATH and ' : ''}disconnecting`);
        this.die();
        if (wasBorn && client.connected) await this.publishDeath(client);
        await this.end(client);
    }

    publishDeath(client) {
        return new Promise((resolve) => {
            const timer = setTimeout(resolve, DEATH_ACK_MS);
            client.publish(this.nodeTopic('NDEATH'), this.deathPayload(), { qos: 1 }, () => {
                clearTimeout(timer);
                resolve();
            });
        });
    }

    // A clean end; one that hangs (a server that stopped answering) is cut.
    end(client) {
        return new Promise((resolve) => {
            const timer = setTimeout(() => client.end(true, {}, resolve), DEATH_ACK_MS);
            client.end(false, {}, () => {
                clearTimeout(timer);
                resolve();
            });
        });
    }

    die() {
        if (!this.live) return;
        this.live = false;
        this.emit('dead');
    }

    onClose(client, url) {
        clearTimeout(this.hostTimer);
        this.hostTimer = null;
        const wasLive = this.live;
        this.die();
        client.removeAllListeners('message');
        if (this.stopping) return;
        if (!this.leaving && this.accepted) this.log(`MQTT ${url}: connection lost; reconnecting`);
        // A live session that ends starts the waits again from the shortest; a server that
        // refused, or where the host was not online, makes the next wait twice as long.
        if (wasLive) this.backoffMs = RECONNECT_MIN_MS;
        const delay = this.backoffMs;
        if (!wasLive) this.backoffMs = Math.min(this.backoffMs * 2, RECONNECT_MAX_MS);
        this.index = (this.index + 1) % this.servers.length;
        this.client = null;
        client.end(true);
        this.timer = setTimeout(() => this.open(), delay);
    }

    publish(topic, bytes) {
        if (!this.live) return false;
        this.client.publish(topic, bytes, { qos: 0 });
        return true;
    }

    // Bytes the socket holds unsent.
    unsentBytes() {
        return this.client?.stream?.writableLength ?? 0;
    }

    // A clean end: the node's death when it was born, then the connection closed.
    async stop() {
        this.stopping = true;
        clearTimeout(this.timer);
        clearTimeout(this.hostTimer);
        const client = this.client;
        if (!client) return;
        const wasLive = this.live;
        this.die();
        if (wasLive && client.connected) await this.publishDeath(client);
        await this.end(client);
    }
}

module.exports = { SparkplugSession, BdSeqStore, parseState, NAMESPACE };
