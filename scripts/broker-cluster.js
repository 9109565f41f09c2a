#!/usr/bin/env node
'use strict';
// The run of scripts/broker-cluster.sh on a two-node broker cluster (URL_A, URL_B): what the
// broker's MQTT does with retained messages and wills across its nodes, then four gateways on
// four simulated buses (two first on A, two first on B, each naming both), a host application
// on B that counts every birth and change, the node A stopped (STOP_A, a shell command), and
// the gateways of A born again on B, every value changed after the move seen by the host.
// Usage: broker-cluster.js URL_A URL_B STOP_A

const { execSync } = require('node:child_process');
const path = require('node:path');
const gatewayDir = path.resolve(__dirname, '..', 'gateway');
const mqtt = require(path.join(gatewayDir, 'node_modules', 'mqtt'));
const s = require(path.join(gatewayDir, 'test', 'support'));
const b = require(path.join(gatewayDir, 'test', 'broker'));

const [urlA, urlB, stopA] = process.argv.slice(2);
const GATEWAYS = 4;
const temp = (m) => b.metricsOf(m).get('Process.ActualTemp')?.value;

// Whether a message published on one node reaches a subscriber of the other.
async function probes() {
    const seen = async (subscriber, act, topic, ms = 5000) => {
        const got = new Promise((resolve) => {
            subscriber.on('message', (t) => t === topic && resolve(true));
            setTimeout(() => resolve(false), ms);
        });
        await act();
        return got;
    };
    const onA = await mqtt.connectAsync(urlA);
    const onB = await mqtt.connectAsync(urlB);
    await onB.subscribeAsync('kvx/probe/#', { qos: 1 });
    const live = await seen(onB, () => onA.publishAsync('kvx/probe/live', 'x', { qos: 1 }), 'kvx/probe/live');
    // A retained message of B, for a subscriber that comes to A afterwards.
    await onB.publishAsync('kvx/probe/retained', 'x', { qos: 1, retain: true });
    const lateA = await mqtt.connectAsync(urlA);
    const retained = await seen(lateA, () => lateA.subscribeAsync('kvx/probe/retained', { qos: 1 }), 'kvx/probe/retained');
    // A will of a client on A whose connection breaks, for the subscriber on B.
    const dying = await mqtt.connectAsync(urlA, { will: { topic: 'kvx/probe/will', payload: 'x', qos: 1, retain: false } });
    const will = await seen(onB, () => dying.stream.destroy(), 'kvx/probe/will', 10000);
    await onB.publishAsync('kvx/probe/retained', '', { qos: 1, retain: true });
    for (const c of [onA, onB, lateA]) await c.endAsync();
    dying.end(true);
    return { live, retained, will };
}

async function main() {
    const found = await probes();
    console.log(`from node A to a subscriber of B: live ${found.live ? 'delivered' : 'LOST'}; ` +
        `retained of B to a late subscriber of A: ${found.retained ? 'delivered' : 'NOT delivered'}; ` +
        `will of a broken client of A to B: ${found.will ? 'delivered' : 'NOT delivered'}`);

    const host = await b.subscribe(urlB, 'spBv1.0/cluster/#');
    const sims = [];
    const nodes = [];
    let failed = false;
    try {
        for (let g = 0; g < GATEWAYS; g++) sims.push(await s.startSim());
        await Promise.all(sims.map(async (sim, g) => {
            const servers = g < 2 ? [urlA, urlB] : [urlB, urlA];
            nodes[g] = await b.startEdgeNode(s.makeInstallation(sim.pty, s.SAMPLE_MEMBERS),
                ['--no-opcua', '--mqtt', servers[0], '--mqtt', servers[1], '--group', 'cluster', '--edge-node', `line${g}`]);
        }));
        const births = (g, from = 0) => host.messages.slice(from).filter((m) => m.node === `line${g}` && m.type === 'DBIRTH' && m.device === 'ADR03');
        const seenBy = () => nodes.map((_, g) => `line${g}: ${['NBIRTH', 'DBIRTH', 'DDATA', 'NDATA', 'NDEATH']
            .map((t) => `${host.messages.filter((m) => m.node === `line${g}` && m.type === t).length} ${t}`).join(', ')}`).join('; ');
        await s.until(() => nodes.every((_, g) => births(g).length), 120000, 'every gateway born, seen from B').catch((e) => {
            throw new Error(`${e.message}; the host saw ${seenBy()}`);
        });
        const mark = host.messages.length;
        const stopped = Date.now();
        execSync(stopA, { shell: '/bin/bash', stdio: 'inherit' });
        console.log(`node A stopped after ${Date.now() - stopped} ms`);
        await s.until(() => [0, 1].every((g) => births(g, mark).length), 120000, 'the gateways of A born again on B');
        const reborn = [0, 1].map((g) => births(g, mark)[0].at - stopped);
        const deaths = [0, 1].map((g) => host.messages.slice(mark).filter((m) => m.node === `line${g}` && m.type === 'NDEATH').length);
        const otherBirths = [2, 3].map((g) => births(g, mark).length);
        console.log(`gateways of A: born again on B ${reborn.map((ms) => `${(ms / 1000).toFixed(1)} s`).join(', ')} after the stop; ` +
            `their NDEATH (will) seen on B: ${deaths.join(', ')}; gateways of B born again: ${otherBirths.join(', ')}`);
        // Every value changed after the move reaches the host, on every bus.
        const rounds = 5;
        let lost = 0;
        for (let r = 1; r <= rounds; r++) {
            const value = 300 + r;
            const from = host.messages.length;
            await Promise.all(sims.map((sim) => sim.change({ members: { 3: { memory: [{ offset: 20, type: 'int', value }] } } })));
            const all = () => nodes.every((_, g) => host.messages.slice(from).some((m) => m.node === `line${g}` && m.device === 'ADR03' &&
                (m.type === 'DDATA' || m.type === 'DBIRTH') && Math.abs((temp(m) ?? 0) - value / 10) < 1e-3));
            await s.until(all, 30000, `change ${r} from every gateway`).catch(() => {
                lost++;
            });
        }
        const counts = (type) => host.messages.filter((m) => m.type === type).length;
        // Data whose aliases no birth seen on B had told (a birth that did not reach B).
        const unknown = host.messages.filter((m) => m.payload?.metrics?.some((x) => x.alias !== undefined && x.name === undefined));
        console.log(`messages with an alias unknown to the host: ${unknown.length}` +
            `${unknown.length ? ` (first: ${unknown[0].topic}, ${unknown[0].at - host.messages[0].at} ms into the run)` : ''}`);
        console.log(`host on B: ${counts('NBIRTH')} NBIRTH, ${counts('DBIRTH')} DBIRTH, ${counts('DDATA')} DDATA, ` +
            `${counts('NDEATH')} NDEATH; changes after the move: ${rounds * GATEWAYS - lost * GATEWAYS} of ${rounds * GATEWAYS} seen` +
            `${lost ? ` (${lost} rounds incomplete)` : ''}`);
        failed = lost > 0;
    } finally {
        await Promise.all(nodes.filter(Boolean).map((n) => n.stop()));
        await Promise.all(sims.map((sim) => sim.stop()));
        await host.close();
    }
    console.log(failed ? 'FAIL a change after the move did not reach the host' : 'PASS every change after the move reached the host');
    process.exitCode = failed ? 1 : 0;
}

main().catch((e) => {
    console.error(e);
    process.exit(2);
});
