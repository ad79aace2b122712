// The client with the real Linux helper (SONDREL_PROGRAM) in a private
// PipeWire session: 440 Hz from one player, 1000 Hz from another.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { captureProcessAudio } from '../index.js';

const here = (path) => fileURLToPath(new URL(path, import.meta.url));
const PROGRAM = process.env.SONDREL_PROGRAM
  ?? here('../../../build/linux/platform/pipewire/sondrel-process-loopback');
const PW_SESSION = here('../../../scripts/pw-session');
const skip = existsSync(PROGRAM) ? false : `no Linux helper at ${PROGRAM}`;

// Amplitude of one frequency in the left channel (Goertzel); 0.5 for a tone played at half scale.
function level(frames, freq) {
  const coeff = 2 * Math.cos((2 * Math.PI * freq) / 48000);
  let s1 = 0;
  let s2 = 0;
  const n = frames.length / 2;
  for (let i = 0; i < frames.length; i += 2) {
    const s0 = frames[i] + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return (2 * Math.sqrt(Math.max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 0))) / Math.max(n, 1);
}

let dir;
let env;
const players = [];

before(() => {
  if (skip) return;
  dir = mkdtempSync(join(tmpdir(), 'sondrel-node-pw-'));
  const lines = execFileSync(PW_SESSION, ['start', dir], { encoding: 'utf8', timeout: 30000 });
  // bash reads the lines, so their quoting has a single reader.
  const dump = execFileSync('bash', ['-c', `${lines}\nenv -0`], { encoding: 'utf8' });
  env = Object.fromEntries(dump.split('\0').filter(Boolean).map((l) => {
    const eq = l.indexOf('=');
    return [l.slice(0, eq), l.slice(eq + 1)];
  }));
  for (const freq of [440, 1000]) {
    execFileSync('sox', ['-n', '-r', '44100', '-c', '1', '-b', '16', join(dir, `${freq}.wav`),
      'synth', '10', 'sine', String(freq), 'vol', '0.5']);
  }
});

after(() => {
  for (const p of players) {
    try { process.kill(-p.pid, 'SIGKILL'); } catch { /* already gone */ }
  }
  if (dir) {
    execFileSync(PW_SESSION, ['stop', dir], { timeout: 30000 });
    rmSync(dir, { recursive: true, force: true });
  }
});

function play(command, freq) {
  const p = spawn(command, [join(dir, `${freq}.wav`)], { env, detached: true, stdio: 'ignore' });
  players.push(p);
  return p;
}

// About a second of audio, then stop.
async function second(target) {
  const saved = process.env;
  process.env = env; // the helper must reach the private session
  let capture;
  try {
    capture = captureProcessAudio(target, { executable: PROGRAM });
  } finally {
    process.env = saved;
  }
  await capture.ready;
  const chunks = [];
  let frames = 0;
  for await (const c of capture) {
    chunks.push(c);
    frames += c.length / 2;
    if (frames >= 48000) await capture.stop();
  }
  return Float32Array.from(chunks.flatMap((c) => [...c]));
}

test('a tone captured by pid, and left out by excludePid', { skip, timeout: 60000 }, async () => {
  const target = play('pw-play', 440);
  play('paplay', 1000);
  const included = await second({ pid: target.pid });
  const excluded = await second({ excludePid: target.pid });
  for (const [got, wanted, other] of [[included, 440, 1000], [excluded, 1000, 440]]) {
    assert.ok(level(got, wanted) > 0.3, `${wanted} Hz missing: ${level(got, wanted)}`);
    assert.ok(level(got, other) < 0.01, `${other} Hz leaked in: ${level(got, other)}`);
  }
});
