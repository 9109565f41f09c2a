'use strict';
// What the gateway tests run: the simulator on a pseudo-terminal, an installation directory
// for the plug-in, the gateway program, fenlo-host, and a real OPC UA client.

const { spawn, execFile } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { once } = require('node:events');
require('../lib/webcrypto');
const { AttributeIds, OPCUAClient, OPCUACertificateManager, StatusCodes } = require('node-opcua');

const REPO = path.resolve(__dirname, '..', '..');
const BUILD = path.join(REPO, 'build', 'dev');
const programs = {
    gateway: process.env.FENLO_OPCUA ?? path.join(BUILD, 'gateway', 'fenlo-opcua'),
    sim: process.env.KXBUS_SIM ?? path.join(BUILD, 'sim', 'kxbus-sim'),
    host: process.env.FENLO_HOST ?? path.join(BUILD, 'host', 'fenlo-host'),
};
const SAMPLES = path.join(REPO, 'samples');
const FIXTURES = path.join(__dirname, 'fixtures');

function tempDir(prefix) {
    return fs.mkdtempSync(path.join(os.tmpdir(), `kvx-${prefix}-`));
}

// Lines of a child's stream, with waits for a line that matches.
class Lines {
    constructor(stream) {
        this.lines = [];
        this.waiters = [];
        let partial = '';
        stream.setEncoding('utf8');
        stream.on('data', (chunk) => {
            partial += chunk;
            let nl;
            while ((nl = partial.indexOf('\n')) >= 0) {
                this.push(partial.slice(0, nl));
                partial = partial.slice(nl + 1);
            }
        });
    }

    push(line) {
        this.lines.push(line);
        for (const w of [...this.waiters]) {
            if (w.pattern.test(line)) {
                this.waiters.splice(this.waiters.indexOf(w), 1);
                clearTimeout(w.timer);
                w.resolve(line);
            }
        }
    }

    // The first line from index `from` on that matches.
    wait(pattern, timeoutMs = 20000, from = 0) {
        const found = this.lines.slice(from).find((l) => pattern.test(l));
        if (found) return Promise.resolve(found);
        return new Promise((resolve, reject) => {
            const w = { pattern, resolve };
            w.timer = setTimeout(() => {
                this.waiters.splice(this.waiters.indexOf(w), 1);
                reject(new Error(`no line matching ${pattern} within ${timeoutMs} ms; got:\n${this.lines.slice(-20).join('\n')}`));
            }, timeoutMs);
            this.waiters.push(w);
        });
    }

    count(pattern) {
        return this.lines.filter((l) => pattern.test(l)).length;
    }
}

// Every program a test file starts, so that none outlives it: one left running (its start
// failed, or a test ended early) would hold the test process open until CTest's time-out.
const children = new Set();
function spawnTracked(program, args, options) {
    const child = spawn(program, args, options);
    children.add(child);
    child.once('exit', () => children.delete(child));
    // 'close' comes once its output streams have ended as well: all it wrote has been read.
    child.closed = once(child, 'close').catch(() => null);
    return child;
}

// Waits for `started`; a child whose start failed is killed before the failure is passed on.
async function startedOrKilled(child, started) {
    try {
        return await started;
    } catch (e) {
        child.kill('SIGKILL');
        throw e;
    }
}

// The child's exit code (null when a signal ended it), once all it wrote has been read.
async function exited(child) {
    await child.closed;
    return child.exitCode;
}

// kxbus-sim with the sample scenario and `extraMembers` ({address: cfg}), taking scenario
// changes on its standard input.
async function startSim({ extraMembers = {}, log = false, logTime = false } = {}) {
    const args = ['--scenario', path.join(SAMPLES, 'scenarios', 'demo.json'), '--no-wire-timing', '--changes'];
    for (const [address, cfg] of Object.entries(extraMembers)) args.push('--member', `${address}=${cfg}`);
    if (log || logTime) args.push('--log');
    if (logTime) args.push('--log-time');
    const child = spawnTracked(programs.sim, args, { stdio: ['pipe', 'pipe', 'pipe'] });
    const out = new Lines(child.stdout);
    const err = new Lines(child.stderr);
    const first = await startedOrKilled(child, out.wait(/^pty /, 10000));
    let changes = 0;
    return {
        child, out, err,
        pty: first.slice(4),
        // Applies one scenario change and waits for the simulator to confirm it.
        async change(scenario) {
            const number = ++changes;
            child.stdin.write(`${JSON.stringify(scenario)}\n`);
            await out.wait(new RegExp(`^changed ${number}$`), 10000);
        },
        // Waits until every line the simulator wrote before now has reached the test: its
        // confirmation of an empty change comes after them on the same stream.
        sync() {
            return this.change({});
        },
        // The Write frames the simulator recorded for `address` from its output line `from` on.
        writesTo(address, from = 0) {
            return out.lines.slice(from).filter((l) => l.startsWith(`ADR ${address} WRITE`));
        },
        async stop() {
            child.kill('SIGTERM');
            return exited(child);
        },
    };
}

// The exchanges of a simulator started with logTime as polls: a run of read requests to one
// address is one poll, timed by the simulator's clock (ms since 1970) when it served each
// request, before its answer left: [{address, read, silent, first, last}].
function simPolls(lines) {
    const found = [];
    for (const line of lines) {
        const m = /^ADR (\d\d) (READ|WRITE) .*\| at (\d+(?:\.\d+)?)$/.exec(line);
        if (!m) continue;
        const frame = { address: Number(m[1]), read: m[2] === 'READ', silent: line.includes('| silent'), at: Number(m[3]) };
        const last = found.at(-1);
        if (last && last.read && last.address === frame.address && frame.read) {
            last.last = frame.at;
            last.silent &&= frame.silent;
        } else {
            found.push({ address: frame.address, read: frame.read, silent: frame.silent, first: frame.at, last: frame.at });
        }
    }
    return found;
}

// The plug-in's installation directory: the sample descriptions and a fenlodrv.ini for the
// members at `members` ({address: cfg file}), polled on `pty` with a short cycle pause.
function makeInstallation(pty, members) {
    const dir = tempDir('gw-inst');
    let ini = `[RS232]\r\nCOM=${pty}\r\n\r\n[KXBUS]\r\nMAXADR=31\r\nWAIT=100\r\n`;
    for (const [address, cfg] of Object.entries(members)) {
        fs.copyFileSync(cfg, path.join(dir, path.basename(cfg)));
        ini += `\r\n[SLAVE${String(address).padStart(2, '0')}]\r\nCFG=${path.basename(cfg)}\r\nNAME=M${address}\r\n`;
    }
    fs.writeFileSync(path.join(dir, 'fenlodrv.ini'), ini);
    return dir;
}

const SAMPLE_MEMBERS = {
    3: path.join(SAMPLES, 'devices', 'tc200.cfg'),
    7: path.join(SAMPLES, 'devices', 'dio16.cfg'),
    12: path.join(SAMPLES, 'devices', 'fd7.cfg'),
};

function freePort() {
    return new Promise((resolve, reject) => {
        const s = net.createServer();
        s.on('error', reject);
        s.listen(0, '127.0.0.1', () => {
            const { port } = s.address();
            s.close(() => resolve(port));
        });
    });
}

// One certificate store for all tests of a run: creating the server's key takes a while.
const sharedPki = path.join(os.tmpdir(), 'kvx-gateway-test-pki');

// Starts fenlo-opcua for `instDir`; resolves once it listens.
async function startGateway(instDir, extraArgs = [], { env = {} } = {}) {
    const port = await freePort();
    const args = ['--port', String(port), ...(extraArgs.includes('--pki') ? [] : ['--pki', sharedPki]), ...extraArgs];
    const child = spawnTracked(programs.gateway, args, {
        stdio: ['ignore', 'pipe', 'pipe'],
        env: { ...process.env, KORVEX_OPC_INSTDIR: instDir, ...env },
    });
    const err = new Lines(child.stderr);
    const out = new Lines(child.stdout);
    const listening = await startedOrKilled(child, Promise.race([
        err.wait(/listening on opc\.tcp:\/\//, 60000),
        exited(child).then((code) => {
            throw new Error(`fenlo-opcua ended with ${code}:\n${err.lines.join('\n')}`);
        }),
    ]));
    return {
        child, err, out, port,
        endpoint: /listening on (\S+)/.exec(listening)[1],
        async stop(signal = 'SIGTERM') {
            child.kill(signal);
            return exited(child);
        },
    };
}

let clientPki = null;
async function connect(endpoint, { userIdentityInfo, securityMode, securityPolicy, beforeSession } = {}) {
    if (!clientPki) {
        // The tests' client trusts the servers that the tests start.
        clientPki = new OPCUACertificateManager({
            rootFolder: path.join(sharedPki, 'client'), automaticallyAcceptUnknownCertificate: true,
        });
        await clientPki.initialize();
    }
    const client = OPCUAClient.create({
        endpointMustExist: false,
        connectionStrategy: { maxRetry: 2, initialDelay: 200, maxDelay: 1000 },
        clientCertificateManager: clientPki,
        securityMode, securityPolicy,
    });
    await client.connect(endpoint);
    let session;
    try {
        beforeSession?.(client);
        session = await client.createSession(userIdentityInfo);
    } catch (e) {
        await client.disconnect();
        throw e;
    }
    return {
        client, session,
        async close() {
            await session.close();
            await client.disconnect();
        },
    };
}

// Releases what the clients of a test file share and kills what its tests left running, so
// that the test process can end.
async function dispose() {
    if (clientPki) await clientPki.dispose();
    clientPki = null;
    const left = [...children];
    for (const child of left) child.kill('SIGKILL');
    await Promise.all(left.map(exited));
}

// A test file's end: its own steps in order, up to one that throws, and then, whatever
// happened, dispose.
async function tearDown(...steps) {
    try {
        for (const step of steps) await step();
    } finally {
        await dispose();
    }
}

function run(program, args, env) {
    return new Promise((resolve) => {
        execFile(program, args, { env: { ...process.env, ...env }, maxBuffer: 16 << 20 },
            (error, stdout, stderr) => resolve({ code: error ? error.code : 0, stdout, stderr }));
    });
}

// fenlo-host browse: [{kind, path, vt, access}] in callback order.
async function hostBrowse(instDir) {
    const r = await run(programs.host, ['browse'], { KORVEX_OPC_INSTDIR: instDir });
    if (r.code !== 0) throw new Error(`fenlo-host browse: ${r.stderr}`);
    return r.stdout.trim().split('\n').map((line) => {
        const [kind, p, vt, access] = line.split('\t');
        return kind === 'tag' ? { kind, path: p, vt: Number(vt), access: Number(access) } : { kind, path: p };
    });
}

// fenlo-host read once every item has good quality: {path -> {value, quality}}.
async function hostRead(instDir, items) {
    const r = await run(programs.host, ['read', ...items, '--wait-good', '20000'], { KORVEX_OPC_INSTDIR: instDir });
    if (r.code !== 0) throw new Error(`fenlo-host read (${r.code}): ${r.stderr}`);
    const values = new Map();
    for (const line of r.stdout.trim().split('\n')) {
        const j = JSON.parse(line);
        values.set(j.item, j);
    }
    return values;
}

// Connects with message security to a server whose --pki is `pki`: a refused try leaves the
// client's certificate in rejected/, which the operator then trusts. The server may file it
// after the client has already seen the refusal, so every refused try looks again.
async function connectTrusted(endpoint, pki, options) {
    const rejected = path.join(pki, 'rejected');
    const trustRejected = () => {
        for (const certificate of fs.existsSync(rejected) ? fs.readdirSync(rejected) : []) {
            fs.renameSync(path.join(rejected, certificate), path.join(pki, 'trusted', 'certs', certificate));
        }
    };
    let refusal;
    try {
        return await until(() => connect(endpoint, options).catch((e) => {
            refusal = e;
            trustRejected();
            return null;
        }), 60000, 'the trusted client connects');
    } catch (e) {
        throw new Error(`${e.message}; last refusal: ${refusal?.message}`);
    }
}

// A Read of `nodeId` repeated until it is Good: one poll that a loaded machine answered late
// makes the next Read Uncertain, which is right, but not what a test of serving asks about.
async function readGood(session, nodeId, timeoutMs = 10000) {
    let last;
    try {
        return await until(async () => {
            last = await session.read({ nodeId, attributeId: AttributeIds.Value });
            return last.statusCode === StatusCodes.Good && last;
        }, timeoutMs, `${nodeId} Good`);
    } catch (e) {
        throw new Error(`${e.message}; last read ${last?.statusCode.name}`);
    }
}

async function until(check, timeoutMs, what) {
    const end = Date.now() + timeoutMs;
    let last;
    for (;;) {
        last = await check();
        if (last) return last;
        if (Date.now() > end) throw new Error(`${what}: not within ${timeoutMs} ms`);
        await new Promise((r) => setTimeout(r, 100));
    }
}

module.exports = {
    programs, SAMPLES, FIXTURES, SAMPLE_MEMBERS, tempDir, startSim, simPolls, makeInstallation, startGateway,
    connect, connectTrusted, dispose, tearDown, hostBrowse, hostRead, run, until, readGood, exited, Lines, freePort,
    spawnTracked, startedOrKilled,
};
