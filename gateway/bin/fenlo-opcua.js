#!/usr/bin/env node
'use strict';
// fenlo-opcua: an OPC UA server that hosts the fenlodrv plug-in through its five exports.

require('../lib/webcrypto');
const path = require('node:path');
const { parseOptions, OptionError, USAGE } = require('../lib/options');
const { log, captureStandardError, flush, routeConsole, routeOpcuaMessages } = require('../lib/log');
const { version } = require('../package.json');

const EXIT_BAD_INPUT = 2;
const EXIT_FAILURE = 1;

function fail(code, message) {
    log(message);
    flush();
    process.exit(code);
}

// The program's folder for the plug-in lookup: the launcher's when one runs this script.
function programDir() {
    return path.dirname(process.env.FENLO_OPCUA_PROGRAM || process.argv[1]);
}

async function main() {
    let options;
    try {
        options = parseOptions(process.argv.slice(2));
    } catch (e) {
        if (!(e instanceof OptionError)) throw e;
        process.stderr.write(`fenlo-opcua: ${e.message}\n(fenlo-opcua --help lists the options)\n`);
        process.exit(EXIT_BAD_INPUT);
    }
    if (options.help) {
        process.stdout.write(`${USAGE}\n`);
        return;
    }
    if (options.version) {
        process.stdout.write(`fenlo-opcua ${version}\n`);
        return;
    }

    captureStandardError();
    routeConsole();
    process.on('uncaughtException', (e) => fail(EXIT_FAILURE, `internal error: ${e.stack || e}`));

    // node-opcua is large: load it only once the options are known to be good.
    const { Plugin, defaultPluginPath } = require('../lib/plugin');
    const { startServer } = require('../lib/server');
    routeOpcuaMessages(require('node-opcua'));

    let plugin;
    try {
        plugin = new Plugin(options.plugin ?? defaultPluginPath(programDir(), process.env.FENLO_OPCUA_BIN_TO_LIB));
    } catch (e) {
        fail(EXIT_BAD_INPUT, e.message);
    }
    log(`plug-in ${plugin.file}`);

    // Stopping while waiting for the driver settings is a clean stop.
    const stopWaiting = (signal) => fail(0, `${signal}: stopped while waiting for fenlodrv.ini`);
    process.on('SIGINT', stopWaiting).on('SIGTERM', stopWaiting);
    await require('../lib/driver-ini').waitForDriverIni(log);
    process.off('SIGINT', stopWaiting).off('SIGTERM', stopWaiting);

    let gateway;
    try {
        gateway = await startServer(plugin, options, log);
    } catch (e) {
        plugin.stop();
        fail(EXIT_FAILURE, `the server could not start: ${e.message}`);
    }

    let stopping = false;
    const stop = async (signal) => {
        if (stopping) return;
        stopping = true;
        log(`${signal}: stopping`);
        try {
            await gateway.stop();
        } catch (e) {
            log(`while stopping: ${e.message}`);
        }
        log('stopped');
        flush();
        process.exit(0);
    };
    process.on('SIGINT', () => stop('SIGINT'));
    process.on('SIGTERM', () => stop('SIGTERM'));
}

main().catch((e) => fail(EXIT_FAILURE, e.stack || String(e)));
