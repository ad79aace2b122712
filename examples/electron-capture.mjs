// @ts-check
// For an Electron main process: the audio sources a user can pick (every
// window desktopCapturer knows, and everything but this app) and a stream of
// the picked one as 16 kHz mono 16-bit samples, chunk by chunk, to a callback.
// Ship the helper unpacked: electron-builder "asarUnpack":
// ["node_modules/sondrel-process-loopback/bin/**"].
import { desktopCapturer } from 'electron';
import { captureProcessAudio } from 'sondrel-process-loopback';

/** @typedef {import('sondrel-process-loopback').CaptureTarget} CaptureTarget */

/** @returns {Promise<{ name: string, target: CaptureTarget }[]>} */
export async function audioSources() {
  const windows = await desktopCapturer.getSources({ types: ['window'], thumbnailSize: { width: 0, height: 0 } });
  return [
    // The renderers and the audio service of this app are its descendants.
    { name: 'Everything but this app', target: { excludePid: process.pid } },
    ...windows.map((source) => ({ name: source.name, target: { window: source.id } })),
  ];
}

/**
 * @param {CaptureTarget} target one of audioSources()'s targets
 * @param {(samples: Int16Array) => void} onSamples 16 kHz mono chunks, as they come
 * @returns {{ stop: () => Promise<void>, done: Promise<void> }} done rejects
 *   with a CaptureError if the capture fails; stop() resolves once the helper is gone
 */
export function streamAudio(target, onSamples) {
  const capture = captureProcessAudio(target, { format: { sampleRate: 16000, channels: 1, sampleType: 'int16' } });
  capture.on('drop', ({ frames }) => console.warn(`audio lost: ${frames} frames at 48 kHz`));
  const done = (async () => {
    for await (const samples of capture) onSamples(samples);
  })();
  return { stop: () => capture.stop(), done };
}
