'use strict';
// The write queue of one plug-in: writes leave it as batches on a worker thread, the writers
// taking turns, and every write is answered from what the plug-in says became of its record.

const { StatusCodes } = require('node-opcua');
const abi = require('./abi');

// Records one writer may put into one batch, and records of one batch: a writer with many
// writes (a DCMD of many metrics, a Write of many nodes) delays the others by at most one
// batch of bus exchanges.
const PER_WRITER = 2;
const MAX_BATCH = 4;

// On stop, queued writes may still start this long, one record a batch so that little is on
// the bus when the time is up; those still queued then are refused.
const STOP_WRITES_MS = 2000;

// What the plug-in reports in a write record's quality field, as OPC UA results.
const STATUS_OF_VERDICT = new Map([
    [abi.WRITE_ACKNOWLEDGED, StatusCodes.Good],
    [abi.WRITE_OUT_OF_RANGE, StatusCodes.BadOutOfRange],
    [abi.WRITE_TYPE_MISMATCH, StatusCodes.BadTypeMismatch],
    [abi.WRITE_NOT_WRITABLE, StatusCodes.BadNotWritable],
    [abi.WRITE_NO_COMMUNICATION, StatusCodes.BadNoCommunication],
    // The value was taken but the scaling table could not be written: nothing changed.
    [abi.WRITE_NOT_STORED, StatusCodes.BadResourceUnavailable],
]);

class WriteQueue {
    // checkRules(item, value, overlay): Good or the status that refuses the write before it
    // reaches the plug-in; overlay holds the values written earlier in the same batch.
    constructor(plugin, { trace, log, checkRules }) {
        this.plugin = plugin;
        this.trace = trace;
        this.log = log ?? (() => {});
        this.checkRules = checkRules;
        this.writers = new Map(); // writer -> [entry], in arrival order
        this.turns = []; // writers with queued writes
        this.lastTurn = new Map(); // writer -> number of the batch it last had writes in
        this.batchNumber = 0;
        this.running = false;
        this.closed = false;
        this.idleWaiters = [];
        this.warnedNoVerdict = false;
        this.stats = { batches: 0, records: 0 };
    }

    get queued() {
        let n = 0;
        for (const list of this.writers.values()) n += list.length;
        return n;
    }

    // callback(null, status) once the write is done or refused; `writer` names whose turn it is.
    push(item, value, callback, writer = '') {
        if (this.closed) {
            callback(null, StatusCodes.BadServerHalted);
            return;
        }
        let list = this.writers.get(writer);
        if (!list) {
            list = [];
            this.writers.set(writer, list);
            this.turns.push(writer);
        }
        list.push({ item, value, callback });
        this.run();
    }

    // Up to PER_WRITER entries of each writer, up to MAX_BATCH in all; the writers served
    // longest ago (or never) first.
    take() {
        const number = ++this.batchNumber;
        const most = this.closed ? 1 : MAX_BATCH;
        const last = (writer) => this.lastTurn.get(writer) ?? 0;
        this.turns.sort((a, b) => last(a) - last(b));
        const taken = [];
        const left = [];
        for (const writer of this.turns) {
            if (taken.length >= most) {
                left.push(writer);
                continue;
            }
            const list = this.writers.get(writer);
            taken.push(...list.splice(0, Math.min(PER_WRITER, most - taken.length)));
            this.lastTurn.set(writer, number);
            if (list.length === 0) {
                this.writers.delete(writer);
                this.lastTurn.delete(writer);
            } else {
                left.push(writer);
            }
        }
        this.turns = left;
        return taken;
    }

    run() {
        if (this.running) return;
        if (this.turns.length === 0) {
            for (const resolve of this.idleWaiters.splice(0)) resolve();
            return;
        }
        const accepted = [];
        const overlay = new Map(); // values written earlier in this batch, by path
        for (const entry of this.take()) {
            const status = this.checkRules(entry.item, entry.value, overlay);
            if (status !== StatusCodes.Good) {
                entry.callback(null, status);
                continue;
            }
            overlay.set(entry.item.path, entry.value);
            accepted.push(entry);
        }
        if (accepted.length === 0) {
            this.run();
            return;
        }
        this.running = true;
        this.stats.batches++;
        this.stats.records += accepted.length;
        this.trace?.(`write batch of ${accepted.length} records`);
        this.plugin.write(
            accepted.map((e) => ({ vt: e.item.vt, handle: e.item.handle, value: e.value })),
            (err, verdicts) => {
                this.running = false;
                for (let i = 0; i < accepted.length; i++) {
                    const status = err ? StatusCodes.BadInternalError : this.statusOf(verdicts[i], accepted[i].item);
                    accepted[i].callback(null, status);
                }
                this.run();
            });
    }

    statusOf(verdict, item) {
        if (verdict === abi.WRITE_PENDING) {
            // A plug-in without write verdicts: the write went to it, nothing more is known.
            if (!this.warnedNoVerdict) {
                this.warnedNoVerdict = true;
                this.log('the plug-in gives no write verdicts: writes are answered Good once it has taken them');
            }
            return StatusCodes.Good;
        }
        const status = STATUS_OF_VERDICT.get(verdict);
        if (status) return status;
        this.log(`write to ${item.path}: the plug-in answered the unknown verdict ${verdict}`);
        return StatusCodes.BadUnexpectedError;
    }

    // Later writes are refused at once; queued ones may start for STOP_WRITES_MS, the rest are
    // refused then. Resolves once every write has its answer.
    close(stopWritesMs = STOP_WRITES_MS) {
        this.closed = true;
        if (!this.running && this.turns.length === 0) return Promise.resolve();
        const idle = new Promise((resolve) => this.idleWaiters.push(resolve));
        const timer = setTimeout(() => {
            const left = [];
            for (const list of this.writers.values()) left.push(...list);
            this.writers.clear();
            this.turns = [];
            if (left.length > 0) this.log(`stopping: ${left.length} queued writes refused, not sent`);
            for (const entry of left) entry.callback(null, StatusCodes.BadServerHalted);
            if (!this.running) this.run();
        }, stopWritesMs);
        return idle.finally(() => clearTimeout(timer));
    }
}

module.exports = { WriteQueue, STATUS_OF_VERDICT, PER_WRITER, MAX_BATCH, STOP_WRITES_MS };
