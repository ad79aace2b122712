#!/usr/bin/env node
// Stands in for the helper where the real one cannot misbehave on demand, for
// both clients' tests. FAKE_HELPER (JSON): argv (a file for the arguments);
// stdout (objects written as JSON lines); chunks (hex strings written one by
// one, delayMs apart); then either flood (that many bytes of frames, frame
// n = (n + 1, -(n + 1)), as fast as the reader takes them, until a byte or the
// end of stdin; each time the reader holds it back, and at the end,
// {state, accepted} goes to the file named by report), or hang (ignores stdin
// and never exits), or lingerMs (exits 0 that long after a byte or the end of
// stdin); then stderr (the text, or the working directory when cwd is set)
// and exit (code) or signal (ends itself with it).
import { renameSync, writeFileSync, writeSync } from 'node:fs';
import { Socket } from 'node:net';
import { setTimeout as sleep } from 'node:timers/promises';

const plan = JSON.parse(process.env.FAKE_HELPER);
if (plan.argv) writeFileSync(plan.argv, JSON.stringify(process.argv.slice(2)));
for (const line of plan.stdout ?? []) writeSync(1, `${JSON.stringify(line)}\n`);
for (const hex of plan.chunks ?? []) {
  writeSync(1, Buffer.from(hex, 'hex'));
  await sleep(plan.delayMs ?? 0);
}
if (plan.hang) setInterval(() => {}, 60000);
else if (plan.lingerMs) await new Promise((resolve) => process.stdin.once('data', resolve).once('end', resolve)).then(() => sleep(plan.lingerMs));
else if (plan.flood) await flood(plan.flood, plan.report);
if (plan.cwd) writeSync(2, `${process.cwd()}\n`);
if (plan.stderr) writeSync(2, plan.stderr);
if (plan.signal) process.kill(process.pid, plan.signal);
else if (!plan.hang) process.exit(plan.exit ?? 0);

async function flood(total, report) {
  const out = new Socket({ fd: 1, readable: false, writable: true });
  let written = 0, stopping = false;
  const tell = (state) => { // whole, for a reader that looks at any moment
    writeFileSync(`${report}.new`, JSON.stringify({ state, accepted: written - out.writableLength })); renameSync(`${report}.new`, report); };
  const stop = () => { stopping = true; out.emit('drain'); };
  process.stdin.once('data', stop).once('end', stop);
  while (!stopping && written < total) {
    const frames = Math.min(8192, (total - written) / 8), chunk = new Float32Array(frames * 2);
    for (let i = 0, n = written / 8; i < frames; i++, n++) [chunk[2 * i], chunk[2 * i + 1]] = [n + 1, -(n + 1)];
    written += chunk.byteLength;
    if (!out.write(Buffer.from(chunk.buffer))) {
      tell('blocked');
      await new Promise((resolve) => out.once('drain', resolve));
      tell('running');
    }
  }
  await new Promise((resolve) => out.end(resolve));
  tell('finished');
  process.stdin.destroy();
}
