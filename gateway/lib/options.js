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
    return options;
}

module.exports = { parseOptions, OptionError, USAGE };
