// The format conversion's figures, and a capture that delivers its format.
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { createConverter } from '../convert.cjs';
import { captureProcessAudio } from '../index.js';

const SCRIPTED = process.env.SONDREL_SCRIPTED ?? fileURLToPath(new URL('../../../build/linux/tests/sondrel-process-loopback-scripted', import.meta.url));
const tone = (hz, seconds, level = 0.5) => Float32Array.from({ length: 96000 * seconds }, (_, i) => level * Math.sin((2 * Math.PI * hz * Math.floor(i / 2)) / 48000));
const rms = (x, from = 0) => Math.sqrt(x.subarray(from).reduce((s, v) => s + v * v, 0) / (x.length - from));
const dB = (ratio) => 20 * Math.log10(ratio);

test('48 to 16 kHz keeps a 1 kHz tone within 0.1 dB and leaves a 12 kHz one below -60 dB, in chunks of any size', () => {
  const format = { sampleRate: 16000, channels: 1 }, settle = 400; // the filter's first outputs read zeros before the stream
  const [pass, alias] = [1000, 12000].map((hz) => dB(rms(createConverter(format).push(tone(hz, 1)), settle) / rms(tone(hz, 1))));
  assert.ok(Math.abs(pass) <= 0.1 && alias < -60, `1 kHz ${pass.toFixed(3)} dB, 12 kHz ${alias.toFixed(1)} dB`);
  const input = tone(440, 0.5).map((v, i) => v + (i % 2 ? 0.3 : -0.2) * Math.sin(i / 97)); // two distinct channels
  for (const f of [{ sampleRate: 16000, channels: 1, sampleType: 'int16' }, { sampleRate: 44100 }, { sampleRate: 8000, channels: 1 }, { sampleRate: 47999 }, { channels: 1 }]) {
    const whole = createConverter(f).push(input), converter = createConverter(f), parts = [];
    for (let at = 0, n = 1; at < input.length; at += 2 * n, n = (n * 7 + 3) % 1013) parts.push(converter.push(input.subarray(at, at + 2 * n)));
    assert.deepEqual(Float64Array.from(parts.flatMap((p) => [...p])), Float64Array.from(whole), JSON.stringify(f));
    assert.equal(whole.length, Math.ceil((input.length / 2) * (f.sampleRate ?? 48000) / 48000) * (f.channels ?? 2));
  }
  const mono = createConverter({ channels: 1 }).push(Float32Array.of(0.5, 0.25, 1, -1, 2 ** -24, 0));
  assert.deepEqual(mono, Float32Array.of(0.375, 0, 2 ** -25));
});

test('a capture delivers its chosen format', { skip: existsSync(SCRIPTED) ? false : `no scripted helper at ${SCRIPTED}`, timeout: 60000 }, async () => {
  const format = { sampleRate: 16000 }, chunks = [];
  const c = captureProcessAudio({ pid: process.pid }, { executable: SCRIPTED, format, env: { ...process.env, SONDREL_SCENARIO: 'pace=prequeue packets=480x10' } });
  await c.ready; await c.stop();
  for await (const chunk of c) chunks.push(chunk);
  const frames = Float32Array.from({ length: 9600 }, (_, i) => (i % 2 ? -1 : 1) * (Math.floor(i / 2) + 1)); // the helper's frame n is (n + 1, -(n + 1))
    assert.deepEqual(Float32Array.from(chunks.flatMap((x) => [...x])), createConverter(format).push(frames)); // same samples, however the pipe cut them
});
