'use strict';
// Node.js 18 (Debian 12's own) offers WebCrypto only as require('node:crypto').webcrypto, its
// global behind a flag; node-opcua draws its random bytes from the global. Required first by
// every program that loads node-opcua.
if (!globalThis.crypto) globalThis.crypto = require('node:crypto').webcrypto;
