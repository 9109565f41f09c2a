'use strict';
// Values stamped with the time of the poll that brought them, and taken to the clients right
// after each poll, through the plug-in's extension.
//
// - FreshReads wraps the plug-in's read batches: each record of a member's tag gets the time
//   of that member's last accepted poll as its source time, and a Good value of a member whose
//   polls have begun to fail turns Uncertain (last usable value) until the plug-in's own
//   quality turns bad.
// - PollWatcher waits for polls on a worker thread and tells which members were just polled.
// - pushPolledValues reads those members' tags in one batch after each poll and puts the
//   values into their variables, so that the exception-based monitored items notify at once.

const { EventEmitter } = require('node:events');
const { BAD_ERROR_COUNTER } = require('./extension');
const { storeValue } = require('./gateway');

// OPC DA quality "uncertain, last usable value".
const QUALITY_LAST_USABLE = 0x44;
const isGoodQuality = (quality) => (quality & 0xc0) === 0xc0;
// How long one wait for a poll lasts; a stop waits for the running one at most this long.
const WAIT_MS = 250;
// Reads again when a poll of a member in the batch went into the image meanwhile, so that the
// values and the poll time belong together.
const CONSISTENT_TRIES = 3;

const MEMBER_PATH = /^ADR(\d{2})\./;

// The bus address of a polled tag, -1 for anything else (scaling properties come from the
// scaling table, not from the member).
function memberOf(item) {
    if (item.busAddress === undefined) {
        const m = item.property ? null : MEMBER_PATH.exec(item.path ?? '');
        item.busAddress = m ? Number(m[1]) : -1;
    }
    return item.busAddress;
}

const ADDRESSES = 32;

class FreshReads {
    constructor(plugin, ext) {
        this.plugin = plugin;
        this.ext = ext;
        this.plainRead = plugin.read.bind(plugin);
        // Per address: the poll before and after a batch; reused from batch to batch.
        this.before = Array.from({ length: ADDRESSES }, () => ({ known: false, errorCounter: 0, lastGoodPollMs: null }));
        this.after = Array.from({ length: ADDRESSES }, () => ({ known: false, errorCounter: 0, lastGoodPollMs: null }));
    }

    install() {
        this.plugin.read = (items) => this.read(items);
        return this;
    }

    polls(addresses, into) {
        for (const a of addresses) into[a].known = this.ext.poll(a, into[a]);
    }

    read(items) {
        const addresses = [];
        for (const item of items) {
            const a = memberOf(item);
            if (a >= 0 && a < ADDRESSES && !addresses.includes(a)) addresses.push(a);
        }
        if (addresses.length === 0) return this.plainRead(items);
        let { before, after } = this;
        this.polls(addresses, before);
        let results;
        for (let tries = 1; ; tries++) {
            results = this.plainRead(items);
            this.polls(addresses, after);
            const consistent = addresses.every((a) => before[a].known === after[a].known &&
                before[a].lastGoodPollMs === after[a].lastGoodPollMs && before[a].errorCounter === after[a].errorCounter);
            if (consistent || tries >= CONSISTENT_TRIES) break;
            [before, after] = [after, before];
        }
        for (let i = 0; i < items.length; i++) {
            const a = items[i].busAddress;
            if (a < 0 || a >= ADDRESSES || !after[a].known) continue;
            const { errorCounter, lastGoodPollMs } = after[a];
            const r = results[i];
            if (lastGoodPollMs !== null) r.sourceMs = lastGoodPollMs;
            if (errorCounter > 0 && errorCounter < BAD_ERROR_COUNTER && isGoodQuality(r.quality)) {
                r.quality = QUALITY_LAST_USABLE;
            }
        }
        return results;
    }
}

// Emits 'poll' ({sequence, members: [member status], bus}) after every wait that saw polls end,
// with the statuses of the configured members that were polled.
class PollWatcher extends EventEmitter {
    constructor(ext, addresses, log) {
        super();
        this.ext = ext;
        this.addresses = addresses;
        this.log = log;
        this.after = 0;
        this.running = false;
        this.stopped = null;
    }

    start() {
        this.running = true;
        this.after = this.ext.bus()?.pollSequence ?? 0;
        this.stopped = new Promise((resolve) => {
            this.resolveStopped = resolve;
        });
        this.next();
    }

    next() {
        if (!this.running) {
            this.resolveStopped();
            return;
        }
        this.ext.waitForPoll(this.after, WAIT_MS, (err, sequence) => {
            if (err) {
                this.log(`waiting for a poll failed: ${err.message}`);
                this.running = false;
            } else if (sequence > this.after && this.running) {
                const since = this.after;
                this.after = sequence;
                const members = [];
                for (const a of this.addresses) {
                    const status = this.ext.member(a);
                    if (status && status.lastPollSequence > since) members.push(status);
                }
                try {
                    this.emit('poll', { sequence, members, bus: this.ext.bus() });
                } catch (e) {
                    this.log(`after a poll: ${e.stack || e.message}`);
                }
            }
            this.next();
        });
    }

    // Resolves once the running wait has returned.
    stop() {
        this.running = false;
        return this.stopped ?? Promise.resolve();
    }
}

// After each poll: one read batch of the polled members' tags into their variables. A variable
// whose value or status changed tells its monitored items.
function pushPolledValues(watcher, gateway) {
    const byMember = new Map(); // address -> [item with a variable]
    for (const item of gateway.items.values()) {
        const a = memberOf(item);
        if (a < 0 || item.node === null) continue;
        // Asking for a sampling interval of 0 now gets a notification after each poll that
        // changed the value, instead of sampling.
        item.node.minimumSamplingInterval = 0;
        if (!byMember.has(a)) byMember.set(a, []);
        byMember.get(a).push(item);
    }
    watcher.on('poll', ({ members }) => {
        const batch = [];
        for (const m of members) for (const item of byMember.get(m.address) ?? []) batch.push(item);
        if (batch.length === 0 || gateway.reads.closed) return;
        const values = gateway.reads.readNow(batch, ' after a poll');
        for (let i = 0; i < batch.length; i++) storeValue(batch[i].node, values[i]);
    });
}

module.exports = { FreshReads, PollWatcher, pushPolledValues, memberOf, QUALITY_LAST_USABLE };
