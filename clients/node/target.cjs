'use strict';
// The helper's command line for a target, and where the helper is. Pure
// functions, run on the caller's event loop.
const path = require('node:path');

const PLATFORMS = ['win32-x64', 'linux-x64'];

function isSupported() {
  return PLATFORMS.includes(`${process.platform}-${process.arch}`);
}

// Electron packs the app into app.asar, from which no program can be
// started; its packagers put unpacked files in app.asar.unpacked beside it.
function unpackedPath(file) {
  return file.replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
}

function defaultExecutable() {
  const name = process.platform === 'win32' ? 'sondrel-process-loopback.exe'
    : 'sondrel-process-loopback';
  return unpackedPath(path.join(__dirname, 'bin', `${process.platform}-${process.arch}`, name));
}

function describe(value) {
  if (typeof value === 'string') return `string '${value}'`;
  if (value === null || (typeof value !== 'object' && typeof value !== 'function')) {
    return `${typeof value === 'undefined' || value === null ? '' : `${typeof value} `}${String(value)}`;
  }
  return typeof value;
}

function processId(value, what) {
  if (!Number.isInteger(value) || value < 1 || value > 0xFFFFFFFF) {
    throw new RangeError(`${what} must be an integer from 1 to 4294967295, got ${describe(value)}`);
  }
  return String(value);
}

// A number, a bigint, a number in text ("123456", "0x1e240"), or Electron's
// desktopCapturer id ("window:<id>:<n>"), exactly: the helper reads values
// leniently, so "window:5:0junk" must not reach it as window 5.
function windowHandle(value) {
  let big = null;
  if (typeof value === 'bigint') big = value;
  else if (Number.isSafeInteger(value)) big = BigInt(value);
  else if (typeof value === 'string') {
    const source = /^window:(\d{1,20}):\d{1,10}$/.exec(value);
    if (source !== null) big = BigInt(source[1]);
    else if (/^(?:\d{1,20}|0[xX][0-9a-fA-F]{1,16})$/.test(value)) big = BigInt(value);
  }
  if (big === null || big < 1n || big >= 1n << 64n) {
    throw new RangeError('window must be a non-zero 64-bit handle, as a number, a bigint, a number in text ' +
      `or a desktopCapturer source id "window:<id>:<n>", got ${describe(value)}`);
  }
  return `0x${big.toString(16)}`;
}

// Plain integers only: the helper reads values leniently ("12abc" is 12), so
// anything else could capture a process the caller never named.
function argumentsFor(target) {
  const keys = target === null || typeof target !== 'object' ? []
    : ['pid', 'excludePid', 'window'].filter((k) => target[k] !== undefined);
  if (keys.length !== 1) {
    throw new TypeError('the target is exactly one of { pid }, { excludePid } or { window }, ' +
      `got ${target !== null && typeof target === 'object' ? `{ ${Object.keys(target).join(', ')} }` : describe(target)}`);
  }
  if (keys[0] === 'pid') return ['--pid', processId(target.pid, 'pid')];
  if (keys[0] === 'excludePid') return ['--exclude-pid', processId(target.excludePid, 'excludePid')];
  return ['--window', windowHandle(target.window)];
}

module.exports = { PLATFORMS, argumentsFor, defaultExecutable, isSupported };
