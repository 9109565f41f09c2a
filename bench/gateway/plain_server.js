'use strict';
// The reference of the gateway benchmark: the same node-opcua server, serving plain in-memory
// variables. Usage: node plain_server.js PORT PKI_DIR [VARIABLES_JSON]
// Without VARIABLES_JSON: 100 Float variables ns=1;s=Plain.NNN. With it: the variables it lists,
// [{path, dataType (a DataType name), value}], each as ns=1;s=PATH holding that value, so that
// the reference answers a Read of the same nodes with the same values as the gateway does.

const fs = require('node:fs');
const { createRequire } = require('node:module');
const path = require('node:path');

const gatewayRequire = createRequire(path.join(__dirname, '..', '..', 'gateway', 'package.json'));
const { OPCUACertificateManager, OPCUAServer, DataType, Variant } = gatewayRequire('node-opcua');

function variablesOf(file) {
    if (!file) {
        return Array.from({ length: 100 }, (_, i) => ({
            path: `Plain.${String(i).padStart(3, '0')}`, dataType: 'Float', value: i / 4,
        }));
    }
    const list = JSON.parse(fs.readFileSync(file, 'utf8'));
    list.forEach((v, i) => {
        if (typeof v.path !== 'string' || !(v.dataType in DataType)) {
            throw new Error(`${file}: variable ${i + 1} needs a path and a DataType name`);
        }
    });
    return list;
}

async function main() {
    const [port, pki, file] = process.argv.slice(2);
    const variables = variablesOf(file);
    const server = new OPCUAServer({
        port: Number(port), host: '127.0.0.1', hostname: '127.0.0.1',
        serverCertificateManager: new OPCUACertificateManager({ rootFolder: pki }),
    });
    await server.initialize();
    const addressSpace = server.engine.addressSpace;
    const namespace = addressSpace.getOwnNamespace();
    const folder = namespace.addFolder(addressSpace.rootFolder.objects, { nodeId: 's=Plain', browseName: 'Plain' });
    variables.forEach((v, i) => {
        namespace.addVariable({
            organizedBy: folder, nodeId: `s=${v.path}`, browseName: `V${String(i).padStart(3, '0')}`,
            dataType: v.dataType, value: new Variant({ dataType: DataType[v.dataType], value: v.value }),
        });
    });
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
