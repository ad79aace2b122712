#!/usr/bin/env node
// Stands in for the helper where the real one cannot misbehave on demand.
// FAKE_HELPER (JSON): chunks (hex strings written one by one, delayMs apart),
// stderr, then exit (code) or signal (ends itself with it).
import { writeSync } from 'node:fs';
import { setTimeout as sleep } from 'node:timers/promises';

const plan = JSON.parse(process.env.FAKE_HELPER);
for (const hex of plan.chunks ?? []) {
  writeSync(1, Buffer.from(hex, 'hex'));
  await sleep(plan.delayMs ?? 0);
}
if (plan.stderr) writeSync(2, plan.stderr);
if (plan.signal) process.kill(process.pid, plan.signal);
else process.exit(plan.exit ?? 0);
