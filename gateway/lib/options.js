'use strict';
// The command line of fenlo-opcua.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');

const USAGE = `Usage: fenlo-opcua [OPTIONS]

Serves the namespace of the fenlodrv plug-in to OPC UA clients: reads, writes and
subscriptions go to the plug-in, and through it to the field bus.

Options:
  --host ADDRESS        address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)
  --port N              TCP port (default 4840)
  --pki DIR             the server's certificates and the trusted/rejected client
                        certificates (created on first start; default
                        ~/.config/fenlo-opcua/pki)
  --security MODE       the lowest message security offered: none (default), sign or
                        signandencrypt; secure endpoints use Basic256Sha256
  --user NAME:FILE      user NAME whose password is the first line of FILE
  --no-anonymous        refuse anonymous sessions (needs --user)
  --read-only           refuse every write (BadUserAccessDenied)
  --max-connections N   open connections (secure channels) at a time (default 100)
  --max-sessions N      sessions at a time (default 100)
  --max-subscriptions N subscriptions in all (default 500; at most 10 per session)
  --max-monitored-items N  monitored items per subscription (default 10000)
  --min-publishing-interval MS  the shortest publishing interval a subscription is granted
                        (default 50, 10..1000)
  --plugin PATH         the plug-in library (default: the one beside the program, in ../lib
                        or in ../driver)
  --trace-batches       log every read and write batch given to the plug-in
  --metrics [HOST:]PORT serve the bus's and members' health figures in the Prometheus
                        text format at http://HOST:PORT/metrics (off by default; HOST
                        127.0.0.1 when only a port is given)
  --no-extension        leave the plug-in's extension unused: values carry the time of
                        the read and are sampled, no health figures
  --mqtt URL            also a Sparkplug B edge node on the MQTT broker at URL
                        (mqtt://host:1883 or mqtts://host:8883); given again, the next
                        server to move to when one is lost, in that order
  --primary-host ID     births only while the Sparkplug host application ID says it is
                        online (its STATE); when it goes offline, NDEATH and the next server
  --mqtt-ca FILE        certificate authority of an mqtts:// broker (PEM)
  --mqtt-user NAME      user name at the broker
  --mqtt-password-file FILE  the broker password: the first line of FILE
  --group ID            Sparkplug group (default fenlo)
  --edge-node ID        Sparkplug edge node (default: the host name)
  --state DIR           where the edge node keeps its birth-death sequence number across
                        runs (default ~/.local/state/fenlo-opcua)
  --no-opcua            no OPC UA service: only the edge node (needs --mqtt)
  --help                print this help and exit
  --version             print the version and exit

The plug-in finds its installation directory (fenlodrv.ini, the .cfg files, FreeScale.dat) as
always: KORVEX_OPC_INSTDIR, the file named by KORVEX_OPC_SERVER_CONF, or
/etc/korvex/opc-server.conf.

Exit codes: 0 stopped by SIGINT or SIGTERM; 2 a bad option or a plug-in that cannot be loaded;
1 the server could not start.`;

class OptionError extends Error {}

const SECURITY = ['none', 'sign', 'signandencrypt'];

const LIMITS = [
    // option, its key, default[, lowest, highest]
    ['max-connections', 'maxConnections', 100],
    ['max-sessions', 'maxSessions', 100],
    ['max-subscriptions', 'maxSubscriptions', 500],
    ['max-monitored-items', 'maxMonitoredItems', 10000],
    ['min-publishing-interval', 'minPublishingInterval', 50, 10, 1000],
];
const LIMIT_MAX = 1000000;

function defaultStateDir() {
    const base = process.env.XDG_STATE_HOME || path.join(os.homedir(), '.local', 'state');
    return path.join(base, 'fenlo-opcua');
}

function defaultPkiDir() {
    const base = process.env.XDG_CONFIG_HOME || path.join(os.homedir(), '.config');
    return path.join(base, 'fenlo-opcua', 'pki');
}

// Parses argv (without node and the script). Returns {help} / {version} / the options; throws
// OptionError with a message naming the option.
function parseOptions(argv) {
    let parsed;
    try {
        parsed = parseArgs({
            args: argv,
            strict: true,
            allowPositionals: false,
            options: {
                host: { type: 'string' },
                port: { type: 'string' },
                pki: { type: 'string' },
                security: { type: 'string' },
                user: { type: 'string' },
                'no-anonymous': { type: 'boolean' },
                'read-only': { type: 'boolean' },
                'max-connections': { type: 'string' },
                'max-sessions': { type: 'string' },
                'max-subscriptions': { type: 'string' },
                'max-monitored-items': { type: 'string' },
                'min-publishing-interval': { type: 'string' },
                plugin: { type: 'string' },
                'trace-batches': { type: 'boolean' },
                metrics: { type: 'string' },
                'no-extension': { type: 'boolean' },
                mqtt: { type: 'string', multiple: true },
                'primary-host': { type: 'string' },
                'mqtt-ca': { type: 'string' },
                'mqtt-user': { type: 'string' },
                'mqtt-password-file': { type: 'string' },
                group: { type: 'string' },
                'edge-node': { type: 'string' },
                state: { type: 'string' },
                'no-opcua': { type: 'boolean' },
                help: { type: 'boolean', short: 'h' },
                version: { type: 'boolean' },
            },
        });
    } catch (e) {
        throw new OptionError(e.message.split('\n')[0]);
    }
    const v = parsed.values;
    if (v.help) return { help: true };
    if (v.version) return { version: true };

    const options = {
        host: v.host ?? '127.0.0.1',
        port: 4840,
        pki: path.resolve(v.pki ?? defaultPkiDir()),
        security: (v.security ?? 'none').toLowerCase(),
        user: null,
        anonymous: !v['no-anonymous'],
        readOnly: Boolean(v['read-only']),
        plugin: v.plugin ?? null,
        traceBatches: Boolean(v['trace-batches']),
        metrics: v.metrics === undefined ? null : metricsAddress(v.metrics),
        extension: !v['no-extension'],
    };
    if (options.host === '') throw new OptionError('--host: an address is expected');
    if (v.port !== undefined) {
        if (!/^\d+$/.test(v.port) || Number(v.port) < 1 || Number(v.port) > 65535) {
            throw new OptionError(`--port ${v.port}: a port number 1..65535 is expected`);
        }
        options.port = Number(v.port);
    }
    for (const [name, key, fallback, low = 1, high = LIMIT_MAX] of LIMITS) {
        const text = v[name];
        options[key] = fallback;
        if (text === undefined) continue;
        if (!/^\d+$/.test(text) || Number(text) < low || Number(text) > high) {
            throw new OptionError(`--${name} ${text}: a number ${low}..${high} is expected`);
        }
        options[key] = Number(text);
    }
    if (!SECURITY.includes(options.security)) {
        throw new OptionError(`--security ${v.security}: one of ${SECURITY.join(', ')} is expected`);
    }
    if (v.user !== undefined) {
        const colon = v.user.indexOf(':');
        if (colon <= 0 || colon === v.user.length - 1) {
            throw new OptionError(`--user ${v.user}: NAME:PASSWORD-FILE is expected`);
        }
        const name = v.user.slice(0, colon);
        const file = v.user.slice(colon + 1);
        let text;
        try {
            text = fs.readFileSync(file, 'utf8');
        } catch (e) {
            throw new OptionError(`--user: cannot read the password file ${file}: ${e.code || e.message}`);
        }
        const password = text.split(/\r?\n/)[0];
        if (password === '') throw new OptionError(`--user: the password file ${file} holds no password on its first line`);
        options.user = { name, password };
    }
    if (options.metrics && !options.extension) {
        throw new OptionError('--metrics needs the plug-in\'s extension: leave out --no-extension');
    }
    if (!options.anonymous && !options.user) {
        throw new OptionError('--no-anonymous: no user could sign in; give --user NAME:PASSWORD-FILE');
    }
    Object.assign(options, mqttOptions(v));
    return options;
}

// --metrics [HOST:]PORT ([ADDRESS]:PORT for IPv6): {host, port}, loopback without a host.
function metricsAddress(text) {
    const m = /^(?:(\[[^\]]+\]|[^:[\]]+):)?(\d+)$/.exec(text);
    const port = m ? Number(m[2]) : NaN;
    if (!m || port < 1 || port > 65535) {
        throw new OptionError(`--metrics ${text}: [HOST:]PORT with a port number 1..65535 is expected`);
    }
    const host = m[1] === undefined ? '127.0.0.1' : m[1].replace(/^\[|\]$/g, '');
    if (host === '') throw new OptionError(`--metrics ${text}: a host is expected before the colon`);
    return { host, port };
}

function firstLine(option, file) {
    let text;
    try {
        text = fs.readFileSync(file, 'utf8');
    } catch (e) {
        throw new OptionError(`${option}: cannot read ${file}: ${e.code || e.message}`);
    }
    const line = text.split(/\r?\n/)[0];
    if (line === '') throw new OptionError(`${option}: ${file} holds nothing on its first line`);
    return line;
}

// The edge node's options; each of them needs --mqtt.
function mqttOptions(v) {
    const o = {
        mqtt: v.mqtt ?? null, primaryHost: v['primary-host'] ?? null, mqttCa: null,
        mqttUser: v['mqtt-user'] ?? null, mqttPassword: null,
        group: v.group ?? 'fenlo', edgeNode: v['edge-node'] ?? os.hostname(), opcua: !v['no-opcua'],
        state: path.resolve(v.state ?? defaultStateDir()),
    };
    if (o.mqtt === null) {
        for (const name of ['mqtt-ca', 'mqtt-user', 'mqtt-password-file', 'group', 'edge-node', 'no-opcua', 'state', 'primary-host']) {
            if (v[name] !== undefined) throw new OptionError(`--${name} needs --mqtt URL`);
        }
        return o;
    }
    const protocols = new Set();
    for (const text of o.mqtt) {
        let url = null;
        try {
            url = new URL(text);
        } catch {
            // named below
        }
        if (!url || !['mqtt:', 'mqtts:'].includes(url.protocol) || url.hostname === '') {
            throw new OptionError(`--mqtt ${text}: a URL mqtt://HOST[:PORT] or mqtts://HOST[:PORT] is expected`);
        }
        protocols.add(url.protocol);
    }
    if (new Set(o.mqtt).size !== o.mqtt.length) throw new OptionError('--mqtt: the same server is given twice');
    if (v['mqtt-ca'] !== undefined) {
        if (!protocols.has('mqtts:')) throw new OptionError('--mqtt-ca: only for an mqtts:// broker');
        o.mqttCa = path.resolve(v['mqtt-ca']);
        firstLine('--mqtt-ca', o.mqttCa);
    }
    if (v['mqtt-password-file'] !== undefined) {
        if (o.mqttUser === null) throw new OptionError('--mqtt-password-file needs --mqtt-user NAME');
        o.mqttPassword = firstLine('--mqtt-password-file', v['mqtt-password-file']);
    }
    const ids = [['--group', o.group], ['--edge-node', o.edgeNode]];
    if (o.primaryHost !== null) ids.push(['--primary-host', o.primaryHost]);
    for (const [option, id] of ids) {
        if (id === '' || /[/+#]/.test(id)) {
            throw new OptionError(`${option} ${id}: an identifier without '/', '+' or '#' is expected`);
        }
    }
    return o;
}

module.exports = { parseOptions, OptionError, USAGE };
