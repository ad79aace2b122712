#!/usr/bin/env node
// Records what a process tree plays (or everything but one, or a window's
// process) to a WAV file, until --seconds have passed, the target exits or Ctrl+C.
//   node record.mjs --pid 1234 [--seconds 10] [--out capture.wav] [--speech]
//   node record.mjs --exclude-pid 1234 | --window 0x3a00007
// --speech records 16 kHz mono 16-bit samples instead of 48 kHz stereo float.
import { pipeline } from 'node:stream/promises';
import { parseArgs } from 'node:util';
import { CaptureError, captureProcessAudio, createWavWriter } from 'sondrel-process-loopback';

const { values: o } = parseArgs({
  options: {
    pid: { type: 'string' }, 'exclude-pid': { type: 'string' }, window: { type: 'string' },
    seconds: { type: 'string', default: '10' }, out: { type: 'string', default: 'capture.wav' },
    speech: { type: 'boolean', default: false },
  },
});
const target = o.pid !== undefined ? { pid: Number(o.pid) }
  : o['exclude-pid'] !== undefined ? { excludePid: Number(o['exclude-pid']) }
    : o.window !== undefined ? { window: o.window } : null;
if (target === null) {
  console.error('usage: record.mjs --pid PID | --exclude-pid PID | --window ID [--seconds S] [--out FILE] [--speech]');
  process.exit(2);
}
const format = o.speech ? { sampleRate: 16000, channels: 1, sampleType: 'int16' } : {};
let timer;
try {
  const capture = captureProcessAudio(target, { format, stopWhenTargetExits: 'pid' in target });
  capture.on('drop', ({ frames, position }) => {
    console.error(`lost ${frames} frames at ${(position / 48000).toFixed(3)} s`);
  });
  process.once('SIGINT', () => capture.stop());
  timer = setTimeout(() => capture.stop(), Number(o.seconds) * 1000);
  await pipeline(capture.readable, createWavWriter(o.out, format));
  console.log(`${o.out}: ${capture.droppedFrames} frames lost`);
} catch (error) {
  // A CaptureError says what failed in English; the helper's own line is in error.line.
  console.error(error instanceof CaptureError ? `${error.code ?? 'failed'}: ${error.message}` : String(error));
  process.exitCode = 1;
} finally {
  clearTimeout(timer);
}
