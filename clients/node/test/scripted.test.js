import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, realpathSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { Writable } from 'node:stream';
import { pipeline } from 'node:stream/promises';
import { after, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';
import { CaptureError, captureProcessAudio, createWavWriter, toInt16, wavHeader } from '../index.js';

const here = (path) => fileURLToPath(new URL(path, import.meta.url));
const SCRIPTED = process.env.SONDREL_SCRIPTED ?? here('../../../build/linux/tests/sondrel-process-loopback-scripted');
const HEADER = '534452410100000080bb000002002000';
const RING = 5 * 48000 * 8; // what the helper keeps for a reader that falls behind
const skip = existsSync(SCRIPTED) ? false : `no scripted helper at ${SCRIPTED}`;
const timeout = 60000; // a hang is a failure, not a stuck run
const dir = mkdtempSync(join(tmpdir(), 'sondrel-node-')); after(() => rmSync(dir, { recursive: true, force: true }));
delete process.env.DISPLAY; // --window must find no windows here
const env = (vars) => ({ ...process.env, ...vars });
const helpers = []; after(() => { for (const pid of helpers) if (!gone(pid)) process.kill(pid, 'SIGKILL'); }); // a failed case leaves no helper to hold the run
const started = (c) => (helpers.push(c.pid), c);
const scripted = (scenario, target = { pid: process.pid }, o = {}) => started(captureProcessAudio(target, { executable: SCRIPTED, env: env({ SONDREL_SCENARIO: scenario }), ...o }));
const fake = (plan, o = {}, target = { pid: process.pid }) => started(captureProcessAudio(target, { executable: here('./fake-helper.mjs'), env: env({ FAKE_HELPER: JSON.stringify(plan) }), ...o }));
const pattern = (n) => Float32Array.from({ length: n * 2 }, (_, i) => (i % 2 ? -1 : 1) * (Math.floor(i / 2) + 1)); // frame n: (n + 1, -(n + 1))
const join2 = (chunks) => Float32Array.from(chunks.flatMap((c) => [...c]));
const is = (want) => (e) => e instanceof CaptureError && Object.entries(want).every(([k, v]) => (v instanceof RegExp ? v.test(e[k]) : e[k] === v));
async function collect(capture, chunks = []) { for await (const chunk of capture) chunks.push(chunk); return join2(chunks); }
async function bytes(c) { // the same frames as bytes, and the capture is then no longer iterable
  const b = Buffer.concat(await c.readable.toArray()); assert.throws(() => c[Symbol.asyncIterator](), /already being consumed/);
  return new Float32Array(b.buffer, b.byteOffset, b.length / 4); }
async function waitFor(condition, signal, ms = 20) { for (;;) { const v = await condition(); if (v) return v; await sleep(ms, null, { signal }); } } // ends with its test
function frames(chunks) { // how many frames of the pattern, checked sample by sample
  let n = 0; for (const c of chunks) for (let i = 0; i < c.length; i += 2, n++) assert.ok(c[i] === n + 1 && c[i + 1] === -(n + 1), `frame ${n}: ${c[i]} ${c[i + 1]}`);
  return n; }
function gone(pid) { // or a zombie nobody has reaped yet
  try { process.kill(pid, 0); return /^\d+ \(.*\) Z/.test(readFileSync(`/proc/${pid}/stat`, 'utf8')); } catch { return true; } }
let floods = 0;
async function flooded(signal) { // a helper with far more than the ring to write, and nobody reading: where does it stop?
  const report = join(dir, `flood-${floods++}.json`), c = fake({ chunks: [HEADER], flood: RING + 4 * 2 ** 20, report });
  let last = null; await c.ready;
  const state = await waitFor(() => { // finished, or held back with no progress between two looks
    let now; try { now = JSON.parse(readFileSync(report, 'utf8')); } catch { return null; }
    const held = now.state === 'blocked' && last?.state === 'blocked' && last.accepted === now.accepted;
    last = now; return now.state === 'finished' || held ? now : null;
  }, signal, 50);
  return { c, state };
}

test('frames arrive whole and in order, whatever the chunk boundaries, or not at all', { skip, timeout }, async () => {
  for (const read of [collect, bytes]) { // drained after stop
    const c = scripted('pace=prequeue packets=480x10,7');
    await c.ready.then(() => c.stop());
    assert.deepEqual(await read(c), pattern(4807));
  }
  let at = 0; const got = [], stream = HEADER + Buffer.from(pattern(6).buffer).toString('hex'); // cut inside the header, floats,
  const chunks = [5, 14, 3, 9, 1, 20, 8, 4].map((n) => stream.slice(at * 2, (at += n) * 2)).concat('abcdef'); // frames, and 3 bytes of a frame that never completes
  assert.deepEqual(await collect(fake({ chunks, delayMs: 15 }), got), pattern(6));
  assert.ok(got.length > 1 && got.every((c) => c.length > 0 && c.length % 2 === 0), got.map((c) => c.length).join());
  const bad = (at, hex) => [HEADER.slice(0, at * 2) + hex + HEADER.slice(at * 2 + hex.length) + '00'.repeat(32)];
  for (const [chunks, want, floats = 0] of [
    [bad(0, '53445242'), { message: /not a sondrel/, code: 'ERR_BAD_HEADER' }],
    [bad(4, '02000000'), { message: /version 2 is not 1/ }],
    [bad(8, '44ac0000'), { message: /44100 Hz, 2 channels, 32 bits is not/ }],
    [bad(12, '0100'), { message: /1 channels/ }],
    [bad(14, '1000'), { message: /16 bits is not/ }],
    ...[[HEADER.slice(0, 20)], []].map((cut) => [cut, { message: /ended without a stream header/, code: 'ERR_NO_HEADER' }]),
    [[HEADER.slice(0, 8)], { signal: 'SIGTERM', exitCode: null, code: 'ERR_SIGNAL' }],
    [[HEADER, HEADER], { signal: 'SIGKILL' }, 4],
  ]) {
    const c = fake({ chunks, delayMs: 5, signal: want.signal }), got = [];
    if (!floats) await assert.rejects(c.ready, is(want));
    await assert.rejects(collect(c, got), is(want));
    assert.equal(join2(got).length, floats);
  }
});

test('failures carry the exit code, a name, an English description, the code as a number, the text and the line', { skip, timeout }, async () => {
  const line = 'Falha na captura de \u00e1udio do processo', plain = join(dir, 'plain'); writeFileSync(plain, '#!/bin/sh\n', { mode: 0o644 });
  for (const [make, want] of [
    [() => scripted('activate=0x80070005'), { exitCode: 4, hresult: 0x80070005, code: 'E_ACCESSDENIED', systemText: 'Acesso negado.', line: `${line} (0x80070005): Acesso negado.` }],
    [() => fake({ stderr: `${line} (0x800705B4)\r\n`, exit: 4 }), { exitCode: 4, hresult: 0x800705B4, code: 'ERROR_TIMEOUT', description: /within 10 seconds/, systemText: null, line: `${line} (0x800705B4)` }],
    [() => fake({ stderr: `warning: a runtime's note\n${line} (0x80070002): x\r\n`, exit: 4 }), { hresult: 0x80070002, code: 'ERROR_FILE_NOT_FOUND', description: /no process-loopback/, message: /0x80070002/ }], // the last line is the failure
    [() => fake({ stderr: 'Segmentation fault\n', exit: 139 }), { exitCode: 139, hresult: null, code: 'ERR_EXIT', line: 'Segmentation fault' }],
    [() => scripted('', { window: 0x7FFFFFF0 }), { exitCode: 2, code: 'ERR_USAGE', message: /--window 0x7ffffff0: DISPLAY is not set.*no window has this id.*cannot be known/, line: /^Uso: / }],
    [() => scripted('', { window: 'window:123456:0' }, { env: env({ DISPLAY: ':99' }) }), { exitCode: 2, message: /--window 0x1e240: no window has this id.*display could not be opened/ }], // Electron's desktopCapturer id
    [() => scripted('', { window: '0x1E241' }), { message: /--window 0x1e241:/ }], [() => scripted('', { window: '123458' }), { message: /--window 0x1e242:/ }],
    [() => captureProcessAudio({ pid: 42 }, { executable: here('./none') }), { exitCode: null, code: 'ENOENT', message: /could not be started.*no file there.*bundled.*external.*executable option/ }],
    [() => captureProcessAudio({ pid: 42 }, { executable: plain }), { code: 'EACCES', message: /could not be started.*not executable/ }],
    [() => fake({ cwd: true, exit: 5 }, { cwd: dir }), { exitCode: 5, line: realpathSync(dir) }],
  ]) {
    const c = make();
    await assert.rejects(c.ready, is(want));
    await c.stop(); // ready carried the failure
  }
  const late = () => fake({ chunks: [HEADER], stderr: `${line} (0x88890004)\n`, exit: 4 }), failed = is({ code: 'AUDCLNT_E_DEVICE_INVALIDATED' });
  await assert.rejects(late().stop(), failed); // the failure reaches nobody else
  for (const consume of [collect, (c) => c.readable.toArray()]) { const c = late(); await assert.rejects(consume(c), failed); await c.stop(); }
  for (const argv of [['--pid', `${process.pid}`], ['--exclude-pid', '4294967288']]) { // the mode and pid asked for; their reading: tests/e2e
    const file = join(dir, `argv${argv[0]}`), target = { [argv[0] === '--pid' ? 'pid' : 'excludePid']: Number(argv[1]) };
    await assert.rejects(fake({ argv: file, exit: 4 }, {}, target).ready, is({ exitCode: 4 }));
    assert.deepEqual(JSON.parse(readFileSync(file, 'utf8')), argv);
  }
  for (const [error, targets, o = {}] of [[TypeError, [{}, { pid: 1, excludePid: 2 }, null, 42]], [TypeError, [{ excludePid: 1 }, { window: 1 }], { stopWhenTargetExits: true }],
    [/got string ' ?1234 ?'/, [{ pid: '1234' }, { window: '1234 ' }, { window: ' 1234' }]], [/got number 1.5/, [{ excludePid: 1.5 }]], [{ code: 'ERR_BAD_CWD', message: /no directory: .*none/ }, [{ pid: 1 }], { cwd: here('./none') }],
    [RangeError, [{ pid: 0 }, { pid: -1 }, { pid: 2 ** 32 }, { pid: '12abc' }, { excludePid: NaN }, { window: 0 }, { window: 2n ** 64n }, { window: '0x' }, { window: '0x10000000000000000' }, { window: 'screen:1:0' },
      { window: 'window:0:0' }, { window: 'window:5:0junk' }, { window: 'window:5:' }, { window: 'window:5' }, { window: 'window:-5:0' }]],
    [RangeError, [{ pid: 1 }], { format: { sampleRate: 7999 } }], [RangeError, [{ pid: 1 }], { format: { channels: 3 } }], [RangeError, [{ pid: 1 }], { format: { sampleType: 'int8' } }]])
    for (const target of targets) assert.throws(() => captureProcessAudio(target, { executable: SCRIPTED, ...o }), error, String(target?.window ?? target?.pid));
});

test('drop notices are counted and reported, and are never the failure line', { skip, timeout }, async () => {
  const notice = (n, p, why) => `Aviso: \u00e1udio perdido: ${n} quadros antes do quadro ${p} (${why})`, seen = [];
  const drops = [[480, 960, 'leitor atrasado', 'reader-behind'], [0, 1000, 'descontinuidade do sistema', 'discontinuity']];
  const stderr = drops.map(([n, p, why]) => notice(n, p, why)).join('\r\n') + '\r\n';
  for (const [plan, want] of [[{ stderr: `${stderr}Falha (0x88890004)\n`, exit: 4 }, { hresult: 0x88890004, line: 'Falha (0x88890004)' }],
    [{ stderr, exit: 4 }, { code: 'ERR_EXIT', line: null }], [{ stderr: `${notice(1, 2, 'outro')}\n`, exit: 4 }, { line: notice(1, 2, 'outro') }]]) {
    const events = [], c = fake({ chunks: [HEADER + '00'.repeat(16)], ...plan }, { onDrop: (d) => seen.push(d) });
    c.on('drop', (d) => events.push(d));
    await assert.rejects(collect(c), is(want));
    if (plan.stderr === stderr) assert.deepEqual(events, drops.map(([frames, position, , reason]) => ({ frames, position, reason })));
    assert.equal(c.droppedFrames, plan.stderr.startsWith(stderr) ? 480 : 0);
  }
  assert.deepEqual(seen.length, 4);
});

test('stop and abort end the stream after the helper is gone; the helper never outlives its consumer, capture or parent', { skip, timeout }, async () => {
  for (const how of ['stop', 'abort']) {
    const controller = new AbortController(), got = [], c = scripted('packets=480 repeat pace=realtime', { pid: process.pid }, { signal: controller.signal });
    const loop = (async () => { for await (const chunk of c) if (got.push(chunk) === 3) await (how === 'stop' ? c.stop() : controller.abort('enough')); })();
    if (how === 'abort') await assert.rejects(loop, (e) => e.name === 'AbortError' && e.cause === 'enough' && c.exitCode === 0); // thrown once the helper is gone
    else await loop;
    const all = join2(got); // at least the 3 chunks, all of them in order
    assert.deepEqual(all, pattern(Math.max(3 * 480, all.length / 2)), how);
    assert.equal(c.exitCode, 0);
    await c.stop(); // nothing left to do, still fine
  }
  assert.throws(() => scripted('', { pid: 42 }, { signal: AbortSignal.abort() }), { name: 'AbortError' });
  for (const iterable of [(c) => c, (c) => c.readable]) { // the consumer throws while the helper floods the pipe
    const c = scripted('packets=480 repeat pace=fast');
    await assert.rejects(async () => { for await (const x of iterable(c)) throw new Error(`consumer failed at ${x.length}`); }, /consumer failed/);
    assert.equal((await c.stop(), c.exitCode), 0); // asked, not killed
  }
  // A parent of its own: it reports on the collected capture before exiting, as its exit would end it too.
  for (const [scenario, ending] of [['packets=480 repeat pace=realtime', 'let c = make(); const pid = c.pid; console.log(pid); c = null; let gone = false;' +
      'for (let i = 0; i < 200 && !gone; i++) { globalThis.gc(); await new Promise((r) => setTimeout(r, 20)); try { process.kill(pid, 0); } catch { gone = true; } }' +
      'console.log(gone ? "gone" : "running");'],
    ['packets=480 repeat pace=realtime', 'const c = make(); await c.ready; console.log(c.pid); process.exit(0);'],
    ['completion=never', 'const c = make(); console.log(c.pid); process.exit(0);']]) { // before ready: the helper reads no stdin yet
    const script = `import { captureProcessAudio } from ${JSON.stringify(here('../index.js'))};` +
      `const make = () => captureProcessAudio({ pid: process.pid }, { executable: ${JSON.stringify(SCRIPTED)} }); ${ending} process.exit(0);`;
    const parent = spawn(process.execPath, ['--expose-gc', '--input-type=module', '-e', script], {
      env: env({ SONDREL_SCENARIO: scenario }), stdio: ['ignore', 'pipe', 'inherit'] });
    const [pid, verdict = 'gone'] = (await parent.stdout.toArray()).join('').trim().split('\n');
    assert.ok(Number(pid) > 0 && verdict === 'gone', `${pid} ${verdict}`);
    let left = false; // well within the 10 s the helper would wait for its activation
    for (let i = 0; i < 200 && !left; i++, await sleep(20)) left = gone(Number(pid));
    assert.ok(left, `helper ${pid} still runs`);
  }
});

test('no hang and no leak, whatever the helper or the consumer does', { skip, timeout: 5 * timeout }, async (t) => {
  for (const [what, check] of [
    ['destroying the readable while no audio flows ends the helper at once', async (t) => {
      const c = scripted(''), controller = new AbortController();
      const piped = pipeline(c.readable, new Writable({ write: (x, e, done) => done() }), { signal: controller.signal });
      await c.ready; controller.abort();
      await assert.rejects(piped, { name: 'AbortError' });
      await waitFor(() => c.exitCode !== null, t.signal); assert.equal(c.exitCode, 0); }], // asked, not killed
    ['a helper that ignores stdin is killed once stop() or an abort has waited 5 s', async () => {
      const controller = new AbortController(), stopped = fake({ chunks: [HEADER], hang: true }), aborted = fake({ chunks: [HEADER], hang: true }, { signal: controller.signal });
      await Promise.all([stopped.ready, aborted.ready]); controller.abort();
      await Promise.all([assert.rejects(stopped.stop(), is({ code: 'ERR_STOP_TIMEOUT', signal: 'SIGKILL' })),
        assert.rejects(collect(aborted), (e) => e.name === 'AbortError' && gone(aborted.pid))]); }],
    ['a helper slow to stop, or stopped during a slow activation, is not killed', async () => {
      const activating = scripted('completion=late:6000'), stops = [activating.stop()]; // asked at once; its activation ends within 10 s
      const slow = fake({ chunks: [HEADER], lingerMs: 2000 }); await slow.ready; stops.push(slow.stop()); // up and asked: 2 s to go
      await Promise.all(stops); assert.deepEqual([activating.exitCode, slow.exitCode], [0, 0]); }],
    ['the reader pauses the helper once it holds the ring, not before; it resumes as the consumer catches up, or drains and exits on stop()', async (t) => {
      for (const stop of [false, true]) {
        const { c, state } = await flooded(t.signal), chunks = [];
        assert.equal(state.state, 'blocked', 'the helper was never held back');
        assert.ok(state.accepted >= RING && state.accepted < RING + 2 ** 20, `held back after ${state.accepted} bytes`);
        if (stop) { await c.stop(); assert.equal(c.exitCode, 0); }
        for await (const chunk of c) chunks.push(chunk); // ends when the helper has written everything it will
        const n = frames(chunks); assert.ok(stop ? n >= RING / 8 : n === (RING + 4 * 2 ** 20) / 8, `${stop} ${n}`); } }],
    ['stopWhenTargetExits stops the capture once the target is gone, reaped or a zombie', async (t) => {
      const zombie = 'import os, sys, time\npid = os.fork()\nif pid == 0:\n  sys.stdin.read(1); os._exit(0)\nprint(pid, flush=True); time.sleep(60)'; // never reaps its child
      for (const [command, args] of [['sleep', ['60']], ['/usr/bin/python3', ['-c', zombie]]]) {
        const child = spawn(command, args), got = []; t.after(() => child.kill('SIGKILL'));
        const pid = args.length === 1 ? child.pid : Number((await child.stdout.take(1).toArray()).join(''));
        const c = scripted('packets=480 repeat pace=realtime', { pid }, { stopWhenTargetExits: true });
        for await (const chunk of c) if (got.push(chunk) === 2) pid === child.pid ? child.kill('SIGKILL') : child.stdin.write('x');
        assert.equal(c.exitCode, 0); assert.ok(got.length >= 2); } }],
  ]) await t.test(what, { timeout }, check);
});

test('16-bit samples and WAV files', async () => {
  const half = [1.5, 2.5, -1.5, -2.6].map((x) => x / 32768); // rounded, halves upwards
  assert.deepEqual(toInt16(Float32Array.of(-2, -1, -0.5, 0, 0.25, 1 - 2 ** -20, 1, 3, NaN, ...half)), Int16Array.of(-32768, -32768, -16384, 0, 8192, 32767, 32767, 32767, 0, 2, 3, -1, -3));
  const samples = Float32Array.of(0.5, -0.5, 0.25, -0.25, 1, -1);
  for (const [format, channels] of [['float32', 2], ['int16', 2], ['float32', 1]]) {
    const o = { sampleType: format, channels, sampleRate: channels === 1 ? 16000 : 48000 }, file = join(dir, `${format}-${channels}.wav`);
    const data = format === 'int16' ? Buffer.from(toInt16(samples).buffer) : Buffer.from(samples.buffer), bytes = format === 'int16' ? data : Buffer.from(samples.buffer);
    const header = wavHeader(data.length, o), first = format === 'int16' ? toInt16(samples.subarray(0, 2)) : samples.subarray(0, 2);
    await pipeline(async function* () { yield first; yield bytes.subarray(first.byteLength, first.byteLength + 5); yield bytes.subarray(first.byteLength + 5); }, createWavWriter(file, o));
    const wav = readFileSync(file), at = header.length - 8; // sizes patched at the end; a float32 cut across chunks
    assert.deepEqual(wav, Buffer.concat([header, data]));
    assert.deepEqual([wav.toString('latin1', 0, 4), wav.readUInt32LE(4), wav.toString('latin1', at, at + 4), wav.readUInt32LE(at + 4)], ['RIFF', wav.length - 8, 'data', data.length]);
    assert.deepEqual([wav.readUInt16LE(20), wav.readUInt16LE(22), wav.readUInt32LE(24), wav.readUInt32LE(28), wav.readUInt16LE(32), wav.readUInt16LE(34)],
      format === 'int16' ? [1, 2, 48000, 192000, 4, 16] : [3, channels, o.sampleRate, o.sampleRate * channels * 4, channels * 4, 32]);
    if (format === 'float32') assert.deepEqual([wav.toString('latin1', 38, 42), wav.readUInt32LE(46)], ['fact', 6 / channels]); // frames, not samples
  }
  assert.throws(() => wavHeader(2 ** 32), RangeError); assert.throws(() => wavHeader(0, { format: 'int16' }), /sampleType/);
});
