'use strict';
// The OPC UA server around the plug-in: start-up in the plug-in's order (Initialize, Build,
// Start), and the way back (server closed, queued writes done, Stop).

const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const {
    MessageSecurityMode, OPCUACertificateManager, OPCUAServer, SecurityPolicy, StatusCodes,
    Subscription, UserTokenType, VariantArrayType,
} = require('node-opcua');
const { buildAddressSpace, checkWrite, readInOneBatch } = require('./gateway');
const { attachExtension } = require('./extended');
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
const SUBSCRIPTIONS_PER_SESSION = 10;
// Time for the answers to the last writes to leave before the sessions close.
const ANSWERS_OUT_MS = 50;

// Same length in constant time, so that a wrong password tells nothing by its timing.
function samePassword(given, expected) {
    const a = crypto.createHash('sha256').update(String(given ?? '')).digest();
    const b = crypto.createHash('sha256').update(expected).digest();
    return crypto.timingSafeEqual(a, b);
}

// The server's private key must be its user's alone: anyone else who reads it can pose as the
// server, anyone who may write it can swap it.
function checkPrivateKey(pki) {
    const key = path.join(pki, 'own', 'private', 'private_key.pem');
    let stat;
    try {
        stat = fs.statSync(key);
    } catch (e) {
        if (e.code === 'ENOENT') return; // made on this start, by its user for its user
        throw new Error(`cannot check the private key ${key}: ${e.code || e.message}`);
    }
    const mode = stat.mode & 0o777;
    if (mode & 0o077) {
        throw new Error(`the private key ${key} is open to others (mode ${mode.toString(8).padStart(4, '0')}); ` +
            `only its owner may read it: chmod 600 ${key}`);
    }
}

// Only the identity tokens the operator configured: anonymous unless --no-anonymous, a user
// name only with --user, never a user certificate.
function offerOnlyConfiguredTokens(server, options) {
    const offered = (token) => (token.tokenType === UserTokenType.Anonymous && options.anonymous) ||
        (token.tokenType === UserTokenType.UserName && options.user !== null);
    for (const endpoint of server.endpoints) {
        for (const description of endpoint.endpointDescriptions()) {
            description.userIdentityTokens = (description.userIdentityTokens ?? []).filter(offered);
        }
    }
}

const REFUSALS = {
    session: (o) => `${o.maxSessions} sessions are open (--max-sessions)`,
    subscription: (o) => `the limit of ${o.maxSubscriptions} subscriptions, ${Math.min(o.maxSubscriptions, SUBSCRIPTIONS_PER_SESSION)} a session, is reached (--max-subscriptions)`,
    'monitored item': (o) => `${o.maxMonitoredItems} monitored items a subscription (--max-monitored-items)`,
};

// Which limit, if any, a response refuses something for.
function limitRefused(response) {
    const result = response?.responseHeader?.serviceResult?.value;
    if (result === StatusCodes.BadTooManySessions.value) return 'session';
    if (result === StatusCodes.BadTooManySubscriptions.value) return 'subscription';
    const items = StatusCodes.BadTooManyMonitoredItems.value;
    if (result === items || response?.results?.some?.((r) => r?.statusCode?.value === items)) return 'monitored item';
    return null;
}

const peer = (channel) => `${channel?.remoteAddress ?? '?'}:${channel?.remotePort ?? '?'}`;

// Refusals for the server's limits, logged with the client's address.
function logRefusals(server, options, log) {
    for (const endpoint of server.endpoints) {
        endpoint.on('connectionRefused', (socketData) => {
            log(`connection from ${socketData.remoteAddress}:${socketData.remotePort} refused: ` +
                `${options.maxConnections} connections are open (--max-connections)`);
        });
        endpoint.on('openSecureChannelFailure', (socketData, channelData) => {
            log(`secure channel from ${socketData.remoteAddress}:${socketData.remotePort} refused: ` +
                `${socketData.reason ?? channelData?.reason ?? 'security check failed'}`);
        });
        // Sessions, subscriptions and monitored items beyond the limits are refused in the
        // responses on the client's channel.
        endpoint.on('newChannel', (channel) => {
            const send = channel.send_response;
            channel.send_response = function (msgType, response, ...rest) {
                const refusal = limitRefused(response);
                if (refusal) log(`${refusal} for ${peer(this)} refused: ${REFUSALS[refusal](options)}`);
                return send.call(this, msgType, response, ...rest);
            };
        });
    }
}

async function startServer(plugin, options, log) {
    const description = plugin.initialize();
    if (!description) throw new Error('the plug-in returned no server description');
    log(description.versionText);

    const { events } = plugin.buildNamespace();

    fs.mkdirSync(options.pki, { recursive: true, mode: 0o700 });
    checkPrivateKey(options.pki);
    const serverCertificateManager = new OPCUACertificateManager({
        rootFolder: options.pki,
        automaticallyAcceptUnknownCertificate: false,
    });
    // No user certificate is offered or trusted; the manager lives under --pki so that nothing
    // is kept outside it.
    const userCertificateManager = new OPCUACertificateManager({
        rootFolder: path.join(options.pki, 'user'),
        automaticallyAcceptUnknownCertificate: false,
    });
    const security = SECURITY[options.security];
    // A client that asks for a shorter publishing interval gets this one (one server a
    // process, so the library's own setting is ours).
    Subscription.minimumPublishingInterval = options.minPublishingInterval;
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
        userCertificateManager,
        maxConnectionsPerEndpoint: options.maxConnections,
        serverCapabilities: {
            maxSessions: options.maxSessions,
            maxSubscriptions: options.maxSubscriptions,
            maxSubscriptionsPerSession: Math.min(options.maxSubscriptions, SUBSCRIPTIONS_PER_SESSION),
            maxMonitoredItemsPerSubscription: options.maxMonitoredItems,
            maxMonitoredItems: options.maxMonitoredItems * options.maxSubscriptions,
        },
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
    offerOnlyConfiguredTokens(server, options);
    logRefusals(server, options, log);

    const addressSpace = server.engine.addressSpace;
    const namespace = addressSpace.getOwnNamespace();
    const trace = options.traceBatches ? log : null;
    const gateway = buildAddressSpace({
        namespace, objectsFolder: addressSpace.rootFolder.objects, events, plugin,
        readOnly: options.readOnly, trace, log,
    });
    log(`namespace: ${gateway.folderCount} folders, ${gateway.variableCount} variables`);
    readInOneBatch(server.engine, namespace.index, gateway.items, gateway.reads);
    const extended = attachExtension({ plugin, gateway, addressSpace, options, log });

    plugin.start();
    await extended?.start();
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
            extension: extended,
            checkWrite: (item, value) => checkWrite(item, { arrayType: VariantArrayType.Scalar, value }),
        });
        edgeNode.start();
    }

    // The way back: no new writes; the queued ones answered (sent, or refused once the stop's
    // write time is up) while their clients are still connected; then the node's death, the
    // server closed, the plug-in stopped.
    let stopped = null;
    const stop = () => {
        stopped ??= (async () => {
            edgeNode?.stopCommands();
            await gateway.writes.close();
            await new Promise((resolve) => setTimeout(resolve, ANSWERS_OUT_MS));
            await edgeNode?.stop();
            await server.shutdown(0);
            gateway.reads.closed = true;
            await extended?.stop();
            plugin.stop();
        })();
        return stopped;
    };
    return { server, gateway, endpoint, edgeNode, extended, stop };
}

module.exports = { startServer };
