'use strict';
// The reference of the gateway benchmark: the same node-opcua server, serving 100 plain
// in-memory Float variables under ns=1;s=Plain.NNN. Usage: node plain_server.js PORT PKI_DIR

const { createRequire } = require('node:module');
const path = require('node:path');

const gatewayRequire = createRequire(path.join(__dirname, '..', '..', 'gateway', 'package.json'));
const { OPCUACertificateManager, OPCUAServer, DataType, Variant } = gatewayRequire('node-opcua');

async function main() {
    const [port, pki] = process.argv.slice(2);
    const server = new OPCUAServer({
        port: Number(port), host: '127.0.0.1', hostname: '127.0.0.1',
        serverCertificateManager: new OPCUACertificateManager({ rootFolder: pki }),
    });
    await server.initialize();
    const addressSpace = server.engine.addressSpace;
    const namespace = addressSpace.getOwnNamespace();
    const folder = namespace.addFolder(addressSpace.rootFolder.objects, { nodeId: 's=Plain', browseName: 'Plain' });
    for (let i = 0; i < 100; i++) {
        const id = String(i).padStart(3, '0');
        namespace.addVariable({
            organizedBy: folder, nodeId: `s=Plain.${id}`, browseName: `V${id}`, dataType: 'Float',
            value: new Variant({ dataType: DataType.Float, value: i / 4 }),
        });
    }
    await server.start();
    process.stdout.write(`listening on ${server.getEndpointUrl()}\n`);
    process.on('SIGTERM', async () => {
        await server.shutdown(0);
        process.exit(0);
    });
}

main().catch((e) => {
    process.stderr.write(`${e.stack}\n`);
    process.exit(1);
});
