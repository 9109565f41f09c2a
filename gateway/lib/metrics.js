'use strict';
// The health figures in the Prometheus text format (prom-client), on GET /metrics of the
// address that --metrics names. Every scrape reads the figures from the plug-in afresh.

const http = require('node:http');
const client = require('prom-client');
const { BUS_FIGURES, MEMBER_FIGURES, STATES, memberName } = require('./figures');

function makeRegistry(ext, addresses) {
    const registry = new client.Registry();
    const make = (prom, labelNames, fill) => {
        const Kind = prom.kind === 'counter' ? client.Counter : client.Gauge;
        return new Kind({
            name: prom.name, help: prom.help, labelNames, registers: [registry],
            collect() {
                // The plug-in counts; a counter is set to its count by starting from zero.
                this.reset();
                fill((labels, value) => (prom.kind === 'counter' ? this.inc(labels, value) : this.set(labels, value)));
            },
        });
    };
    const scaled = (f, status) => (f.prom.scale ? f.prom.scale(f.get(status)) : f.get(status));
    // One bus status and one member status per scrape, shared by the metrics it fills.
    let scrape = null;
    const snapshot = () => {
        if (!scrape) {
            scrape = { bus: ext.bus(), members: addresses.map((a) => ext.member(a)).filter(Boolean) };
            setImmediate(() => {
                scrape = null;
            });
        }
        return scrape;
    };
    for (const f of BUS_FIGURES) {
        if (!f.prom) continue;
        make(f.prom, ['port'], (put) => {
            const { bus } = snapshot();
            if (bus) put({ port: bus.port }, scaled(f, bus));
        });
    }
    for (const f of MEMBER_FIGURES) {
        if (!f.prom) continue;
        make(f.prom, ['member'], (put) => {
            for (const m of snapshot().members) put({ member: memberName(m.address) }, scaled(f, m));
        });
    }
    make({ name: 'fenlo_member_state', kind: 'gauge', help: 'the member\'s state: 1 for the current one' },
        ['member', 'state'], (put) => {
            for (const m of snapshot().members) {
                for (const state of STATES) put({ member: memberName(m.address), state }, m.state === state ? 1 : 0);
            }
        });
    return registry;
}

// Serves `registry` on host:port; resolves to the server once it listens.
function serveMetrics({ host, port }, ext, addresses, log) {
    const registry = makeRegistry(ext, addresses);
    const server = http.createServer((req, res) => {
        const url = req.url.split('?')[0];
        if (url !== '/metrics') {
            res.writeHead(404, { 'Content-Type': 'text/plain' }).end('not found: the figures are at /metrics\n');
            return;
        }
        if (req.method !== 'GET' && req.method !== 'HEAD') {
            res.writeHead(405, { Allow: 'GET, HEAD', 'Content-Type': 'text/plain' }).end('only GET\n');
            return;
        }
        registry.metrics().then((text) => {
            res.writeHead(200, { 'Content-Type': registry.contentType });
            res.end(req.method === 'HEAD' ? undefined : text);
        }, (e) => {
            res.writeHead(500, { 'Content-Type': 'text/plain' }).end(`${e.message}\n`);
        });
    });
    // A slow or idle client does not keep a socket for long.
    server.requestTimeout = 10000;
    server.headersTimeout = 5000;
    server.keepAliveTimeout = 5000;
    return new Promise((resolve, reject) => {
        server.once('error', (e) => reject(new Error(`cannot serve metrics on ${host}:${port}: ${e.message}`)));
        server.listen(port, host, () => {
            const a = server.address();
            log(`metrics on http://${a.family === 'IPv6' ? `[${a.address}]` : a.address}:${a.port}/metrics`);
            resolve(server);
        });
    });
}

module.exports = { serveMetrics, makeRegistry };
