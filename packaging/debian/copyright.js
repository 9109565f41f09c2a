#!/usr/bin/env node
'use strict';
// Writes the package's machine-readable copyright file: this project's licence, then every npm
// package that the package bundles with its copyright lines and licence, then the text of each
// licence named. A bundled package whose licence cannot be told ends the build: the file must
// not claim what nobody checked.
// Usage: copyright.js NODE_MODULES INSTALLED_MODULES_PATH LICENSE OUT

const fs = require('node:fs');
const path = require('node:path');

const [modules, installedPath, projectLicense, out] = process.argv.slice(2);
if (!out) {
    process.stderr.write('usage: copyright.js NODE_MODULES INSTALLED_MODULES_PATH LICENSE OUT\n');
    process.exit(2);
}

// Packages whose package.json names no licence; their licence files or notes say which.
const STATED_ELSEWHERE = { dequeue: 'BSD-2-Clause', humanize: 'MIT', precond: 'MIT' };
// Licences that Debian ships in /usr/share/common-licenses.
const COMMON = { 'Apache-2.0': 'Apache-2.0' };
// Licences of packages that ship no licence file: where their text is published.
const PUBLISHED = { 'EPL-2.0': 'https://www.eclipse.org/legal/epl-2.0/' };

// A build tree without the gateway's packages (a developer's) lists none.
const lockFile = path.join(modules, '.package-lock.json');
const lock = fs.existsSync(lockFile) ? JSON.parse(fs.readFileSync(lockFile, 'utf8')) : { packages: {} };
const licenceFile = (dir) => fs.readdirSync(dir).find((n) => /^(licen[cs]e|copying)(\.|$)/i.test(n));

const packages = [];
for (const where of Object.keys(lock.packages).filter((w) => w.startsWith("node_modules/"))) {
    const dir = path.join(modules, where.replace(/^node_modules\//, ''));
    // Optional packages of other platforms are listed but not installed.
    if (!fs.existsSync(path.join(dir, 'package.json'))) continue;
    const meta = JSON.parse(fs.readFileSync(path.join(dir, 'package.json'), 'utf8'));
    let license = meta.license ?? meta.licenses?.map((l) => l.type ?? l).join(' or ');
    if (typeof license === 'object') license = license.type;
    license = license ?? STATED_ELSEWHERE[meta.name];
    if (!license) {
        process.stderr.write(`copyright.js: ${where}: the package names no licence\n`);
        process.exit(1);
    }
    license = license.replace(/^\((.*)\)$/, '$1').replace(/ OR /g, ' or ');
    const file = licenceFile(dir);
    const text = file ? fs.readFileSync(path.join(dir, file), 'utf8') : '';
    const holders = [...new Set(text.split('\n').map((l) => l.trim())
        .filter((l) => /^(copyright|\(c\)|©)\s/i.test(l) && !/^copyright (notice|holders?|and)/i.test(l)))];
    const author = typeof meta.author === 'string' ? meta.author : meta.author?.name;
    packages.push({ where, name: meta.name, version: meta.version, license, holders, author, text });
}

const lines = [
    'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/',
    'Upstream-Name: kvx-fieldbus-link',
    'Comment: The OPC UA gateway bundles the npm packages it runs with, at the exact versions',
    ' of its lock file; each is listed below with its licence.',
    '',
    'Files: *',
    'Copyright: 2026 KORVEX',
    'License: MIT',
    '',
];
const cont = (text) => text.split('\n').map((l) => (l.trim() ? ` ${l.replace(/\s+$/, '')}` : ' .')).join('\n');
for (const p of packages.sort((a, b) => a.where.localeCompare(b.where))) {
    const copyright = p.holders.length ? p.holders.map((h) => h.replace(/^copyright\s*/i, '').replace(/^\(c\)\s*/i, '')) :
        [p.author ? p.author : `the authors of ${p.name}`];
    lines.push(`Files: ${installedPath}/${p.where.replace(/^node_modules\//, '')}/*`);
    lines.push(`Copyright: ${copyright.join('\n ')}`);
    lines.push(`License: ${p.license}`);
    lines.push(`Comment: npm package ${p.name} ${p.version}`);
    lines.push('');
}
// One text for each licence: Debian's copy where it has one, else the first bundled licence
// file of that name without its copyright lines.
const names = new Set(['MIT']);
for (const p of packages) for (const n of p.license.split(' or ')) names.add(n);
for (const name of [...names].sort()) {
    lines.push(`License: ${name}`);
    if (COMMON[name]) {
        lines.push(` On Debian systems the full text of this licence is in`);
        lines.push(` /usr/share/common-licenses/${COMMON[name]}.`);
    } else {
        const source = name === 'MIT' ? fs.readFileSync(projectLicense, 'utf8') :
            packages.find((p) => p.license.split(' or ').includes(name) && p.text)?.text;
        if (!source && PUBLISHED[name]) {
            lines.push(` The bundled package ships no copy; the text is published at`);
            lines.push(` ${PUBLISHED[name]}`);
            lines.push('');
            continue;
        }
        if (!source) {
            process.stderr.write(`copyright.js: no bundled text of the licence ${name}\n`);
            process.exit(1);
        }
        const body = source.split('\n').filter((l) => !/^\s*(copyright|\(c\)|©)\s/i.test(l) && !/^\s*(mit license|the mit license.*)\s*$/i.test(l)).join('\n').trim();
        lines.push(cont(body));
    }
    lines.push('');
}
fs.writeFileSync(out, lines.join('\n'));
