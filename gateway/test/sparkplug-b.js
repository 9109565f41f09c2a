'use strict';
// Sparkplug B payloads written from the Sparkplug B schema (field numbers and data type
// numbers), with no Sparkplug library: what the edge-node tests read and send. A metric that
// comes by alias alone is named, and typed, by what the births told (`known`: alias -> {name,
// datatype}), as a host application does.

// Data types by number.
const TYPES = [
    'Unknown', 'Int8', 'Int16', 'Int32', 'Int64', 'UInt8', 'UInt16', 'UInt32', 'UInt64', 'Float',
    'Double', 'Boolean', 'String', 'DateTime', 'Text',
];
const TYPE = Object.fromEntries(TYPES.map((name, i) => [name, i]));

// Where each type's value goes: Metric field / PropertyValue field.
function valueField(datatype) {
    if ([1, 2, 3, 5, 6, 7].includes(datatype)) return { name: 'int_value', metric: 10, property: 3 };
    if ([4, 8, 13].includes(datatype)) return { name: 'long_value', metric: 11, property: 4 };
    if (datatype === 9) return { name: 'float_value', metric: 12, property: 5 };
    if (datatype === 10) return { name: 'double_value', metric: 13, property: 6 };
    if (datatype === 11) return { name: 'boolean_value', metric: 14, property: 7 };
    if (datatype === 12 || datatype === 14) return { name: 'string_value', metric: 15, property: 8 };
    throw new Error(`data type ${datatype} has no value field here`);
}

// Protocol buffer wire format: [{field, wire, value}] of one message (varints as BigInt,
// fixed32/fixed64 and length-delimited as their bytes).
function fields(bytes) {
    const out = [];
    let at = 0;
    const varint = () => {
        let v = 0n;
        let shift = 0n;
        for (;;) {
            if (at >= bytes.length) throw new Error('truncated varint');
            const b = bytes[at++];
            v |= BigInt(b & 0x7f) << shift;
            if (!(b & 0x80)) return v;
            shift += 7n;
        }
    };
    while (at < bytes.length) {
        const key = Number(varint());
        const field = key >>> 3;
        const wire = key & 7;
        let value;
        if (wire === 0) value = varint();
        else if (wire === 1) value = bytes.subarray(at, (at += 8));
        else if (wire === 5) value = bytes.subarray(at, (at += 4));
        else if (wire === 2) {
            const n = Number(varint());
            value = bytes.subarray(at, (at += n));
        } else throw new Error(`wire type ${wire} at byte ${at}`);
        out.push({ field, wire, value });
    }
    return out;
}

const text = (b) => Buffer.from(b).toString('utf8');
const num = (v) => (v <= BigInt(Number.MAX_SAFE_INTEGER) ? Number(v) : v);
const f32 = (b) => Buffer.from(b).readFloatLE(0);
const f64 = (b) => Buffer.from(b).readDoubleLE(0);

// A value by its type from the field it arrived in: {value, field}.
function typedValue(datatype, present) {
    const slot = valueField(datatype);
    const raw = present.get(slot.name);
    if (raw === undefined) return { value: undefined, field: [...present.keys()][0] ?? null };
    let value;
    if (slot.name === 'int_value') {
        const u = Number(raw & 0xffffffffn);
        value = [1, 2, 3].includes(datatype) ? u | 0 : u;
    } else if (slot.name === 'long_value') {
        value = datatype === TYPE.Int64 ? num(BigInt.asIntN(64, raw)) : num(raw);
    } else if (slot.name === 'float_value') value = f32(raw);
    else if (slot.name === 'double_value') value = f64(raw);
    else if (slot.name === 'boolean_value') value = raw !== 0n;
    else value = text(raw);
    return { value, field: slot.name };
}

const METRIC_VALUE_FIELDS = { 10: 'int_value', 11: 'long_value', 12: 'float_value', 13: 'double_value', 14: 'boolean_value', 15: 'string_value' };
const PROPERTY_VALUE_FIELDS = { 3: 'int_value', 4: 'long_value', 5: 'float_value', 6: 'double_value', 7: 'boolean_value', 8: 'string_value' };

function decodePropertyValue(bytes) {
    let datatype = 0;
    let isNull = false;
    const present = new Map();
    for (const f of fields(bytes)) {
        if (f.field === 1) datatype = Number(f.value);
        else if (f.field === 2) isNull = f.value !== 0n;
        else if (PROPERTY_VALUE_FIELDS[f.field]) present.set(PROPERTY_VALUE_FIELDS[f.field], f.value);
    }
    const { value, field } = isNull ? { value: null, field: null } : typedValue(datatype, present);
    return { type: TYPES[datatype], datatype, value, field };
}

function decodeMetric(bytes, known) {
    const m = { name: undefined, datatype: 0, isNull: false };
    const present = new Map();
    const keys = [];
    const values = [];
    for (const f of fields(bytes)) {
        if (f.field === 1) m.name = text(f.value);
        else if (f.field === 2) m.alias = num(f.value);
        else if (f.field === 3) m.timestamp = num(f.value);
        else if (f.field === 4) m.datatype = Number(f.value);
        else if (f.field === 7) m.isNull = f.value !== 0n;
        else if (f.field === 9) {
            for (const p of fields(f.value)) {
                if (p.field === 1) keys.push(text(p.value));
                else if (p.field === 2) values.push(decodePropertyValue(p.value));
            }
        } else if (METRIC_VALUE_FIELDS[f.field]) present.set(METRIC_VALUE_FIELDS[f.field], f.value);
    }
    m.typed = m.datatype !== 0; // the data type came with the metric
    const birth = m.alias === undefined ? undefined : known?.get(m.alias);
    if (birth) {
        m.named = m.name !== undefined;
        m.name ??= birth.name;
        if (!m.typed) m.datatype = birth.datatype;
    }
    m.type = TYPES[m.datatype];
    m.fields = [...present.keys()];
    if (m.isNull) m.value = null;
    else if (m.datatype === 0) m.value = undefined; // an alias no birth told: nothing to read it as
    else Object.assign(m, typedValue(m.datatype, present));
    if (keys.length) m.properties = Object.fromEntries(keys.map((k, i) => [k, values[i]]));
    return m;
}

// Payload: 1 timestamp, 2 metrics, 3 seq.
function decodePayload(bytes, known = null) {
    const payload = { metrics: [] };
    for (const f of fields(bytes)) {
        if (f.field === 1) payload.timestamp = num(f.value);
        else if (f.field === 2) payload.metrics.push(decodeMetric(f.value, known));
        else if (f.field === 3) payload.seq = num(f.value);
    }
    return payload;
}

function varintBytes(v) {
    let n = BigInt.asUintN(64, BigInt(v));
    const out = [];
    do {
        let b = Number(n & 0x7fn);
        n >>= 7n;
        if (n) b |= 0x80;
        out.push(b);
    } while (n);
    return out;
}
const tag = (field, wire) => varintBytes((field << 3) | wire);
const lengthDelimited = (field, bytes) => [...tag(field, 2), ...varintBytes(bytes.length), ...bytes];

// A command metric {name?, alias?, type, typed?, value, field?}: the value in the field its type
// has, or in `field` ('int_value' or 'long_value') to send it the way some host does; the data
// type is left out when `typed` is false (by alias, as Sparkplug recommends).
function encodeMetric({ name, alias, type, typed = true, value, field }) {
    const datatype = TYPE[type];
    const out = [];
    if (name !== undefined) out.push(...lengthDelimited(1, [...Buffer.from(name, 'utf8')]));
    if (alias !== undefined) out.push(...tag(2, 0), ...varintBytes(alias));
    if (typed) out.push(...tag(4, 0), ...varintBytes(datatype));
    const slot = field ?? valueField(datatype).name;
    if (slot === 'int_value') out.push(...tag(10, 0), ...varintBytes(Number(value) >>> 0));
    else if (slot === 'long_value') out.push(...tag(11, 0), ...varintBytes(value));
    else if (slot === 'float_value') {
        const b = Buffer.alloc(4);
        b.writeFloatLE(value);
        out.push(...tag(12, 5), ...b);
    } else if (slot === 'double_value') {
        const b = Buffer.alloc(8);
        b.writeDoubleLE(value);
        out.push(...tag(13, 1), ...b);
    } else if (slot === 'boolean_value') out.push(...tag(14, 0), value ? 1 : 0);
    else out.push(...lengthDelimited(15, [...Buffer.from(String(value), 'utf8')]));
    return out;
}

function encodePayload({ timestamp = Date.now(), metrics = [] }) {
    const out = [...tag(1, 0), ...varintBytes(timestamp)];
    for (const m of metrics) out.push(...lengthDelimited(2, encodeMetric(m)));
    return Buffer.from(out);
}

module.exports = { decodePayload, encodePayload, valueField, TYPE, TYPES };
