'use strict';
// The record layout and type numbers of include/fenlodrv/plugin_abi.h, and the values of a
// VARIANT as JS numbers.

const RECORD_SIZE = 50;
const OFF_COMPLETION = 12;
const OFF_VALUE = 20; // VARIANT: type at +0, value at +8
const OFF_QUALITY = 36;
const OFF_TIMESTAMP = 38;
const OFF_USERDATA = 46;

const VT_EMPTY = 0;
const VT_I2 = 2;
const VT_I4 = 3;
const VT_R4 = 4;
const VT_R8 = 5;
const VT_BSTR = 8;
const VT_BOOL = 11;
const VT_UI1 = 17;
const VT_UI2 = 18;
const VT_UI4 = 19;

const ACCESS_READ = 1;
const ACCESS_WRITE = 2;
const READ = 0;
const WRITE = 1;
const QUALITY_GOOD = 192;

// What became of a write record, in its quality field: the host presets WRITE_PENDING, and a
// plug-in that gives no verdict leaves it there.
const WRITE_PENDING = 0xffff;
const WRITE_ACKNOWLEDGED = 192;
const WRITE_NOT_WRITABLE = 4;
const WRITE_NOT_STORED = 12;
const WRITE_OUT_OF_RANGE = 16;
const WRITE_TYPE_MISMATCH = 20;
const WRITE_NO_COMMUNICATION = 24;

// 100 ns ticks from 1601-01-01 to 1970-01-01, in milliseconds (it is a whole number of them).
const EPOCH_OFFSET_MS = 11644473600000;
// 2^32 ticks = TICKS_HI_MS ms + TICKS_HI_REST ticks.
const TICKS_HI_MS = 429496;
const TICKS_HI_REST = 7296;

// The readers below take a DataView of the records: a read batch decodes every record, and
// DataView's accessors cost a fraction of Buffer's.

// A FILETIME as milliseconds since 1970 (whole ones, towards 1970), null for none. Computed
// exactly in doubles from the two halves.
function fileTimeToMs(data, at) {
    const lo = data.getUint32(at, true);
    const hi = data.getUint32(at + 4, true);
    if (lo === 0 && hi === 0) return null;
    const rest = hi * TICKS_HI_REST + lo; // < 2^45: exact
    const ms = hi * TICKS_HI_MS + Math.floor(rest / 10000) - EPOCH_OFFSET_MS;
    return ms < 0 && rest % 10000 !== 0 ? ms + 1 : ms;
}

function readVariantNumber(data, at, vt) {
    const v = at + 8;
    switch (vt) {
        case VT_I2: return data.getInt16(v, true);
        case VT_I4: return data.getInt32(v, true);
        case VT_R4: return data.getFloat32(v, true);
        case VT_R8: return data.getFloat64(v, true);
        case VT_BOOL: return data.getInt16(v, true) !== 0;
        case VT_UI1: return data.getUint8(v);
        case VT_UI2: return data.getUint16(v, true);
        case VT_UI4: return data.getUint32(v, true);
        default: return null;
    }
}

// Stores `value` (already checked against the type) as a VARIANT of type `vt`.
function writeVariantNumber(view, at, vt, value) {
    const v = at + 8;
    switch (vt) {
        case VT_I2: view.writeInt16LE(value, v); break;
        case VT_I4: view.writeInt32LE(value, v); break;
        case VT_R4: view.writeFloatLE(value, v); break;
        case VT_R8: view.writeDoubleLE(value, v); break;
        // VARIANT_TRUE, as OLE hosts pass it.
        case VT_BOOL: view.writeInt16LE(value ? -1 : 0, v); break;
        case VT_UI1: view.writeUInt8(value, v); break;
        case VT_UI2: view.writeUInt16LE(value, v); break;
        case VT_UI4: view.writeUInt32LE(value, v); break;
        default: throw new Error(`items of type ${vt} cannot be written`);
    }
}

module.exports = {
    RECORD_SIZE, OFF_COMPLETION, OFF_VALUE, OFF_QUALITY, OFF_TIMESTAMP, OFF_USERDATA,
    VT_EMPTY, VT_I2, VT_I4, VT_R4, VT_R8, VT_BSTR, VT_BOOL, VT_UI1, VT_UI2, VT_UI4,
    ACCESS_READ, ACCESS_WRITE, READ, WRITE, QUALITY_GOOD,
    WRITE_PENDING, WRITE_ACKNOWLEDGED, WRITE_NOT_WRITABLE, WRITE_NOT_STORED, WRITE_OUT_OF_RANGE,
    WRITE_TYPE_MISMATCH, WRITE_NO_COMMUNICATION,
    fileTimeToMs, readVariantNumber, writeVariantNumber,
};
