'use strict';
// WAV files of the captured frames, in the capture's format. Runs on the
// event loop of the thread that uses it.
const fs = require('node:fs');
const { Writable } = require('node:stream');
const { formatOf, toInt16 } = require('./convert.cjs');

const RIFF_LIMIT = 0xFFFFFFFF;

// What a WAV file holds: the capture's format (sampleRate, channels, sampleType).
function wavFormat(options) {
  if (options?.format !== undefined) throw new TypeError("a WAV file's sample type is the sampleType option");
  const f = formatOf(options);
  const float = f.sampleType === 'float32';
  return { float, bytes: float ? 4 : 2, sampleRate: f.sampleRate, channels: f.channels };
}

// The header of a WAV file holding dataBytes of samples: 16-bit PCM, or
// 32-bit IEEE float with the fact chunk non-PCM formats call for.
function wavHeader(dataBytes, options = {}) {
  const f = wavFormat(options);
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

// A WAV file written as the frames come: the chunks of a capture, or the
// bytes of its readable, in the writer's format (Float32Array chunks are
// also taken by a 16-bit writer). The sizes in the header are filled in when
// the stream ends, so it needs a seekable file.
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
    this.#format = wavFormat(options);
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
    const f = this.#format;
    let bytes;
    if (chunk instanceof Float32Array && !f.float) {
      const samples = toInt16(chunk);
      bytes = Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);
    } else if (chunk instanceof Uint8Array || chunk instanceof (f.float ? Float32Array : Int16Array)) {
      bytes = Buffer.from(chunk.buffer, chunk.byteOffset, chunk.byteLength);
    } else {
      callback(new TypeError(`a ${f.float ? 'float32' : 'int16'} WAV writer takes ` +
        `${f.float ? 'Float32Array' : 'Int16Array or Float32Array'} chunks, or bytes of its samples`));
      return;
    }
    if (this.#rest.length > 0) bytes = Buffer.concat([this.#rest, bytes]);
    const whole = bytes.length - (bytes.length % f.bytes);
    this.#rest = Buffer.from(bytes.subarray(whole));
    const out = bytes.subarray(0, whole);
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
