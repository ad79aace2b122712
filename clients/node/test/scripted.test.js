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
const FAKE = here('./fake-helper.mjs');
const INDEX = here('../index.js');
const HEADER = '5344524101000000' + '80bb0000' + '0200' + '2000';
const skip = existsSync(SCRIPTED) ? false : `no scripted helper at ${SCRIPTED}`;
delete process.env.DISPLAY; // --window must find no windows here

function scripted(scenario, target = { pid: 42 }, options = {}) {
  process.env.SONDREL_SCENARIO = scenario;
  return captureProcessAudio(target, { executable: SCRIPTED, ...options });
}

function fake(plan) {
  process.env.FAKE_HELPER = JSON.stringify(plan);
  return captureProcessAudio({ pid: 42 }, { executable: FAKE });
}

// The scripted platform's frame n is (n + 1, -(n + 1)).
function pattern(first, count) {
  const out = new Float32Array(count * 2);
  for (let i = 0; i < count; i++) {
    out[2 * i] = first + i + 1;
    out[2 * i + 1] = -(first + i + 1);
  }
  return out;
}

function framesHex(first, count) {
  return Buffer.from(pattern(first, count).buffer).toString('hex');
}

async function collect(capture) {
  const chunks = [];
  for await (const chunk of capture) chunks.push(chunk);
  return chunks;
}

function joined(chunks) {
  const out = new Float32Array(chunks.reduce((n, c) => n + c.length, 0));
  let at = 0;
  for (const c of chunks) {
    out.set(c, at);
    at += c.length;
  }
  return out;
}

// Gone, or a zombie nobody has reaped yet.
async function waitGone(pid, ms = 4000) {
  const deadline = Date.now() + ms;
  for (;;) {
    let alive = true;
    try {
      process.kill(pid, 0);
      alive = !/^\d+ \(.*\) Z/.test(readFileSync(`/proc/${pid}/stat`, 'utf8'));
    } catch {
      alive = false;
    }
    if (!alive) return true;
    if (Date.now() > deadline) return false;
    await sleep(20);
  }
}

test('frames arrive whole and in order, whatever the chunk boundaries', { skip }, async (t) => {
  await t.test('scripted packets, drained after stop', async () => {
    const capture = scripted('pace=prequeue packets=480x10,7');
    await capture.ready;
    await capture.stop();
    assert.deepEqual(joined(await collect(capture)), pattern(0, 4807));
    assert.equal(capture.exitCode, 0);
  });

  await t.test('pipe chunks cut inside the header, inside floats and inside frames', async () => {
    const bytes = HEADER + framesHex(0, 6);
    const cuts = [5, 14, 3, 9, 1, 20, 8, 4];
    const chunks = [];
    let at = 0;
    for (const n of cuts) {
      chunks.push(bytes.slice(at * 2, (at + n) * 2));
      at += n;
    }
    chunks.push(bytes.slice(at * 2) + 'abcdef'); // and 3 bytes of a frame that never completes
    const capture = fake({ chunks, delayMs: 15 });
    await capture.ready;
    const got = await collect(capture);
    assert.ok(got.length > 1, 'the fake helper was meant to arrive in pieces');
    for (const c of got) assert.ok(c.length > 0 && c.length % 2 === 0, `${c.length} floats`);
    assert.deepEqual(joined(got), pattern(0, 6));
  });

  await t.test('the readable gives the same frames as bytes', async () => {
    const capture = scripted('pace=prequeue packets=100x3');
    await capture.ready;
    await capture.stop();
    const bytes = [];
    for await (const b of capture.readable) bytes.push(b);
    const all = Buffer.concat(bytes);
    assert.deepEqual(new Float32Array(all.buffer, all.byteOffset, all.length / 4), pattern(0, 300));
    assert.throws(() => capture[Symbol.asyncIterator](), /already being consumed/);
  });
});

test('a stream that is not the helper\'s is an error, never audio', { skip }, async (t) => {
  const header = Buffer.from(HEADER, 'hex');
  const variant = (offset, write) => {
    const h = Buffer.from(header);
    write(h, offset);
    return h.toString('hex');
  };
  for (const [name, chunks, message] of [
    ['wrong magic', [variant(0, (h) => h.write('SDRB', 0, 'latin1')), framesHex(0, 4)], /not a sondrel/],
    ['version 2', [variant(4, (h, o) => h.writeUInt32LE(2, o)), framesHex(0, 4)], /version 2 is not 1/],
    ['44.1 kHz', [variant(8, (h, o) => h.writeUInt32LE(44100, o))], /44100 Hz, 2 channels, 32 bits is not/],
    ['mono', [variant(12, (h, o) => h.writeUInt16LE(1, o))], /1 channels/],
    ['16 bits', [variant(14, (h, o) => h.writeUInt16LE(16, o))], /16 bits is not/],
    ['header cut short, exit 0', [HEADER.slice(0, 20)], /ended without a stream header/],
    ['nothing, exit 0', [], /ended without a stream header/],
  ]) {
    await t.test(name, async () => {
      const capture = fake({ chunks, delayMs: 5, exit: 0 });
      await assert.rejects(capture.ready, (e) => e instanceof CaptureError && message.test(e.message));
      await assert.rejects(collect(capture), (e) => e instanceof CaptureError && message.test(e.message));
    });
  }

  await t.test('death by a signal, before and after the header', async () => {
    const before = fake({ chunks: [HEADER.slice(0, 8)], signal: 'SIGTERM' });
    await assert.rejects(before.ready, { name: 'CaptureError', signal: 'SIGTERM', exitCode: null });
    const after = fake({ chunks: [HEADER, framesHex(0, 2)], signal: 'SIGKILL' });
    await after.ready;
    const got = [];
    await assert.rejects(async () => { for await (const c of after) got.push(c); },
      { name: 'CaptureError', signal: 'SIGKILL' });
    assert.deepEqual(joined(got), pattern(0, 2));
  });
});

test('failures carry the exit code, the code as a number, the text and the line', { skip }, async (t) => {
  await t.test('capture failure before the header: exit 4', async () => {
    const capture = scripted('activate=0x80070005');
    await assert.rejects(capture.ready, {
      name: 'CaptureError', exitCode: 4, hresult: 0x80070005, systemText: 'Acesso negado.',
      line: 'Falha na captura de \u00e1udio do processo (0x80070005): Acesso negado.',
    });
    await assert.rejects(capture.stop(), { hresult: 0x80070005 });
  });

  await t.test('COM refused: exit 3', async () => {
    const capture = scripted('com=sta');
    await assert.rejects(capture.ready, (e) => e.exitCode === 3 && e.hresult === 0x80010106 &&
      e.line.startsWith('Falha ao inicializar COM (0x80010106)'));
  });

  await t.test('failure during streaming: the frames before it, then the error', async () => {
    const capture = scripted('pace=prequeue packets=480x4 fail=getnext:2:0x88890004');
    await capture.ready;
    const got = [];
    await assert.rejects(async () => { for await (const c of capture) got.push(c); },
      { exitCode: 4, hresult: 0x88890004 });
    assert.deepEqual(joined(got), pattern(0, 960));
  });

  await t.test('Windows line end, no system text, and a line that is no failure line', async () => {
    const crlf = fake({ stderr: 'Falha na captura de \u00e1udio do processo (0x800705B4)\r\n', exit: 4 });
    await assert.rejects(crlf.ready, {
      exitCode: 4, hresult: 0x800705B4, systemText: null,
      line: 'Falha na captura de \u00e1udio do processo (0x800705B4)',
    });
    const odd = fake({ stderr: 'Segmentation fault\n', exit: 139 });
    await assert.rejects(odd.ready, { exitCode: 139, hresult: null, line: 'Segmentation fault' });
  });

  await t.test('usage (exit 2) names the argument the client passed', async () => {
    const capture = scripted('', { window: 0x7FFFFFF0 });
    await assert.rejects(capture.ready, (e) => e.exitCode === 2 &&
      e.message.includes('--window 0x7ffffff0') && e.line.startsWith('Uso: '));
  });

  await t.test('no helper to start', async () => {
    const capture = captureProcessAudio({ pid: 42 }, { executable: here('./no-such-helper') });
    await assert.rejects(capture.ready, /could not be started/);
    await assert.rejects(collect(capture), /could not be started/);
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

test('stop and abort end the stream after its last frames', { skip }, async (t) => {
  await t.test('stop while frames flow', async () => {
    const capture = scripted('packets=480 repeat pace=realtime');
    await capture.ready;
    const got = [];
    for await (const c of capture) {
      got.push(c);
      if (got.length === 3) await capture.stop();
    }
    const all = joined(got);
    assert.deepEqual(all, pattern(0, all.length / 2));
    assert.ok(all.length / 2 >= 3 * 480);
    assert.equal(capture.exitCode, 0);
    await capture.stop(); // a second stop has nothing left to do
  });

  await t.test('abort', async () => {
    const controller = new AbortController();
    const capture = scripted('packets=480 repeat pace=realtime', { pid: 42 },
      { signal: controller.signal });
    await capture.ready;
    setTimeout(() => controller.abort(), 50);
    const all = joined(await collect(capture));
    assert.ok(all.length > 0);
    assert.deepEqual(all, pattern(0, all.length / 2));
    assert.equal(capture.exitCode, 0);
    assert.throws(() => scripted('', { pid: 42 }, { signal: controller.signal }), { name: 'AbortError' });
  });
});

test('the helper never outlives its consumer, its capture or its parent', { skip }, async (t) => {
  await t.test('the consumer throws while the helper floods the pipe', async () => {
    const capture = scripted('packets=480 repeat pace=fast');
    await assert.rejects(async () => {
      for await (const c of capture) throw new Error(`consumer failed at ${c.length}`);
    }, /consumer failed/);
    assert.ok(await waitGone(capture.pid), 'the helper still runs');
    assert.equal(capture.exitCode, 0); // asked, not killed
  });

  await t.test('the readable is destroyed', async () => {
    const capture = scripted('packets=480 repeat pace=realtime');
    await capture.ready;
    for await (const b of capture.readable) { assert.ok(b.length > 0); break; }
    assert.ok(await waitGone(capture.pid), 'the helper still runs');
  });

  // A parent of its own, so that its exit and its garbage collector can be seen.
  for (const [name, ending] of [
    // Its exit would end the helper anyway: it reports before exiting.
    ['the capture is collected', 'let c = make(); const pid = c.pid; console.log(pid); c = null;' +
      'let gone = false;' +
      'for (let i = 0; i < 200 && !gone; i++) { globalThis.gc(); await new Promise((r) => setTimeout(r, 20));' +
      '  try { process.kill(pid, 0); } catch { gone = true; } }' +
      'console.log(gone ? "gone" : "running"); process.exit(0);'],
    ['the parent exits', 'const c = make(); await c.ready; console.log(c.pid); process.exit(0);'],
  ]) {
    await t.test(name, async () => {
      const script = `import { captureProcessAudio } from ${JSON.stringify(INDEX)};` +
        `const make = () => captureProcessAudio({ pid: 42 }, { executable: ${JSON.stringify(SCRIPTED)} });` +
        ending;
      const parent = spawn(process.execPath, ['--expose-gc', '--input-type=module', '-e', script], {
        env: { ...process.env, SONDREL_SCENARIO: 'packets=480 repeat pace=realtime' },
        stdio: ['ignore', 'pipe', 'inherit'],
      });
      let out = '';
      parent.stdout.on('data', (d) => { out += d; });
      const status = await new Promise((resolve) => parent.on('close', resolve));
      assert.equal(status, 0);
      const [pid, report] = out.trim().split('\n');
      assert.ok(Number(pid) > 0, out);
      if (report !== undefined) assert.equal(report, 'gone');
      assert.ok(await waitGone(Number(pid)), `helper ${pid} still runs`);
    });
  }
});
