// Starts sondrel-process-loopback as a child process and turns its byte
// stream, exit code and failure line into frames and errors.
import { spawn } from 'node:child_process';
import { endianness } from 'node:os';
import { Readable } from 'node:stream';
import { fileURLToPath } from 'node:url';

const HEADER_BYTES = 16;
const FRAME_BYTES = 8;
const SAMPLE_RATE = 48000;
// About a second of audio waits for the consumer before the helper is held back.
const HIGH_WATER_BYTES = SAMPLE_RATE * FRAME_BYTES;
// A helper asked to stop drains and exits in milliseconds; this long means it hangs.
const KILL_AFTER_MS = 5000;
const STDERR_LIMIT = 64 * 1024;
const FAILURE_LINE = /^(.*) \(0x([0-9A-Fa-f]{8})\)(?:: (.*))?$/;
const LITTLE_ENDIAN = endianness() === 'LE';

export class CaptureError extends Error {
  constructor(message, details = {}) {
    super(message);
    this.name = 'CaptureError';
    this.exitCode = details.exitCode ?? null;
    this.signal = details.signal ?? null;
    this.hresult = details.hresult ?? null;
    this.systemText = details.systemText ?? null;
    this.line = details.line ?? null;
  }
}

export function defaultExecutable() {
  const name = process.platform === 'win32' ? 'sondrel-process-loopback.exe'
    : 'sondrel-process-loopback';
  return fileURLToPath(new URL(`./bin/${process.platform}-${process.arch}/${name}`,
    import.meta.url));
}

function processId(value, what) {
  if (!Number.isInteger(value) || value < 1 || value > 0xFFFFFFFF) {
    throw new RangeError(`${what} must be an integer from 1 to 4294967295, got ${value}`);
  }
  return String(value);
}

function windowHandle(value) {
  const big = typeof value === 'bigint' ? value
    : Number.isSafeInteger(value) ? BigInt(value) : null;
  if (big === null || big < 1n || big >= 1n << 64n) {
    throw new RangeError(`window must be a non-zero 64-bit handle, got ${value}`);
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

function failureFromExit(code, signal, stderr, args, headerSeen) {
  if (signal !== null) {
    return new CaptureError(`sondrel-process-loopback was ended by ${signal}`, { signal });
  }
  if (code === 2) {
    return new CaptureError(`sondrel-process-loopback rejected ${args.join(' ')}: it names no ` +
      'process it can capture', { exitCode: 2, line: stderr.trim() || null });
  }
  if (code === 0) {
    return headerSeen ? null : new CaptureError(
      'sondrel-process-loopback ended without a stream header', { exitCode: 0 });
  }
  const lines = stderr.split('\n').map((l) => l.replace(/\r+$/, '')).filter((l) => l !== '');
  const line = lines.length > 0 ? lines[lines.length - 1] : null;
  const parsed = line === null ? null : FAILURE_LINE.exec(line);
  if (parsed === null) {
    return new CaptureError(`sondrel-process-loopback exited with ${code}` +
      (line === null ? '' : `: ${line}`), { exitCode: code, line });
  }
  return new CaptureError(line, {
    exitCode: code,
    hresult: Number.parseInt(parsed[2], 16),
    systemText: parsed[3] ?? null,
    line,
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

// Everything the child's handlers touch lives here, never in Capture, so a
// capture nobody holds can be collected while its helper still runs.
class Core {
  constructor(executable, args) {
    this.args = args;
    this.queue = [];
    this.queuedBytes = 0;
    this.header = Buffer.alloc(0);
    this.headerSeen = false;
    this.partial = Buffer.alloc(0);
    this.stderr = [];
    this.stderrBytes = 0;
    this.finished = false;
    this.failure = null;
    this.draining = false; // stop asked: read everything, whoever consumes
    this.discarding = false; // nobody will consume what is left
    this.wakers = [];
    this.exitCode = null;
    this.killTimer = null;

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

    this.child = spawn(executable, args, { stdio: ['pipe', 'pipe', 'pipe'], windowsHide: true });
    track(this);
    this.child.stdin.on('error', () => {}); // the helper may be gone before the stop byte
    this.child.stdout.on('data', (chunk) => this.onData(chunk));
    this.child.stderr.on('data', (chunk) => {
      // One line is all a helper writes; a runaway one must not grow memory.
      if (this.stderrBytes < STDERR_LIMIT) this.stderr.push(chunk);
      this.stderrBytes += chunk.length;
    });
    this.child.on('error', (error) => {
      if (this.child.pid !== undefined) return; // only a failed start ends the capture here
      this.fail(new CaptureError(`${executable} could not be started: ${error.message}`));
      this.onClose(null, null);
    });
    this.child.on('close', (code, signal) => this.onClose(code, signal));
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
        this.fail(new CaptureError(`sondrel-process-loopback wrote a wrong stream header: ${problem}`));
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
    if (this.queuedBytes >= HIGH_WATER_BYTES && !this.draining) this.child.stdout.pause();
    this.notify();
  }

  onClose(code, signal) {
    if (this.finished) return;
    this.finished = true;
    this.exitCode = code;
    running.delete(this);
    clearTimeout(this.killTimer);
    const stderr = Buffer.concat(this.stderr).toString('utf8');
    const failure = this.discarding ? null
      : failureFromExit(code, signal, stderr, this.args, this.headerSeen);
    if (failure !== null) this.fail(failure);
    if (!this.headerSeen) {
      this.rejectReady(this.failure ?? new CaptureError('sondrel-process-loopback stopped before its stream header'));
    }
    this.resolveExited();
    this.notify();
  }

  fail(error) {
    if (this.failure === null) this.failure = error;
    if (!this.headerSeen) this.rejectReady(this.failure);
  }

  notify() {
    const wakers = this.wakers;
    this.wakers = [];
    for (const wake of wakers) wake();
  }

  // The next chunk, or null at the end; throws the helper's failure.
  async next() {
    for (;;) {
      if (this.queue.length > 0) {
        const floats = this.queue.shift();
        this.queuedBytes -= floats.byteLength;
        if (this.queuedBytes < HIGH_WATER_BYTES) this.child.stdout.resume();
        return floats;
      }
      if (this.failure !== null) throw this.failure;
      if (this.finished) return null;
      await new Promise((resolve) => { this.wakers.push(resolve); });
    }
  }

  // Asks the helper to stop: one byte on stdin, then everything it still
  // writes is read so that it can drain and exit.
  requestStop() {
    if (this.finished || this.draining) return;
    this.draining = true;
    this.child.stdin.end(Buffer.from('q'));
    this.child.stdout.resume();
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
    if (this.killTimer === null) {
      this.killTimer = setTimeout(() => this.child.kill('SIGKILL'), KILL_AFTER_MS);
      this.killTimer.unref();
    }
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
    if (core.failure !== null) throw core.failure;
  }

  get readable() {
    if (this.#readable === null) {
      const frames = this.#frames();
      this.#readable = Readable.from((async function* bytes() {
        for await (const f of frames) yield Buffer.from(f.buffer, f.byteOffset, f.byteLength);
      })(), { objectMode: false });
    }
    return this.#readable;
  }

  [Symbol.asyncIterator]() {
    return this.#frames();
  }

  #frames() {
    if (this.#consumed) throw new Error('the capture is already being consumed');
    this.#consumed = true;
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
}

export function captureProcessAudio(target, options = {}) {
  const args = argumentsFor(target);
  const executable = options.executable ?? defaultExecutable();
  const { signal } = options;
  signal?.throwIfAborted();
  const core = new Core(executable, args);
  const capture = new Capture(core);
  if (signal) {
    const onAbort = () => core.requestStop();
    signal.addEventListener('abort', onAbort, { once: true });
    core.exited.then(() => signal.removeEventListener('abort', onAbort));
  }
  return capture;
}
