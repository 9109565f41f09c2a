'use strict';
// Standard error with a time stamp on every line, the plug-in's notifier lines included: the
// plug-in writes to file descriptor 2 from C, so on Linux that descriptor becomes a pipe that
// this process reads, stamps and passes on.

const fs = require('node:fs');
const net = require('node:net');
const { format } = require('node:util');

let out = 2; // where stamped lines go
let reader = null;
let readFd = -1;
let partial = '';

function stamp() {
    return new Date().toISOString();
}

function writeLine(line) {
    try {
        fs.writeSync(out, `${stamp()} ${line}\n`);
    } catch {
        // Standard error gone: nothing left to tell.
    }
}

function log(message) {
    writeLine(`fenlo-opcua: ${message}`);
}

function passOn(chunk) {
    partial += chunk;
    let nl;
    while ((nl = partial.indexOf('\n')) >= 0) {
        writeLine(partial.slice(0, nl));
        partial = partial.slice(nl + 1);
    }
}

// Routes descriptor 2 through a pipe read by this process. Without libc (other systems) the
// plug-in's lines go out unstamped.
function captureStandardError() {
    if (process.platform !== 'linux' || reader) return false;
    let libc;
    try {
        const koffi = require('koffi');
        libc = koffi.load('libc.so.6');
        const pipe = libc.func('int pipe2(_Out_ int *fds, int flags)');
        const dup = libc.func('int dup(int fd)');
        const dup2 = libc.func('int dup2(int from, int to)');
        const close = libc.func('int close(int fd)');
        const fds = new Int32Array(2);
        const O_CLOEXEC = 0o2000000;
        if (pipe(fds, O_CLOEXEC) !== 0) return false;
        const saved = dup(2);
        if (saved < 0 || dup2(fds[1], 2) < 0) {
            close(fds[0]);
            close(fds[1]);
            if (saved >= 0) close(saved);
            return false;
        }
        close(fds[1]);
        out = saved;
        readFd = fds[0];
        reader = new net.Socket({ fd: readFd, readable: true, writable: false });
        reader.setEncoding('utf8');
        reader.on('data', passOn);
        reader.on('error', () => {});
        reader.unref();
        return true;
    } catch {
        return false;
    }
}

// eslint-disable-next-line no-control-regex
const COLOURS = /\x1b\[[0-9;]*m/g;
const plain = (args) => format(...args).replace(COLOURS, '');

// The libraries' console output becomes stamped lines on standard error: standard output is
// for --help and --version only.
function routeConsole() {
    for (const name of ['log', 'info', 'warn', 'error', 'debug', 'trace']) {
        console[name] = (...args) => {
            for (const line of plain(args).split('\n')) if (line.trim()) writeLine(line);
        };
    }
}

// The same number of lines at most from one place in node-opcua, so that a client that keeps
// causing a warning cannot fill the log.
const LIBRARY_LINES_PER_PLACE = 100;

// node-opcua's warnings and errors as lines of this log, named by where they come from.
// NODE-OPCUA-W27 is left out: it says that Node.js 20 refuses RSA PKCS#1 v1.5 decryption,
// which only the Basic128Rsa15 policy uses, and this server offers Basic256Sha256 alone.
function routeOpcuaMessages(opcua) {
    const counts = new Map();
    const route = (kind) => (context, ...args) => {
        const text = plain(args);
        if (text.includes('NODE-OPCUA-W27') || text.includes('CVE-2023-46809')) return;
        const where = `${context?.filename ?? '?'}:${context?.callerline ?? '?'}`;
        const n = (counts.get(where) ?? 0) + 1;
        counts.set(where, n);
        if (n > LIBRARY_LINES_PER_PLACE) return;
        const lines = text.split('\n').filter((l) => l.trim());
        if (n === LIBRARY_LINES_PER_PLACE) lines.push(`(more from ${where} left out)`);
        for (const line of lines) writeLine(`node-opcua ${kind} (${where}): ${line.trim()}`);
    };
    opcua.setWarningLogger(route('warning'));
    opcua.setErrorLogger(route('error'));
    opcua.setDebugLogger(route('debug'));
    opcua.setTraceLogger?.(route('trace'));
}

// Passes on what is still in the pipe (before the process exits).
function flush() {
    if (readFd < 0) return;
    const buffer = Buffer.alloc(65536);
    for (;;) {
        let n = 0;
        try {
            n = fs.readSync(readFd, buffer, 0, buffer.length, null);
        } catch {
            break; // empty (EAGAIN) or closed
        }
        if (n <= 0) break;
        passOn(buffer.toString('utf8', 0, n));
    }
    if (partial) {
        writeLine(partial);
        partial = '';
    }
}

module.exports = { log, captureStandardError, flush, stamp, routeConsole, routeOpcuaMessages };
