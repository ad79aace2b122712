'use strict';
// Starts sondrel-process-loopback as a child process and turns its byte
// stream, exit code and failure line into frames and errors. One thread:
// everything here runs on the event loop of the thread that loaded it.
const { spawn } = require('node:child_process');
const { existsSync } = require('node:fs');
const { endianness } = require('node:os');
const path = require('node:path');
const { Readable } = require('node:stream');
const { toInt16, wavHeader, createWavWriter } = require('./samples.cjs');
const { listAudioApplications } = require('./list.cjs');

const HEADER_BYTES = 16;
const FRAME_BYTES = 8;
const SAMPLE_RATE = 48000;
// The helper keeps 5 s for a reader that falls behind and drops the oldest
// beyond that; holding less here before pausing the pipe would make it drop
// audio it could have kept.
const HIGH_WATER_BYTES = 5 * SAMPLE_RATE * FRAME_BYTES;
// A helper asked to stop drains and exits in milliseconds; this long means it hangs.
const KILL_AFTER_MS = 5000;
const TARGET_POLL_MS = 250;
const STDERR_LIMIT = 64 * 1024;
const FAILURE_LINE = /^(.*) \(0x([0-9A-Fa-f]{8})\)(?:: (.*))?$/;
const LITTLE_ENDIAN = endianness() === 'LE';
const PLATFORMS = ['win32-x64', 'linux-x64'];

const NO_LOOPBACK = 'This system has no process-loopback audio capture: it needs Windows 10 ' +
  'version 2004 (build 19041) or later, and Wine has none.';
// The codes a helper reports that users meet, by name and in plain English.
const CODES = new Map([
  [0x80070057, ['E_INVALIDARG', 'The target was refused: no running process has this process id, ' +
    'or the system rejected an argument.']],
  [0x800705B4, ['ERROR_TIMEOUT', 'The audio system did not complete the capture set-up within 10 seconds.']],
  [0x88890004, ['AUDCLNT_E_DEVICE_INVALIDATED', 'The audio device or the audio service went away during the capture.']],
  [0x88890010, ['AUDCLNT_E_SERVICE_NOT_RUNNING', 'The audio service is not running ' +
    '(on Linux: no PipeWire daemon could be reached).']],
  [0x80070002, ['ERROR_FILE_NOT_FOUND', NO_LOOPBACK]],
  [0x80004002, ['E_NOINTERFACE', NO_LOOPBACK]],
  [0x8000000E, ['E_ILLEGAL_METHOD_CALL', NO_LOOPBACK]],
  [0x80070070, ['ERROR_DISK_FULL', "The helper's output could not be written: the disk is full."]],
  [0x8007006D, ['ERROR_BROKEN_PIPE', "The helper's standard output was closed before the stream header."]],
  [0x800700E8, ['ERROR_NO_DATA', "The helper's standard output is being closed."]],
  [0x80070006, ['E_HANDLE', 'A standard stream of the helper is missing or invalid.']],
  [0x8007000E, ['E_OUTOFMEMORY', 'The helper ran out of memory.']],
  [0x80070008, ['ERROR_NOT_ENOUGH_MEMORY', 'The helper could not start a thread: not enough memory.']],
  [0x80070005, ['E_ACCESSDENIED', 'The system denied access to the audio capture.']],
  [0x88890008, ['AUDCLNT_E_UNSUPPORTED_FORMAT', 'The audio system refused the capture format.']],
  [0x88890001, ['AUDCLNT_E_NOT_INITIALIZED', 'The audio client was used before it was set up.']],
  [0x80010106, ['RPC_E_CHANGED_MODE', 'The helper could not enter the COM apartment it needs.']],
  [0x80004001, ['E_NOTIMPL', 'The audio system does not implement an operation the capture needs.']],
  [0x80004005, ['E_FAIL', 'The capture failed for a reason the system did not name.']],
  [0x8000FFFF, ['E_UNEXPECTED', 'The audio system failed unexpectedly.']],
]);

class CaptureError extends Error {
  constructor(message, details = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.name = 'CaptureError';
    this.code = details.code ?? null;
    this.description = details.description ?? message;
    this.exitCode = details.exitCode ?? null;
    this.signal = details.signal ?? null;
    this.hresult = details.hresult ?? null;
    this.systemText = details.systemText ?? null;
    this.line = details.line ?? null;
  }
}

// Node's own convention for an aborted operation: name, code and the reason as cause.
function abortError(reason) {
  const error = new Error('The capture was aborted', { cause: reason });
  error.name = 'AbortError';
  error.code = 'ABORT_ERR';
  return error;
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

function processId(value, what) {
  if (!Number.isInteger(value) || value < 1 || value > 0xFFFFFFFF) {
    throw new RangeError(`${what} must be an integer from 1 to 4294967295, got ${value}`);
  }
  return String(value);
}

// A number, a bigint, or Electron's desktopCapturer id ("window:<id>:<n>").
function windowHandle(value) {
  let big = null;
  if (typeof value === 'bigint') big = value;
  else if (Number.isSafeInteger(value)) big = BigInt(value);
  else if (typeof value === 'string' && /^window:\d{1,20}:\d+$/.test(value)) big = BigInt(value.split(':')[1]);
  if (big === null || big < 1n || big >= 1n << 64n) {
    throw new RangeError(`window must be a non-zero 64-bit handle or a "window:<id>:0" source id, got ${value}`);
  }
  return `0x${big.toString(16)}`;
}

// Plain integers only: the helper reads values leniently ("12abc" is 12), so
// anything else could capture a process the caller never named.
function argumentsFor(target) {
  const keys = target === null || typeof target !== 'object' ? []
    : ['pid', 'excludePid', 'window'].filter((k) => target[k] !== undefined);
  if (keys.length !== 1) {
    throw new TypeError('the target is exactly one of { pid }, { excludePid } or { window }');
  }
  if (keys[0] === 'pid') return ['--pid', processId(target.pid, 'pid')];
  if (keys[0] === 'excludePid') return ['--exclude-pid', processId(target.excludePid, 'excludePid')];
  return ['--window', windowHandle(target.window)];
}

function headerProblem(h) {
  if (h.toString('latin1', 0, 4) !== 'SDRA') return 'it is not a sondrel-process-loopback stream';
  if (h.readUInt32LE(4) !== 1) return `stream version ${h.readUInt32LE(4)} is not 1`;
  const format = [h.readUInt32LE(8), h.readUInt16LE(12), h.readUInt16LE(14)];
  if (format.join() !== `${SAMPLE_RATE},2,32`) {
    return `format ${format[0]} Hz, ${format[1]} channels, ${format[2]} bits is not 48000 Hz, 2 channels, 32 bits`;
  }
  return null;
}

// Whole frames of `bytes` as floats; Float32Array needs 4-byte alignment.
function toFloats(bytes) {
  if (LITTLE_ENDIAN) {
    const aligned = bytes.byteOffset % 4 === 0 ? bytes : Buffer.from(bytes);
    return new Float32Array(aligned.buffer, aligned.byteOffset, aligned.length / 4);
  }
  const floats = new Float32Array(bytes.length / 4);
  for (let i = 0; i < floats.length; i++) floats[i] = bytes.readFloatLE(i * 4);
  return floats;
}

function hex(code) {
  return `0x${code.toString(16).toUpperCase().padStart(8, '0')}`;
}

function failureFromExit(code, signal, stderr, args, headerSeen, killed) {
  if (killed) {
    return new CaptureError(`sondrel-process-loopback did not exit within ${KILL_AFTER_MS / 1000} s ` +
      'of being asked to stop and was killed', { signal, code: 'ERR_STOP_TIMEOUT' });
  }
  if (signal !== null) {
    return new CaptureError(`sondrel-process-loopback was ended by ${signal}`, { signal, code: 'ERR_SIGNAL' });
  }
  if (code === 2) {
    return new CaptureError(`sondrel-process-loopback rejected ${args.join(' ')}: it names no ` +
      'process it can capture', { exitCode: 2, line: stderr.trim() || null, code: 'ERR_USAGE' });
  }
  if (code === 0) {
    return headerSeen ? null : new CaptureError(
      'sondrel-process-loopback ended without a stream header', { exitCode: 0, code: 'ERR_NO_HEADER' });
  }
  // Anything printed before it (a runtime's warning) is not the failure.
  const lines = stderr.split('\n').map((l) => l.replace(/\r+$/, '')).filter((l) => l !== '');
  const line = lines.length > 0 ? lines[lines.length - 1] : null;
  const parsed = line === null ? null : FAILURE_LINE.exec(line);
  if (parsed === null) {
    return new CaptureError(`sondrel-process-loopback exited with ${code}` +
      (line === null ? '' : `: ${line}`), { exitCode: code, line, code: 'ERR_EXIT' });
  }
  const hresult = Number.parseInt(parsed[2], 16);
  const [name, description] = CODES.get(hresult)
    ?? [null, `The capture failed with ${hex(hresult)}${parsed[3] ? `: ${parsed[3]}` : ''}`];
  return new CaptureError(`sondrel-process-loopback failed with ${hex(hresult)}` +
    `${name ? ` (${name})` : ''}: ${description}`, {
    exitCode: code, hresult, systemText: parsed[3] ?? null, line, code: name, description,
  });
}

// Helpers still running when the parent exits; a closed stdin would stop
// them too, but not before an activation under way has timed out.
const running = new Set();
let exitHookInstalled = false;
function track(core) {
  running.add(core);
  if (!exitHookInstalled) {
    exitHookInstalled = true;
    process.once('exit', () => {
      for (const c of running) c.child.kill('SIGKILL');
    });
  }
}

function targetAlive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (error) {
    return error.code === 'EPERM';
  }
}

// Everything the child's handlers touch lives here, never in Capture, so a
// capture nobody holds can be collected while its helper still runs.
class Core {
  constructor(executable, args, { env, cwd, watchPid }) {
    this.args = args;
    this.queue = [];
    this.queuedBytes = 0;
    this.header = Buffer.alloc(0);
    this.headerSeen = false;
    this.partial = Buffer.alloc(0);
    this.stderr = Buffer.alloc(0);
    this.finished = false;
    this.failure = null;
    this.aborted = null; // the AbortError, once aborted
    this.stopping = false; // stop asked: read everything, whoever consumes
    this.discarding = false; // nobody will consume what is left
    this.wakers = [];
    this.exitCode = null;
    this.killTimer = null;
    this.killed = false;
    this.pollTimer = null;

    let resolveReady;
    let rejectReady;
    this.ready = new Promise((resolve, reject) => {
      resolveReady = resolve;
      rejectReady = reject;
    });
    this.ready.catch(() => {}); // rejections also reach the iterator and stop()
    this.resolveReady = resolveReady;
    this.rejectReady = rejectReady;
    this.exited = new Promise((resolve) => { this.resolveExited = resolve; });

    this.child = spawn(executable, args, { stdio: ['pipe', 'pipe', 'pipe'], windowsHide: true, env, cwd });
    track(this);
    this.child.stdin.on('error', () => {}); // the helper may be gone before the stop byte
    this.child.stdout.on('data', (chunk) => this.onData(chunk));
    this.child.stderr.on('data', (chunk) => {
      // Only the last line matters; a runaway helper must not grow memory.
      this.stderr = Buffer.concat([this.stderr, chunk]);
      if (this.stderr.length > STDERR_LIMIT) this.stderr = this.stderr.subarray(this.stderr.length - STDERR_LIMIT);
    });
    this.child.on('error', (error) => {
      if (this.child.pid !== undefined) return; // only a failed start ends the capture here
      const hint = existsSync(executable) ? ''
        : executable.includes('app.asar.unpacked') ? ' (there is no file there: the Electron app was packed ' +
          'without unpacking node_modules/sondrel-process-loopback/bin; electron-builder: asarUnpack)'
          : ' (there is no file there; pass the executable option or put the helper in the package\'s bin/ folder)';
      this.fail(new CaptureError(`${executable} could not be started: ${error.message}${hint}`,
        { code: error.code ?? null, cause: error }));
      this.onClose(null, null);
    });
    this.child.on('close', (code, signal) => this.onClose(code, signal));
    if (watchPid !== null && this.child.pid !== undefined) {
      this.pollTimer = setInterval(() => {
        if (!targetAlive(watchPid)) this.requestStop();
      }, TARGET_POLL_MS);
      this.pollTimer.unref();
    }
  }

  onData(chunk) {
    if (this.discarding) return;
    let bytes = chunk;
    if (!this.headerSeen) {
      this.header = Buffer.concat([this.header, bytes]);
      if (this.header.length < HEADER_BYTES) return;
      bytes = this.header.subarray(HEADER_BYTES);
      const problem = headerProblem(this.header);
      if (problem !== null) {
        this.fail(new CaptureError(`sondrel-process-loopback wrote a wrong stream header: ${problem}`,
          { code: 'ERR_BAD_HEADER' }));
        this.terminate();
        return;
      }
      this.headerSeen = true;
      this.resolveReady();
    }
    if (this.partial.length > 0) {
      bytes = Buffer.concat([this.partial, bytes]);
    }
    const whole = bytes.length - (bytes.length % FRAME_BYTES);
    this.partial = Buffer.from(bytes.subarray(whole));
    if (whole === 0) return;
    this.queue.push(toFloats(bytes.subarray(0, whole)));
    this.queuedBytes += whole;
    if (this.queuedBytes >= HIGH_WATER_BYTES && !this.stopping) this.child.stdout.pause();
    this.notify();
  }

  onClose(code, signal) {
    if (this.finished) return;
    this.finished = true;
    this.exitCode = code;
    running.delete(this);
    clearTimeout(this.killTimer);
    clearInterval(this.pollTimer);
    const failure = this.aborted ?? (this.discarding && !this.killed ? null
      : failureFromExit(code, signal, this.stderr.toString('utf8'), this.args, this.headerSeen, this.killed));
    if (failure !== null) this.fail(failure);
    if (!this.headerSeen) {
      this.rejectReady(this.failure ?? new CaptureError('sondrel-process-loopback stopped before its stream header',
        { code: 'ERR_NO_HEADER' }));
    }
    this.resolveExited();
    this.notify();
  }

  fail(error) {
    if (this.failure === null) this.failure = error;
    if (!this.headerSeen && this.failure !== this.aborted) this.rejectReady(this.failure);
  }

  notify() {
    const wakers = this.wakers;
    this.wakers = [];
    for (const wake of wakers) wake();
  }

  // The next queued chunk, or null; taking one may let the helper write again.
  take() {
    if (this.queue.length === 0) return null;
    const floats = this.queue.shift();
    this.queuedBytes -= floats.byteLength;
    if (this.queuedBytes < HIGH_WATER_BYTES && !this.discarding) this.child.stdout.resume();
    return floats;
  }

  // The next chunk, or null at the end; throws the helper's failure.
  async next() {
    for (;;) {
      const floats = this.take();
      if (floats !== null) return floats;
      if (this.failure !== null && (this.finished || this.failure !== this.aborted)) throw this.failure;
      if (this.finished) return null;
      await new Promise((resolve) => { this.wakers.push(resolve); });
    }
  }

  // Asks the helper to stop: one byte on stdin, then everything it still
  // writes is read so that it can drain and exit.
  requestStop() {
    if (this.finished || this.stopping) return;
    this.stopping = true;
    this.child.stdin.end(Buffer.from('q'));
    this.child.stdout.resume();
    if (this.killTimer === null) {
      this.killTimer = setTimeout(() => {
        this.killed = true;
        this.child.kill('SIGKILL');
      }, KILL_AFTER_MS);
      this.killTimer.unref();
    }
  }

  // Nobody wants the rest: ask, stop reading (a blocked write then fails and
  // the helper exits as well), and kill it if it is still there later.
  terminate() {
    if (this.finished) return;
    this.requestStop();
    this.discarding = true;
    this.queue = [];
    this.queuedBytes = 0;
    this.child.stdout.destroy();
    this.notify();
  }

  abort(reason) {
    if (this.finished || this.aborted !== null) return;
    this.aborted = abortError(reason);
    this.fail(this.aborted);
    this.terminate();
  }
}

// The frames as bytes; destroying it ends the helper whether audio flows or not.
class CaptureReadable extends Readable {
  #core;
  #holder; // a capture being piped is not collected
  #waiting = false;

  constructor(core, holder) {
    super();
    this.#core = core;
    this.#holder = holder;
  }

  _read() {
    const core = this.#core;
    for (;;) {
      const floats = core.take();
      if (floats !== null) {
        if (!this.push(Buffer.from(floats.buffer, floats.byteOffset, floats.byteLength))) return;
        continue;
      }
      if (core.failure !== null && (core.finished || core.failure !== core.aborted)) {
        this.destroy(core.failure);
      } else if (core.finished) {
        this.push(null);
      } else if (!this.#waiting) {
        this.#waiting = true;
        core.wakers.push(() => {
          this.#waiting = false;
          if (!this.destroyed) this._read();
        });
      }
      return;
    }
  }

  _destroy(error, callback) {
    this.#core.terminate();
    callback(error);
  }
}

const collected = new FinalizationRegistry((core) => core.terminate());

class Capture {
  #core;
  #consumed = false;
  #readable = null;

  constructor(core) {
    this.#core = core;
    collected.register(this, core, core);
  }

  get ready() { return this.#core.ready; }

  get pid() { return this.#core.child.pid; }

  get exitCode() { return this.#core.exitCode; }

  async stop() {
    const core = this.#core;
    core.requestStop();
    await core.exited;
    if (core.failure !== null && core.failure !== core.aborted) throw core.failure;
  }

  get readable() {
    if (this.#readable === null) {
      this.#claim();
      this.#readable = new CaptureReadable(this.#core, this);
    }
    return this.#readable;
  }

  [Symbol.asyncIterator]() {
    this.#claim();
    const core = this.#core;
    const holder = this; // a capture being iterated is not collected
    return {
      async next() {
        void holder;
        const value = await core.next();
        return value === null ? { value: undefined, done: true } : { value, done: false };
      },
      async return() {
        core.terminate();
        collected.unregister(core);
        return { value: undefined, done: true };
      },
      [Symbol.asyncIterator]() { return this; },
    };
  }

  #claim() {
    if (this.#consumed) throw new Error('the capture is already being consumed');
    this.#consumed = true;
  }
}

function captureProcessAudio(target, options = {}) {
  const args = argumentsFor(target);
  const { signal, env, cwd, stopWhenTargetExits = false } = options;
  if (stopWhenTargetExits && target.pid === undefined) {
    throw new TypeError('stopWhenTargetExits needs a { pid } target');
  }
  signal?.throwIfAborted();
  let { executable } = options;
  if (executable === undefined) {
    const platform = `${process.platform}-${process.arch}`;
    if (!PLATFORMS.includes(platform)) {
      throw new CaptureError(`sondrel-process-loopback has no helper for ${platform} (it ships helpers for ` +
        `${PLATFORMS.join(' and ')}); pass the executable option to use one built for this system`,
      { code: 'ERR_UNSUPPORTED_PLATFORM' });
    }
    executable = defaultExecutable();
  }
  const core = new Core(executable, args, { env, cwd, watchPid: stopWhenTargetExits ? target.pid : null });
  const capture = new Capture(core);
  if (signal) {
    const onAbort = () => core.abort(signal.reason);
    signal.addEventListener('abort', onAbort, { once: true });
    core.exited.then(() => signal.removeEventListener('abort', onAbort));
  }
  return capture;
}

module.exports = {
  CaptureError, captureProcessAudio, defaultExecutable, toInt16, wavHeader, createWavWriter,
  listAudioApplications,
};
