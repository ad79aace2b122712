'use strict';
// 16-bit samples and WAV files from the captured float frames. Runs on the
// event loop of the thread that uses it.
const fs = require('node:fs');
const { Writable } = require('node:stream');

const RIFF_LIMIT = 0xFFFFFFFF;

// Floats in [-1, 1] to 16-bit samples; louder values clip, NaN is silence.
function toInt16(samples) {
  const out = new Int16Array(samples.length);
  for (let i = 0; i < samples.length; i++) {
    const s = samples[i];
    out[i] = s >= 1 ? 32767 : s <= -1 ? -32768 : Number.isNaN(s) ? 0 : Math.min(32767, Math.round(s * 32768));
  }
  return out;
}

function formatOf(options) {
  const { format = 'float32', sampleRate = 48000, channels = 2 } = options;
  if (format !== 'float32' && format !== 'int16') throw new RangeError(`format is 'float32' or 'int16', got ${format}`);
  return { float: format === 'float32', bytes: format === 'float32' ? 4 : 2, sampleRate, channels };
}

// The header of a WAV file holding dataBytes of samples: 16-bit PCM, or
// 32-bit IEEE float with the fact chunk non-PCM formats call for.
function wavHeader(dataBytes, options = {}) {
  const f = formatOf(options);
  const size = f.float ? 58 : 44;
  if (!Number.isSafeInteger(dataBytes) || dataBytes < 0 || dataBytes + size - 8 > RIFF_LIMIT) {
    throw new RangeError(`a WAV file holds from 0 to ${RIFF_LIMIT - size + 8} bytes of samples, got ${dataBytes}`);
  }
  const h = Buffer.alloc(size);
  const blockAlign = f.channels * f.bytes;
  h.write('RIFF', 0, 'latin1');
  h.writeUInt32LE(size - 8 + dataBytes, 4);
  h.write('WAVEfmt ', 8, 'latin1');
  h.writeUInt32LE(f.float ? 18 : 16, 16);
  h.writeUInt16LE(f.float ? 3 : 1, 20);
  h.writeUInt16LE(f.channels, 22);
  h.writeUInt32LE(f.sampleRate, 24);
  h.writeUInt32LE(f.sampleRate * blockAlign, 28);
  h.writeUInt16LE(blockAlign, 32);
  h.writeUInt16LE(f.bytes * 8, 34);
  let at = 36;
  if (f.float) {
    h.writeUInt16LE(0, 36); // no extension
    h.write('fact', 38, 'latin1');
    h.writeUInt32LE(4, 42);
    h.writeUInt32LE(Math.floor(dataBytes / blockAlign), 46);
    at = 50;
  }
  h.write('data', at, 'latin1');
  h.writeUInt32LE(dataBytes, at + 4);
  return h;
}

// A WAV file written as the frames come (Float32Array chunks from the
// capture, or float32 bytes from its readable); the sizes in the header are
// filled in when the stream ends, so it needs a seekable file.
class WavWriter extends Writable {
  #path;
  #options;
  #format;
  #fd = null;
  #dataBytes = 0;
  #headerBytes = 0;
  #rest = Buffer.alloc(0);

  constructor(path, options) {
    super({ objectMode: true });
    this.#path = path;
    this.#options = options;
    this.#format = formatOf(options);
  }

  _construct(callback) {
    fs.open(this.#path, 'w', (error, fd) => {
      if (error) return callback(error);
      this.#fd = fd;
      const header = wavHeader(0, this.#options);
      this.#headerBytes = header.length;
      return fs.write(fd, header, 0, header.length, 0, (e) => callback(e));
    });
  }

  _write(chunk, encoding, callback) {
    let bytes;
    if (chunk instanceof Float32Array) {
      bytes = Buffer.from(chunk.buffer, chunk.byteOffset, chunk.byteLength);
    } else if (chunk instanceof Uint8Array) {
      bytes = Buffer.from(chunk.buffer, chunk.byteOffset, chunk.byteLength);
    } else {
      callback(new TypeError('a WAV writer takes Float32Array chunks or float32 bytes'));
      return;
    }
    if (this.#rest.length > 0) bytes = Buffer.concat([this.#rest, bytes]);
    const whole = bytes.length - (bytes.length % 4);
    this.#rest = Buffer.from(bytes.subarray(whole));
    let out = bytes.subarray(0, whole);
    if (!this.#format.float) {
      const aligned = out.byteOffset % 4 === 0 ? out : Buffer.from(out);
      const samples = toInt16(new Float32Array(aligned.buffer, aligned.byteOffset, aligned.length / 4));
      out = Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);
    }
    try {
      wavHeader(this.#dataBytes + out.length, this.#options);
    } catch (error) {
      callback(error);
      return;
    }
    const at = this.#headerBytes + this.#dataBytes;
    this.#dataBytes += out.length;
    fs.write(this.#fd, out, 0, out.length, at, (e) => callback(e));
  }

  _final(callback) {
    const header = wavHeader(this.#dataBytes, this.#options);
    fs.write(this.#fd, header, 0, header.length, 0, (error) => {
      const fd = this.#fd;
      this.#fd = null;
      fs.close(fd, (closeError) => callback(error ?? closeError));
    });
  }

  _destroy(error, callback) {
    if (this.#fd === null) {
      callback(error);
      return;
    }
    const fd = this.#fd;
    this.#fd = null;
    fs.close(fd, () => callback(error));
  }
}

function createWavWriter(path, options = {}) {
  return new WavWriter(path, options);
}

module.exports = { toInt16, wavHeader, createWavWriter };
