'use strict';
// The health of the bus and of each configured member as OPC UA variables, in a namespace of
// their own so that the plug-in's namespace stays exactly its tree: Objects/Diagnostics/Bus
// and Objects/Diagnostics/ADRnn, refreshed after every poll and once a second.

const { AccessLevelFlag, DataType, StatusCodes, Variant, VariantArrayType } = require('node-opcua');
const { BUS_FIGURES, MEMBER_FIGURES, memberName } = require('./figures');

const NAMESPACE_URI = 'urn:korvex:fenlo-opcua:diagnostics';
const REFRESH_MS = 1000;

const DATA_TYPES = {
    String: DataType.String, Boolean: DataType.Boolean, Double: DataType.Double,
    Int32: DataType.Int32, UInt32: DataType.UInt32, UInt64: DataType.UInt64, DateTime: DataType.DateTime,
};

// node-opcua holds a UInt64 as [high, low]; "never" is OPC UA's null DateTime (1601-01-01).
const TWO_32 = 2 ** 32;
const NULL_DATE = new Date(Date.UTC(1601, 0, 1));
function uaValue(type, value) {
    if (value === null || value === undefined) return NULL_DATE;
    if (type === 'UInt64') return [Math.floor(value / TWO_32), value % TWO_32];
    if (type === 'DateTime') return new Date(value);
    return value;
}

class Diagnostics {
    constructor({ addressSpace, ext, addresses }) {
        this.ext = ext;
        this.namespace = addressSpace.registerNamespace(NAMESPACE_URI);
        const ns = this.namespace;
        const folder = ns.addFolder(addressSpace.rootFolder.objects, { nodeId: 's=Diagnostics', browseName: 'Diagnostics' });
        this.bus = this.addObject(folder, 'Bus', BUS_FIGURES);
        this.members = new Map();
        for (const a of addresses) this.members.set(a, this.addObject(folder, memberName(a), MEMBER_FIGURES));
        this.timer = null;
    }

    addObject(folder, name, figures) {
        const object = this.namespace.addObject({ organizedBy: folder, nodeId: `s=${name}`, browseName: name });
        const variables = figures.map((f) => ({
            figure: f,
            last: undefined,
            node: this.namespace.addVariable({
                componentOf: object,
                nodeId: `s=${name}.${f.key}`,
                browseName: f.key,
                dataType: DATA_TYPES[f.type],
                // The plug-in's figures: nobody writes them.
                accessLevel: AccessLevelFlag.CurrentRead,
                userAccessLevel: AccessLevelFlag.CurrentRead,
                minimumSamplingInterval: 0,
            }),
        }));
        return { object, variables };
    }

    update(entry, status) {
        if (!status) return;
        for (const v of entry.variables) {
            const value = v.figure.get(status);
            if (v.last !== undefined && Object.is(v.last, value)) continue;
            v.last = value;
            const dataType = DATA_TYPES[v.figure.type];
            const ua = uaValue(v.figure.type, value);
            v.node.setValueFromSource(new Variant({ dataType, arrayType: VariantArrayType.Scalar, value: ua }), StatusCodes.Good);
        }
    }

    refresh(memberStatuses = null) {
        this.update(this.bus, this.ext.bus());
        if (memberStatuses) {
            for (const m of memberStatuses) if (this.members.has(m.address)) this.update(this.members.get(m.address), m);
            return;
        }
        for (const [a, entry] of this.members) this.update(entry, this.ext.member(a));
    }

    // Follows the polls of `watcher`, and refreshes everything once a second besides.
    start(watcher) {
        this.refresh();
        watcher?.on('poll', ({ members }) => this.refresh(members));
        this.timer = setInterval(() => this.refresh(), REFRESH_MS);
        this.timer.unref();
    }

    stop() {
        clearInterval(this.timer);
    }
}

module.exports = { Diagnostics, NAMESPACE_URI };
