'use strict';
// The OPC UA server around the plug-in: start-up in the plug-in's order (Initialize, Build,
// Start), and the way back (server closed, queued writes done, Stop).

const crypto = require('node:crypto');
const fs = require('node:fs');
const {
    MessageSecurityMode, OPCUACertificateManager, OPCUAServer, SecurityPolicy, VariantArrayType,
} = require('node-opcua');
const { buildAddressSpace, checkWrite, readInOneBatch } = require('./gateway');
const { version } = require('../package.json');

// The lowest message security that a client may choose; secure endpoints use Basic256Sha256,
// which also encrypts user passwords on endpoints without message security.
const SECURITY = {
    none: {
        modes: [MessageSecurityMode.None, MessageSecurityMode.Sign, MessageSecurityMode.SignAndEncrypt],
        policies: [SecurityPolicy.None, SecurityPolicy.Basic256Sha256],
    },
    sign: {
        modes: [MessageSecurityMode.Sign, MessageSecurityMode.SignAndEncrypt],
        policies: [SecurityPolicy.Basic256Sha256],
    },
    signandencrypt: {
        modes: [MessageSecurityMode.SignAndEncrypt], policies: [SecurityPolicy.Basic256Sha256],
    },
};

const ALL_INTERFACES = new Set(['0.0.0.0', '::']);

// Same length in constant time, so that a wrong password tells nothing by its timing.
function samePassword(given, expected) {
    const a = crypto.createHash('sha256').update(String(given ?? '')).digest();
    const b = crypto.createHash('sha256').update(expected).digest();
    return crypto.timingSafeEqual(a, b);
}

async function startServer(plugin, options, log) {
    const description = plugin.initialize();
    if (!description) throw new Error('the plug-in returned no server description');
    log(description.versionText);

    const { events } = plugin.buildNamespace();

    fs.mkdirSync(options.pki, { recursive: true });
    const serverCertificateManager = new OPCUACertificateManager({
        rootFolder: options.pki,
        automaticallyAcceptUnknownCertificate: false,
    });
    const security = SECURITY[options.security];
    const hostname = ALL_INTERFACES.has(options.host) ? undefined : options.host;
    const server = new OPCUAServer({
        port: options.port,
        host: options.host,
        hostname,
        securityModes: security.modes,
        securityPolicies: security.policies,
        allowAnonymous: options.anonymous,
        userManager: options.user ? {
            isValidUser: (name, password) => name === options.user.name && samePassword(password, options.user.password),
        } : undefined,
        serverCertificateManager,
        serverInfo: {
            applicationUri: `urn:${hostname ?? 'localhost'}:korvex:fenlo-opcua`,
            productUri: 'urn:korvex:fenlo-opcua',
            applicationName: { text: `fenlo-opcua (${description.description})`, locale: 'en' },
        },
        buildInfo: {
            productName: 'fenlo-opcua',
            productUri: 'urn:korvex:fenlo-opcua',
            manufacturerName: description.vendor,
            softwareVersion: version,
        },
    });
    await server.initialize();

    const addressSpace = server.engine.addressSpace;
    const namespace = addressSpace.getOwnNamespace();
    const trace = options.traceBatches ? log : null;
    const gateway = buildAddressSpace({
        namespace, objectsFolder: addressSpace.rootFolder.objects, events, plugin,
        readOnly: options.readOnly, trace,
    });
    log(`namespace: ${gateway.folderCount} folders, ${gateway.variableCount} variables`);
    readInOneBatch(server.engine, namespace.index, gateway.items, gateway.reads);

    plugin.start();
    let endpoint = null;
    if (options.opcua !== false) {
        try {
            await server.start();
        } catch (e) {
            throw new Error(`cannot listen on ${options.host}:${options.port}: ${e.message}`);
        }
        endpoint = server.getEndpointUrl();
        log(`listening on ${endpoint} (security ${options.security}${options.readOnly ? ', read-only' : ''}` +
            `${options.anonymous ? '' : ', no anonymous sessions'})`);
    }
    let edgeNode = null;
    if (options.mqtt) {
        const { EdgeNode } = require('./sparkplug');
        edgeNode = new EdgeNode({
            plugin, items: gateway.items, writes: gateway.writes, options, log, version,
            checkWrite: (item, value) => checkWrite(item, { arrayType: VariantArrayType.Scalar, value }),
        });
        edgeNode.start();
    }

    let stopped = null;
    const stop = () => {
        stopped ??= (async () => {
            await edgeNode?.stop();
            await server.shutdown(0);
            gateway.reads.closed = true;
            await gateway.writes.close();
            plugin.stop();
        })();
        return stopped;
    };
    return { server, gateway, endpoint, edgeNode, stop };
}

module.exports = { startServer };
