'use strict';
// listAudioApplications: the helper's --list, read whole and parsed. The
// helper runs for the measuring window and a little more, then exits.
const { spawn } = require('node:child_process');
const { existsSync } = require('node:fs');
const { CaptureError, abortError, failureFromExit, startFailure } = require('./errors.cjs');
const { PLATFORMS, defaultExecutable } = require('./target.cjs');

const MAX_MEASURE_MS = 10000;
const OUTPUT_LIMIT = 16 * 1024 * 1024;

function executableFor(options) {
  if (options.executable !== undefined) return options.executable;
  const platform = `${process.platform}-${process.arch}`;
  if (!PLATFORMS.includes(platform)) {
    throw new CaptureError(`sondrel-process-loopback has no helper for ${platform} (it ships helpers for ` +
      `${PLATFORMS.join(' and ')}); pass the executable option to use one built for this system`,
    { code: 'ERR_UNSUPPORTED_PLATFORM' });
  }
  return defaultExecutable();
}

function listAudioApplications(options = {}) {
  const { measureMs = 100, signal, env, cwd } = options;
  if (!Number.isInteger(measureMs) || measureMs < 0 || measureMs > MAX_MEASURE_MS) {
    return Promise.reject(new RangeError(
      `measureMs must be an integer from 0 to ${MAX_MEASURE_MS}, got ${measureMs}`));
  }
  if (signal?.aborted) return Promise.reject(abortError(signal.reason));
  let executable;
  try {
    executable = executableFor(options);
  } catch (error) {
    return Promise.reject(error);
  }
  const args = ['--list', String(measureMs)];
  return new Promise((resolve, reject) => {
    const child = spawn(executable, args, { stdio: ['ignore', 'pipe', 'pipe'], env, cwd, windowsHide: true });
    const out = [];
    const err = [];
    let outBytes = 0;
    let settled = false;
    const settle = (fn, value) => {
      if (settled) return;
      settled = true;
      signal?.removeEventListener('abort', onAbort);
      fn(value);
    };
    const onAbort = () => {
      child.kill();
      settle(reject, abortError(signal.reason));
    };
    signal?.addEventListener('abort', onAbort, { once: true });
    child.stdout.on('data', (chunk) => {
      outBytes += chunk.length;
      if (outBytes <= OUTPUT_LIMIT) out.push(chunk);
      else child.kill();
    });
    child.stderr.on('data', (chunk) => err.push(chunk));
    child.on('error', (error) => settle(reject, startFailure(executable, error, existsSync(executable))));
    child.on('close', (code, killedBy) => {
      if (code !== 0 || outBytes > OUTPUT_LIMIT) {
        const lines = Buffer.concat(err).toString('utf8').split('\n').map((l) => l.replace(/\r+$/, ''))
          .filter((l) => l !== '' && !l.startsWith('Aviso: '));
        settle(reject, failureFromExit({
          code, signal: killedBy, lines, args, headerSeen: false, killed: false, env,
        }));
        return;
      }
      try {
        const text = Buffer.concat(out).toString('utf8');
        settle(resolve, text.split('\n').filter((l) => l.trim() !== '').map((l) => JSON.parse(l)));
      } catch (error) {
        settle(reject, new CaptureError(`sondrel-process-loopback wrote a list that is not JSON lines: ${error.message}`,
          { code: 'ERR_BAD_LIST', exitCode: 0, cause: error }));
      }
    });
  });
}

module.exports = { listAudioApplications };
