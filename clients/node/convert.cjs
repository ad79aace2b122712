'use strict';
// The helper's float32 stereo 48 kHz frames in the format the caller asked
// for: mono (L + R) / 2, a polyphase windowed-sinc resampler, 16-bit samples.
// One converter per stream, used on the event loop that feeds it.

const INPUT_RATE = 48000;
const KAISER_BETA = 8.0;
const SPAN_PERIODS = 24; // the filter spans this many output periods each side
const CUTOFF = 0.45; // of the output rate: 0.9 of its Nyquist frequency

// Floats in [-1, 1] to 16-bit samples; louder values clip, NaN is silence.
function int16Of(s) {
  return s >= 1 ? 32767 : s <= -1 ? -32768 : Number.isNaN(s) ? 0 : Math.min(32767, Math.round(s * 32768));
}

function toInt16(samples) {
  const out = new Int16Array(samples.length);
  for (let i = 0; i < samples.length; i++) out[i] = int16Of(samples[i]);
  return out;
}

function formatOf(format = {}) {
  if (format === null || typeof format !== 'object') throw new TypeError('format is an object { sampleRate, channels, sampleType }');
  const { sampleRate = INPUT_RATE, channels = 2, sampleType = 'float32' } = format;
  if (!Number.isInteger(sampleRate) || sampleRate < 8000 || sampleRate > INPUT_RATE) {
    throw new RangeError(`sampleRate is an integer from 8000 to 48000, got ${sampleRate}`);
  }
  if (channels !== 1 && channels !== 2) throw new RangeError(`channels is 1 or 2, got ${channels}`);
  if (sampleType !== 'float32' && sampleType !== 'int16') {
    throw new RangeError(`sampleType is 'float32' or 'int16', got ${sampleType}`);
  }
  return { sampleRate, channels, sampleType };
}

function gcd(a, b) {
  return b === 0 ? a : gcd(b, a % b);
}

// The zeroth-order modified Bessel function of the first kind, by its series.
function besselI0(x) {
  let sum = 1;
  let term = 1;
  for (let k = 1; term > sum * 1e-17; k++) {
    term *= (x / (2 * k)) ** 2;
    sum += term;
  }
  return sum;
}

// phases[p][m] weighs input frame floor(k·M/L) − m for the output k whose
// phase (k·M) mod L is p: the prototype's taps p + L·m, each phase summing to 1.
function design(sampleRate) {
  const g = gcd(sampleRate, INPUT_RATE);
  const L = sampleRate / g;
  const M = INPUT_RATE / g;
  const T = 2 * Math.ceil((SPAN_PERIODS * INPUT_RATE) / sampleRate);
  const total = T * L;
  const centre = (total - 1) / 2;
  const f = (CUTOFF * sampleRate) / (INPUT_RATE * L); // cutoff in cycles per up-sampled sample
  const norm = besselI0(KAISER_BETA);
  const phases = [];
  for (let p = 0; p < L; p++) {
    const taps = new Float64Array(T);
    let sum = 0;
    for (let m = 0; m < T; m++) {
      const t = p + L * m - centre;
      const r = t / centre;
      const sinc = t === 0 ? 2 * f : Math.sin(2 * Math.PI * f * t) / (Math.PI * t);
      taps[m] = sinc * (besselI0(KAISER_BETA * Math.sqrt(Math.max(0, 1 - r * r))) / norm);
      sum += taps[m];
    }
    for (let m = 0; m < T; m++) taps[m] /= sum;
    phases.push(taps);
  }
  return { L, M, T, phases };
}

const designs = new Map();

// A stream converter: push(Float32Array of interleaved stereo 48 kHz frames)
// returns the converted samples so far (Float32Array or Int16Array); the same
// stream cut into any chunks gives the same samples.
function createConverter(format) {
  const f = formatOf(format);
  const identity = f.sampleRate === INPUT_RATE && f.channels === 2 && f.sampleType === 'float32';
  let filter = null;
  if (f.sampleRate !== INPUT_RATE) {
    if (!designs.has(f.sampleRate)) designs.set(f.sampleRate, design(f.sampleRate));
    filter = designs.get(f.sampleRate);
  }
  const C = f.channels;
  // The last T − 1 input frames per channel (zeros before the first), then the chunk.
  const keep = filter === null ? 0 : filter.T - 1;
  let history = new Float64Array(keep * C);
  let consumed = 0; // input frames before the history's end
  let next = 0; // the next output sample's index

  function push(stereo) {
    if (identity) return stereo;
    const frames = stereo.length / 2;
    const x = new Float64Array((keep + frames) * C);
    x.set(history);
    for (let i = 0, o = keep * C; i < frames; i++) {
      const l = stereo[2 * i];
      const r = stereo[2 * i + 1];
      if (C === 1) x[o++] = (l + r) / 2;
      else { x[o++] = l; x[o++] = r; }
    }
    let y;
    if (filter === null) {
      y = x;
    } else {
      const { L, M, T, phases } = filter;
      const end = consumed + frames; // input frames known
      // Output k reads input frames up to floor(k·M/L).
      const count = Math.max(0, Math.ceil((end * L) / M) - next);
      y = new Float64Array(count * C);
      for (let j = 0; j < count; j++) {
        const k = next + j;
        const taps = phases[(k * M) % L];
        const newest = Math.floor((k * M) / L) - consumed + keep; // index in x
        if (C === 1) {
          let acc = 0;
          for (let m = 0; m < T; m++) acc += taps[m] * x[newest - m];
          y[j] = acc;
        } else {
          let left = 0;
          let right = 0;
          for (let m = 0, at = 2 * newest; m < T; m++, at -= 2) {
            left += taps[m] * x[at];
            right += taps[m] * x[at + 1];
          }
          y[2 * j] = left;
          y[2 * j + 1] = right;
        }
      }
      next += count;
      consumed = end;
      history = x.slice(x.length - keep * C);
    }
    return f.sampleType === 'int16' ? toInt16(y) : Float32Array.from(y);
  }
  return { format: f, push };
}

module.exports = { INPUT_RATE, createConverter, formatOf, toInt16 };
