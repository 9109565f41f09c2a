'use strict';
// Where the plug-in will look for fenlodrv.ini, and a quiet wait for it: a gateway installed
// before the bus was configured starts serving once linkspy-cli generate has written the file,
// instead of serving an empty namespace without a word.

const fs = require('node:fs');
const path = require('node:path');

const INI_NAME = 'fenlodrv.ini';
const DEFAULT_SERVER_CONF = '/etc/korvex/opc-server.conf';
const SYSTEM_DIR = '/etc';

// InstDir of the [OPC Server] section by the profile-file rules the plug-in uses: names without
// regard to case, the first occurrence wins, blanks and surrounding quotes removed.
function instDirFromConf(text) {
    let inSection = false;
    for (const raw of text.split(/\r?\n/)) {
        const line = raw.trim();
        const section = /^\[(.*)\]/.exec(line);
        if (section) {
            inSection = section[1].trim().toLowerCase() === 'opc server';
            continue;
        }
        const eq = line.indexOf('=');
        if (!inSection || eq < 0 || line.slice(0, eq).trim().toLowerCase() !== 'instdir') continue;
        const value = line.slice(eq + 1).trim();
        return /^".*"$|^'.*'$/.test(value) ? value.slice(1, -1) : value;
    }
    return '';
}

// The text of a settings file that is a regular file of at most `limit` bytes. Opened without
// blocking, so that a FIFO or a device put in its place is refused instead of holding the gateway,
// as the plug-in refuses them too.
function readSettingsFile(file, encoding = 'latin1', limit = 1 << 20) {
    const fd = fs.openSync(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
    try {
        const stat = fs.fstatSync(fd);
        if (!stat.isFile()) throw new Error(`${file}: not a regular file`);
        if (stat.size > limit) throw new Error(`${file}: larger than ${limit} bytes`);
        return fs.readFileSync(fd, encoding);
    } finally {
        fs.closeSync(fd);
    }
}

function installDir(env) {
    if (env.KORVEX_OPC_INSTDIR) return env.KORVEX_OPC_INSTDIR;
    try {
        return instDirFromConf(readSettingsFile(env.KORVEX_OPC_SERVER_CONF || DEFAULT_SERVER_CONF));
    } catch {
        return '';
    }
}

function findNoCase(dir) {
    try {
        const exact = path.join(dir, INI_NAME);
        if (fs.statSync(exact, { throwIfNoEntry: false })?.isFile()) return exact;
        const name = fs.readdirSync(dir).sort().find((n) => n.toLowerCase() === INI_NAME);
        return name ? path.join(dir, name) : null;
    } catch {
        return null;
    }
}

const isDir = (dir) => Boolean(dir) && fs.statSync(dir, { throwIfNoEntry: false })?.isDirectory();

// The folders the plug-in searches, in its order: the installation directory (the working
// directory when that is unknown), the PATH, the system directory.
function searchDirs(env) {
    const inst = installDir(env);
    const dirs = [isDir(inst) ? inst : process.cwd()];
    for (const dir of (env.PATH || '').split(path.delimiter)) if (dir) dirs.push(dir);
    dirs.push(SYSTEM_DIR);
    return { inst: inst || process.cwd(), dirs };
}

function findDriverIni(env = process.env) {
    for (const dir of searchDirs(env).dirs) {
        const found = findNoCase(dir);
        if (found) return found;
    }
    return null;
}

// Resolves with the file's path once it exists; logs once while it does not.
async function waitForDriverIni(log, { env = process.env, intervalMs = 2000 } = {}) {
    let found = findDriverIni(env);
    if (found) return found;
    log(`no ${INI_NAME} in ${searchDirs(env).inst} yet (nor in the PATH or ${SYSTEM_DIR}): waiting for it; ` +
        `linkspy-cli generate writes it, and the server starts once it is there`);
    while (!found) {
        await new Promise((resolve) => setTimeout(resolve, intervalMs));
        found = findDriverIni(env);
    }
    log(`${found} found: starting`);
    return found;
}

module.exports = { findDriverIni, waitForDriverIni, instDirFromConf, installDir, readSettingsFile };
