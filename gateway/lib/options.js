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
  --plugin PATH         the plug-in library (default: the one beside the program, in ../lib
                        or in ../driver)
  --trace-batches       log every read and write batch given to the plug-in
  --mqtt URL            also a Sparkplug B edge node on the MQTT broker at URL
                        (mqtt://host:1883 or mqtts://host:8883)
  --mqtt-ca FILE        certificate authority of an mqtts:// broker (PEM)
  --mqtt-user NAME      user name at the broker
  --mqtt-password-file FILE  the broker password: the first line of FILE
  --group ID            Sparkplug group (default fenlo)
  --edge-node ID        Sparkplug edge node (default: the host name)
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
                plugin: { type: 'string' },
                'trace-batches': { type: 'boolean' },
                mqtt: { type: 'string' },
                'mqtt-ca': { type: 'string' },
                'mqtt-user': { type: 'string' },
                'mqtt-password-file': { type: 'string' },
                group: { type: 'string' },
                'edge-node': { type: 'string' },
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
    };
    if (options.host === '') throw new OptionError('--host: an address is expected');
    if (v.port !== undefined) {
        if (!/^\d+$/.test(v.port) || Number(v.port) < 1 || Number(v.port) > 65535) {
            throw new OptionError(`--port ${v.port}: a port number 1..65535 is expected`);
        }
        options.port = Number(v.port);
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
    if (!options.anonymous && !options.user) {
        throw new OptionError('--no-anonymous: no user could sign in; give --user NAME:PASSWORD-FILE');
    }
    Object.assign(options, mqttOptions(v));
    return options;
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
        mqtt: v.mqtt ?? null, mqttCa: null, mqttUser: v['mqtt-user'] ?? null, mqttPassword: null,
        group: v.group ?? 'fenlo', edgeNode: v['edge-node'] ?? os.hostname(), opcua: !v['no-opcua'],
    };
    if (o.mqtt === null) {
        for (const name of ['mqtt-ca', 'mqtt-user', 'mqtt-password-file', 'group', 'edge-node', 'no-opcua']) {
            if (v[name] !== undefined) throw new OptionError(`--${name} needs --mqtt URL`);
        }
        return o;
    }
    let url;
    try {
        url = new URL(o.mqtt);
    } catch {
        throw new OptionError(`--mqtt ${o.mqtt}: a URL mqtt://HOST[:PORT] or mqtts://HOST[:PORT] is expected`);
    }
    if (!['mqtt:', 'mqtts:'].includes(url.protocol) || url.hostname === '') {
        throw new OptionError(`--mqtt ${o.mqtt}: a URL mqtt://HOST[:PORT] or mqtts://HOST[:PORT] is expected`);
    }
    if (v['mqtt-ca'] !== undefined) {
        if (url.protocol !== 'mqtts:') throw new OptionError('--mqtt-ca: only for an mqtts:// broker');
        o.mqttCa = path.resolve(v['mqtt-ca']);
        firstLine('--mqtt-ca', o.mqttCa);
    }
    if (v['mqtt-password-file'] !== undefined) {
        if (o.mqttUser === null) throw new OptionError('--mqtt-password-file needs --mqtt-user NAME');
        o.mqttPassword = firstLine('--mqtt-password-file', v['mqtt-password-file']);
    }
    for (const [option, id] of [['--group', o.group], ['--edge-node', o.edgeNode]]) {
        if (id === '' || /[/+#]/.test(id)) {
            throw new OptionError(`${option} ${id}: an identifier without '/', '+' or '#' is expected`);
        }
    }
    return o;
}

module.exports = { parseOptions, OptionError, USAGE };
