'use strict';
// Standard error with a time stamp on every line, the plug-in's notifier lines included: the
// plug-in writes to file descriptor 2 from C, so on Linux that descriptor becomes a pipe that
// this process reads, stamps and passes on.

const fs = require('node:fs');
const net = require('node:net');

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

module.exports = { log, captureStandardError, flush, stamp };
