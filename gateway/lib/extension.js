'use strict';
// The plug-in's optional extension (include/fenlodrv/plugin_ext.h): the health of each member
// and of the bus, and a wait for the next poll. Looked up by name; a plug-in without it gives
// null, and the gateway then works from the five entry points alone.

const koffi = require('koffi');
const { fileTimeToMs } = require('./abi');

const MEMBER_STATUS_SIZE = 80;
const BUS_STATUS_SIZE = 312;
const BUS_PORT_OFFSET = 56;
const BUS_PORT_SIZE = 256;
const ADDRESSES = 32;
// The error counter at which the plug-in's quality turns bad.
const BAD_ERROR_COUNTER = 10;

// 100 ns ticks from 1601 to 1970, and per millisecond.
const EPOCH_TICKS = 116444736000000000n;
const TICKS_PER_MS = 10000n;

// A FILETIME (as one 64-bit number) as milliseconds since 1970, null for none. Whole
// milliseconds, towards 1970, as the read records' time stamps.
function fileTimeMs(ticks) {
    if (ticks === 0n) return null;
    const since = ticks - EPOCH_TICKS;
    let ms = since / TICKS_PER_MS;
    if (since < 0n && since % TICKS_PER_MS !== 0n) ms -= 1n;
    return Number(ms);
}

// Good (last poll accepted), Uncertain (polls failing, values still those of an earlier poll)
// or Bad (the plug-in's bad quality).
function stateOf(errorCounter) {
    if (errorCounter <= 0) return 'Good';
    return errorCounter < BAD_ERROR_COUNTER ? 'Uncertain' : 'Bad';
}

class Extension {
    constructor(lib, version) {
        this.version = version;
        this._member = lib.func('int32_t FenloGetMemberStatus(uint32_t address, void *status)');
        this._bus = lib.func('int32_t FenloGetBusStatus(void *status)');
        this._wait = lib.func('uint64_t FenloWaitForPoll(uint64_t afterSequence, uint32_t timeoutMs)');
        this.memberBuffer = Buffer.alloc(MEMBER_STATUS_SIZE);
        this.memberView = new DataView(this.memberBuffer.buffer, this.memberBuffer.byteOffset, MEMBER_STATUS_SIZE);
        this.busBuffer = Buffer.alloc(BUS_STATUS_SIZE);
    }

    // {address, configured, errorCounter, state, lastGoodPollMs, lastPollSequence,
    // pollsAccepted, pollsFailed, consecutiveFailures, lastPollMicros, writesAcknowledged,
    // writesRefused, writesUnacknowledged}, or null when the plug-in refuses the address.
    member(address) {
        const b = this.memberBuffer;
        b.fill(0);
        b.writeUInt32LE(MEMBER_STATUS_SIZE, 0);
        if (this._member(address, b) !== 1) return null;
        const errorCounter = b.readInt32LE(12);
        return {
            address: b.readUInt32LE(4),
            configured: b.readInt32LE(8) === 1,
            errorCounter,
            state: stateOf(errorCounter),
            lastGoodPollMs: fileTimeMs(b.readBigUInt64LE(16)),
            lastPollSequence: Number(b.readBigUInt64LE(24)),
            pollsAccepted: Number(b.readBigUInt64LE(32)),
            pollsFailed: Number(b.readBigUInt64LE(40)),
            consecutiveFailures: b.readUInt32LE(48),
            lastPollMicros: b.readUInt32LE(52),
            writesAcknowledged: Number(b.readBigUInt64LE(56)),
            writesRefused: Number(b.readBigUInt64LE(64)),
            writesUnacknowledged: Number(b.readBigUInt64LE(72)),
        };
    }

    // What a read needs, for every batch: the member's error counter and last good poll (ms,
    // null for never) into `out`; false when the plug-in refuses the address.
    poll(address, out) {
        const b = this.memberBuffer;
        b.writeUInt32LE(MEMBER_STATUS_SIZE, 0);
        if (this._member(address, b) !== 1) return false;
        out.errorCounter = this.memberView.getInt32(12, true);
        out.lastGoodPollMs = fileTimeToMs(this.memberView, 16);
        return true;
    }

    // {lastCycleMicros, meanCycleMicros, polling, cycles, exchanges, failedExchanges,
    // portOpenFailures, pollSequence, port}, or null when the plug-in refuses the record.
    bus() {
        const b = this.busBuffer;
        b.fill(0);
        b.writeUInt32LE(BUS_STATUS_SIZE, 0);
        if (this._bus(b) !== 1) return null;
        const portBytes = b.subarray(BUS_PORT_OFFSET, BUS_PORT_OFFSET + BUS_PORT_SIZE);
        const end = portBytes.indexOf(0);
        return {
            lastCycleMicros: b.readUInt32LE(4),
            meanCycleMicros: b.readUInt32LE(8),
            polling: b.readUInt32LE(12) === 1,
            cycles: Number(b.readBigUInt64LE(16)),
            exchanges: Number(b.readBigUInt64LE(24)),
            failedExchanges: Number(b.readBigUInt64LE(32)),
            portOpenFailures: Number(b.readBigUInt64LE(40)),
            pollSequence: Number(b.readBigUInt64LE(48)),
            port: portBytes.subarray(0, end < 0 ? BUS_PORT_SIZE : end).toString('latin1'),
        };
    }

    // The addresses that a [SLAVEnn] section configures.
    configuredAddresses() {
        const found = [];
        for (let a = 0; a < ADDRESSES; a++) if (this.member(a)?.configured) found.push(a);
        return found;
    }

    // Waits on a worker thread for a poll after `after`; done(err, sequence).
    waitForPoll(after, timeoutMs, done) {
        this._wait.async(BigInt(after), timeoutMs, (err, sequence) => done(err, err ? after : Number(sequence)));
    }
}

// The extension of `plugin` (a Plugin), or null when the plug-in does not export all of it or
// gives another version than the one this host knows.
function loadExtension(plugin) {
    let version;
    try {
        version = plugin.lib.func('int32_t FenloExtVersion()')();
    } catch {
        return null;
    }
    if (version < 1) return null;
    try {
        return new Extension(plugin.lib, version);
    } catch {
        return null;
    }
}

module.exports = { loadExtension, stateOf, fileTimeMs, BAD_ERROR_COUNTER, ADDRESSES };
