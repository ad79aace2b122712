import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';
import { CaptureError, captureProcessAudio } from '../index.js';

const here = (path) => fileURLToPath(new URL(path, import.meta.url));
const SCRIPTED = process.env.SONDREL_SCRIPTED ?? here('../../../build/linux/tests/sondrel-process-loopback-scripted');
const HEADER = '534452410100000080bb000002002000';
const skip = existsSync(SCRIPTED) ? false : `no scripted helper at ${SCRIPTED}`;
delete process.env.DISPLAY; // --window must find no windows here
const start = (env, value, target, options) => { process.env[env] = value; return captureProcessAudio(target, options); };
const scripted = (scenario, target = { pid: 42 }, o = {}) => start('SONDREL_SCENARIO', scenario, target, { executable: SCRIPTED, ...o });
const fake = (plan) => start('FAKE_HELPER', JSON.stringify(plan), { pid: 42 }, { executable: here('./fake-helper.mjs') });
const pattern = (n) => Float32Array.from({ length: n * 2 }, (_, i) => (i % 2 ? -1 : 1) * (Math.floor(i / 2) + 1)); // scripted frame n: (n + 1, -(n + 1))
const join = (chunks) => Float32Array.from(chunks.flatMap((c) => [...c]));
const is = (want) => (e) => e instanceof CaptureError && Object.entries(want).every(([k, v]) => (v instanceof RegExp ? v.test(e[k]) : e[k] === v));
async function collect(capture, chunks = []) { for await (const chunk of capture) chunks.push(chunk); return join(chunks); }
async function bytes(c) { // the same frames as bytes, and the capture is then no longer iterable
  const b = Buffer.concat(await c.readable.toArray()); assert.throws(() => c[Symbol.asyncIterator](), /already being consumed/);
  return new Float32Array(b.buffer, b.byteOffset, b.length / 4); }

test('frames arrive whole and in order, whatever the chunk boundaries, or not at all', { skip }, async () => {
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
    [bad(0, '53445242'), { message: /not a sondrel/ }],
    [bad(4, '02000000'), { message: /version 2 is not 1/ }],
    [bad(8, '44ac0000'), { message: /44100 Hz, 2 channels, 32 bits is not/ }],
    [bad(12, '0100'), { message: /1 channels/ }],
    [bad(14, '1000'), { message: /16 bits is not/ }],
    ...[[HEADER.slice(0, 20)], []].map((cut) => [cut, { message: /ended without a stream header/ }]),
    [[HEADER.slice(0, 8)], { signal: 'SIGTERM', exitCode: null }],
    [[HEADER, HEADER], { signal: 'SIGKILL' }, 4],
  ]) {
    const c = fake({ chunks, delayMs: 5, signal: want.signal }), got = [];
    if (!floats) await assert.rejects(c.ready, is(want));
    await assert.rejects(collect(c, got), is(want));
    assert.equal(join(got).length, floats);
  }
});

test('failures carry the exit code, the code as a number, the text and the line', { skip }, async () => {
  const line = 'Falha na captura de \u00e1udio do processo';
  for (const [make, want] of [
    [() => scripted('activate=0x80070005'), { exitCode: 4, hresult: 0x80070005, systemText: 'Acesso negado.', line: `${line} (0x80070005): Acesso negado.` }],
    [() => fake({ stderr: `${line} (0x800705B4)\r\n`, exit: 4 }), { exitCode: 4, hresult: 0x800705B4, systemText: null, line: `${line} (0x800705B4)` }],
    [() => fake({ stderr: 'Segmentation fault\n', exit: 139 }), { exitCode: 139, hresult: null, line: 'Segmentation fault' }],
    [() => scripted('', { window: 0x7FFFFFF0 }), { exitCode: 2, message: /--window 0x7ffffff0/, line: /^Uso: / }],
    [() => captureProcessAudio({ pid: 42 }, { executable: here('./none') }), { exitCode: null, message: /could not be started/ }],
  ]) {
    const c = make();
    await assert.rejects(c.ready, is(want));
    await assert.rejects(c.stop(), is(want));
  }
  const got = [], c = scripted('pace=prequeue packets=480x4 fail=getnext:2:0x88890004'); // the frames before it, then the error
  await assert.rejects(collect(c, got), is({ exitCode: 4, hresult: 0x88890004 }));
  assert.deepEqual(join(got), pattern(960));
  for (const [error, targets] of [[TypeError, [{}, { pid: 1, excludePid: 2 }, null, 42]], [RangeError, [{ pid: 0 }, { pid: -1 },
    { pid: 2 ** 32 }, { pid: 1.5 }, { pid: '12abc' }, { excludePid: NaN }, { window: 0 }, { window: 2n ** 64n }, { window: '0x10' }]]])
    for (const target of targets) assert.throws(() => captureProcessAudio(target, { executable: SCRIPTED }), error);
});

test('stop and abort end the stream after its last frames; the helper never outlives its consumer, capture or parent', { skip }, async () => {
  for (const how of ['stop', 'abort']) {
    const controller = new AbortController(), got = [], c = scripted('packets=480 repeat pace=realtime', { pid: 42 }, { signal: controller.signal });
    for await (const chunk of c) if (got.push(chunk) === 3) await (how === 'stop' ? c.stop() : controller.abort());
    const all = join(got); // at least the 3 chunks, all of them in order
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
  for (const ending of ['let c = make(); const pid = c.pid; console.log(pid); c = null; let gone = false;' +
      'for (let i = 0; i < 200 && !gone; i++) { globalThis.gc(); await new Promise((r) => setTimeout(r, 20)); try { process.kill(pid, 0); } catch { gone = true; } }' +
      'console.log(gone ? "gone" : "running");',
    'const c = make(); await c.ready; console.log(c.pid); process.exit(0);']) {
    const script = `import { captureProcessAudio } from ${JSON.stringify(here('../index.js'))};` +
      `const make = () => captureProcessAudio({ pid: 42 }, { executable: ${JSON.stringify(SCRIPTED)} }); ${ending} process.exit(0);`;
    const parent = spawn(process.execPath, ['--expose-gc', '--input-type=module', '-e', script], {
      env: { ...process.env, SONDREL_SCENARIO: 'packets=480 repeat pace=realtime' }, stdio: ['ignore', 'pipe', 'inherit'] });
    const [pid, verdict = 'gone'] = (await parent.stdout.toArray()).join('').trim().split('\n');
    assert.ok(Number(pid) > 0 && verdict === 'gone', `${pid} ${verdict}`);
    let gone = false; // or a zombie nobody has reaped yet
    for (let i = 0; i < 200 && !gone; i++, await sleep(20)) try { process.kill(Number(pid), 0); gone = /^\d+ \(.*\) Z/.test(readFileSync(`/proc/${pid}/stat`, 'utf8')); } catch { gone = true; }
    assert.ok(gone, `helper ${pid} still runs`);
  }
});
