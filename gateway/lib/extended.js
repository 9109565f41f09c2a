'use strict';
// What the gateway adds when the plug-in has its extension: poll times and Uncertain values on
// every read, variables refreshed right after each poll, the diagnostics namespace and the
// metrics endpoint. Without the extension (or with --no-extension) none of it is there and the
// gateway works from the five entry points alone.

const { loadExtension } = require('./extension');
const { FreshReads, PollWatcher, pushPolledValues } = require('./freshness');
const { Diagnostics } = require('./diagnostics');

// Returns null when the extension is not used; else {ext, addresses, watcher, start(), stop()}.
function attachExtension({ plugin, gateway, addressSpace, options, log }) {
    const ext = options.extension === false ? null : loadExtension(plugin);
    if (!ext) {
        log(options.extension === false
            ? 'plug-in extension not used (--no-extension): values carry the time of the read'
            : 'the plug-in has no extension: values carry the time of the read, no health figures');
        if (options.metrics) throw new Error('--metrics needs the plug-in\'s extension, which is not used');
        return null;
    }
    const addresses = ext.configuredAddresses();
    log(`plug-in extension ${ext.version}: values carry the time of their poll; ` +
        `${addresses.length} configured member(s) in the diagnostics`);
    new FreshReads(plugin, ext).install();
    const watcher = new PollWatcher(ext, addresses, log);
    pushPolledValues(watcher, gateway);
    const diagnostics = new Diagnostics({ addressSpace, ext, addresses });
    let metricsServer = null;
    return {
        ext, addresses, watcher,
        // Once the plug-in polls.
        async start() {
            watcher.start();
            diagnostics.start(watcher);
            if (options.metrics) {
                const { serveMetrics } = require('./metrics');
                metricsServer = await serveMetrics(options.metrics, ext, addresses, log);
            }
        },
        async stop() {
            diagnostics.stop();
            if (metricsServer) {
                metricsServer.closeAllConnections?.();
                await new Promise((resolve) => metricsServer.close(() => resolve()));
            }
            await watcher.stop();
        },
    };
}

module.exports = { attachExtension };
