'use strict';
// Who gets in: only the identity tokens the operator configured, a stranger's certificate
// never; the server's key its user's alone; nothing kept outside --pki; every message of the
// gateway and its libraries a stamped line on standard error.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const {
    AttributeIds, DataType, MessageSecurityMode, OPCUACertificateManager, SecurityPolicy,
    StatusCodes, UserTokenPolicy, UserTokenType,
} = require('node-opcua');
const s = require('./support');

let sim;
let instDir;
let passwordFile;
let stranger; // {certificateData, privateKey} of a certificate made for this test

const STAMPED = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z /;

before(async () => {
    sim = await s.startSim({ log: true });
    instDir = s.makeInstallation(sim.pty, s.SAMPLE_MEMBERS);
    passwordFile = path.join(instDir, 'operator.pw');
    fs.writeFileSync(passwordFile, 's3cret\n');
    const pki = s.tempDir('stranger');
    const manager = new OPCUACertificateManager({ rootFolder: pki });
    await manager.initialize();
    await manager.createSelfSignedCertificate({
        applicationUri: 'urn:stranger', subject: '/CN=stranger', startDate: new Date(), validity: 30, dns: ['localhost'],
    });
    await manager.dispose();
    const pem = fs.readFileSync(path.join(pki, 'own', 'certs', 'self_signed_certificate.pem'), 'utf8');
    stranger = {
        certificateData: Buffer.from(pem.replace(/-----[^-]+-----|\s/g, ''), 'base64'),
        privateKey: fs.readFileSync(path.join(pki, 'own', 'private', 'private_key.pem'), 'utf8'),
    };
});

after(() => s.tearDown(() => sim?.stop()));

const operator = { type: UserTokenType.UserName, userName: 'operator', password: 's3cret' };
const setpoint = { nodeId: 'ns=1;s=ADR03.Process.Setpoint', attributeId: AttributeIds.Value };

// A hostile client claims a user token policy the server never offered, so that its token
// reaches the server's own check instead of being stopped by the client.
const claimPolicy = (tokenType) => (client) => {
    for (const endpoint of client._serverEndpoints ?? []) {
        endpoint.userIdentityTokens.push(new UserTokenPolicy({
            policyId: `claimed_${tokenType}`, tokenType, securityPolicyUri: SecurityPolicy.Basic256Sha256,
        }));
    }
};
const REFUSED = /BadIdentityToken(Invalid|Rejected)|BadUserAccessDenied/;

test('--no-anonymous: a self-made user certificate opens no session, with or without message security', async () => {
    const configurations = [
        { args: [], channel: {} },
        {
            args: ['--security', 'signandencrypt'],
            channel: { securityMode: MessageSecurityMode.SignAndEncrypt, securityPolicy: SecurityPolicy.Basic256Sha256 },
        },
        { args: ['--read-only'], channel: {} },
    ];
    for (const { args, channel } of configurations) {
        const what = args.join(' ') || 'no message security';
        const pki = s.tempDir('gw-pki');
        const home = s.tempDir('gw-home');
        const gateway = await s.startGateway(instDir,
            ['--pki', pki, '--no-anonymous', '--user', `operator:${passwordFile}`, ...args],
            { env: { HOME: home, XDG_CONFIG_HOME: '', XDG_STATE_HOME: '' } });
        try {
            // The operator's user signs in; the endpoints offer that user name and nothing else.
            const ua = await s.connectTrusted(gateway.endpoint, pki, { ...channel, userIdentityInfo: operator });
            const endpoints = await ua.client.getEndpoints();
            await ua.close();
            assert.ok(endpoints.length > 0);
            for (const e of endpoints) {
                assert.deepEqual(e.userIdentityTokens.map((t) => t.tokenType), [UserTokenType.UserName], `${what}: ${e.endpointUrl}`);
            }
            const writesBefore = sim.out.count(/ADR 03 WRITE/);
            await assert.rejects(s.connect(gateway.endpoint, {
                ...channel, beforeSession: claimPolicy(UserTokenType.Certificate),
                userIdentityInfo: { type: UserTokenType.Certificate, ...stranger },
            }), REFUSED, what);
            await assert.rejects(s.connect(gateway.endpoint, { ...channel, beforeSession: claimPolicy(UserTokenType.Anonymous) }),
                REFUSED, what);
            assert.equal(sim.out.count(/ADR 03 WRITE/), writesBefore, `${what}: nothing written`);
        } finally {
            assert.equal(await gateway.stop(), 0);
        }
        // Everything the server keeps is below --pki.
        assert.deepEqual(fs.readdirSync(home), [], `${what}: nothing in the home folder`);
        assert.ok(fs.existsSync(path.join(pki, 'user')), `${what}: the user store is below --pki`);
        // The libraries' messages too went to the stamped log; standard output stays empty.
        assert.deepEqual(gateway.out.lines, [], `${what}: standard output`);
        for (const line of gateway.err.lines) assert.match(line, STAMPED, `${what}: ${line}`);
        assert.ok(!gateway.err.lines.some((l) => /NODE-OPCUA-W27/.test(l)));
    }
});

test('anonymous sessions and user names are offered only as configured, and the operator may write', async () => {
    const gateway = await s.startGateway(instDir);
    try {
        const ua = await s.connect(gateway.endpoint);
        try {
            const endpoints = await ua.client.getEndpoints();
            for (const e of endpoints) {
                assert.deepEqual(e.userIdentityTokens.map((t) => t.tokenType), [UserTokenType.Anonymous], e.endpointUrl);
            }
            // No user is configured: a user name is refused, however it is spelled.
            await assert.rejects(s.connect(gateway.endpoint, {
                userIdentityInfo: operator, beforeSession: claimPolicy(UserTokenType.UserName),
            }), REFUSED);
            const status = await ua.session.write({ ...setpoint, value: { value: { dataType: DataType.Float, value: 71 } } });
            assert.equal(status, StatusCodes.Good);
        } finally {
            await ua.close();
        }
    } finally {
        await gateway.stop();
    }
});

test('a private key that others may read stops the start with a message naming it', async () => {
    const pki = s.tempDir('gw-pki');
    // The first start makes the key, for its user only.
    const first = await s.startGateway(instDir, ['--pki', pki]);
    await first.stop();
    const key = path.join(pki, 'own', 'private', 'private_key.pem');
    assert.equal(fs.statSync(key).mode & 0o777, 0o600);
    assert.equal(fs.statSync(pki).mode & 0o077, 0);
    for (const mode of [0o640, 0o604, 0o620]) {
        fs.chmodSync(key, mode);
        const r = await s.run(s.programs.gateway, ['--pki', pki, '--port', String(await s.freePort())], { KORVEX_OPC_INSTDIR: instDir });
        assert.equal(r.code, 1, mode.toString(8));
        assert.match(r.stderr, new RegExp(`the private key ${key.replace(/[.]/g, '\\.')} is open to others \\(mode 0${mode.toString(8)}\\)`));
        assert.match(r.stderr, /chmod 600/);
    }
});
