'use strict';
// The helper as a child process: its byte stream as converted chunks, its
// stderr as drop notices and a failure, its exit, its stop. One thread:
// everything here runs on the event loop of the thread that loaded it.
const { spawn } = require('node:child_process');
const { existsSync, readFileSync } = require('node:fs');
const { endianness } = require('node:os');
const { performance } = require('node:perf_hooks');
// The timers module's own functions: an app that replaces the global ones
// (fake timers in its tests) does not change when a helper is killed.
const { clearInterval, clearTimeout, setInterval, setTimeout } = require('node:timers');
const { CaptureError, KILL_AFTER_MS, abortError, failureFromExit, parseNotice, startFailure } = require('./errors.cjs');

const HEADER_BYTES = 16;
const FRAME_BYTES = 8;
const SAMPLE_RATE = 48000;
// The helper keeps 5 s for a reader that falls behind and drops the oldest
// beyond that; holding less here before pausing the pipe would make it drop
// audio it could have kept.
const HIGH_WATER_BYTES = 5 * SAMPLE_RATE * FRAME_BYTES;
// The helper gives the audio system this long to set a capture up, and
// reads no stop byte meanwhile.
const ACTIVATION_MS = 10000;
const TARGET_POLL_MS = 250;
const STDERR_LINES = 64;
const STDERR_LINE_BYTES = 4096;
const LITTLE_ENDIAN = endianness() === 'LE';

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

// A process that has exited but is not yet reaped still answers kill(pid, 0);
// on Linux its state in /proc says so (the helper counts it as gone too).
function targetAlive(pid) {
  try {
    process.kill(pid, 0);
  } catch (error) {
    return error.code === 'EPERM';
  }
  if (process.platform !== 'linux') return true;
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, 'latin1');
    return stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3) !== 'Z';
  } catch {
    return false;
  }
}

// Everything the child's handlers touch lives here, never in Capture, so a
// capture nobody holds can be collected while its helper still runs.
class Core {
  constructor(executable, args, { env, cwd, watchPid, converter, onDrop }) {
    this.args = args;
    this.env = env;
    this.converter = converter;
    this.queue = []; // { data: converted samples, bytes: the helper's bytes they came from }
    this.queuedBytes = 0;
    this.header = Buffer.alloc(0);
    this.headerSeen = false;
    this.partial = Buffer.alloc(0);
    this.stderrRest = '';
    this.stderrLines = []; // the last lines that are not notices
    this.droppedFrames = 0;
    this.onDrop = onDrop; // called with each notice
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
    this.startedAt = performance.now();

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
    this.child.stderr.setEncoding('utf8');
    this.child.stderr.on('data', (text) => this.onStderr(text));
    this.child.on('error', (error) => {
      if (this.child.pid !== undefined) return; // only a failed start ends the capture here
      this.fail(startFailure(executable, error, existsSync(executable)));
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

  onStderr(text) {
    const lines = (this.stderrRest + text).split('\n');
    this.stderrRest = lines.pop().slice(-STDERR_LINE_BYTES); // a runaway line must not grow memory
    for (const line of lines) this.onLine(line.replace(/\r+$/, ''));
  }

  onLine(line) {
    const notice = parseNotice(line);
    if (notice === null) {
      if (line !== '') this.stderrLines.push(line.slice(0, STDERR_LINE_BYTES));
      if (this.stderrLines.length > STDERR_LINES) this.stderrLines.shift();
      return;
    }
    this.droppedFrames += notice.frames;
    try {
      this.onDrop(notice);
    } catch (error) {
      // A throwing listener is the app's fault; it must not stop the capture.
      process.nextTick(() => { throw error; });
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
    const data = this.converter.push(toFloats(bytes.subarray(0, whole)));
    if (data.length > 0) this.queue.push({ data, bytes: whole });
    this.queuedBytes += whole;
    if (this.queuedBytes >= HIGH_WATER_BYTES && !this.stopping) this.child.stdout.pause();
    this.notify();
  }

  onClose(code, signal) {
    if (this.finished) return;
    if (this.stderrRest !== '') this.onLine(this.stderrRest.replace(/\r+$/, ''));
    this.finished = true;
    this.exitCode = code;
    running.delete(this);
    clearTimeout(this.killTimer);
    clearInterval(this.pollTimer);
    const failure = this.aborted ?? (this.discarding && !this.killed ? null : failureFromExit({
      code, signal, lines: this.stderrLines, args: this.args, headerSeen: this.headerSeen, killed: this.killed, env: this.env,
    }));
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
    if (this.queue.length === 0) {
      // Bytes that converted to nothing yet (a resampler's first frames) still count.
      if (this.queuedBytes > 0 && !this.discarding) this.child.stdout.resume();
      this.queuedBytes = 0;
      return null;
    }
    const { data, bytes } = this.queue.shift();
    this.queuedBytes -= bytes;
    if (this.queuedBytes < HIGH_WATER_BYTES && !this.discarding) this.child.stdout.resume();
    return data;
  }

  // The next chunk, or null at the end; throws the helper's failure.
  async next() {
    for (;;) {
      const data = this.take();
      if (data !== null) return data;
      if (this.failure !== null && (this.finished || this.failure !== this.aborted)) throw this.failure;
      if (this.finished) return null;
      await new Promise((resolve) => { this.wakers.push(resolve); });
    }
  }

  // Asks the helper to stop: one byte on stdin, then everything it still
  // writes is read so that it can drain and exit. One not yet ready reads
  // its stdin once its activation has ended, at the latest after its own
  // time-out, so the kill waits from then on.
  requestStop() {
    if (this.finished || this.stopping) return;
    this.stopping = true;
    this.child.stdin.end(Buffer.from('q'));
    this.child.stdout.resume();
    if (this.killTimer === null) {
      const activation = this.headerSeen ? 0 : Math.max(0, this.startedAt + ACTIVATION_MS - performance.now());
      this.killTimer = setTimeout(() => {
        this.killed = true;
        this.child.kill('SIGKILL');
      }, activation + KILL_AFTER_MS);
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

module.exports = { Core };
