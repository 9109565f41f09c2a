'use strict';
// The gateway as a program: options, exit codes, read-only service, memory over many reads,
// and a stop that stops the plug-in's polling.

const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const {
    AttributeIds, DataType, MessageSecurityMode, SecurityPolicy, StatusCodes, UserTokenType,
} = require('node-opcua');
const s = require('./support');

const nodeId = (p) => `ns=1;s=${p}`;

after(() => s.dispose());

test('bad options and a plug-in that cannot be loaded end with a clear message and exit code 2', async () => {
    const dir = s.tempDir('gw-opt');
    const cases = [
        [['--port', '0'], /--port 0: a port number 1\.\.65535 is expected/],
        [['--port', 'http'], /--port http: a port number/],
        [['--security', 'maybe'], /--security maybe: one of none, sign, signandencrypt/],
        [['--frobnicate'], /Unknown option '--frobnicate'/],
        [['--user', 'op'], /--user op: NAME:PASSWORD-FILE is expected/],
        [['--user', `op:${path.join(dir, 'missing')}`], /cannot read the password file .*missing: ENOENT/],
        [['--no-anonymous'], /--no-anonymous: no user could sign in/],
        [['--max-sessions', '0'], /--max-sessions 0: a number 1\.\.1000000 is expected/],
        [['--max-connections', 'many'], /--max-connections many: a number/],
        [['--state', dir], /--state needs --mqtt URL/],
        [['--min-publishing-interval', '5'], /--min-publishing-interval 5: a number 10\.\.1000 is expected/],
        [['--plugin', path.join(dir, 'libnothing.so')], /cannot load plug-in .*libnothing\.so: no such file/],
    ];
    fs.writeFileSync(path.join(dir, 'libbroken.so'), 'not a library');
    cases.push([['--plugin', path.join(dir, 'libbroken.so')], /cannot load plug-in .*libbroken\.so/]);
    for (const [args, message] of cases) {
        const r = await s.run(s.programs.gateway, ['--pki', path.join(dir, 'pki'), ...args], { KORVEX_OPC_INSTDIR: dir });
        assert.equal(r.code, 2, `${args.join(' ')}: ${r.stderr}`);
        assert.match(r.stderr, message, args.join(' '));
    }
    const help = await s.run(s.programs.gateway, ['--help']);
    assert.equal(help.code, 0);
    for (const option of ['--host', '--port', '--pki', '--read-only', '--security', '--user', '--no-anonymous', '--plugin',
        '--max-connections', '--max-sessions', '--max-subscriptions', '--max-monitored-items', '--min-publishing-interval', '--state']) {
        assert.ok(help.stdout.includes(option), option);
    }
    const version = await s.run(s.programs.gateway, ['--version']);
    assert.match(version.stdout, /^fenlo-opcua \d+\.\d+\.\d+\n$/);
});

test('settings the gateway reads itself: a FIFO, a folder or a huge file in their place is refused at once', async () => {
    const { execFileSync } = require('node:child_process');
    const { busPort } = require('../lib/sparkplug');
    const { installDir } = require('../lib/driver-ini');
    const dir = s.tempDir('gw-settings');
    const ini = path.join(dir, 'fenlodrv.ini');
    const conf = path.join(dir, 'opc-server.conf');
    const env = { KORVEX_OPC_INSTDIR: dir };
    fs.writeFileSync(ini, '[KXBUS]\r\nCOM = /dev/ttyUSB3\r\n');
    assert.equal(busPort(env), '/dev/ttyUSB3');
    fs.writeFileSync(conf, '[OPC Server]\nInstDir=/srv/plant\n');
    assert.equal(installDir({ KORVEX_OPC_SERVER_CONF: conf }), '/srv/plant');
    // Nobody writes into these FIFOs: a read that waited for a writer would never return.
    for (const file of [ini, conf]) {
        fs.rmSync(file);
        execFileSync('mkfifo', [file]);
    }
    assert.equal(busPort(env), '');
    assert.equal(installDir({ KORVEX_OPC_SERVER_CONF: conf }), '');
    fs.rmSync(ini);
    fs.mkdirSync(ini);
    assert.equal(busPort(env), '');
    fs.rmSync(ini, { recursive: true });
    fs.writeFileSync(ini, `COM = /dev/ttyS0\n${' '.repeat(2 << 20)}`);
    assert.equal(busPort(env), '');
});

test('read-only: writes are refused with BadUserAccessDenied, users sign in with their password', async () => {
    const sim = await s.startSim();
    const dir = s.makeInstallation(sim.pty, s.SAMPLE_MEMBERS);
    const passwordFile = path.join(dir, 'operator.pw');
    fs.writeFileSync(passwordFile, 's3cret\n');
    const gateway = await s.startGateway(dir, ['--read-only', '--no-anonymous', '--user', `operator:${passwordFile}`]);
    try {
        await assert.rejects(s.connect(gateway.endpoint), 'anonymous sessions are refused');
        await assert.rejects(s.connect(gateway.endpoint, {
            userIdentityInfo: { type: UserTokenType.UserName, userName: 'operator', password: 'wrong' },
        }));
        const ua = await s.connect(gateway.endpoint, {
            userIdentityInfo: { type: UserTokenType.UserName, userName: 'operator', password: 's3cret' },
        });
        try {
            const status = await ua.session.write({
                nodeId: nodeId('ADR03.Process.Setpoint'), attributeId: AttributeIds.Value,
                value: { value: { dataType: DataType.Float, value: 60 } },
            });
            assert.equal(status, StatusCodes.BadUserAccessDenied);
            const [access, userAccess] = await ua.session.read([AttributeIds.AccessLevel, AttributeIds.UserAccessLevel]
                .map((attributeId) => ({ nodeId: nodeId('ADR03.Process.Setpoint'), attributeId })));
            assert.equal(access.value.value & 3, 3);
            assert.equal(userAccess.value.value & 3, 1);
            const r = await s.until(async () => {
                const v = await ua.session.read({ nodeId: nodeId('ADR03.Process.Setpoint'), attributeId: AttributeIds.Value });
                return v.statusCode === StatusCodes.Good && v;
            }, 20000, 'reads still work');
            assert.equal(r.value.value, 75);
        } finally {
            await ua.close();
        }
    } finally {
        await gateway.stop();
        await sim.stop();
    }
});

test('--security sign offers no endpoint without security, and a trusted client signs its messages', async () => {
    const sim = await s.startSim();
    const dir = s.makeInstallation(sim.pty, s.SAMPLE_MEMBERS);
    const pki = s.tempDir('gw-pki');
    const gateway = await s.startGateway(dir, ['--security', 'sign', '--pki', pki]);
    try {
        await assert.rejects(s.connect(gateway.endpoint), 'no endpoint without message security');
        const signed = { securityMode: MessageSecurityMode.Sign, securityPolicy: SecurityPolicy.Basic256Sha256 };
        // An unknown client certificate is rejected, and kept where an administrator trusts it.
        await assert.rejects(s.connect(gateway.endpoint, signed));
        const rejected = path.join(pki, 'rejected');
        await s.until(() => fs.existsSync(rejected) && fs.readdirSync(rejected).length > 0, 30000, 'the client certificate waits in rejected/');
        // Trusted by moving it to trusted/certs; the server notices that on its own time.
        const ua = await s.connectTrusted(gateway.endpoint, pki, signed);
        try {
            const r = await ua.session.read({ nodeId: nodeId('ADR03.DEVICE_ID'), attributeId: AttributeIds.Value });
            assert.equal(r.value.dataType, DataType.String);
        } finally {
            await ua.close();
        }
        assert.ok(fs.existsSync(path.join(pki, 'own', 'certs')), 'the server made its own certificate');
    } finally {
        await gateway.stop();
        await sim.stop();
    }
});

function rssKiB(pid) {
    const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
    return Number(/VmRSS:\s+(\d+)/.exec(status)[1]);
}

test('10 000 reads leave the memory as it was, and SIGTERM stops the polling before the exit', async () => {
    const sim = await s.startSim({ log: true });
    const dir = s.makeInstallation(sim.pty, s.SAMPLE_MEMBERS);
    const gateway = await s.startGateway(dir);
    const ua = await s.connect(gateway.endpoint);
    // Texts (allocated by the plug-in, freed by the gateway) and numbers, 20 values a Read.
    const paths = ['ADR03.DEVICE_ID', 'ADR07.Inputs.Inputs', 'ADR12.Info.Firmware', 'ADR03.Process.ActualTemp', 'ADR12.Status.Speed'];
    const items = Array.from({ length: 20 }, (_, i) => ({ nodeId: nodeId(paths[i % paths.length]), attributeId: AttributeIds.Value }));
    try {
        const readMany = async (requests) => {
            for (let i = 0; i < requests; i++) await ua.session.read(items);
        };
        await readMany(100); // warm-up: code paths compiled, pools filled
        const before = rssKiB(gateway.child.pid);
        await readMany(500); // 10 000 values
        const grown = rssKiB(gateway.child.pid) - before;
        assert.ok(grown < 24 * 1024, `the gateway grew by ${grown} KiB over 10 000 reads`);
    } finally {
        await ua.close();
    }

    // The plug-in polls while the gateway runs...
    await sim.out.wait(/ADR 03 READ/, 10000);
    const code = await gateway.stop('SIGTERM');
    assert.equal(code, 0);
    const log = gateway.err.lines.join('\n');
    assert.match(log, /SIGTERM: stopping/);
    assert.match(log, /stopped$/m);
    // ...and not after it has gone: SOXpSStop ended the polling thread.
    const seen = sim.out.count(/READ/);
    await new Promise((r) => setTimeout(r, 1500));
    assert.equal(sim.out.count(/READ/), seen, 'no poll after the gateway stopped');
    await sim.stop();
});
