'use strict';
// The plug-in's namespace as OPC UA nodes: one folder per AddNode, one variable per AddTag,
// scaling properties as properties of their tag; reads of one event-loop turn as one batch,
// writes through one queue.

const {
    AccessLevelFlag, AttributeIds, DataType, DataValue, NodeIdType, ReadValueId, StatusCodes,
    VariantArrayType,
} = require('node-opcua');
const abi = require('./abi');
const { statusOfQuality } = require('./quality');
const { WriteQueue } = require('./writes');

const DATA_TYPES = new Map([
    [abi.VT_I2, DataType.Int16],
    [abi.VT_I4, DataType.Int32],
    [abi.VT_R4, DataType.Float],
    [abi.VT_R8, DataType.Double],
    [abi.VT_BSTR, DataType.String],
    [abi.VT_BOOL, DataType.Boolean],
    [abi.VT_UI1, DataType.Byte],
    [abi.VT_UI2, DataType.UInt16],
    [abi.VT_UI4, DataType.UInt32],
]);

const INTEGER_RANGES = new Map([
    [abi.VT_I2, [-32768, 32767]],
    [abi.VT_I4, [-2147483648, 2147483647]],
    [abi.VT_UI1, [0, 255]],
    [abi.VT_UI2, [0, 65535]],
    [abi.VT_UI4, [0, 4294967295]],
]);
const INTEGER_RANGES_BY_DATA_TYPE = new Map(
    [...INTEGER_RANGES].map(([vt, range]) => [DATA_TYPES.get(vt), range]));
const FLOAT_MAX = 3.4028234663852886e38;

// The scaling properties that the plug-in registers right before their tag.
const PROPERTY_SUFFIXES = ['start', 'end', 'unit', 'format', 'factor', 'name'];
const PROPERTY_PATTERN = new RegExp(`^(.+)_(${PROPERTY_SUFFIXES.join('|')})$`);

function dataTypeOf(vt) {
    return DATA_TYPES.get(vt) ?? DataType.Variant;
}

function accessLevelOf(access) {
    let level = 0;
    if (access & abi.ACCESS_READ) level |= AccessLevelFlag.CurrentRead;
    if (access & abi.ACCESS_WRITE) level |= AccessLevelFlag.CurrentWrite;
    return level;
}

// Tags that are scaling properties of the tag that follows them: {propertyPath -> ownerPath}.
function findScalingProperties(events) {
    const owners = new Map();
    for (let i = 0; i < events.length; i++) {
        const e = events[i];
        if (e.kind !== 'tag') continue;
        const m = PROPERTY_PATTERN.exec(e.name);
        if (!m) continue;
        // The owner is the next tag of the same folder that is not a property of it.
        for (let j = i + 1; j < events.length; j++) {
            const next = events[j];
            if (next.kind !== 'tag' || next.parentPath !== e.parentPath) break;
            const n = PROPERTY_PATTERN.exec(next.name);
            if (n && n[1] === m[1]) continue;
            if (next.name === m[1]) owners.set(e.path, { owner: next.path, property: m[2] });
            break;
        }
    }
    return owners;
}

// A value the plug-in reported, as the variable's data type holds it; undefined when it cannot.
function coerceRead(dataType, value) {
    if (value === null || value === undefined) return undefined;
    switch (dataType) {
        case DataType.String:
            return String(value);
        case DataType.Boolean:
            return typeof value === 'boolean' ? value : Number(value) !== 0;
        case DataType.Variant:
            return undefined;
        case DataType.Float:
        case DataType.Double:
            return Number(value);
        default: {
            // An integer type holds the whole part, and only within its range.
            const n = Math.trunc(Number(value));
            const range = INTEGER_RANGES_BY_DATA_TYPE.get(dataType);
            return Number.isFinite(n) && (!range || (n >= range[0] && n <= range[1])) ? n : undefined;
        }
    }
}

// Checks a written value against the item's registered type: a status code, Good when it fits.
function checkWrite(item, variant) {
    if (!variant || variant.arrayType !== VariantArrayType.Scalar) return StatusCodes.BadTypeMismatch;
    const v = variant.value;
    switch (item.vt) {
        case abi.VT_BSTR:
            if (v !== null && typeof v !== 'string') return StatusCodes.BadTypeMismatch;
            // The plug-in's texts end at a NUL: a text with one inside cannot be held.
            return v !== null && v.includes('\0') ? StatusCodes.BadOutOfRange : StatusCodes.Good;
        case abi.VT_BOOL:
            return typeof v === 'boolean' ? StatusCodes.Good : StatusCodes.BadTypeMismatch;
        case abi.VT_R4:
            if (typeof v !== 'number') return StatusCodes.BadTypeMismatch;
            return Number.isFinite(v) && Math.abs(v) <= FLOAT_MAX ? StatusCodes.Good : StatusCodes.BadOutOfRange;
        case abi.VT_R8:
            if (typeof v !== 'number') return StatusCodes.BadTypeMismatch;
            return Number.isFinite(v) ? StatusCodes.Good : StatusCodes.BadOutOfRange;
        default: {
            const range = INTEGER_RANGES.get(item.vt);
            if (!range) return StatusCodes.BadNotWritable;
            if (typeof v !== 'number') return StatusCodes.BadTypeMismatch;
            return Number.isInteger(v) && v >= range[0] && v <= range[1]
                ? StatusCodes.Good : StatusCodes.BadOutOfRange;
        }
    }
}

class ReadBatcher {
    // Values asked for one by one (a subscription's sampling) go to the plug-in together: every
    // request of one event-loop turn in one read batch. A Read of many variables does not wait
    // for the turn to end: it is one batch of its own (readNow).
    constructor(plugin, trace) {
        this.plugin = plugin;
        this.trace = trace;
        this.pending = [];
        this.scheduled = false;
        this.closed = false;
    }

    get(item, callback) {
        if (this.closed) {
            callback(null, new DataValue({ statusCode: StatusCodes.BadServerHalted }));
            return;
        }
        this.pending.push({ item, callback });
        if (!this.scheduled) {
            this.scheduled = true;
            setImmediate(() => this.flush());
        }
    }

    flush() {
        this.scheduled = false;
        const requests = this.pending;
        this.pending = [];
        if (requests.length === 0) return;
        const values = this.readNow(requests.map((r) => r.item));
        for (let i = 0; i < requests.length; i++) requests[i].callback(null, values[i]);
    }

    // One read batch of the plug-in for `items`: one DataValue each, in their order. `cause`
    // goes into the trace line (the batches that follow a poll say so).
    readNow(items, cause = '') {
        const count = items.length;
        const values = new Array(count);
        let results;
        try {
            if (this.closed) throw new Error('the plug-in is stopped');
            this.trace?.(`read batch of ${count} records${cause}`);
            results = this.plugin.read(items);
        } catch (e) {
            for (let i = 0; i < count; i++) values[i] = statusOnly(StatusCodes.BadInternalError);
            return values;
        }
        const serverTimestamp = new Date();
        // Records of one member carry the same source time: one Date for a run of them.
        let sourceMs = null;
        let sourceTimestamp = serverTimestamp;
        for (let i = 0; i < count; i++) {
            const result = results[i];
            if (result.sourceMs !== sourceMs) {
                sourceMs = result.sourceMs;
                sourceTimestamp = sourceMs === null ? serverTimestamp : new Date(sourceMs);
            }
            values[i] = toDataValue(items[i], result, sourceTimestamp, serverTimestamp);
        }
        return values;
    }
}

function statusOnly(statusCode) {
    const dataValue = new DataValue(null);
    dataValue.statusCode = statusCode;
    return dataValue;
}

// Per quality of the plug-in: its status code, and whether the value goes with it (it does
// with Good and Uncertain ones).
const STATUS_OF_QUALITY = new Map();
function qualityStatus(quality) {
    let known = STATUS_OF_QUALITY.get(quality);
    if (known === undefined) {
        const statusCode = statusOfQuality(quality);
        known = { statusCode, withValue: !statusCode.isNotGood() || statusCode.name.startsWith('Uncertain') };
        STATUS_OF_QUALITY.set(quality, known);
    }
    return known;
}

// The DataValue is filled in field by field: the constructors' generic checks and copies cost
// more than everything else of a value's way, and coerceRead has already made the value fit.
function toDataValue(item, result, sourceTimestamp, serverTimestamp) {
    const dataValue = new DataValue(null); // its value: a Variant of DataType Null
    const { statusCode, withValue } = qualityStatus(result.quality);
    dataValue.statusCode = statusCode;
    if (withValue) {
        const coerced = coerceRead(item.dataType, result.value);
        if (coerced !== undefined) {
            dataValue.value.dataType = item.dataType;
            dataValue.value.value = coerced;
        } else if (item.dataType !== DataType.Variant) {
            dataValue.statusCode = StatusCodes.BadDataUnavailable;
        }
    }
    dataValue.sourceTimestamp = sourceTimestamp;
    dataValue.serverTimestamp = serverTimestamp;
    return dataValue;
}

// Puts a value read from the plug-in into its variable. A change of value or status tells the
// variable's monitored items, whichever read brought it: a client's Read or the one after a poll.
function storeValue(node, dataValue) {
    const old = node.$dataValue;
    node.$dataValue = dataValue;
    if (!old || old.statusCode !== dataValue.statusCode || !sameValue(old.value, dataValue.value)) {
        node.emit('value_changed', dataValue.clone());
    }
}

function sameValue(a, b) {
    return a.dataType === b.dataType && Object.is(a.value, b.value);
}

// The server refreshes the variables of a Read before it answers it, by default one variable at
// a time through its getter. For the variables of this namespace that is replaced by one read
// batch of the plug-in for the whole Read, straight into the variables' values; the server
// then answers from them as it does for any variable. Other nodes and HistoryReads take the
// server's own way. A variable whose value the client allows to be maxAge old and that is
// younger keeps it, as with the server's own refresh.
function readInOneBatch(engine, namespaceIndex, items, reads) {
    const refreshOthers = engine.refreshValues.bind(engine);
    let readCount = 0;
    engine.refreshValues = (nodesToRead, maxAge, callback) => {
        const mark = ++readCount;
        const batch = [];
        const others = [];
        const oldest = maxAge > 0 ? Date.now() - maxAge : Infinity;
        for (const nodeToRead of nodesToRead) {
            const { nodeId } = nodeToRead;
            const item = nodeToRead instanceof ReadValueId && nodeToRead.attributeId === AttributeIds.Value &&
                nodeId.namespace === namespaceIndex && nodeId.identifierType === NodeIdType.STRING
                ? items.get(nodeId.value) : undefined;
            if (item === undefined || item.node === null) {
                others.push(nodeToRead);
                continue;
            }
            if (item.readMark === mark) continue; // the same variable twice in one Read
            item.readMark = mark;
            if (maxAge > 0) {
                const held = item.node.$dataValue.serverTimestamp;
                if (held && held.getTime() >= oldest) continue;
            }
            batch.push(item);
        }
        if (batch.length > 0) {
            const values = reads.readNow(batch);
            for (let i = 0; i < batch.length; i++) storeValue(batch[i].node, values[i]);
        }
        if (others.length > 0) refreshOthers(others, maxAge, callback);
        else callback(null, []);
    };
}

// Builds the nodes under the Objects folder. Returns {folders, variables, items, reads, writes}.
function buildAddressSpace({ namespace, objectsFolder, events, plugin, readOnly, trace, log }) {
    const properties = findScalingProperties(events);
    const items = new Map(); // path -> item
    const nodes = new Map(); // path -> folder or variable node
    const reads = new ReadBatcher(plugin, trace);

    const readSync = (item) => plugin.read([item])[0];
    // Rules the plug-in applies to scaling properties without telling its host: refused here
    // with a status instead of being silently dropped.
    const checkRules = (item, value, overlay) => {
        if (!item.property) return StatusCodes.Good;
        const sibling = (suffix) => {
            const owner = items.get(item.owner);
            const path = owner && owner.propertyPaths[suffix];
            if (!path) return undefined;
            if (overlay.has(path)) return overlay.get(path);
            const r = readSync(items.get(path));
            return typeof r.value === 'number' ? r.value : undefined;
        };
        if (item.property === 'factor' && value === 0) return StatusCodes.BadOutOfRange;
        if (item.property === 'start') {
            const end = sibling('end');
            if (end !== undefined && !(value < end)) return StatusCodes.BadOutOfRange;
        }
        if (item.property === 'end') {
            const start = sibling('start');
            if (start !== undefined && !(value > start)) return StatusCodes.BadOutOfRange;
        }
        return StatusCodes.Good;
    };
    const writes = new WriteQueue(plugin, { trace, log, checkRules });
    // The session whose Write is being handled: the setters run within its writeAttribute.
    let writer = '';

    const makeVariable = (e, parentNode, propertyOf) => {
        const dataType = dataTypeOf(e.vt);
        const item = {
            path: e.path, vt: e.vt, handle: e.handle, access: e.access, dataType,
            property: propertyOf ? properties.get(e.path).property : null,
            owner: propertyOf ? properties.get(e.path).owner : null,
            propertyPaths: {},
            node: null, // its variable
            readMark: 0, // the last Read that took it into its batch
        };
        items.set(e.path, item);
        const accessLevel = accessLevelOf(e.access);
        const userAccessLevel = readOnly ? accessLevel & ~AccessLevelFlag.CurrentWrite : accessLevel;
        const options = {
            nodeId: `s=${e.path}`,
            browseName: e.name,
            dataType,
            accessLevel,
            userAccessLevel,
            minimumSamplingInterval: 100,
            value: {
                timestamped_get: (callback) => reads.get(item, callback),
                timestamped_set: (dataValue, callback) => {
                    const status = checkWrite(item, dataValue.value);
                    if (status !== StatusCodes.Good) {
                        callback(null, status);
                        return;
                    }
                    writes.push(item, dataValue.value.value ?? '', callback, writer);
                },
            },
        };
        if (propertyOf) {
            options.propertyOf = propertyOf;
            options.typeDefinition = 'PropertyType';
        } else {
            options.organizedBy = parentNode;
        }
        const variable = namespace.addVariable(options);
        const writeAttribute = variable.writeAttribute;
        variable.writeAttribute = function (context, writeValue, callback) {
            const dv = writeValue.value;
            // The value is what the member holds: its status and time stamps are not written.
            // (A write the user may not make is refused for that first.)
            if (writeValue.attributeId === AttributeIds.Value && dv &&
                this.isWritable(context) && this.isUserWritable(context) &&
                (dv.sourceTimestamp || dv.serverTimestamp || (dv.statusCode && dv.statusCode.value !== 0))) {
                callback(null, StatusCodes.BadWriteNotSupported);
                return;
            }
            writer = context?.session?.nodeId?.toString() ?? '';
            try {
                writeAttribute.call(this, context, writeValue, callback);
            } finally {
                writer = '';
            }
        };
        item.node = variable;
        nodes.set(e.path, variable);
        return variable;
    };

    let folderCount = 0;
    let variableCount = 0;
    const parentOf = (e) => (e.parentPath === null ? objectsFolder : nodes.get(e.parentPath) ?? objectsFolder);
    const heldProperties = new Map(); // owner path -> property events seen before it
    for (const e of events) {
        if (e.kind === 'node') {
            // The same path twice names the same folder.
            if (!nodes.has(e.path)) {
                nodes.set(e.path, namespace.addFolder(parentOf(e), { nodeId: `s=${e.path}`, browseName: e.name }));
                folderCount++;
            }
            continue;
        }
        if (nodes.has(e.path)) continue; // the first registration of a path wins, as in fenlo-host
        const prop = properties.get(e.path);
        if (prop) {
            if (!heldProperties.has(prop.owner)) heldProperties.set(prop.owner, []);
            heldProperties.get(prop.owner).push(e);
            continue;
        }
        const variable = makeVariable(e, parentOf(e), null);
        variableCount++;
        for (const pe of heldProperties.get(e.path) ?? []) {
            makeVariable(pe, null, variable);
            items.get(e.path).propertyPaths[properties.get(pe.path).property] = pe.path;
            variableCount++;
        }
        heldProperties.delete(e.path);
    }
    return { folderCount, variableCount, items, reads, writes };
}

module.exports = { buildAddressSpace, readInOneBatch, storeValue, findScalingProperties, checkWrite, dataTypeOf };
