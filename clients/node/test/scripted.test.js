// The client against the scripted build of the helper (SONDREL_SCRIPTED) and
// a fake helper that writes whatever bytes a test asks for.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import { test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

import { CaptureError, captureProcessAudio } from '../index.js';

const here = (path) => fileURLToPath(new URL(path, import.meta.url));
const SCRIPTED = process.env.SONDREL_SCRIPTED
  ?? here('../../../build/linux/tests/sondrel-process-loopback-scripted');
const HEADER = '534452410100000080bb000002002000';
const skip = existsSync(SCRIPTED) ? false : `no scripted helper at ${SCRIPTED}`;
delete process.env.DISPLAY; // --window must find no windows here

function scripted(scenario, target = { pid: 42 }, options = {}) {
  process.env.SONDREL_SCENARIO = scenario;
  return captureProcessAudio(target, { executable: SCRIPTED, ...options });
}

function fake(plan) {
  process.env.FAKE_HELPER = JSON.stringify(plan);
  return captureProcessAudio({ pid: 42 }, { executable: here('./fake-helper.mjs') });
}

// The scripted platform's frame n is (n + 1, -(n + 1)).
function pattern(count) {
  return Float32Array.from({ length: count * 2 }, (_, i) => (i % 2 ? -1 : 1) * (Math.floor(i / 2) + 1));
}

// Every chunk, joined; rejects with the capture's failure, which `chunks` survive.
async function collect(capture, chunks = []) {
  for await (const chunk of capture) chunks.push(chunk);
  return Float32Array.from(chunks.flatMap((c) => [...c]));
}

// Gone, or a zombie nobody has reaped yet.
async function gone(pid) {
  for (let i = 0; i < 200; i++, await sleep(20)) {
    try {
      process.kill(pid, 0);
      if (/^\d+ \(.*\) Z/.test(readFileSync(`/proc/${pid}/stat`, 'utf8'))) return true;
    } catch {
      return true;
    }
  }
  return false;
}

test('frames arrive whole and in order, whatever the chunk boundaries', { skip }, async (t) => {
  await t.test('scripted packets, drained after stop, as floats and as bytes', async () => {
    for (const asBytes of [false, true]) {
      const capture = scripted('pace=prequeue packets=480x10,7');
      await capture.ready;
      await capture.stop();
      assert.equal(capture.exitCode, 0);
      if (asBytes) {
        const all = Buffer.concat(await capture.readable.toArray());
        assert.deepEqual(new Float32Array(all.buffer, all.byteOffset, all.length / 4), pattern(4807));
        assert.throws(() => capture[Symbol.asyncIterator](), /already being consumed/);
      } else {
        assert.deepEqual(await collect(capture), pattern(4807));
      }
    }
  });

  await t.test('pipe chunks cut inside the header, inside floats and inside frames', async () => {
    const bytes = HEADER + Buffer.from(pattern(6).buffer).toString('hex');
    let at = 0;
    const chunks = [5, 14, 3, 9, 1, 20, 8, 4].map((n) => bytes.slice(at * 2, (at += n) * 2));
    chunks.push('abcdef'); // 3 bytes of a frame that never completes
    const got = [];
    assert.deepEqual(await collect(fake({ chunks, delayMs: 15 }), got), pattern(6));
    assert.ok(got.length > 1, 'the fake helper was meant to arrive in pieces');
    for (const c of got) assert.ok(c.length > 0 && c.length % 2 === 0, `${c.length} floats`);
  });
});

test('a stream that is not the helper\'s is an error, never audio', { skip }, async (t) => {
  const header = (offset, write) => {
    const h = Buffer.from(HEADER, 'hex');
    write(h, offset);
    return h.toString('hex') + '00'.repeat(32);
  };
  for (const [name, chunks, message] of [
    ['wrong magic', [header(0, (h, o) => h.write('SDRB', o, 'latin1'))], /not a sondrel/],
    ['version 2', [header(4, (h, o) => h.writeUInt32LE(2, o))], /version 2 is not 1/],
    ['44.1 kHz', [header(8, (h, o) => h.writeUInt32LE(44100, o))], /44100 Hz, 2 channels, 32 bits is not/],
    ['mono', [header(12, (h, o) => h.writeUInt16LE(1, o))], /1 channels/],
    ['16 bits', [header(14, (h, o) => h.writeUInt16LE(16, o))], /16 bits is not/],
    ['header cut short, exit 0', [HEADER.slice(0, 20)], /ended without a stream header/],
    ['nothing, exit 0', [], /ended without a stream header/],
  ]) {
    await t.test(name, async () => {
      const capture = fake({ chunks, delayMs: 5 });
      const matches = (e) => e instanceof CaptureError && message.test(e.message);
      await assert.rejects(capture.ready, matches);
      await assert.rejects(collect(capture), matches);
    });
  }

  await t.test('death by a signal, before and after the header', async () => {
    const before = fake({ chunks: [HEADER.slice(0, 8)], signal: 'SIGTERM' });
    await assert.rejects(before.ready, { name: 'CaptureError', signal: 'SIGTERM', exitCode: null });
    const got = [];
    await assert.rejects(collect(fake({ chunks: [HEADER, HEADER], signal: 'SIGKILL' }), got),
      { name: 'CaptureError', signal: 'SIGKILL' });
    assert.equal(got.reduce((n, c) => n + c.length, 0), 4);
  });
});

test('failures carry the exit code, the code as a number, the text and the line', { skip }, async (t) => {
  const capture = 'Falha na captura de \u00e1udio do processo';
  for (const [name, make, expected] of [
    ['capture failed: exit 4', () => scripted('activate=0x80070005'), {
      exitCode: 4, hresult: 0x80070005, systemText: 'Acesso negado.',
      line: `${capture} (0x80070005): Acesso negado.`,
    }],
    ['COM refused: exit 3', () => scripted('com=sta'),
      { exitCode: 3, hresult: 0x80010106, line: /^Falha ao inicializar COM \(0x80010106\)/ }],
    ['Windows line end, no system text', () => fake({ stderr: `${capture} (0x800705B4)\r\n`, exit: 4 }),
      { exitCode: 4, hresult: 0x800705B4, systemText: null, line: `${capture} (0x800705B4)` }],
    ['a line that is no failure line', () => fake({ stderr: 'Segmentation fault\n', exit: 139 }),
      { exitCode: 139, hresult: null, line: 'Segmentation fault' }],
    ['usage names the argument passed', () => scripted('', { window: 0x7FFFFFF0 }),
      { exitCode: 2, message: /--window 0x7ffffff0/, line: /^Uso: / }],
    ['no helper to start', () => captureProcessAudio({ pid: 42 }, { executable: here('./none') }),
      { exitCode: null, message: /could not be started/ }],
  ]) {
    await t.test(name, async () => {
      const c = make();
      await assert.rejects(c.ready, { name: 'CaptureError', ...expected });
      await assert.rejects(c.stop(), expected);
    });
  }

  await t.test('failure during streaming: the frames before it, then the error', async () => {
    const got = [];
    const c = scripted('pace=prequeue packets=480x4 fail=getnext:2:0x88890004');
    await c.ready;
    await assert.rejects(collect(c, got), { exitCode: 4, hresult: 0x88890004 });
    assert.deepEqual(Float32Array.from(got.flatMap((x) => [...x])), pattern(960));
  });

  await t.test('malformed targets never reach the helper', () => {
    for (const target of [{}, { pid: 1, excludePid: 2 }, null, 42]) {
      assert.throws(() => captureProcessAudio(target, { executable: SCRIPTED }), TypeError);
    }
    for (const target of [{ pid: 0 }, { pid: -1 }, { pid: 2 ** 32 }, { pid: 1.5 }, { pid: '12abc' },
      { excludePid: NaN }, { window: 0 }, { window: 2n ** 64n }, { window: '0x10' }]) {
      assert.throws(() => captureProcessAudio(target, { executable: SCRIPTED }), RangeError);
    }
  });
});

test('stop and abort end the stream after its last frames', { skip }, async () => {
  for (const how of ['stop', 'abort']) {
    const controller = new AbortController();
    const c = scripted('packets=480 repeat pace=realtime', { pid: 42 }, { signal: controller.signal });
    const got = [];
    for await (const chunk of c) {
      got.push(chunk);
      if (got.length === 3) await (how === 'stop' ? c.stop() : controller.abort());
    }
    const all = Float32Array.from(got.flatMap((x) => [...x]));
    assert.ok(all.length >= 3 * 960, how);
    assert.deepEqual(all, pattern(all.length / 2));
    assert.equal(c.exitCode, 0);
    await c.stop(); // nothing left to do, still fine
  }
  const aborted = AbortSignal.abort();
  assert.throws(() => scripted('', { pid: 42 }, { signal: aborted }), { name: 'AbortError' });
});

test('the helper never outlives its consumer, its capture or its parent', { skip }, async (t) => {
  for (const [name, leave] of [
    ['the consumer throws while the helper floods the pipe', async (c) => {
      for await (const chunk of c) throw new Error(`consumer failed at ${chunk.length}`);
    }],
    ['the readable is destroyed', async (c) => {
      for await (const bytes of c.readable) throw new Error(`consumer failed at ${bytes.length}`);
    }],
  ]) {
    await t.test(name, async () => {
      const c = scripted('packets=480 repeat pace=fast');
      await assert.rejects(leave(c), /consumer failed/);
      await c.stop(); // resolves once the helper has exited
      assert.equal(c.exitCode, 0); // asked, not killed
    });
  }

  // A parent of its own, so that its collector and its exit can be seen. It
  // reports on the collected capture before exiting, as its exit would end it too.
  for (const [name, ending] of [
    ['the capture is collected', 'let c = make(); const pid = c.pid; console.log(pid); c = null;' +
      'let gone = false;' +
      'for (let i = 0; i < 200 && !gone; i++) { globalThis.gc(); await new Promise((r) => setTimeout(r, 20));' +
      '  try { process.kill(pid, 0); } catch { gone = true; } }' +
      'console.log(gone ? "gone" : "running");'],
    ['the parent exits', 'const c = make(); await c.ready; console.log(c.pid); process.exit(0);'],
  ]) {
    await t.test(name, async () => {
      const script = `import { captureProcessAudio } from ${JSON.stringify(here('../index.js'))};` +
        `const make = () => captureProcessAudio({ pid: 42 }, { executable: ${JSON.stringify(SCRIPTED)} });` +
        `${ending} process.exit(0);`;
      const parent = spawn(process.execPath, ['--expose-gc', '--input-type=module', '-e', script], {
        env: { ...process.env, SONDREL_SCENARIO: 'packets=480 repeat pace=realtime' },
        stdio: ['ignore', 'pipe', 'inherit'],
      });
      const out = (await parent.stdout.toArray()).join('').trim().split('\n');
      assert.ok(Number(out[0]) > 0, out.join());
      if (out.length > 1) assert.equal(out[1], 'gone');
      assert.ok(await gone(Number(out[0])), `helper ${out[0]} still runs`);
    });
  }
});
