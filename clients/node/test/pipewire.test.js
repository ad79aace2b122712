// The real Linux helper (SONDREL_PROGRAM) in a private PipeWire session: 440 Hz from one player, 1000 Hz from another.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { captureProcessAudio } from '../index.js';

const here = (path) => fileURLToPath(new URL(path, import.meta.url));
const PROGRAM = process.env.SONDREL_PROGRAM ?? here('../../../build/linux/platform/pipewire/sondrel-process-loopback');
const PW_SESSION = here('../../../scripts/pw-session');
const skip = existsSync(PROGRAM) ? false : `no Linux helper at ${PROGRAM}`;

// Amplitude of one frequency in the left channel (Goertzel); 0.5 for a tone played at half scale.
function level(frames, freq) {
  let s1 = 0, s2 = 0, coeff = 2 * Math.cos((2 * Math.PI * freq) / 48000);
  for (let i = 0; i < frames.length; i += 2) [s1, s2] = [frames[i] + coeff * s1 - s2, s1];
  return (2 * Math.sqrt(Math.max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 0))) / Math.max(frames.length / 2, 1);
}

test('a tone captured by pid, and left out by excludePid', { skip, timeout: 60000 }, async (t) => {
  const dir = mkdtempSync(join(tmpdir(), 'sondrel-node-pw-')), players = [];
  t.after(() => {
    for (const p of players) try { process.kill(-p.pid, 'SIGKILL'); } catch { /* already gone */ }
    try { execFileSync(PW_SESSION, ['stop', dir], { timeout: 30000 }); } finally { rmSync(dir, { recursive: true, force: true }); }
  });
  const lines = execFileSync(PW_SESSION, ['start', dir], { encoding: 'utf8', timeout: 30000 }); // read by bash alone, for its quoting
  const env = Object.fromEntries(execFileSync('bash', ['-c', `${lines}\nenv -0`], { encoding: 'utf8' })
    .split('\0').filter(Boolean).map((l) => [l.slice(0, l.indexOf('=')), l.slice(l.indexOf('=') + 1)]));
  const play = (command, freq) => {
    execFileSync('sox', ['-n', '-r', '44100', '-c', '1', '-b', '16', join(dir, `${freq}.wav`), 'synth', '10', 'sine', String(freq), 'vol', '0.5']);
    players.push(spawn(command, [join(dir, `${freq}.wav`)], { env, detached: true, stdio: 'ignore' })); return players.at(-1);
  };
  // Reads until the newest half second carries the wanted tone (a loaded machine may glitch
  // earlier), at most 20 s; the helper must reach the private session.
  const capture = async (target, wanted) => {
    const c = captureProcessAudio(target, { executable: PROGRAM, env });
    let all = new Float32Array(0), recent = 0;
    for await (const chunk of c) {
      const grown = new Float32Array(all.length + chunk.length);
      grown.set(all), grown.set(chunk, all.length), all = grown;
      recent = level(all.subarray(Math.max(0, all.length - 48000)), wanted);
      if (recent > 0.3 || all.length >= 20 * 2 * 48000) await c.stop();
    }
    return [all, recent];
  };
  const target = play('pw-play', 440);
  play('paplay', 1000);
  for (const [t, wanted, other] of [[{ pid: target.pid }, 440, 1000], [{ excludePid: target.pid }, 1000, 440]]) {
    const [got, recent] = await capture(t, wanted);
    assert.ok(recent > 0.3, `${wanted} Hz missing: ${recent}`);
    assert.ok(level(got, other) < 0.01, `${other} Hz leaked in: ${level(got, other)}`);
  }
});
