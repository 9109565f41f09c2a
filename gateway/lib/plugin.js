'use strict';
// The driver plug-in as this host sees it: the five exports of plugin_abi.h called through
// koffi, request batches as one native block of 50-byte records, texts through the
// OLE-automation library that the plug-in itself uses.

const fs = require('node:fs');
const path = require('node:path');
const koffi = require('koffi');
const abi = require('./abi');

const PLUGIN_FILE = process.platform === 'win32' ? 'fenlodrv.dll' : 'libfenlodrv.so';
const OLEAUTO_FILE = process.platform === 'win32' ? 'fenlo_oleauto.dll' : 'libfenlo_oleauto.so';

// The plug-in that belongs to the program: beside it, in the library folder of an installation
// (`binToLib` from the launcher, else ../lib), in ../driver in the build tree (the places
// fenlo-host looks).
function defaultPluginPath(programDir, binToLib = '../lib') {
    const candidates = [
        path.join(programDir, PLUGIN_FILE),
        path.join(programDir, binToLib || '../lib', PLUGIN_FILE),
        path.join(programDir, '..', 'driver', PLUGIN_FILE),
    ];
    return candidates.find((file) => fs.existsSync(file)) || candidates[0];
}

const ansiDecoder = (() => {
    try {
        return new TextDecoder('windows-1252');
    } catch {
        return new TextDecoder('latin1');
    }
})();

// A NUL-terminated text in the ANSI code page, as the plug-in passes names.
function ansiText(pointer) {
    if (pointer === null || pointer === 0n) return '';
    const bytes = [];
    for (let i = 0n; i < 4096n; i++) {
        const b = koffi.decode.uint8(pointer + i);
        if (b === 0) break;
        bytes.push(b);
    }
    return ansiDecoder.decode(Uint8Array.from(bytes));
}

class Plugin {
    // Loads the plug-in and its OLE-automation library; throws an Error naming the file and
    // what is wrong.
    constructor(file) {
        this.file = path.resolve(file);
        if (!fs.existsSync(this.file)) throw new Error(`cannot load plug-in ${this.file}: no such file`);
        // The plug-in's own copy of the text allocator: beside it, else where the loader finds it.
        const besideOleauto = path.join(path.dirname(this.file), OLEAUTO_FILE);
        try {
            this.oleauto = koffi.load(fs.existsSync(besideOleauto) ? besideOleauto : OLEAUTO_FILE);
            this.lib = koffi.load(this.file);
        } catch (e) {
            throw new Error(`cannot load plug-in ${this.file}: ${e.message}`);
        }
        const missing = [];
        const fn = (decl, name) => {
            try {
                return this.lib.func(decl);
            } catch {
                missing.push(name);
                return null;
            }
        };
        this.AddNode = koffi.proto(
            'int32_t SOXpSAddNode(uint32_t parent, void *name, void *newHandle)');
        this.AddTag = koffi.proto(
            'int32_t SOXpSAddTag(uint32_t parent, void *name, uint32_t valueType, uint32_t access, uint32_t userData, uint32_t reserved)');
        this._initialize = fn('void *SOXpSInitialize(uint32_t a, uint32_t b, uint32_t c)', 'SOXpSInitialize');
        this._build = fn(
            'int32_t SOXpSBuildDANameSpace(SOXpSAddNode *addNode, SOXpSAddTag *addTag, uint32_t unused)',
            'SOXpSBuildDANameSpace');
        this._start = fn('int32_t SOXpSStart()', 'SOXpSStart');
        this._stop = fn('int32_t SOXpSStop()', 'SOXpSStop');
        this._handle = fn(
            'int32_t SOXpSHandleDARequests(int32_t direction, uint32_t count, void *records)',
            'SOXpSHandleDARequests');
        if (missing.length) {
            throw new Error(`plug-in ${this.file} lacks the entry point(s) ${missing.join(', ')}`);
        }
        try {
            this.SysAllocStringLen = this.oleauto.func('void *SysAllocStringLen(const uint16_t *text, uint32_t length)');
            this.SysFreeString = this.oleauto.func('void SysFreeString(void *text)');
        } catch (e) {
            throw new Error(`cannot load plug-in ${this.file}: its ${OLEAUTO_FILE} lacks ${e.message}`);
        }
        this.readBlock = null; // reused native records of read batches
        this.readCapacity = 0;
        this.batchCount = { read: 0, write: 0 };
    }

    // SOXpSInitialize: the server description's texts.
    initialize() {
        const d = this._initialize(0, 0, 0);
        if (d === null || d === 0n) return null;
        const p = BigInt(koffi.sizeof('void *'));
        const textAt = (offset) => {
            const ptr = koffi.decode(d, Number(offset), 'void *');
            return ptr === null ? '' : ansiText(ptr);
        };
        return {
            progId: textAt(16n),
            description: textAt(16n + 2n * p),
            vendor: textAt(54n + 3n * p),
            versionText: textAt(58n + 4n * p),
        };
    }

    // SOXpSBuildDANameSpace: every callback in order, as fenlo-host browse lists them:
    // {kind:'node', path, parentPath} or {kind:'tag', path, parentPath, name, vt, access, handle}.
    buildNamespace() {
        const events = [];
        const branches = []; // branch handle h -> branches[h - 1]
        const pathOf = (parent, name) =>
            parent === 0 || parent > branches.length ? name : `${branches[parent - 1]}.${name}`;
        const parentPathOf = (parent) => (parent === 0 || parent > branches.length ? null : branches[parent - 1]);
        const onNode = (parent, namePtr, handlePtr) => {
            const name = ansiText(namePtr);
            const full = pathOf(parent, name);
            events.push({ kind: 'node', path: full, name, parentPath: parentPathOf(parent) });
            branches.push(full);
            if (handlePtr !== null && handlePtr !== 0n) koffi.encode(handlePtr, 'uint32_t', branches.length);
            return 0;
        };
        const onTag = (parent, namePtr, valueType, access, userData, reserved) => {
            const name = ansiText(namePtr);
            events.push({
                kind: 'tag', path: pathOf(parent, name), name, parentPath: parentPathOf(parent),
                vt: valueType & 0xffff, access, handle: userData >>> 0, reserved,
            });
            return 0;
        };
        // The callbacks live only as long as the build: transient callbacks fit.
        const result = this._build(onNode, onTag, 0);
        return { result, events };
    }

    start() {
        return this._start();
    }

    stop() {
        return this._stop();
    }

    _ensureReadBlock(count) {
        if (count <= this.readCapacity) return;
        if (this.readBlock) koffi.free(this.readBlock.ptr);
        const capacity = Math.max(count, 64);
        const ptr = koffi.alloc('uint8_t', capacity * abi.RECORD_SIZE);
        const bytes = koffi.view(ptr, capacity * abi.RECORD_SIZE);
        this.readBlock = { ptr, view: Buffer.from(bytes), data: new DataView(bytes) };
        this.readCapacity = capacity;
    }

    // One read batch for `items` ({vt, handle}); answers {vt, value, quality, sourceMs}, where
    // value is a JS number, boolean, string or null (no value the host can show).
    read(items) {
        const count = items.length;
        if (count === 0) return [];
        this._ensureReadBlock(count);
        const { ptr, view, data } = this.readBlock;
        view.fill(0, 0, count * abi.RECORD_SIZE);
        for (let i = 0; i < count; i++) {
            const at = i * abi.RECORD_SIZE;
            // The host presets the VARIANT to the item's type: the decoder keeps it for the types
            // it fills by value only.
            data.setUint16(at + abi.OFF_VALUE, items[i].vt, true);
            data.setUint32(at + abi.OFF_USERDATA, items[i].handle >>> 0, true);
        }
        this.batchCount.read++;
        this._handle(abi.READ, count, ptr);
        const results = new Array(count);
        for (let i = 0; i < count; i++) {
            const at = i * abi.RECORD_SIZE;
            const vt = data.getUint16(at + abi.OFF_VALUE, true);
            let value = null;
            if (vt === abi.VT_BSTR) {
                const text = data.getBigUint64(at + abi.OFF_VALUE + 8, true);
                value = text === 0n ? '' : koffi.decode.string16(text, koffi.decode.uint32(text - 4n) / 2);
                if (text !== 0n) this.SysFreeString(text);
            } else {
                value = abi.readVariantNumber(data, at + abi.OFF_VALUE, vt);
            }
            results[i] = {
                vt,
                value,
                quality: data.getUint16(at + abi.OFF_QUALITY, true),
                sourceMs: abi.fileTimeToMs(data, at + abi.OFF_TIMESTAMP),
            };
        }
        return results;
    }

    // One write batch of {vt, handle, value} on a worker thread, so that the caller's event
    // loop never waits on the bus; `done(err, verdicts)` is called once the plug-in has
    // returned and every text allocated for the batch is freed, with the quality field of
    // each record (abi.WRITE_PENDING where the plug-in gave no verdict).
    write(entries, done) {
        const count = entries.length;
        if (count === 0) {
            setImmediate(done, null, []);
            return;
        }
        const size = count * abi.RECORD_SIZE;
        const ptr = koffi.alloc('uint8_t', size);
        const view = Buffer.from(koffi.view(ptr, size));
        view.fill(0);
        const texts = [];
        try {
            for (let i = 0; i < count; i++) {
                const at = i * abi.RECORD_SIZE;
                const { vt, handle, value } = entries[i];
                view.writeUInt16LE(vt, at + abi.OFF_VALUE);
                if (vt === abi.VT_BSTR) {
                    const utf16 = Buffer.from(String(value), 'utf16le');
                    const text = this.SysAllocStringLen(utf16, utf16.length / 2);
                    if (text === null || text === 0n) throw new Error('out of memory for a text value');
                    texts.push(text);
                    view.writeBigUInt64LE(BigInt(text), at + abi.OFF_VALUE + 8);
                } else {
                    abi.writeVariantNumber(view, at + abi.OFF_VALUE, vt, value);
                }
                view.writeUInt16LE(abi.WRITE_PENDING, at + abi.OFF_QUALITY);
                view.writeUInt32LE(handle >>> 0, at + abi.OFF_USERDATA);
            }
        } catch (e) {
            for (const text of texts) this.SysFreeString(text);
            koffi.free(ptr);
            setImmediate(done, e);
            return;
        }
        this.batchCount.write++;
        this._handle.async(abi.WRITE, count, ptr, (err) => {
            const verdicts = new Array(count);
            for (let i = 0; i < count; i++) verdicts[i] = view.readUInt16LE(i * abi.RECORD_SIZE + abi.OFF_QUALITY);
            for (const text of texts) this.SysFreeString(text);
            koffi.free(ptr);
            done(err || null, verdicts);
        });
    }
}

module.exports = { Plugin, defaultPluginPath, PLUGIN_FILE };
