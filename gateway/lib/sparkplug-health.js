'use strict';
// The health figures as Sparkplug metrics: the bus's as node metrics (Bus/...), each member's as
// metrics of its device (Diagnostics/...). Births carry all of them; afterwards a figure is
// sent only when it changed (report by exception).

const { BUS_FIGURES, MEMBER_FIGURES, memberName, sparkplugMetrics } = require('./figures');

class SparkplugHealth {
    constructor(ext) {
        this.ext = ext;
        this.nodeSent = new Map();
        this.deviceSent = new Map(); // device name -> Map of what was sent
    }

    static addressOf(device) {
        const m = /^ADR(\d{2})$/.exec(device);
        return m ? Number(m[1]) : -1;
    }

    nodeBirth() {
        this.nodeSent = new Map();
        const bus = this.ext.bus();
        return bus ? sparkplugMetrics(BUS_FIGURES, 'Bus', bus, this.nodeSent) : [];
    }

    // The bus figures that changed since they were last sent.
    nodeChanges(bus = this.ext.bus()) {
        return bus ? sparkplugMetrics(BUS_FIGURES, 'Bus', bus, this.nodeSent) : [];
    }

    deviceBirth(device) {
        const sent = new Map();
        this.deviceSent.set(device, sent);
        const address = SparkplugHealth.addressOf(device);
        const status = address < 0 ? null : this.ext.member(address);
        return status ? sparkplugMetrics(MEMBER_FIGURES, 'Diagnostics', status, sent) : [];
    }

    // The member figures of `device` that changed since they were last sent (`status`: the
    // member's status when the caller has it).
    deviceChanges(device, status = null) {
        const sent = this.deviceSent.get(device);
        if (!sent) return [];
        const address = SparkplugHealth.addressOf(device);
        status ??= address < 0 ? null : this.ext.member(address);
        return status && memberName(status.address) === device
            ? sparkplugMetrics(MEMBER_FIGURES, 'Diagnostics', status, sent) : [];
    }
}

module.exports = { SparkplugHealth };
