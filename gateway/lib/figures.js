'use strict';
// The bus's and the members' health figures as the gateway shows them: one table, from which
// the OPC UA diagnostics, the Sparkplug metrics and the Prometheus metrics are all made, so
// that the three always show the same.
//
// Each figure: key (the OPC UA browse name), spb (the Sparkplug metric name below Bus/ or
// Diagnostics/), type (Sparkplug type), prom (Prometheus name and kind), and get(status), the
// value as shown (times in ms, null for "none").

const US_PER_MS = 1000;

const BUS_FIGURES = [
    { key: 'Port', spb: 'Port', type: 'String', get: (b) => b.port },
    { key: 'Polling', spb: 'Polling', type: 'Boolean', get: (b) => b.polling,
        prom: { name: 'fenlo_bus_polling', kind: 'gauge', help: '1 while the polling thread runs', scale: (v) => (v ? 1 : 0) } },
    { key: 'PollCycle', spb: 'Poll Cycle', type: 'Double', get: (b) => b.lastCycleMicros / US_PER_MS,
        prom: { name: 'fenlo_bus_cycle_seconds', kind: 'gauge', help: 'duration of the last full pass over the 32 addresses', scale: (v) => v / 1000 } },
    { key: 'MeanPollCycle', spb: 'Mean Poll Cycle', type: 'Double', get: (b) => b.meanCycleMicros / US_PER_MS,
        prom: { name: 'fenlo_bus_mean_cycle_seconds', kind: 'gauge', help: 'mean of the last (up to) 8 full passes', scale: (v) => v / 1000 } },
    { key: 'Cycles', spb: 'Cycles', type: 'UInt64', get: (b) => b.cycles,
        prom: { name: 'fenlo_bus_cycles_total', kind: 'counter', help: 'full passes over the bus completed' } },
    { key: 'Exchanges', spb: 'Exchanges', type: 'UInt64', get: (b) => b.exchanges,
        prom: { name: 'fenlo_bus_exchanges_total', kind: 'counter', help: 'block reads of the polling thread' } },
    { key: 'FailedExchanges', spb: 'Failed Exchanges', type: 'UInt64', get: (b) => b.failedExchanges,
        prom: { name: 'fenlo_bus_failed_exchanges_total', kind: 'counter', help: 'block reads without a usable complete answer' } },
    { key: 'PortOpenFailures', spb: 'Port Open Failures', type: 'UInt64', get: (b) => b.portOpenFailures,
        prom: { name: 'fenlo_bus_port_open_failures_total', kind: 'counter', help: 'reads and writes that found the bus port not openable' } },
];

const MEMBER_FIGURES = [
    { key: 'State', spb: 'State', type: 'String', get: (m) => m.state },
    { key: 'ErrorCounter', spb: 'Error Counter', type: 'Int32', get: (m) => m.errorCounter,
        prom: { name: 'fenlo_member_error_counter', kind: 'gauge', help: 'error counter: 0 last poll accepted, 10 bad quality' } },
    { key: 'LastGoodPoll', spb: 'Last Good Poll', type: 'DateTime', get: (m) => m.lastGoodPollMs,
        prom: { name: 'fenlo_member_last_good_poll_timestamp_seconds', kind: 'gauge', help: 'when the last accepted poll went into the image (0: never)', scale: (v) => (v ?? 0) / 1000 } },
    { key: 'PollsAccepted', spb: 'Polls Accepted', type: 'UInt64', get: (m) => m.pollsAccepted,
        prom: { name: 'fenlo_member_polls_accepted_total', kind: 'counter', help: 'accepted polls' } },
    { key: 'PollsFailed', spb: 'Polls Failed', type: 'UInt64', get: (m) => m.pollsFailed,
        prom: { name: 'fenlo_member_polls_failed_total', kind: 'counter', help: 'failed polls' } },
    { key: 'ConsecutiveFailures', spb: 'Consecutive Failures', type: 'UInt32', get: (m) => m.consecutiveFailures,
        prom: { name: 'fenlo_member_consecutive_failures', kind: 'gauge', help: 'failed polls since the last accepted one' } },
    { key: 'LastPollDuration', spb: 'Last Poll Duration', type: 'Double', get: (m) => m.lastPollMicros / US_PER_MS,
        prom: { name: 'fenlo_member_last_poll_seconds', kind: 'gauge', help: 'bus time of the last poll, its pauses included', scale: (v) => v / 1000 } },
    { key: 'WritesAcknowledged', spb: 'Writes Acknowledged', type: 'UInt64', get: (m) => m.writesAcknowledged,
        prom: { name: 'fenlo_member_writes_acknowledged_total', kind: 'counter', help: 'writes sent and acknowledged' } },
    { key: 'WritesRefused', spb: 'Writes Refused', type: 'UInt64', get: (m) => m.writesRefused,
        prom: { name: 'fenlo_member_writes_refused_total', kind: 'counter', help: 'writes not sent' } },
    { key: 'WritesUnacknowledged', spb: 'Writes Unacknowledged', type: 'UInt64', get: (m) => m.writesUnacknowledged,
        prom: { name: 'fenlo_member_writes_unacknowledged_total', kind: 'counter', help: 'writes sent without an answer, or with the port not openable' } },
];

const STATES = ['Good', 'Uncertain', 'Bad'];

// The device name of a member, as in the plug-in's namespace.
const memberName = (address) => `ADR${String(address).padStart(2, '0')}`;

// Sparkplug metrics of `figures` for `status`, named PREFIX/NAME; with `last` (a Map of what
// was published), only the figures that changed since, and `last` is brought up to date.
function sparkplugMetrics(figures, prefix, status, last = null, timestamp = undefined) {
    const metrics = [];
    for (const f of figures) {
        const value = f.get(status);
        const name = `${prefix}/${f.spb}`;
        if (last) {
            if (last.has(name) && Object.is(last.get(name), value)) continue;
            last.set(name, value);
        }
        metrics.push({ name, type: f.type, value, timestamp });
    }
    return metrics;
}

module.exports = { BUS_FIGURES, MEMBER_FIGURES, STATES, memberName, sparkplugMetrics };
