// listAudioApplications against the Linux helper (SONDREL_PROGRAM) in a private PipeWire
// session: the list, a capture of an entry as a picker makes it, failures as CaptureError.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import client from '../index.cjs';

const { CaptureError, captureProcessAudio, listAudioApplications } = client;
const executable = process.env.SONDREL_PROGRAM;
const session = new URL('../../../scripts/pw-session', import.meta.url).pathname;
const dir = mkdtempSync(path.join(tmpdir(), 'sondrel-nodelist-'));
let env;
let player;

before(() => {
  const exports = execFileSync(session, ['start', dir], { encoding: 'utf8' });
  env = Object.fromEntries(execFileSync('bash', ['-c', `${exports}\nenv -0`], { encoding: 'utf8' })
    .split('\0').filter(Boolean).map((item) => [item.slice(0, item.indexOf('=')), item.slice(item.indexOf('=') + 1)]));
  const wav = path.join(dir, 'tone.wav');
  execFileSync('sox', ['-n', '-r', '48000', '-c', '2', '-b', '16', wav, 'synth', '30', 'sine', '440', 'vol', '0.5']);
  player = spawn('pw-play', [wav], { env, stdio: 'ignore' });
});

after(() => {
  player.kill();
  execFileSync(session, ['stop', dir]);
  rmSync(dir, { recursive: true, force: true });
});

test('the list names the player, and capturing its appPid gives its audio', async () => {
  let entry;
  for (const deadline = Date.now() + 20000; !entry && Date.now() < deadline;) {
    const list = await listAudioApplications({ executable, env, measureMs: 150 });
    entry = list.find((e) => e.appPid === player.pid && e.active && e.peak > 0.4);
  }
  assert.deepEqual([entry?.pid, entry?.pids, entry?.name], [player.pid, [player.pid], 'pw-cat']);
  const capture = captureProcessAudio({ pid: entry.appPid }, { executable, env });
  let loudest = 0;
  let frames = 0;
  for await (const chunk of capture) {
    for (const x of chunk) loudest = Math.max(loudest, Math.abs(x));
    if ((frames += chunk.length / 2) >= 24000) await capture.stop();
  }
  assert.ok(Math.abs(loudest - 0.5) < 0.05, `captured peak ${loudest}`);
});

test('no audio service is a CaptureError', async () => {
  const none = { ...env, XDG_RUNTIME_DIR: path.join(dir, 'nowhere'), PIPEWIRE_REMOTE: 'none' };
  await assert.rejects(listAudioApplications({ executable, env: none }),
    (error) => error instanceof CaptureError && error.code === 'AUDCLNT_E_SERVICE_NOT_RUNNING' && error.exitCode === 4);
  await assert.rejects(listAudioApplications({ executable, measureMs: 10001 }), RangeError);
});
