'use strict';
// What the caller holds: a capture to iterate or read, stop and listen to.
// Runs on the event loop of the thread that started the capture.
const { EventEmitter } = require('node:events');
const { statSync } = require('node:fs');
const { Readable } = require('node:stream');
const { createConverter } = require('./convert.cjs');
const { Core } = require('./core.cjs');
const { CaptureError } = require('./errors.cjs');
const { PLATFORMS, argumentsFor, defaultExecutable, isSupported } = require('./target.cjs');

// The samples as bytes; destroying it ends the helper whether audio flows or not.
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
      const data = core.take();
      if (data !== null) {
        if (!this.push(Buffer.from(data.buffer, data.byteOffset, data.byteLength))) return;
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

class Capture extends EventEmitter {
  #core;
  #consumed = false;
  #readyTaken = false;
  #readable = null;

  constructor(core) {
    super();
    this.#core = core;
    collected.register(this, core, core);
  }

  get ready() {
    this.#readyTaken = true;
    return this.#core.ready;
  }

  get pid() { return this.#core.child.pid; }

  get exitCode() { return this.#core.exitCode; }

  get format() { return this.#core.converter.format; }

  get droppedFrames() { return this.#core.droppedFrames; }

  // Resolves once the helper is gone. It rejects only with a failure that
  // reaches the caller no other way: one that ends a capture nobody
  // iterates or reads, and that ready did not carry to a caller who took it.
  async stop() {
    const core = this.#core;
    core.requestStop();
    await core.exited;
    const reported = this.#consumed || (this.#readyTaken && !core.headerSeen);
    if (core.failure !== null && core.failure !== core.aborted && !reported) throw core.failure;
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

function checkedCwd(cwd) {
  let directory = false;
  try {
    directory = statSync(cwd).isDirectory();
  } catch {
    // reported below, as the caller's mistake rather than a missing helper
  }
  if (!directory) {
    throw new CaptureError(`the cwd option names no directory: ${cwd}`, { code: 'ERR_BAD_CWD' });
  }
  return cwd;
}

function captureProcessAudio(target, options = {}) {
  const args = argumentsFor(target);
  const { signal, env, cwd, stopWhenTargetExits = false, format, onDrop } = options;
  if (stopWhenTargetExits && target.pid === undefined) {
    throw new TypeError('stopWhenTargetExits needs a { pid } target');
  }
  if (onDrop !== undefined && typeof onDrop !== 'function') throw new TypeError('onDrop is a function');
  const converter = createConverter(format);
  signal?.throwIfAborted();
  let { executable } = options;
  if (executable === undefined) {
    if (!isSupported()) {
      throw new CaptureError(`sondrel-process-loopback has no helper for ${process.platform}-${process.arch} ` +
        `(it ships helpers for ${PLATFORMS.join(' and ')}); pass the executable option to use one built ` +
        'for this system', { code: 'ERR_UNSUPPORTED_PLATFORM' });
    }
    executable = defaultExecutable();
  }
  let capture = null; // held weakly, so that the helper's handlers never keep it
  const core = new Core(executable, args, {
    env,
    cwd: cwd === undefined ? undefined : checkedCwd(cwd),
    watchPid: stopWhenTargetExits ? target.pid : null,
    converter,
    onDrop: (notice) => {
      onDrop?.(notice);
      capture?.deref()?.emit('drop', notice);
    },
  });
  const held = new Capture(core);
  capture = new WeakRef(held);
  if (signal) {
    const onAbort = () => core.abort(signal.reason);
    signal.addEventListener('abort', onAbort, { once: true });
    core.exited.then(() => signal.removeEventListener('abort', onAbort));
  }
  return held;
}

module.exports = { captureProcessAudio };
