'use strict';
// Sparkplug B payloads as the Sparkplug B schema fills them: 8- to 32-bit integers, signed or not,
// in int_value (a protobuf uint32, negative numbers as their two's complement), only 64-bit
// ones in long_value. Commands are read from either field, since older hosts send 32-bit
// unsigned values in long_value. The protobuf messages are the ones sparkplug-payload
// generates from the Sparkplug B schema.

const { org } = require('sparkplug-payload/lib/sparkplugPayloadProto');

const { Payload } = org.eclipse.tahu.protobuf;
const { Metric, PropertySet, PropertyValue } = Payload;

const TYPE = {
    Int8: 1, Int16: 2, Int32: 3, Int64: 4, UInt8: 5, UInt16: 6, UInt32: 7, UInt64: 8,
    Float: 9, Double: 10, Boolean: 11, String: 12, DateTime: 13, Text: 14,
};
const SIGNED_32 = new Set([TYPE.Int8, TYPE.Int16, TYPE.Int32]);
const UNSIGNED_32 = new Set([TYPE.UInt8, TYPE.UInt16, TYPE.UInt32]);
const WIDE = new Set([TYPE.Int64, TYPE.UInt64, TYPE.DateTime]);

// Puts `value` of `datatype` into the field Sparkplug B names for it.
function setValue(target, datatype, value) {
    if (SIGNED_32.has(datatype) || UNSIGNED_32.has(datatype)) target.intValue = value >>> 0;
    else if (WIDE.has(datatype)) target.longValue = value;
    else if (datatype === TYPE.Float) target.floatValue = value;
    else if (datatype === TYPE.Double) target.doubleValue = value;
    else if (datatype === TYPE.Boolean) target.booleanValue = value;
    else if (datatype === TYPE.String || datatype === TYPE.Text) target.stringValue = value;
    else throw new Error(`no Sparkplug field for data type ${datatype}`);
}

const present = (v) => v !== null && v !== undefined;
const longNumber = (v, unsigned) => {
    if (typeof v === 'number') return v;
    const n = unsigned || v.unsigned ? v.toUnsigned().toNumber() : v.toSigned().toNumber();
    return n;
};

// The value of a decoded metric as a JS value; undefined when the field its type needs is
// missing (null stays for is_null).
function getValue(m) {
    if (m.isNull) return null;
    const t = m.datatype;
    if (SIGNED_32.has(t)) {
        if (present(m.intValue)) return m.intValue | 0;
        if (present(m.longValue)) return longNumber(m.longValue, false);
        return undefined;
    }
    if (UNSIGNED_32.has(t)) {
        if (present(m.intValue)) return m.intValue >>> 0;
        if (present(m.longValue)) return longNumber(m.longValue, true);
        return undefined;
    }
    if (WIDE.has(t)) return present(m.longValue) ? longNumber(m.longValue, t !== TYPE.Int64) : undefined;
    if (t === TYPE.Float) return present(m.floatValue) ? m.floatValue : undefined;
    if (t === TYPE.Double) return present(m.doubleValue) ? m.doubleValue : undefined;
    if (t === TYPE.Boolean) return present(m.booleanValue) ? m.booleanValue : undefined;
    if (t === TYPE.String || t === TYPE.Text) return present(m.stringValue) ? m.stringValue : undefined;
    return undefined;
}

function encodeProperties(properties) {
    const keys = [];
    const values = [];
    for (const [key, { type, value }] of Object.entries(properties)) {
        const datatype = TYPE[type];
        const pv = PropertyValue.create({ type: datatype });
        if (value === null || value === undefined) pv.isNull = true;
        else setValue(pv, datatype, value);
        keys.push(key);
        values.push(pv);
    }
    return PropertySet.create({ keys, values });
}

// {timestamp, seq?, metrics: [{name?, alias?, type, typeless?, value, isNull?, timestamp?,
// properties?}]} as bytes; properties: {key: {type, value}}. A metric without a name goes by its
// alias; a typeless one leaves its data type out (the birth gave it) but its value still goes
// into the field of `type`.
function encodePayload({ timestamp, seq, metrics = [] }) {
    const payload = Payload.create({ timestamp });
    if (seq !== undefined) payload.seq = seq;
    payload.metrics = metrics.map((m) => {
        const datatype = TYPE[m.type];
        if (datatype === undefined) throw new Error(`metric ${m.name ?? m.alias}: unknown Sparkplug type ${m.type}`);
        const metric = Metric.create();
        if (m.name !== undefined) metric.name = m.name;
        if (m.alias !== undefined) metric.alias = m.alias;
        if (!m.typeless) metric.datatype = datatype;
        if (m.timestamp !== undefined && m.timestamp !== null) metric.timestamp = m.timestamp;
        if (m.isNull || m.value === null || m.value === undefined) metric.isNull = true;
        else setValue(metric, datatype, m.value);
        if (m.properties) metric.properties = encodeProperties(m.properties);
        return metric;
    });
    return Payload.encode(payload).finish();
}

// A command's metrics: [{name, alias, datatype, metric}] (name, alias and datatype undefined when
// missing); commandValue(entry, datatype) reads its value. Throws on bytes that are no Sparkplug
// B payload.
function decodeCommand(bytes) {
    const payload = Payload.decode(bytes);
    return (payload.metrics ?? []).map((m) => ({
        name: present(m.name) && m.name !== '' ? m.name : undefined,
        alias: Object.prototype.hasOwnProperty.call(m, 'alias') ? longNumber(m.alias, true) : undefined,
        datatype: present(m.datatype) && m.datatype !== 0 ? m.datatype : undefined,
        metric: m,
    }));
}

// The value of a decoded command metric as `datatype` (a number of TYPE) holds it: the
// command's own data type when it gives one, else the one its birth named.
function commandValue(entry, datatype) {
    const view = Object.create(entry.metric);
    view.datatype = entry.datatype ?? datatype;
    return getValue(view);
}

module.exports = { encodePayload, decodeCommand, commandValue, TYPE };
